// The channel commands of the listener: switching channels, and creating,
// changing and deleting them, with the notices that keep every other
// client's view of the channels current. Each handler runs on the listener
// thread with the ClientList lock and the channel lock held; the current
// player is the requester. The dispatcher only calls them with a requester
// and a datagram at least as long as the command's record.
//
// A refusal is one ErrorReply and nothing else: every check comes before the
// first change.
#include <string>
#include <vector>

#include "common/CommandCodes.h"
#include "common/TextFormat.h"
#include "common/WireFormat.h"
#include "server/Listener.h"
#include "server/ServerObject.h"

namespace {


uint32_t ChannelIdOf(const TPacket& packet) { return wire::GetU32(packet.Memory() + 24); }

bool IsServerAdmin(const TClientObject& p) { return (p.PlayerPrivileges & PlayerPrivileges::ServerAdmin) != 0; }
bool IsChannelAdmin(const TClientObject& p) { return (p.ChannelPrivileges & ChannelPrivileges::ChannelAdmin) != 0; }

// ChannelNameChanged, ChannelTopicChanged (str29) and ChannelDescriptionChanged
// (str99): channel id, the text, the requester's id.
void AnnounceText(TPLUDPListener& l, const TClientObject& requester, uint16_t code, uint32_t channelID,
                  size_t capacity, const std::string& text) {
  l.ToViewers(requester, code, 28 + 1 + capacity + 4, [&](uint8_t* d) {
    wire::PutU32(d + 24, channelID);
    wire::PutStr(d + 28, capacity, text);
    wire::PutU32(d + 29 + capacity, requester.PlayerID);
  });
}

// ChannelMaxUsersChanged and ChannelOrderChanged: channel id, u16 value, the
// requester's id.
void AnnounceValue(TPLUDPListener& l, const TClientObject& requester, uint16_t code, uint32_t channelID,
                   uint16_t value) {
  l.ToViewers(requester, code, 34, [&](uint8_t* d) {
    wire::PutU32(d + 24, channelID);
    wire::PutU16(d + 28, value);
    wire::PutU32(d + 30, requester.PlayerID);
  });
}

// Before `channel` takes the default mark: the channel that carries it now,
// if that is another one, loses it, and its viewers hear of it.
void TakeDefaultMark(TPLUDPListener& l, const TChannelRecord& channel, TClientObject& requester) {
  const int64_t current = l.Channels().DefaultChannelID();
  if (current < 0 || static_cast<uint32_t>(current) == channel.ID) return;
  l.Channels().FindByID(static_cast<uint32_t>(current))->Flags &= static_cast<uint16_t>(~cfDefaultChannel);
  l.NotifyChannelFlags(static_cast<uint32_t>(current), requester);
}

// Unregistered decides whether a channel is stored and outlives its last
// player, DefaultChannel where every login lands: both are the server's
// business, not that of whoever moderates the channel.
bool ChangesLifeMarks(const TClientObject& requester, const TChannelRecord& channel, uint16_t flags) {
  constexpr uint16_t kLifeMarks = cfUnregistered | cfDefaultChannel;
  return !IsServerAdmin(requester) && ((channel.Flags ^ flags) & kLifeMarks) != 0;
}

// A rename may not take a name another channel answers to where creation
// would refuse it: two channels of one name are stored, and the second is
// refused when they are loaded again.
bool NameTaken(TPLUDPListener& l, const TChannelRecord& channel, const std::string& name) {
  for (const auto& other : l.Channels().Records())
    if (other.get() != &channel && (channel.IsTopLevel() || other->Parent == channel.Parent) &&
        SameText(other->Name, name))
      return true;
  return false;
}

void SetPasswordFlag(TChannelRecord& channel) {
  if (channel.Password.empty())
    channel.Flags &= static_cast<uint16_t>(~cfHasPassword);
  else
    channel.Flags |= cfHasPassword;
}

// PlayerFlags::KeptInFamily survives a switch only between related
// channels: one is the other's parent, or both have the same parent (two
// top-level channels count as siblings).
bool Related(const TChannelRecord& from, const TChannelRecord& to) {
  return from.Parent == to.ID || from.Parent == to.Parent || to.Parent == from.ID;
}

}  // namespace

