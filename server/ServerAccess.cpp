#include "server/ServerAccess.h"

#include <mutex>

#include "common/CommandCodes.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "server/ChannelMoves.h"
#include "server/Notifier.h"
#include "server/ServerList.h"
#include "server/ServerListLock.h"
#include "server/ServerObject.h"

namespace {

// Administrators' messages: the value the clients show as a server message.
constexpr uint32_t kServerMessageValue = 255;
constexpr const char* kServerSender = "SERVER";

TDateTime ServerNow(const TServerObject& server) { return server.Clock ? server.Clock->Now() : NowDateTime(); }

template <typename T>
void Take(const std::optional<T>& change, T& field) {
  if (change) field = *change;
}

void Apply(const TSettingsChange& c, TServerSettings& s) {
  Take(c.ServerName, s.ServerName);
  Take(c.ServerWelcomeMessage, s.ServerWelcomeMessage);
  Take(c.ServerPassword, s.ServerPassword);
  Take(c.WebPostLinkURL, s.WebPostLinkURL);
  Take(c.ServerMaxUsers, s.ServerMaxUsers);
  Take(c.ServerType, s.ServerType);
  if (c.AnyoneMayRegister)
    s.ServerFlags = *c.AnyoneMayRegister ? static_cast<uint16_t>(s.ServerFlags | sfAnyoneMayRegister)
                                         : static_cast<uint16_t>(s.ServerFlags & ~sfAnyoneMayRegister);
  Take(c.AllowCodecCelp51, s.AllowCodecCelp51);
  Take(c.AllowCodecCelp63, s.AllowCodecCelp63);
  Take(c.AllowCodecGSM148, s.AllowCodecGSM148);
  Take(c.AllowCodecGSM164, s.AllowCodecGSM164);
  Take(c.AllowCodecWindowsCELP52, s.AllowCodecWindowsCELP52);
}

}  // namespace

// The buffer's totals are this run's; the runs before left theirs in the
// id's counters. No lock but the buffer's own, for the queue's walk.
void TServerAccess::CopyTotals(const TServerObject& s, const TBufferStatistics& now, TServerTotals& out) {
  const TServerCounters& c = *s.Counters;
  const TBufferStatistics& was = c.CarriedTotals();
  out.DatagramsReceived = was.PacketsReceived + now.PacketsReceived;
  out.BytesReceived = static_cast<uint64_t>(was.BytesReceived + now.BytesReceived);
  out.DatagramsSent = was.PacketsSent + now.PacketsSent;
  out.BytesSent = static_cast<uint64_t>(was.BytesSent + now.BytesSent);
  out.StaleVoiceDropped = was.StaleVoiceDropped + now.StaleVoiceDropped;
  out.SendsLost = was.SendsLost + now.SendsLost;
  out.Resends = was.Resends + now.Resends;
  out.VoiceRelayed = c.Relayed();
  out.ThrottledPasswords = c.Throttled();
  for (size_t i = 0; i < out.Logins.size(); ++i) out.Logins[i] = c.Logins(i);
  out.SendQueue = s.PacketBuffer->QueuedToSend();
}

std::string TServerAccess::RunningID() const {
  const auto hold = server_->HoldMachinery();
  return server_->Running() ? server_->ServerID : std::string();
}

bool TServerAccess::Running() const { return server_->Running(); }

std::optional<int32_t> TServerAccess::RunningPort() const {
  const auto hold = server_->HoldMachinery();
  if (!server_->Running()) return std::nullopt;
  return server_->ServerUDPPort;
}

