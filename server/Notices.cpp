// The notices and operations that the session, the channel commands and the
// player commands share: building and queuing commands, visibility, the
// announcements of players joining, leaving and switching, the rights and
// flag notices, and the clean-up of empty temporary channels.
#include <string>

#include "common/CommandCodes.h"
#include "common/CaughtLog.h"
#include "common/Log.h"
#include "common/WireFormat.h"
#include "server/Listener.h"
#include "server/ServerObject.h"

namespace {

constexpr size_t kPlayerRecordSize = 46;
constexpr size_t kPlayerListSize = 488;
constexpr size_t kPlayersPerList = 10;
constexpr size_t kPlayerLeftSize = 64;
constexpr size_t kPlayerJoinedSize = 70;
constexpr size_t kPlayerSwitchedSize = 38;
constexpr size_t kPlayerFlagsSize = 32;
constexpr size_t kPrivilegeChangedSize = 34;
constexpr size_t kChannelFlagsSize = 36;
constexpr size_t kChannelDeletedSize = 30;
constexpr size_t kErrorReplySize = 30;
constexpr size_t kErrorReplyWithChannelSize = 34;
// The clean-up after a player left removes one empty temporary family per
// pass and starts again. A pass walks the channel list from its end; for each
// temporary family it meets, ChannelInUse looks at the family's own member
// lists and scans the list once more for its sub-channels, so one pass costs
// up to (temporary families) x (channels) record visits with both locks held.
// A departure normally empties one family: two passes. The bound caps a list
// that would never settle at a known amount of work instead of a hang.
constexpr int kClearChannelUpPasses = 1001;

}  // namespace

// ---- building and queuing ---------------------------------------------------------

std::unique_ptr<TPacket> TPLUDPListener::NewCommand(uint16_t code, size_t size, const TClientObject& to) {
  auto packet = NewCommandPacket(code, to.PlayerID, size - kCommandHeaderSize);
  packet->CommandHeader().SetSessionKey(to.SessionKey);
  return packet;
}

void TPLUDPListener::Send(std::unique_ptr<TPacket> packet, bool closeAfter) {
  // A refusal is no concern of the command that sends: a player gone or
  // closing needs nothing, and a full queue (the player beyond reach) is
  // counted by the buffer.
  server_.PacketBuffer->SendPacket(std::move(packet), closeAfter);
}

void TPLUDPListener::SendNotice(uint16_t code, const uint8_t* payload, size_t size, const std::vector<uint32_t>& to) {
  // Whoever it did not reach for a full queue or want of memory is counted
  // by the buffer.
  if (!to.empty()) server_.PacketBuffer->SendNotice(code, payload, size, to.data(), to.size());
}

void TPLUDPListener::SendErrorReply(int32_t code, TPacket& request, uint32_t channelID) {
  if (!current_ || !request.IsCommand()) return;
  const bool withChannel = code == rc::WrongPassword;
  auto reply = NewCommand(static_cast<uint16_t>(static_cast<int16_t>(code)),
                          withChannel ? kErrorReplyWithChannelSize : kErrorReplySize, *current_);
  TCommandHeader refused = request.CommandHeader();
  wire::PutU16(reply->Memory() + 24, refused.Command());
  wire::PutU32(reply->Memory() + 26, refused.Sequence());
  if (withChannel) wire::PutU32(reply->Memory() + 30, channelID);
  Send(std::move(reply));
}

void TPLUDPListener::WritePlayerRecord(uint8_t* dst, const TClientObject& p) {
  wire::PutU32(dst, p.PlayerID);
  wire::PutU32(dst + 4, p.ChannelID);
  wire::PutU16(dst + 8, p.ChannelPrivileges);
  wire::PutU16(dst + 10, p.PlayerPrivileges);
  wire::PutU32(dst + 12, p.PlayerFlags);
  wire::PutStr(dst + 16, wire::kStr29, p.NickName.Text());
}

void TPLUDPListener::SendPlayerRecords(uint16_t code, const TClientObject& to,
                                       const std::vector<TClientObject*>& players) {
  std::unique_ptr<TPacket> list;
  uint32_t count = 0;
  for (const TClientObject* p : players) {
    if (!list) list = NewCommand(code, kPlayerListSize, to);
    WritePlayerRecord(list->Memory() + 28 + kPlayerRecordSize * count, *p);
    wire::PutU32(list->Memory() + 24, ++count);
    if (count == kPlayersPerList) {
      Send(std::move(list));
      count = 0;
    }
  }
  if (list) Send(std::move(list));
}

// ---- moderators -----------------------------------------------------------------------

