// The notices of a virtual server: building and queuing commands, the
// announcements of players joining, leaving and switching, and the flag,
// rights and deletion notices.
#include "server/Notifier.h"

#include <string>

#include "common/CommandCodes.h"
#include "common/PacketBuffer.h"
#include "common/WireFormat.h"
#include "server/Channels.h"
#include "server/ServerSettings.h"

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
constexpr size_t kTextMessageSize = 314;

}  // namespace

// ---- building and queuing ---------------------------------------------------------

std::unique_ptr<TPacket> TNotifier::NewCommand(uint16_t code, size_t size, const TClientObject& to) {
  auto packet = NewCommandPacket(code, to.PlayerID, size - kCommandHeaderSize);
  packet->CommandHeader().SetSessionKey(to.SessionKey);
  return packet;
}

void TNotifier::Send(std::unique_ptr<TPacket> packet, bool closeAfter) {
  // A refusal is no concern of the command that sends: a player gone or
  // closing needs nothing, and a full queue (the player beyond reach) is
  // counted by the buffer.
  buffer_.SendPacket(std::move(packet), closeAfter);
}

void TNotifier::SendNotice(uint16_t code, const uint8_t* payload, size_t size, const std::vector<uint32_t>& to) {
  // Whoever it did not reach for a full queue or want of memory is counted
  // by the buffer.
  if (!to.empty()) buffer_.SendNotice(code, payload, size, to.data(), to.size());
}

void TNotifier::SendErrorReply(int32_t code, const TClientObject& to, TPacket& request, uint32_t channelID) {
  if (!request.IsCommand()) return;
  const bool withChannel = code == rc::WrongPassword;
  auto reply = NewCommand(static_cast<uint16_t>(static_cast<int16_t>(code)),
                          withChannel ? kErrorReplyWithChannelSize : kErrorReplySize, to);
  TCommandHeader refused = request.CommandHeader();
  wire::PutU16(reply->Memory() + 24, refused.Command());
  wire::PutU32(reply->Memory() + 26, refused.Sequence());
  if (withChannel) wire::PutU32(reply->Memory() + 30, channelID);
  Send(std::move(reply));
}

void TNotifier::WritePlayerRecord(uint8_t* dst, const TClientObject& p) {
  wire::PutU32(dst, p.PlayerID);
  wire::PutU32(dst + 4, p.ChannelID);
  wire::PutU16(dst + 8, p.ChannelPrivileges);
  wire::PutU16(dst + 10, p.PlayerPrivileges);
  wire::PutU32(dst + 12, p.PlayerFlags);
  wire::PutStr(dst + 16, wire::kStr29, p.NickName.Text());
}