TServerSnapshot TServerAccess::Snapshot(unsigned parts) const {
  TServerSnapshot view;
  TServerObject& s = *server_;
  const auto hold = s.HoldMachinery();
  view.Running = s.Running();
  view.ID = s.ServerID;
  view.Settings = s;
  view.Platform = s.Platform;
  view.VersionMajor = s.VersionMajor;
  view.VersionMinor = s.VersionMinor;
  view.VersionRelease = s.VersionRelease;
  view.VersionBuild = s.VersionBuild;
  if (!view.Running) return view;
  const TBufferStatistics stats = s.PacketBuffer->GetStatistics();
  view.Figures.PacketsSent = stats.PacketsSent;
  view.Figures.BytesSent = stats.BytesSent;
  view.Figures.PacketsReceived = stats.PacketsReceived;
  view.Figures.BytesReceived = stats.BytesReceived;
  view.Now = ServerNow(s);
  view.Figures.UptimeSeconds = SecondsBetween(s.StartTime, view.Now);
  {
    // The listener holds these locks for every datagram: copy and let go.
    TClientListLock clients(*s.ClientList);
    TChannelsLock channels(*s.Channels);
    view.Figures.CurrentUsers = static_cast<int32_t>(s.ClientList->Count());
    view.Figures.CurrentChannels = static_cast<int32_t>(s.Channels->Count());
    if (parts & TSnapshotParts::PlayerViews) {
      const int64_t nowMs = TPacket::SteadyMs();
      view.PlayerViews.reserve(s.ClientList->Count());
      for (const TClientObject* p : s.ClientList->Items()) {
        TPlayerView& row = view.PlayerViews.emplace_back();
        row.PlayerID = p->PlayerID;
        row.ChannelID = p->ChannelID;
        row.ChannelPrivileges = p->ChannelPrivileges;
        row.PlayerPrivileges = p->PlayerPrivileges;
        row.Flags = p->PlayerFlags;
        row.NickName = p->NickName.Text();
        row.LoginName = p->LoginName.Text();
        row.LoginTime = p->LoginTime;
        row.LastSeen = p->LastSeen;
        row.Talking = p->LastVoiceMs != 0 && nowMs - p->LastVoiceMs < kTalkingMs;
      }
    }
    if (parts & TSnapshotParts::ChannelViews) {
      view.ChannelViews.reserve(s.Channels->Count());
      for (const auto& r : s.Channels->Records())
        view.ChannelViews.push_back(
            {r->ID, r->Parent, r->Codec, r->Order, r->MaxUsers, r->Flags, !r->Password.empty(), r->Name, r->Topic});
    }
  }
  if (parts & TSnapshotParts::Totals) CopyTotals(s, stats, view.Totals);
  if (!view.PlayerViews.empty()) {
    // The connections' figures come from the packet buffer, whose lock is
    // innermost and which the player list's lock need not cover.
    std::vector<uint32_t> ids;
    ids.reserve(view.PlayerViews.size());
    for (const TPlayerView& row : view.PlayerViews) ids.push_back(row.PlayerID);
    const bool addresses = parts & TSnapshotParts::Addresses;
    s.PacketBuffer->InspectConnections(ids, [&](size_t i, const TSingleConnection& k) {
      TPlayerView& row = view.PlayerViews[i];
      row.PacketsSent = k.PacketsSent;
      row.BytesSent = k.BytesSent;
      row.PacketsReceived = k.PacketsReceived;
      row.BytesReceived = k.BytesReceived;
      row.Loss = k.LossHundredths();
      row.Ping = k.AverageRtt;
      if (addresses && k.State != csLogin && k.State != csClosed) row.Address = k.Address;
    });
  }
  return view;
}

bool TServerAccess::SendText(const TTextTarget& to, std::string_view text, std::string_view nickName) const {
  TServerObject& s = *server_;
  const auto hold = s.HoldMachinery();
  if (!s.Running()) return false;
  std::vector<std::unique_ptr<TPacket>> packets;
  {
    TClientListLock clients(*s.ClientList);
    const std::vector<TClientObject*>* recipients = &s.ClientList->Items();
    std::vector<TClientObject*> one;
    if (to.Kind == TTextTarget::Player) {
      TClientObject* p = s.ClientList->FindByID(to.ID);
      if (!p || (!nickName.empty() && p->NickName.Text() != nickName)) return false;
      one.push_back(p);
      recipients = &one;
    } else if (to.Kind == TTextTarget::Channel) {
      TChannelsLock channels(*s.Channels);
      if (!s.Channels->FindByID(to.ID)) return false;
      recipients = &s.ClientList->InChannel(to.ID);
    }
    packets.reserve(recipients->size());
    for (const TClientObject* p : *recipients)
      packets.push_back(TNotifier::NewTextMessage(*p, text, kServerMessageValue, kServerSender));
  }
  // A player who left meanwhile has no connection: the buffer drops its copy.
  s.PacketBuffer->SendPackets(packets.data(), packets.size());
  return true;
}

bool TServerAccess::NeedsRestart(const TSettingsChange& change, const TServerSettings& current) {
  const uint16_t seeing = stClan | stPublic;
  return change.ServerType && ((*change.ServerType ^ current.ServerType) & seeing);
}