void TPLUDPListener::HandleSwitchChannel(TPacket& packet) {
  TClientObject& p = *Current();
  const uint32_t target = ChannelIdOf(packet);
  const TChannelRecord* to = Channels().FindByID(target);
  if (!to) return SendErrorReply(rc::NoChannel, packet);
  if (!IsServerAdmin(p)) {
    const int32_t check = JoinCheck(target, wire::GetStr(packet.Memory() + 28, wire::kStr29));
    if (check < 0) return SendErrorReply(check, packet);
    if (check == 1) return SendErrorReply(rc::WrongPassword, packet, target);
  }

  SwitchPlayer(p, target);
}

void TPLUDPListener::SwitchPlayer(TClientObject& p, uint32_t target) {
  const TChannelRecord* to = Channels().FindByID(target);
  if (!to) return;
  const uint32_t old = p.ChannelID;
  const TChannelRecord* from = Channels().FindByID(old);
  uint32_t flags = p.PlayerFlags & ~PlayerFlags::VoiceRequested;
  if (!from || !Related(*from, *to)) flags &= ~PlayerFlags::KeptInFamily;
  p.PlayerFlags = flags;
  Clients().MovePlayer(&p, target);

  // Rights follow the family: anonymous players start from nothing.
  p.ChannelPrivileges = 0;
  if (p.PlayerPrivileges & PlayerPrivileges::Registered)
    p.ChannelPrivileges = Channels().GetUserRights(target, p.LoginName.Text());
  ApplyAutoRights(p);

  AnnounceSwitch(p, old, target);
  NotifyPlayerFlags(p);
  ClearChannelUp(old, p.PlayerID);
}

void TPLUDPListener::HandleCreateChannel(TPacket& packet) {
  TClientObject& p = *Current();
  const uint8_t* d = packet.Memory();
  TChannelRecord record;
  record.Flags = wire::GetU16(d + 24);
  record.Codec = wire::GetU16(d + 26);
  record.Parent = wire::GetU32(d + 28);
  record.Name = wire::GetStr(d + 32, wire::kStr29);
  record.Topic = wire::GetStr(d + 62, wire::kStr29);
  record.Description = wire::GetStr(d + 92, wire::kStr99);
  record.Password = wire::GetStr(d + 192, wire::kStr29);
  record.Order = wire::GetU16(d + 222);
  record.MaxUsers = wire::GetU16(d + 224);

  // Only the five known codecs are checked; another number is kept as given.
  if (record.Codec <= cdWindowsCelp52 && !Server().CodecAllowed(record.Codec))
    return SendErrorReply(rc::CodecNotAllowed, packet);
  if (!IsServerAdmin(p) && (!(record.Flags & cfUnregistered) || (record.Flags & cfDefaultChannel)))
    return SendErrorReply(rc::NeedServerAdmin, packet);
  if (!(Server().ServerFlags & sfUnregisteredChannels)) {
    if (!IsServerAdmin(p) && record.IsTopLevel()) return SendErrorReply(rc::NeedServerAdmin, packet);
    if (!IsServerAdmin(p) && !IsChannelAdmin(p)) return SendErrorReply(rc::NeedChannelAdmin, packet);
  }
  const int64_t added = Channels().AddChannel(std::move(record));
  if (added < 0) return SendErrorReply(static_cast<int32_t>(added), packet);
  const uint32_t id = static_cast<uint32_t>(added);

  const std::vector<uint32_t> lost = Channels().Affected();
  for (uint32_t lostID : lost) NotifyChannelFlags(lostID, p);

  const TChannelRecord& created = *Channels().FindByID(id);
  for (TClientObject* q : Clients().Items()) {
    auto notice = NewCommand(cmd::ChannelCreated, 204, *q);
    created.ToWire(notice->Memory() + 24, TChannelRecord::kListSize);
    wire::PutU32(notice->Memory() + 200, p.PlayerID);
    Send(std::move(notice));
  }

  // A temporary top-level channel takes its creator in; the creator keeps the
  // rights it had.
  const uint32_t old = p.ChannelID;
  if ((created.Flags & cfUnregistered) && created.IsTopLevel()) {
    Clients().MovePlayer(&p, id);
    AnnounceSwitch(p, old, id);
  }
  if (!IsChannelAdmin(p) && !IsServerAdmin(p)) {
    p.ChannelPrivileges |= ChannelPrivileges::ChannelAdmin;
    NotifyChannelPrivilege(p, 0, action::GrantedByServer, ChannelRightBit::ChannelAdmin);
  }
  ClearChannelUp(old, p.PlayerID);
}

