// The player commands: what a logged-in player does to players rather than
// to channels (kicks, status flags, voice requests, channel and server
// rights, account registration, information queries and text messages),
// with their notices (server/CommandHandlers.h says how they are called).
// A registration's hash and store run on the account worker, and its reply
// goes out when the worker hands it back (to the player, if still there).
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "common/AuditLog.h"
#include "common/CommandCodes.h"
#include "common/WireFormat.h"
#include "database/Accounts.h"
#include "server/ChannelMoves.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "server/CommandHandlers.h"
#include "server/ServerObject.h"

namespace {

constexpr size_t kKickedFromChannelSize = 68;
constexpr size_t kVoiceRequestedSize = 58;
constexpr size_t kUserRegisteredSize = 24;
constexpr size_t kPlayerInfoReplySize = 164;
constexpr size_t kServerInfoReplySize = 56;

// A total that outgrows its 32-bit field reads as the largest value rather
// than wrapping to a small one.
uint32_t Saturated32(int64_t total) {
  if (total < 0) return 0;
  return total > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

// Applies a grant (action 0) or a revocation (action 2) of `bit` to `rights`;
// the server's own action codes change nothing when a client sends them.
void ApplyAction(uint16_t& rights, uint8_t actionCode, uint8_t bit) {
  const auto mask = static_cast<uint16_t>(1u << bit);
  if (actionCode == action::Granted) rights = static_cast<uint16_t>(rights | mask);
  if (actionCode == action::Revoked) rights = static_cast<uint16_t>(rights & ~mask);
}

bool IsRegistered(const TClientObject& p) { return (p.PlayerPrivileges & PlayerPrivileges::Registered) != 0; }

}  // namespace

void HandleKickPlayer(THandlerContext& c, TPacket& packet) {
  const uint8_t* d = packet.Memory();
  TClientObject& requester = c.Player;
  TClientObject* target = c.ModeratedPlayer();
  if (!target) return;
  const std::string message = wire::GetStr(d + 28, wire::kStr29);
  c.Services.AuditVoice(packet, requester, "kick",
             "player " + std::to_string(target->PlayerID) + " " + target->NickName.Text() + ": " + message);
  c.Moves.KickPlayer(*target, message, requester.PlayerID);
}

void HandleKickFromChannel(THandlerContext& c, TPacket& packet) {
  const uint8_t* d = packet.Memory();
  TClientObject* target = c.ModeratedPlayer();
  if (!target) return;
  const int64_t landing = c.Channels.DefaultChannelID();
  // Without a default channel (its mark can be taken away by a flag change)
  // there is nowhere to land; the target stays rather than being filed in a
  // channel that does not exist.
  if (landing < 0) return;
  const auto defaultChannel = static_cast<uint32_t>(landing);
  const uint32_t oldChannel = target->ChannelID;
  // Rights stored for the default family, without auto rights.
  target->ChannelPrivileges =
      IsRegistered(*target) ? c.Channels.GetUserRights(defaultChannel, target->LoginName.Text()) : 0;
  const std::string message = wire::GetStr(d + 28, wire::kStr29);
  c.Services.AuditVoice(packet, c.Player, "kick",
             "player " + std::to_string(target->PlayerID) + " " + target->NickName.Text() + " from channel " +
                 std::to_string(oldChannel) + ": " + message);
  // The notice goes to those who see the target where it was, so it is
  // sent before the move.
  c.Notify.ToViewers(*target, cmd::PlayerKickedFromChannel, kKickedFromChannelSize, [&](uint8_t* out) {
    wire::PutU32(out + 24, target->PlayerID);
    wire::PutU32(out + 28, oldChannel);
    wire::PutU32(out + 32, defaultChannel);
    wire::PutU16(out + 36, target->ChannelPrivileges);
    wire::PutStr(out + 38, wire::kStr29, message);
  });
  c.Clients.MovePlayer(target, defaultChannel);
}

void HandleSetPlayerFlags(THandlerContext& c, TPacket& packet) {
  TClientObject& requester = c.Player;
  requester.PlayerFlags = wire::GetU32(packet.Memory() + 24);
  c.Notify.NotifyPlayerFlags(requester);
}

void HandleRequestVoice(THandlerContext& c, TPacket& packet) {
  TClientObject& requester = c.Player;
  const TChannelRecord* channel = c.Channels.FindByID(requester.ChannelID);
  if (channel && !(channel->Flags & cfModerated)) return c.Reply(rc::NotModerated);
  if (requester.PlayerFlags & PlayerFlags::VoiceRequested) return c.Reply(rc::VoiceAlreadyRequested);
  requester.PlayerFlags |= PlayerFlags::VoiceRequested;
  const std::string message = wire::GetStr(packet.Memory() + 24, wire::kStr29);
  c.Notify.ToViewers(requester, cmd::VoiceRequested, kVoiceRequestedSize, [&](uint8_t* out) {
    wire::PutU32(out + 24, requester.PlayerID);
    wire::PutStr(out + 28, wire::kStr29, message);
  });
}

void HandleSetChannelPrivilege(THandlerContext& c, TPacket& packet) {
  const uint8_t* d = packet.Memory();
  TClientObject& requester = c.Player;
  TClientObject* target = c.ModeratedPlayer();
  if (!target) return;
  const uint8_t actionCode = d[28];
  const uint8_t bit = d[29];
  if (actionCode == action::Granted) {
    const uint16_t rights = target->ChannelPrivileges;
    if (bit == ChannelRightBit::ChannelAdmin && (rights & ChannelPrivileges::ChannelAdmin))
      return c.Reply(rc::AlreadyChannelAdmin);
    if (bit == ChannelRightBit::Operator && (rights & ChannelPrivileges::Operator))
      return c.Reply(rc::AlreadyOperator);
    if (bit == ChannelRightBit::Voice && (rights & ChannelPrivileges::Voice)) return c.Reply(rc::AlreadyVoice);
  }
  // Auto rights are stored per login name, so only an account can hold them.
  if (!IsRegistered(*target) && (bit == ChannelRightBit::AutoOperator || bit == ChannelRightBit::AutoVoice))
    return c.Reply(rc::AutoRightsNeedRegistered);
  if (bit > kHighestRightBit) return;

  ApplyAction(target->ChannelPrivileges, actionCode, bit);
  // Voice granted answers a pending request.
  if (actionCode == action::Granted && bit == ChannelRightBit::Voice && (target->PlayerFlags & PlayerFlags::VoiceRequested)) {
    target->PlayerFlags &= ~PlayerFlags::VoiceRequested;
    c.Notify.NotifyPlayerFlags(*target);
  }
  c.Notify.NotifyChannelPrivilege(*target, requester.PlayerID, actionCode, bit);
  // Stored before the auto rights below take effect: what is stored is what
  // was granted, and Operator or Voice follow from it on every entry.
  if (IsRegistered(*target))
    c.Channels.SetUserRights(target->ChannelID, target->LoginName.Text(), target->ChannelPrivileges);
  if (actionCode == action::Granted && bit == ChannelRightBit::AutoOperator) {
    target->ChannelPrivileges |= ChannelPrivileges::Operator;
    c.Notify.NotifyChannelPrivilege(*target, 0, action::GrantedByServer, ChannelRightBit::Operator);
  } else if (actionCode == action::Granted && bit == ChannelRightBit::AutoVoice) {
    target->ChannelPrivileges |= ChannelPrivileges::Voice;
    c.Notify.NotifyChannelPrivilege(*target, 0, action::GrantedByServer, ChannelRightBit::Voice);
  }
}

void HandleSetPlayerPrivilege(THandlerContext& c, TPacket& packet) {
  const uint8_t* d = packet.Memory();
  TClientObject& requester = c.Player;
  TClientObject* target = c.ModeratedPlayer();
  if (!target) return;
  // Moderator rights come with any temporary channel a player creates, so
  // they cannot be enough to hand out server-wide rights: that would let an
  // anonymous player make itself server administrator.
  if (!(requester.PlayerPrivileges & PlayerPrivileges::ServerAdmin))
    return c.Reply(rc::NeedServerAdmin);
  const uint8_t actionCode = d[28];
  const uint8_t bit = d[29];
  if (bit > kHighestRightBit) return;
  // Super administrators manage every tenant's server, so their right is
  // given, taken and stored only on the word of one of them logged in here.
  // Nor may a server administrator delete the account that holds it.
  const bool superRequester = (requester.PlayerPrivileges & PlayerPrivileges::SuperServerAdmin) != 0;
  if (!superRequester &&
      (bit == PlayerRightBit::SuperServerAdmin ||
       (actionCode == action::Revoked && bit == PlayerRightBit::Registered && c.Moderation.HoldsSuperRight(*target))))
    return c.Reply(rc::NeedServerAdmin);

  // A player that is not Registered may still carry a login name (the one
  // it had when Registered was revoked), and an account of that name may
  // since belong to someone else. Only a Registered player, which logged in
  // to or created the account its LoginName names, writes that account back
  // or has it deleted.
  const bool ownsAccount = IsRegistered(*target);
  const uint16_t before = target->PlayerPrivileges;
  ApplyAction(target->PlayerPrivileges, actionCode, bit);
  if (target->PlayerPrivileges != before)
    c.Services.AuditVoice(packet, requester, ownsAccount ? "account-edit" : "rights",
               (ownsAccount ? target->LoginName.Text() : "player " + target->NickName.Text()) + ": rights " +
                   RightsText(before) + " -> " + RightsText(target->PlayerPrivileges));
  if (actionCode == action::Revoked && bit == PlayerRightBit::Registered) {
    target->PlayerPrivileges &= static_cast<uint16_t>(~PlayerPrivileges::ServerAdmin);
    c.Notify.NotifyPlayerPrivilege(*target, requester.PlayerID, action::RevokedByServer, PlayerRightBit::ServerAdmin);
    // The super right came with the account; left on the player it would be
    // stored again by its next registration.
    if (target->PlayerPrivileges & PlayerPrivileges::SuperServerAdmin) {
      target->PlayerPrivileges &= static_cast<uint16_t>(~PlayerPrivileges::SuperServerAdmin);
      c.Notify.NotifyPlayerPrivilege(*target, requester.PlayerID, action::RevokedByServer,
                                     PlayerRightBit::SuperServerAdmin);
    }
    if (ownsAccount) DeleteUser(target->LoginName.Text(), c.Server.ServerID);
  } else if (ownsAccount) {
    // Another surface may have changed the stored super right since the
    // target logged in; only a super administrator's word overrides it.
    const uint16_t keep = superRequester ? 0 : PlayerPrivileges::SuperServerAdmin;
    UpdateUser(*target, c.Server.ServerID, keep);  // a failure here reports nothing
  }
  c.Notify.NotifyPlayerPrivilege(*target, requester.PlayerID, actionCode, bit);
}

void HandleRegisterSelf(THandlerContext& c, TPacket& packet) {
  const uint8_t* d = packet.Memory();
  TClientObject& requester = c.Player;
  if (IsRegistered(requester)) return c.Reply(rc::AlreadyRegistered);
  if (!(c.Server.ServerFlags & sfAnyoneMayRegister) &&
      !(requester.PlayerPrivileges & PlayerPrivileges::AllowRegistration))
    return c.Reply(rc::RegistrationNotAllowed);
  const std::string loginName = wire::GetStr(d + 24, wire::kStr29);
  const std::pair<uint32_t, uint32_t> who{requester.PlayerID, requester.SessionKey};
  // An empty name or one with the path separator addresses no account
  // node. While one registration of the player is being stored a second
  // would make it two accounts: it is refused as not stored (below).
  if (!ValidLoginName(loginName)) return c.Reply(rc::AccountNotStored);
  // The player's record changes only once the account is stored: a refused
  // name left on it would lead the write-back of a later rights change to
  // another's account.
  TClientObject account = requester;
  account.LoginName = loginName;
  account.Password = wire::GetStr(d + 54, wire::kStr29);
  account.RegisteredBy = loginName;
  auto stored = std::make_shared<bool>(false);
  auto request = CopyOfRequest(packet);
  auto job = std::make_unique<TAccountJob>();
  // A full server is refused before the new password costs a hash.
  job->Work = [stored, account, server = c.Server.ServerID] {
    *stored = !AccountsFull(server) && AddUser(account, server);
  };
  // The notifier and the listener outlive every job: a stop drops the jobs
  // that were not finished.
  job->Finish = [&notify = c.Notify, &services = c.Services, stored, request, who, loginName] {
    services.EndRegistration(who.first, who.second);
    services.WithPlayer(who.first, who.second, [&](TClientObject& p) {
      if (!*stored) return notify.SendErrorReply(rc::AccountNotStored, p, *request);
      // Stored as a hash; the player's record keeps no password, so a later
      // write-back of its rights leaves the account's password alone.
      p.LoginName = loginName;
      p.RegisteredBy = loginName;
      p.Password = std::string_view();
      p.PlayerPrivileges = static_cast<uint16_t>((p.PlayerPrivileges | PlayerPrivileges::Registered) &
                                                 ~PlayerPrivileges::AllowRegistration);
      notify.NotifyPlayerPrivilege(p, 0, action::GrantedByServer, PlayerRightBit::Registered);
    });
  };
  if (!c.Services.BeginRegistration(who.first, who.second)) return c.Reply(rc::AccountNotStored);
  if (!c.Services.RunAccountJob(std::move(job))) {
    c.Services.EndRegistration(who.first, who.second);
    c.Reply(rc::AccountNotStored);
  }
}

void HandleRegisterUser(THandlerContext& c, TPacket& packet) {
  const uint8_t* d = packet.Memory();
  TClientObject& requester = c.Player;
  if (!(requester.PlayerPrivileges & PlayerPrivileges::ServerAdmin))
    return c.Reply(rc::NeedServerAdmin);
  TClientObject account;
  account.LoginName = wire::GetStr(d + 24, wire::kStr29);
  account.Password = wire::GetStr(d + 54, wire::kStr29);
  account.RegisteredBy = requester.LoginName;
  account.PlayerPrivileges = d[84] != 0 ? PlayerPrivileges::ServerAdmin : 0;
  if (!ValidLoginName(account.LoginName.Text())) return c.Reply(rc::AccountNotStored);
  auto stored = std::make_shared<bool>(false);
  auto request = CopyOfRequest(packet);
  auto job = std::make_unique<TAccountJob>();
  // A full server is refused before the new password costs a hash.
  job->Work = [stored, account, server = c.Server.ServerID] {
    *stored = !AccountsFull(server) && AddUser(account, server);
  };
  job->Finish = [&notify = c.Notify, &services = c.Services, stored, request, id = requester.PlayerID,
                 key = requester.SessionKey,
                 detail = account.LoginName.Text() + " with rights " + RightsText(account.PlayerPrivileges)] {
    services.WithPlayer(id, key, [&](TClientObject& p) {
      if (!*stored) return notify.SendErrorReply(rc::AccountNotStored, p, *request);
      services.AuditVoice(*request, p, "account-add", detail);
      notify.Send(TNotifier::NewCommand(cmd::UserRegistered, kUserRegisteredSize, p));
    });
  };
  if (!c.Services.RunAccountJob(std::move(job))) c.Reply(rc::AccountNotStored);
}

void HandlePlayerInfo(THandlerContext& c, TPacket& packet) {
  TClientObject& requester = c.Player;
  const TClientObject* target = c.Clients.FindByID(wire::GetU32(packet.Memory() + 24));
  if (!target) return c.Reply(rc::NoPlayer);
  const TConnectionInfo info = c.Buffer.GetConnectionInfo(target->PlayerID);
  const TDateTime now = c.Now;
  // Where a player connects from is for server administrators only.
  const bool showAddress = (requester.PlayerPrivileges & PlayerPrivileges::ServerAdmin) != 0;

  auto reply = TNotifier::NewCommand(cmd::PlayerInfoReply, kPlayerInfoReplySize, requester);
  uint8_t* out = reply->Memory();
  wire::PutU32(out + 24, target->PlayerID);
  wire::PutU32(out + 28, SecondsBetween(target->LoginTime, now));
  wire::PutU16(out + 32, info.Loss);
  wire::PutU16(out + 34, info.AverageRtt);
  wire::PutU32(out + 36, SecondsBetween(target->LastSeen, now));
  for (int i = 0; i < 4; ++i) wire::PutU16(out + 40 + 2 * i, target->ClientVersion[i]);
  wire::PutU32(out + 48, info.PacketsSent);
  wire::PutU32(out + 52, info.BytesSent);
  wire::PutU32(out + 56, info.PacketsReceived);
  wire::PutU32(out + 60, info.BytesReceived);
  wire::PutStr(out + 64, wire::kStr29, showAddress ? info.Address : std::string());
  wire::PutU16(out + 94, showAddress ? info.Port : 0);
  wire::PutStr(out + 96, wire::kStr29, target->LoginName.Text());
  wire::PutU32(out + 126, target->ChannelID);
  wire::PutU16(out + 130, target->ChannelPrivileges);
  wire::PutU16(out + 132, target->PlayerPrivileges);
  wire::PutStr(out + 134, wire::kStr29, target->ClientPlatform.Text());
  c.Notify.Send(std::move(reply));
}

void HandleServerInfo(THandlerContext& c, TPacket& /*packet*/) {
  const TServerObject& server = c.Server;
  const TBufferStatistics stats = c.Buffer.GetStatistics();
  auto reply = TNotifier::NewCommand(cmd::ServerInfoReply, kServerInfoReplySize, c.Player);
  uint8_t* out = reply->Memory();
  // Not UptimeSeconds(): it holds the machinery, which comes before the
  // client-list lock this thread holds (and a stop holding it waits for us).
  wire::PutU32(out + 24, SecondsBetween(server.StartTime, c.Now));
  wire::PutU16(out + 28, server.VersionMajor);
  wire::PutU16(out + 30, server.VersionMinor);
  wire::PutU16(out + 32, server.VersionRelease);
  wire::PutU16(out + 34, server.VersionBuild);
  wire::PutU16(out + 36, server.ServerType);
  wire::PutU16(out + 38, server.ServerFlags);
  wire::PutU32(out + 40, stats.PacketsSent);
  wire::PutU32(out + 44, Saturated32(stats.BytesSent));
  wire::PutU32(out + 48, stats.PacketsReceived);
  wire::PutU32(out + 52, Saturated32(stats.BytesReceived));
  c.Notify.Send(std::move(reply));
}

void HandleTextMessage(THandlerContext& c, TPacket& packet) {
  const uint8_t* d = packet.Memory();
  TClientObject& requester = c.Player;
  const int32_t channelID = wire::GetI32(d + 284);
  if (channelID >= 0 && !c.Channels.FindByID(static_cast<uint32_t>(channelID)))
    return c.Reply(rc::NoChannel);
  const std::string text = wire::GetStr(d + 24, wire::kStr255);
  const uint32_t value = wire::GetU32(d + 280);
  const auto& recipients =
      channelID < 0 ? c.Clients.Items() : c.Clients.InChannel(static_cast<uint32_t>(channelID));
  for (TClientObject* q : recipients)
    c.Notify.Send(TNotifier::NewTextMessage(*q, text, value, requester.NickName.Text()));
}

