// The channel commands: switching channels, and creating, changing and
// deleting them, with the notices that keep every other client's view of
// the channels current (server/CommandHandlers.h says how they are called).
#include <string>
#include <vector>

#include "common/CommandCodes.h"
#include "common/TextFormat.h"
#include "common/WireFormat.h"
#include "server/ChannelMoves.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "server/CommandHandlers.h"
#include "server/ServerObject.h"

namespace {

uint32_t ChannelIdOf(TPacket& packet) { return wire::GetU32(packet.Memory() + 24); }

bool IsServerAdmin(const TClientObject& p) { return (p.PlayerPrivileges & PlayerPrivileges::ServerAdmin) != 0; }
bool IsChannelAdmin(const TClientObject& p) { return (p.ChannelPrivileges & ChannelPrivileges::ChannelAdmin) != 0; }

// ChannelNameChanged, ChannelTopicChanged (str29) and ChannelDescriptionChanged
// (str99): channel id, the text, the requester's id.
void AnnounceText(TNotifier& n, const TClientObject& requester, uint16_t code, uint32_t channelID,
                  size_t capacity, const std::string& text) {
  n.ToViewers(requester, code, 28 + 1 + capacity + 4, [&](uint8_t* d) {
    wire::PutU32(d + 24, channelID);
    wire::PutStr(d + 28, capacity, text);
    wire::PutU32(d + 29 + capacity, requester.PlayerID);
  });
}

// ChannelMaxUsersChanged and ChannelOrderChanged: channel id, u16 value, the
// requester's id.
void AnnounceValue(TNotifier& n, const TClientObject& requester, uint16_t code, uint32_t channelID,
                   uint16_t value) {
  n.ToViewers(requester, code, 34, [&](uint8_t* d) {
    wire::PutU32(d + 24, channelID);
    wire::PutU16(d + 28, value);
    wire::PutU32(d + 30, requester.PlayerID);
  });
}

// Before `channel` takes the default mark: the channel that carries it now,
// if that is another one, loses it, and its viewers hear of it.
void TakeDefaultMark(THandlerContext& c, const TChannelRecord& channel, TClientObject& requester) {
  const int64_t current = c.Channels.DefaultChannelID();
  if (current < 0 || static_cast<uint32_t>(current) == channel.ID) return;
  c.Channels.FindByID(static_cast<uint32_t>(current))->Flags &= static_cast<uint16_t>(~cfDefaultChannel);
  c.Notify.NotifyChannelFlags(static_cast<uint32_t>(current), requester);
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
bool NameTaken(const TChannels& channels, const TChannelRecord& channel, const std::string& name) {
  for (const auto& other : channels.Records())
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


}  // namespace

void HandleSwitchChannel(THandlerContext& c, TPacket& packet) {
  TClientObject& p = c.Player;
  const uint32_t target = ChannelIdOf(packet);
  const TChannelRecord* to = c.Channels.FindByID(target);
  if (!to) return c.Reply(rc::NoChannel);
  if (!IsServerAdmin(p)) {
    const int32_t check = c.Moves.JoinCheck(target, wire::GetStr(packet.Memory() + 28, wire::kStr29));
    if (check < 0) return c.Reply(check);
    if (check == 1) return c.Reply(rc::WrongPassword, target);
  }

  c.Moves.SwitchPlayer(p, target);
}

void HandleCreateChannel(THandlerContext& c, TPacket& packet) {
  TClientObject& p = c.Player;
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
  if (record.Codec <= cdWindowsCelp52 && !c.Server.CodecAllowed(record.Codec))
    return c.Reply(rc::CodecNotAllowed);
  if (!IsServerAdmin(p) && (!(record.Flags & cfUnregistered) || (record.Flags & cfDefaultChannel)))
    return c.Reply(rc::NeedServerAdmin);
  if (!(c.Server.ServerFlags & sfUnregisteredChannels)) {
    if (!IsServerAdmin(p) && record.IsTopLevel()) return c.Reply(rc::NeedServerAdmin);
    if (!IsServerAdmin(p) && !IsChannelAdmin(p)) return c.Reply(rc::NeedChannelAdmin);
  }
  const int64_t added = c.Channels.AddChannel(std::move(record));
  if (added < 0) return c.Reply(static_cast<int32_t>(added));
  const uint32_t id = static_cast<uint32_t>(added);

  const std::vector<uint32_t> lost = c.Channels.Affected();
  for (uint32_t lostID : lost) c.Notify.NotifyChannelFlags(lostID, p);

  const TChannelRecord& created = *c.Channels.FindByID(id);
  for (TClientObject* q : c.Clients.Items()) {
    auto notice = TNotifier::NewCommand(cmd::ChannelCreated, 204, *q);
    created.ToWire(notice->Memory() + 24, TChannelRecord::kListSize);
    wire::PutU32(notice->Memory() + 200, p.PlayerID);
    c.Notify.Send(std::move(notice));
  }

  // A temporary top-level channel takes its creator in; the creator keeps the
  // rights it had.
  const uint32_t old = p.ChannelID;
  if ((created.Flags & cfUnregistered) && created.IsTopLevel()) {
    c.Clients.MovePlayer(&p, id);
    c.Notify.AnnounceSwitch(p, old, id);
  }
  if (!IsChannelAdmin(p) && !IsServerAdmin(p)) {
    p.ChannelPrivileges |= ChannelPrivileges::ChannelAdmin;
    c.Notify.NotifyChannelPrivilege(p, 0, action::GrantedByServer, ChannelRightBit::ChannelAdmin);
  }
  c.Moves.ClearChannelUp(old, p.PlayerID);
}

void HandleDeleteChannel(THandlerContext& c, TPacket& packet) {
  TClientObject& p = c.Player;
  const uint32_t id = ChannelIdOf(packet);
  const TChannelRecord* channel = c.Channels.FindByID(id);
  if (!channel) return c.Reply(rc::NoChannel);
  if (channel->IsTopLevel() && !IsServerAdmin(p)) return c.Reply(rc::NeedServerAdmin);
  if (!IsChannelAdmin(p) && !IsServerAdmin(p)) return c.Reply(rc::NeedChannelAdmin);
  if (!c.Moderation.MayModerateChannel(p, id)) return c.Reply(rc::NeedModerator);
  if (const int32_t inUse = c.Moves.ChannelInUse(id); inUse != 0) return c.Reply(inUse);
  if (channel->Flags & cfDefaultChannel) return c.Reply(rc::DefaultChannel);

  if (const int32_t removed = c.Channels.RemoveChannel(id); removed != 0) return c.Reply(removed);
  const std::vector<uint32_t> gone = c.Channels.Affected();
  for (uint32_t goneID : gone) c.Notify.NotifyChannelDeleted(goneID, p.PlayerID);
}

void HandleSetChannelPassword(THandlerContext& c, TPacket& packet) {
  TChannelRecord* channel = c.ModeratedChannel();
  if (!channel) return;
  const std::string password = wire::GetStr(packet.Memory() + 28, wire::kStr29);
  // Sub-channels are guarded by their parent's password.
  if (!channel->IsTopLevel() && !password.empty()) return c.Reply(rc::SubChannelPassword);

  TClientObject& p = c.Player;
  channel->Password = password;
  SetPasswordFlag(*channel);
  auto reply = TNotifier::NewCommand(cmd::ChannelPasswordSet, 28, p);
  wire::PutU32(reply->Memory() + 24, channel->ID);
  c.Notify.Send(std::move(reply));
  c.Notify.NotifyChannelFlags(channel->ID, p);
}

void HandleSetChannelFlags(THandlerContext& c, TPacket& packet) {
  TClientObject& p = c.Player;
  const uint8_t* d = packet.Memory();
  TChannelRecord* channel = c.Channels.FindByID(ChannelIdOf(packet));
  if (!channel) return c.Reply(rc::NoChannel);
  if (!channel->IsTopLevel()) return c.Reply(rc::SubChannelFlags);
  const uint16_t flags = wire::GetU16(d + 28);
  const uint16_t codec = wire::GetU16(d + 30);
  if (ChangesLifeMarks(p, *channel, flags)) return c.Reply(rc::NeedServerAdmin);
  if (!c.Moderation.MayModerateChannel(p, channel->ID)) return c.Reply(rc::NeedModerator);
  // Players arrive in the default channel: it may hand its mark to another
  // channel, never simply drop it.
  if ((channel->Flags & cfDefaultChannel) && !(flags & cfDefaultChannel))
    return c.Reply(rc::DefaultChannel);

  if (flags & cfDefaultChannel) TakeDefaultMark(c, *channel, p);
  // Stored as given: the codec is not checked and HasPassword not adjusted.
  channel->Flags = flags;
  channel->Codec = codec;
  c.Notify.NotifyChannelFlags(channel->ID, p);
}

void HandleSetChannelName(THandlerContext& c, TPacket& packet) {
  TChannelRecord* channel = c.ModeratedChannel();
  if (!channel) return;
  const std::string name = wire::GetStr(packet.Memory() + 28, wire::kStr29);
  if (NameTaken(c.Channels, *channel, name)) return c.Reply(rc::NameTaken);
  channel->Name = name;
  AnnounceText(c.Notify, c.Player, cmd::ChannelNameChanged, channel->ID, wire::kStr29, channel->Name);
}

void HandleSetChannelTopic(THandlerContext& c, TPacket& packet) {
  TChannelRecord* channel = c.ModeratedChannel();
  if (!channel) return;
  channel->Topic = wire::GetStr(packet.Memory() + 28, wire::kStr29);
  AnnounceText(c.Notify, c.Player, cmd::ChannelTopicChanged, channel->ID, wire::kStr29, channel->Topic);
}

void HandleSetChannelDescription(THandlerContext& c, TPacket& packet) {
  TChannelRecord* channel = c.ModeratedChannel();
  if (!channel) return;
  channel->Description = wire::GetStr(packet.Memory() + 28, wire::kStr99);
  AnnounceText(c.Notify, c.Player, cmd::ChannelDescriptionChanged, channel->ID, wire::kStr99, channel->Description);
}

void HandleSetChannelMaxUsers(THandlerContext& c, TPacket& packet) {
  TChannelRecord* channel = c.ModeratedChannel();
  if (!channel) return;
  channel->MaxUsers = wire::GetU16(packet.Memory() + 28);
  AnnounceValue(c.Notify, c.Player, cmd::ChannelMaxUsersChanged, channel->ID, channel->MaxUsers);
}

void HandleSetChannelOrder(THandlerContext& c, TPacket& packet) {
  TChannelRecord* channel = c.ModeratedChannel();
  if (!channel) return;
  channel->Order = wire::GetU16(packet.Memory() + 28);
  AnnounceValue(c.Notify, c.Player, cmd::ChannelOrderChanged, channel->ID, channel->Order);
}

// EditChannel carries a whole channel record (its Parent is not used). Each
// field that differs is stored; the texts and values are announced one by
// one, flags, codec and password together by one ChannelFlagsChanged at the
// end.
void HandleEditChannel(THandlerContext& c, TPacket& packet) {
  TClientObject& p = c.Player;
  const TChannelRecord edit = TChannelRecord::FromWire(packet.Memory() + 24);
  TChannelRecord* channel = c.Channels.FindByID(edit.ID);
  if (!channel) return c.Reply(rc::NoChannel);
  const bool makesDefault = (edit.Flags & cfDefaultChannel) != 0;
  if ((channel->Flags & cfDefaultChannel) && !makesDefault) return c.Reply(rc::DefaultChannel);
  if (makesDefault && !IsServerAdmin(p)) return c.Reply(rc::NeedServerAdmin);
  if (ChangesLifeMarks(p, *channel, edit.Flags)) return c.Reply(rc::NeedServerAdmin);
  if (!c.Moderation.MayModerateChannel(p, channel->ID)) return c.Reply(rc::NeedModerator);
  if (edit.Name != channel->Name && NameTaken(c.Channels, *channel, edit.Name))
    return c.Reply(rc::NameTaken);

  bool changed = false;
  if (edit.Flags != channel->Flags || edit.Codec != channel->Codec) {
    if (makesDefault) TakeDefaultMark(c, *channel, p);
    channel->Flags = edit.Flags;
    channel->Codec = edit.Codec;
    changed = true;
  }
  if (edit.Name != channel->Name) {
    channel->Name = edit.Name;
    AnnounceText(c.Notify, p, cmd::ChannelNameChanged, channel->ID, wire::kStr29, channel->Name);
  }
  if (edit.Description != channel->Description) {
    channel->Description = edit.Description;
    AnnounceText(c.Notify, p, cmd::ChannelDescriptionChanged, channel->ID, wire::kStr99, channel->Description);
  }
  if (edit.MaxUsers != channel->MaxUsers) {
    channel->MaxUsers = edit.MaxUsers;
    AnnounceValue(c.Notify, p, cmd::ChannelMaxUsersChanged, channel->ID, channel->MaxUsers);
  }
  if (edit.Order != channel->Order) {
    channel->Order = edit.Order;
    AnnounceValue(c.Notify, p, cmd::ChannelOrderChanged, channel->ID, channel->Order);
  }
  if (edit.Topic != channel->Topic) {
    channel->Topic = edit.Topic;
    AnnounceText(c.Notify, p, cmd::ChannelTopicChanged, channel->ID, wire::kStr29, channel->Topic);
  }
  // A client that shows a protected channel without its password sends the
  // flag with an empty text: that keeps the stored password.
  if (edit.Password != channel->Password && !((edit.Flags & cfHasPassword) && edit.Password.empty())) {
    channel->Password = edit.Password;
    SetPasswordFlag(*channel);
    changed = true;
  }
  if (changed) c.Notify.NotifyChannelFlags(channel->ID, p);
}