bool TPLUDPListener::HasModeratorRights(const TClientObject& p) {
  return (p.ChannelPrivileges & (ChannelPrivileges::ChannelAdmin | ChannelPrivileges::Operator)) ||
         (p.PlayerPrivileges & PlayerPrivileges::ServerAdmin);
}

bool TPLUDPListener::MayModerateChannel(const TClientObject& requester, uint32_t channelID) {
  if (requester.PlayerPrivileges & PlayerPrivileges::ServerAdmin) return true;
  return HasModeratorRights(requester) && Channels().RootOf(requester.ChannelID) == Channels().RootOf(channelID);
}

bool TPLUDPListener::MayModeratePlayer(const TClientObject& requester, const TClientObject& target) {
  if (requester.PlayerPrivileges & PlayerPrivileges::ServerAdmin) return true;
  if (target.PlayerPrivileges & PlayerPrivileges::ServerAdmin) return false;
  return MayModerateChannel(requester, target.ChannelID);
}

namespace {

// The checks of a moderator's command, in their order: its target exists
// (else `missing`), then the requester's moderator rights reach it. False
// once refused.
bool ModeratorMayAct(TPLUDPListener& l, bool exists, int32_t missing, bool reaches, TPacket& packet) {
  if (!exists) {
    l.SendErrorReply(missing, packet);
    return false;
  }
  if (!reaches) {
    l.SendErrorReply(rc::NeedModerator, packet);
    return false;
  }
  return true;
}

}  // namespace

TChannelRecord* TPLUDPListener::ModeratedChannel(TPacket& packet) {
  TChannelRecord* channel = Channels().FindByID(wire::GetU32(packet.Memory() + 24));
  const bool reaches = channel && MayModerateChannel(*Current(), channel->ID);
  return ModeratorMayAct(*this, channel != nullptr, rc::NoChannel, reaches, packet) ? channel : nullptr;
}

TClientObject* TPLUDPListener::ModeratedPlayer(TPacket& packet) {
  TClientObject* target = FindPlayerByID(wire::GetU32(packet.Memory() + 24));
  const bool reaches = target && MayModeratePlayer(*Current(), *target);
  return ModeratorMayAct(*this, target != nullptr, rc::NoPlayer, reaches, packet) ? target : nullptr;
}

// ---- visibility and the session's announcements ---------------------------------------

bool TPLUDPListener::CanSee(const TClientObject& a, const TClientObject& b) {
  if (server_.ServerType & stClan) return true;
  return Channels().RootOf(a.ChannelID) == Channels().RootOf(b.ChannelID);
}

namespace {

// The payload of PlayerLeft (after the header).
void WritePlayerLeft(uint8_t* d, uint32_t id, uint16_t reason, uint32_t causer, std::string_view message) {
  wire::PutU32(d, id);
  wire::PutU16(d + 4, reason);
  wire::PutU32(d + 6, causer);
  wire::PutStr(d + 10, wire::kStr29, message);
}

}  // namespace

std::unique_ptr<TPacket> TPLUDPListener::NewPlayerLeft(const TClientObject& to, uint32_t id, uint16_t reason,
                                                       uint32_t causer, std::string_view message) {
  auto notice = NewCommand(cmd::PlayerLeft, kPlayerLeftSize, to);
  WritePlayerLeft(notice->Memory() + kCommandHeaderSize, id, reason, causer, message);
  return notice;
}

void TPLUDPListener::AnnouncePlayerLeft(uint32_t id, uint16_t reason, std::string_view message, uint32_t causer) {
  TClientObject* p = FindPlayerByID(id);
  if (!p || p->LeaveAnnounced) return;
  std::vector<uint32_t> others;
  bool toItself = false;
  for (TClientObject* q : Clients().Items()) {
    if (!CanSee(*p, *q)) continue;
    if (q == p) toItself = true;
    else others.push_back(q->PlayerID);
  }
  uint8_t payload[kPlayerLeftSize - kCommandHeaderSize];
  WritePlayerLeft(payload, id, reason, causer, message);
  SendNotice(cmd::PlayerLeft, payload, sizeof payload, others);
  // The leaver's own copy closes its connection once it is delivered; the
  // loop then removes the player without a second notice.
  if (toItself) Send(NewPlayerLeft(*p, id, reason, causer, message), true);
  p->LeaveAnnounced = true;
}

void TPLUDPListener::AnnounceNewPlayer(uint32_t id) {
  TClientObject* p = FindPlayerByID(id);
  if (!p) return;
  std::vector<uint32_t> to;
  for (TClientObject* q : Clients().Items())
    if (q != p && CanSee(*p, *q)) to.push_back(q->PlayerID);
  AnnounceNewPlayer(*p, to);
}