void TNotifier::SendPlayerRecords(uint16_t code, const TClientObject& to,
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

// ---- the session's announcements -----------------------------------------------------

namespace {

// The payload of PlayerLeft (after the header).
void WritePlayerLeft(uint8_t* d, uint32_t id, uint16_t reason, uint32_t causer, std::string_view message) {
  wire::PutU32(d, id);
  wire::PutU16(d + 4, reason);
  wire::PutU32(d + 6, causer);
  wire::PutStr(d + 10, wire::kStr29, message);
}

}  // namespace

std::unique_ptr<TPacket> TNotifier::NewPlayerLeft(const TClientObject& to, uint32_t id, uint16_t reason,
                                                  uint32_t causer, std::string_view message) {
  auto notice = NewCommand(cmd::PlayerLeft, kPlayerLeftSize, to);
  WritePlayerLeft(notice->Memory() + kCommandHeaderSize, id, reason, causer, message);
  return notice;
}

void TNotifier::AnnouncePlayerLeft(uint32_t id, uint16_t reason, std::string_view message, uint32_t causer) {
  TClientObject* p = clients_.FindByID(id);
  if (!p || p->LeaveAnnounced) return;
  std::vector<uint32_t> others;
  bool toItself = false;
  for (TClientObject* q : clients_.Items()) {
    if (!moderation_.CanSee(*p, *q)) continue;
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

void TNotifier::AnnounceNewPlayer(uint32_t id) {
  TClientObject* p = clients_.FindByID(id);
  if (!p) return;
  std::vector<uint32_t> to;
  for (TClientObject* q : clients_.Items())
    if (q != p && moderation_.CanSee(*p, *q)) to.push_back(q->PlayerID);
  AnnounceNewPlayer(*p, to);
}

void TNotifier::AnnounceNewPlayer(const TClientObject& p, const std::vector<uint32_t>& to) {
  uint8_t record[kPlayerJoinedSize - kCommandHeaderSize];
  WritePlayerRecord(record, p);
  SendNotice(cmd::PlayerJoined, record, sizeof record, to);
}

// ---- switching ---------------------------------------------------------------------

void TNotifier::AnnounceSwitch(TClientObject& p, uint32_t oldChannel, uint32_t newChannel) {
  auto switched = [&](const TClientObject& to) {
    auto notice = NewCommand(cmd::PlayerSwitchedChannel, kPlayerSwitchedSize, to);
    uint8_t* d = notice->Memory();
    wire::PutU32(d + 24, p.PlayerID);
    wire::PutU32(d + 28, oldChannel);
    wire::PutU32(d + 32, newChannel);
    wire::PutU16(d + 36, p.ChannelPrivileges);
    Send(std::move(notice));
  };
  if (!(settings_.ServerType & stPublic)) {
    for (TClientObject* q : clients_.Items()) switched(*q);
    return;
  }
  // Public server: those left behind lose sight of the mover, the mover's new
  // family gains it, and the mover learns whom it sees now.
  for (TClientObject* q : clients_.Items()) {
    if (q == &p) switched(p);
    else if (q->ChannelID == oldChannel) Send(NewPlayerLeft(*q, p.PlayerID, cmd::LeftView, 0, ""));
  }
  AnnounceNewPlayer(p.PlayerID);
  std::vector<TClientObject*> inView;
  for (TClientObject* q : clients_.Items())
    if (q != &p && moderation_.CanSee(p, *q)) inView.push_back(q);
  SendPlayerRecords(cmd::PlayersInView, p, inView);
}

// ---- flag and rights notices ------------------------------------------------------------

void TNotifier::NotifyChannelFlags(uint32_t channelID, TClientObject& requester) {
  TChannelRecord* channel = channels_.FindByID(channelID);
  if (!channel) return;
  // The notices below may not change the list, but a copy keeps the walk
  // independent of what the helpers do.
  const std::vector<TClientObject*> players = clients_.Items();
  for (TClientObject* q : players) {
    if (!moderation_.CanSee(requester, *q)) continue;
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

void TNotifier::NotifyPlayerFlags(TClientObject& p) {
  ToViewers(p, cmd::PlayerFlagsChanged, kPlayerFlagsSize, [&](uint8_t* d) {
    wire::PutU32(d + 24, p.PlayerID);
    wire::PutU32(d + 28, p.PlayerFlags);
  });
}

namespace {

void NotifyPrivilege(TNotifier& notifier, uint16_t code, const TClientObject& p, uint32_t causer, uint8_t act,
                     uint8_t bit) {
  notifier.ToViewers(p, code, kPrivilegeChangedSize, [&](uint8_t* d) {
    wire::PutU32(d + 24, p.PlayerID);
    d[28] = act;
    d[29] = bit;
    wire::PutU32(d + 30, causer);
  });
}

}  // namespace

void TNotifier::NotifyChannelPrivilege(TClientObject& p, uint32_t causer, uint8_t act, uint8_t bit) {
  NotifyPrivilege(*this, cmd::ChannelPrivilegeChanged, p, causer, act, bit);
}

void TNotifier::NotifyPlayerPrivilege(TClientObject& p, uint32_t causer, uint8_t act, uint8_t bit) {
  NotifyPrivilege(*this, cmd::PlayerPrivilegeChanged, p, causer, act, bit);
}

// ---- channels going away ----------------------------------------------------------------

void TNotifier::NotifyChannelDeleted(uint32_t channelID, uint32_t deleter) {
  // The notice carries the id in 16 bits; a larger one cannot be announced.
  if (channelID > 0x7FFF) return;
  for (TClientObject* q : clients_.Items()) {
    auto notice = NewCommand(cmd::ChannelDeleted, kChannelDeletedSize, *q);
    wire::PutU16(notice->Memory() + 24, static_cast<uint16_t>(channelID));
    wire::PutU32(notice->Memory() + 26, deleter);
    Send(std::move(notice));
  }
}


std::unique_ptr<TPacket> TNotifier::NewTextMessage(const TClientObject& to, std::string_view text,
                                                   uint32_t value, std::string_view from) {
  auto notice = NewCommand(cmd::TextMessageOut, kTextMessageSize, to);
  uint8_t* out = notice->Memory();
  wire::PutStr(out + 24, wire::kStr255, text);
  wire::PutU32(out + 280, value);
  wire::PutStr(out + 284, wire::kStr29, from);
  return notice;
}