void TPLUDPListener::HandleDeleteChannel(TPacket& packet) {
  TClientObject& p = *Current();
  const uint32_t id = ChannelIdOf(packet);
  const TChannelRecord* channel = Channels().FindByID(id);
  if (!channel) return SendErrorReply(rc::NoChannel, packet);
  if (channel->IsTopLevel() && !IsServerAdmin(p)) return SendErrorReply(rc::NeedServerAdmin, packet);
  if (!IsChannelAdmin(p) && !IsServerAdmin(p)) return SendErrorReply(rc::NeedChannelAdmin, packet);
  if (!MayModerateChannel(p, id)) return SendErrorReply(rc::NeedModerator, packet);
  if (const int32_t inUse = ChannelInUse(id); inUse != 0) return SendErrorReply(inUse, packet);
  if (channel->Flags & cfDefaultChannel) return SendErrorReply(rc::DefaultChannel, packet);

  if (const int32_t removed = Channels().RemoveChannel(id); removed != 0) return SendErrorReply(removed, packet);
  const std::vector<uint32_t> gone = Channels().Affected();
  for (uint32_t goneID : gone) NotifyChannelDeleted(goneID, p.PlayerID);
}

void TPLUDPListener::HandleSetChannelPassword(TPacket& packet) {
  TChannelRecord* channel = ModeratedChannel(packet);
  if (!channel) return;
  const std::string password = wire::GetStr(packet.Memory() + 28, wire::kStr29);
  // Sub-channels are guarded by their parent's password.
  if (!channel->IsTopLevel() && !password.empty()) return SendErrorReply(rc::SubChannelPassword, packet);

  TClientObject& p = *Current();
  channel->Password = password;
  SetPasswordFlag(*channel);
  auto reply = NewCommand(cmd::ChannelPasswordSet, 28, p);
  wire::PutU32(reply->Memory() + 24, channel->ID);
  Send(std::move(reply));
  NotifyChannelFlags(channel->ID, p);
}

void TPLUDPListener::HandleSetChannelFlags(TPacket& packet) {
  TClientObject& p = *Current();
  const uint8_t* d = packet.Memory();
  TChannelRecord* channel = Channels().FindByID(ChannelIdOf(packet));
  if (!channel) return SendErrorReply(rc::NoChannel, packet);
  if (!channel->IsTopLevel()) return SendErrorReply(rc::SubChannelFlags, packet);
  const uint16_t flags = wire::GetU16(d + 28);
  const uint16_t codec = wire::GetU16(d + 30);
  if (ChangesLifeMarks(p, *channel, flags)) return SendErrorReply(rc::NeedServerAdmin, packet);
  if (!MayModerateChannel(p, channel->ID)) return SendErrorReply(rc::NeedModerator, packet);
  // Players arrive in the default channel: it may hand its mark to another
  // channel, never simply drop it.
  if ((channel->Flags & cfDefaultChannel) && !(flags & cfDefaultChannel))
    return SendErrorReply(rc::DefaultChannel, packet);

  if (flags & cfDefaultChannel) TakeDefaultMark(*this, *channel, p);
  // Stored as given: the codec is not checked and HasPassword not adjusted.
  channel->Flags = flags;
  channel->Codec = codec;
  NotifyChannelFlags(channel->ID, p);
}

void TPLUDPListener::HandleSetChannelName(TPacket& packet) {
  TChannelRecord* channel = ModeratedChannel(packet);
  if (!channel) return;
  const std::string name = wire::GetStr(packet.Memory() + 28, wire::kStr29);
  if (NameTaken(*this, *channel, name)) return SendErrorReply(rc::NameTaken, packet);
  channel->Name = name;
  AnnounceText(*this, *Current(), cmd::ChannelNameChanged, channel->ID, wire::kStr29, channel->Name);
}

void TPLUDPListener::HandleSetChannelTopic(TPacket& packet) {
  TChannelRecord* channel = ModeratedChannel(packet);
  if (!channel) return;
  channel->Topic = wire::GetStr(packet.Memory() + 28, wire::kStr29);
  AnnounceText(*this, *Current(), cmd::ChannelTopicChanged, channel->ID, wire::kStr29, channel->Topic);
}