void TPLUDPListener::AnnounceNewPlayer(const TClientObject& p, const std::vector<uint32_t>& to) {
  uint8_t record[kPlayerJoinedSize - kCommandHeaderSize];
  WritePlayerRecord(record, p);
  SendNotice(cmd::PlayerJoined, record, sizeof record, to);
}

// ---- joining and switching ------------------------------------------------------------

int32_t TPLUDPListener::JoinCheck(uint32_t channelID, std::string_view password) {
  const TChannelRecord* channel = Channels().FindByID(channelID);
  if (!channel) return rc::NoChannel;
  // A sub-channel is guarded by its parent's password.
  const TChannelRecord* guard = channel;
  if (!channel->IsTopLevel())
    if (const TChannelRecord* parent = Channels().FindByID(channel->Parent)) guard = parent;
  if (!guard->Password.empty()) {
    if (password.empty()) return rc::PasswordRequired;
    if (password != guard->Password) return 1;
  }
  if (Clients().CountInChannel(channelID) >= channel->MaxUsers) return rc::ChannelFull;
  return 0;
}

void TPLUDPListener::ApplyAutoRights(TClientObject& p) {
  if (p.ChannelPrivileges & ChannelPrivileges::AutoOperator) p.ChannelPrivileges |= ChannelPrivileges::Operator;
  if (p.ChannelPrivileges & ChannelPrivileges::AutoVoice) p.ChannelPrivileges |= ChannelPrivileges::Voice;
}

void TPLUDPListener::AnnounceSwitch(TClientObject& p, uint32_t oldChannel, uint32_t newChannel) {
  auto switched = [&](const TClientObject& to) {
    auto notice = NewCommand(cmd::PlayerSwitchedChannel, kPlayerSwitchedSize, to);
    uint8_t* d = notice->Memory();
    wire::PutU32(d + 24, p.PlayerID);
    wire::PutU32(d + 28, oldChannel);
    wire::PutU32(d + 32, newChannel);
    wire::PutU16(d + 36, p.ChannelPrivileges);
    Send(std::move(notice));
  };
  if (!(server_.ServerType & stPublic)) {
    for (TClientObject* q : Clients().Items()) switched(*q);
    return;
  }
  // Public server: those left behind lose sight of the mover, the mover's new
  // family gains it, and the mover learns whom it sees now.
  for (TClientObject* q : Clients().Items()) {
    if (q == &p) switched(p);
    else if (q->ChannelID == oldChannel) Send(NewPlayerLeft(*q, p.PlayerID, cmd::LeftView, 0, ""));
  }
  AnnounceNewPlayer(p.PlayerID);
  std::vector<TClientObject*> inView;
  for (TClientObject* q : Clients().Items())
    if (q != &p && CanSee(p, *q)) inView.push_back(q);
  SendPlayerRecords(cmd::PlayersInView, p, inView);
}

// ---- flag and rights notices ------------------------------------------------------------

void TPLUDPListener::NotifyChannelFlags(uint32_t channelID, TClientObject& requester) {
  TChannelRecord* channel = Channels().FindByID(channelID);
  if (!channel) return;
  // The notices below may not change the list, but a copy keeps the walk
  // independent of what the helpers do.
  const std::vector<TClientObject*> players = Clients().Items();
  for (TClientObject* q : players) {
    if (!CanSee(requester, *q)) continue;
    auto notice = NewCommand(cmd::ChannelFlagsChanged, kChannelFlagsSize, *q);
    uint8_t* d = notice->Memory();
    wire::PutU32(d + 24, channel->ID);
    wire::PutU16(d + 28, channel->Flags);
    wire::PutU16(d + 30, channel->Codec);
    wire::PutU32(d + 32, requester.PlayerID);
    Send(std::move(notice));
    // Without moderation, voice requests and the rights to speak lose their point.
    if (q->ChannelID != channel->ID || (channel->Flags & cfModerated)) continue;
    if (q->PlayerFlags & PlayerFlags::VoiceRequested) {
      q->PlayerFlags &= ~PlayerFlags::VoiceRequested;
      NotifyPlayerFlags(*q);
    }
    if (q->ChannelPrivileges & ChannelPrivileges::Operator) {
      q->ChannelPrivileges &= static_cast<uint16_t>(~ChannelPrivileges::Operator);
      NotifyChannelPrivilege(*q, 0, action::RevokedByServer, ChannelRightBit::Operator);
    }
    if (q->ChannelPrivileges & ChannelPrivileges::Voice) {
      q->ChannelPrivileges &= static_cast<uint16_t>(~ChannelPrivileges::Voice);
      NotifyChannelPrivilege(*q, 0, action::RevokedByServer, ChannelRightBit::Voice);
    }
  }
}