bool TServerAccess::ApplySettings(const TSettingsChange& change, const std::string& settingsFile, TApplySettings how,
                                  bool* restarted, TServerSettings* before) const {
  TServerListObject* list = GetServerList();
  if (!list) return false;
  // The running server's fields are read by its threads without a lock, so
  // the changed copy goes to its section of the file and a restart reads it
  // back. The list's lock keeps other restarts and writers of the section
  // out meanwhile.
  TServerListLock lock(*list);
  TServerSettings settings;
  std::string id, file;
  {
    const auto hold = server_->HoldMachinery();
    if (!server_->Running()) return false;
    settings = *server_;
    id = server_->ServerID;
    file = settingsFile.empty() ? server_->Environment().SettingsFile : settingsFile;
  }
  if (before) *before = settings;
  const bool restart = how == TApplySettings::Restart || NeedsRestart(change, settings);
  Apply(change, settings);
  TIniFile ini(file);
  settings.Write(ini, id);
  if (restarted) *restarted = restart;
  if (restart) {
    list->RestartServer(id);
    return true;
  }
  // Into force at once. Every thread that reads the settings of a running
  // server holds either the machinery (the administration's views) or the
  // client list (the listener, the relay): holding both, in the system's
  // order, no reader sees half a change.
  TServerObject& s = *server_;
  std::unique_lock<std::shared_mutex> hold(s.machinery_);
  if (!s.Running()) return false;
  TClientListLock clients(*s.ClientList);
  TChannelsLock channels(*s.Channels);
  const int32_t port = s.ServerUDPPort;
  const uint16_t managedType = s.ServerType;
  static_cast<TServerSettings&>(s) = settings;
  s.ServerUDPPort = port;
  s.ServerType = managedType;  // the type did not change, and its bits of 4 and 8 are the server's
  s.Channels->DefaultCodec = s.DefaultCodec();
  return true;
}

template <typename F>
bool TServerAccess::WithPlayer(uint32_t playerID, std::string_view nickName, F&& act) const {
  TServerObject& s = *server_;
  const auto hold = s.HoldMachinery();
  if (!s.Running()) return false;
  // The listener's own locks: while they are held its thread waits, and
  // the notices go out in the order its handlers would send them. The
  // channel moves are the ones its handlers use.
  TClientListLock clients(*s.ClientList);
  TChannelsLock channels(*s.Channels);
  TClientObject* target = s.ClientList->FindByID(playerID);
  // A player whose leave was announced is on its way out already.
  if (!target || target->LeaveAnnounced) return false;
  if (!nickName.empty() && target->NickName.Text() != nickName) return false;
  return act(*s.Moves, *target);
}

bool TServerAccess::Kick(uint32_t playerID, std::string_view message, std::string_view nickName) const {
  return WithPlayer(playerID, nickName, [&](TChannelMoves& moves, TClientObject& target) {
    // Ids only: a nickname is the player's own text.
    LogFmt(LMTALL, LMDINFO, "SERVER", "Administrator kicked player %1 from %2",
           {std::to_string(playerID), server_->ServerID});
    moves.KickPlayer(target, message, 0);
    return true;
  });
}

bool TServerAccess::Move(uint32_t playerID, uint32_t channelID, std::string_view nickName) const {
  return WithPlayer(playerID, nickName, [&](TChannelMoves& moves, TClientObject& target) {
    if (!server_->Channels->FindByID(channelID)) return false;
    if (target.ChannelID == channelID) return true;
    LogFmt(LMTALL, LMDINFO, "SERVER", "Administrator moved player %1 to channel %2 on %3",
           {std::to_string(playerID), std::to_string(channelID), server_->ServerID});
    moves.SwitchPlayer(target, channelID);
    return true;
  });
}

// The bans are changed holding the machinery, so a restart, which reads them
// again, never runs between the file and the login's copy.
std::optional<std::vector<TBan>> TServerAccess::Bans() const {
  TServerObject& s = *server_;
  const auto hold = s.HoldMachinery();
  if (!s.Running()) return std::nullopt;
  return s.Bans->InForce(s.ServerID, s.Clock ? s.Clock->Now() : NowDateTime());
}

bool TServerAccess::AddBan(TBan& ban, int64_t minutes) const {
  TServerObject& s = *server_;
  const auto hold = s.HoldMachinery();
  if (!s.Running()) return false;
  ban.Created = s.Clock ? s.Clock->Now() : NowDateTime();
  ban.Expires = minutes > 0 ? ban.Created + static_cast<double>(minutes) / (24 * 60) : 0;
  return s.Bans->Add(s.ServerID, ban);
}

bool TServerAccess::LiftBan(int32_t id, TBan* lifted) const {
  TServerObject& s = *server_;
  const auto hold = s.HoldMachinery();
  return s.Running() && s.Bans->Lift(s.ServerID, id, lifted);
}