void TPLUDPListener::HandleSetChannelDescription(TPacket& packet) {
  TChannelRecord* channel = ModeratedChannel(packet);
  if (!channel) return;
  channel->Description = wire::GetStr(packet.Memory() + 28, wire::kStr99);
  AnnounceText(*this, *Current(), cmd::ChannelDescriptionChanged, channel->ID, wire::kStr99, channel->Description);
}

void TPLUDPListener::HandleSetChannelMaxUsers(TPacket& packet) {
  TChannelRecord* channel = ModeratedChannel(packet);
  if (!channel) return;
  channel->MaxUsers = wire::GetU16(packet.Memory() + 28);
  AnnounceValue(*this, *Current(), cmd::ChannelMaxUsersChanged, channel->ID, channel->MaxUsers);
}

void TPLUDPListener::HandleSetChannelOrder(TPacket& packet) {
  TChannelRecord* channel = ModeratedChannel(packet);
  if (!channel) return;
  channel->Order = wire::GetU16(packet.Memory() + 28);
  AnnounceValue(*this, *Current(), cmd::ChannelOrderChanged, channel->ID, channel->Order);
}

// EditChannel carries a whole channel record (its Parent is not used). Each
// field that differs is stored; the texts and values are announced one by
// one, flags, codec and password together by one ChannelFlagsChanged at the
// end.
void TPLUDPListener::HandleEditChannel(TPacket& packet) {
  TClientObject& p = *Current();
  const TChannelRecord edit = TChannelRecord::FromWire(packet.Memory() + 24);
  TChannelRecord* channel = Channels().FindByID(edit.ID);
  if (!channel) return SendErrorReply(rc::NoChannel, packet);
  const bool makesDefault = (edit.Flags & cfDefaultChannel) != 0;
  if ((channel->Flags & cfDefaultChannel) && !makesDefault) return SendErrorReply(rc::DefaultChannel, packet);
  if (makesDefault && !IsServerAdmin(p)) return SendErrorReply(rc::NeedServerAdmin, packet);
  if (ChangesLifeMarks(p, *channel, edit.Flags)) return SendErrorReply(rc::NeedServerAdmin, packet);
  if (!MayModerateChannel(p, channel->ID)) return SendErrorReply(rc::NeedModerator, packet);
  if (edit.Name != channel->Name && NameTaken(*this, *channel, edit.Name))
    return SendErrorReply(rc::NameTaken, packet);

  bool changed = false;
  if (edit.Flags != channel->Flags || edit.Codec != channel->Codec) {
    if (makesDefault) TakeDefaultMark(*this, *channel, p);
    channel->Flags = edit.Flags;
    channel->Codec = edit.Codec;
    changed = true;
  }
  if (edit.Name != channel->Name) {
    channel->Name = edit.Name;
    AnnounceText(*this, p, cmd::ChannelNameChanged, channel->ID, wire::kStr29, channel->Name);
  }
  if (edit.Description != channel->Description) {
    channel->Description = edit.Description;
    AnnounceText(*this, p, cmd::ChannelDescriptionChanged, channel->ID, wire::kStr99, channel->Description);
  }
  if (edit.MaxUsers != channel->MaxUsers) {
    channel->MaxUsers = edit.MaxUsers;
    AnnounceValue(*this, p, cmd::ChannelMaxUsersChanged, channel->ID, channel->MaxUsers);
  }
  if (edit.Order != channel->Order) {
    channel->Order = edit.Order;
    AnnounceValue(*this, p, cmd::ChannelOrderChanged, channel->ID, channel->Order);
  }
  if (edit.Topic != channel->Topic) {
    channel->Topic = edit.Topic;
    AnnounceText(*this, p, cmd::ChannelTopicChanged, channel->ID, wire::kStr29, channel->Topic);
  }
  // A client that shows a protected channel without its password sends the
  // flag with an empty text: that keeps the stored password.
  if (edit.Password != channel->Password && !((edit.Flags & cfHasPassword) && edit.Password.empty())) {
    channel->Password = edit.Password;
    SetPasswordFlag(*channel);
    changed = true;
  }
  if (changed) NotifyChannelFlags(channel->ID, p);
}