void TPLUDPListener::NotifyPlayerFlags(TClientObject& p) {
  ToViewers(p, cmd::PlayerFlagsChanged, kPlayerFlagsSize, [&](uint8_t* d) {
    wire::PutU32(d + 24, p.PlayerID);
    wire::PutU32(d + 28, p.PlayerFlags);
  });
}

namespace {

void NotifyPrivilege(TPLUDPListener& listener, uint16_t code, const TClientObject& p, uint32_t causer, uint8_t act,
                     uint8_t bit) {
  listener.ToViewers(p, code, kPrivilegeChangedSize, [&](uint8_t* d) {
    wire::PutU32(d + 24, p.PlayerID);
    d[28] = act;
    d[29] = bit;
    wire::PutU32(d + 30, causer);
  });
}

}  // namespace

void TPLUDPListener::NotifyChannelPrivilege(TClientObject& p, uint32_t causer, uint8_t act, uint8_t bit) {
  NotifyPrivilege(*this, cmd::ChannelPrivilegeChanged, p, causer, act, bit);
}

void TPLUDPListener::NotifyPlayerPrivilege(TClientObject& p, uint32_t causer, uint8_t act, uint8_t bit) {
  NotifyPrivilege(*this, cmd::PlayerPrivilegeChanged, p, causer, act, bit);
}

// ---- channels going away ----------------------------------------------------------------

void TPLUDPListener::NotifyChannelDeleted(uint32_t channelID, uint32_t deleter) {
  // The notice carries the id in 16 bits; a larger one cannot be announced.
  if (channelID > 0x7FFF) return;
  for (TClientObject* q : Clients().Items()) {
    auto notice = NewCommand(cmd::ChannelDeleted, kChannelDeletedSize, *q);
    wire::PutU16(notice->Memory() + 24, static_cast<uint16_t>(channelID));
    wire::PutU32(notice->Memory() + 26, deleter);
    Send(std::move(notice));
  }
}

int32_t TPLUDPListener::ChannelInUse(uint32_t channelID) {
  if (Clients().CountInChannel(channelID) > 0) return rc::ChannelNotEmpty;
  const TChannelRecord* channel = Channels().FindByID(channelID);
  if (!channel || !channel->IsTopLevel()) return 0;
  for (const auto& sub : Channels().Records())
    if (sub->Parent == channelID && Clients().CountInChannel(sub->ID) > 0) return rc::ChannelNotEmpty;
  return 0;
}

namespace {

// The default channel is never removed, even a temporary one that a channel
// administrator marked so: the clean-up would pick it again in every pass
// and never reach the empty families behind it.
bool IsTemporaryFamily(const TChannelRecord& channel) {
  return (channel.Flags & cfUnregistered) && channel.IsTopLevel() && !(channel.Flags & cfDefaultChannel);
}

}  // namespace

void TPLUDPListener::ClearChannelUpAll() {
  try {
    // Each pass removes at most one family, then starts again from the end.
    for (int pass = 0; pass < kClearChannelUpPasses; ++pass) {
      const auto& records = Channels().Records();
      uint32_t victim = 0;
      bool found = false;
      for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (IsTemporaryFamily(**it) && ChannelInUse((*it)->ID) == 0) {
          victim = (*it)->ID;
          found = true;
          break;
        }
      }
      if (!found) return;
      Channels().RemoveChannel(victim);
      const std::vector<uint32_t> removed = Channels().Affected();
      for (uint32_t id : removed) NotifyChannelDeleted(id, 0);
    }
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", "ClearChannelUp", error);
  }
}

void TPLUDPListener::ClearChannelUp(uint32_t channelID, uint32_t requesterID) {
  try {
    // The family is what lives or goes: a player leaving a temporary family
    // from one of its sub-channels may have left it empty too. An emptied
    // sub-channel is never removed by itself.
    const uint32_t root = Channels().RootOf(channelID);
    const TChannelRecord* channel = Channels().FindByID(root);
    if (!channel || !IsTemporaryFamily(*channel) || ChannelInUse(root) != 0) return;
    Channels().RemoveChannel(root);
    const std::vector<uint32_t> removed = Channels().Affected();
    for (uint32_t id : removed) NotifyChannelDeleted(id, requesterID);
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", "ClearChannelUp", error);
  }
}
