#include "admin/WebServerOps.h"

#include "common/CaughtLog.h"
#include "common/ChannelRecord.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "server/ServerAccess.h"
#include "server/ServerList.h"

bool ReadPlayers(const TServerRef& server, std::vector<TWebPlayer>& players, std::vector<TWebChannel>& channels) {
  const TServerSnapshot view = TServerAccess(server)
                                   .Snapshot(TSnapshotParts::PlayerViews | TSnapshotParts::ChannelViews |
                                             TSnapshotParts::Addresses);
  if (!view.Running) return false;
  for (const TChannelView& c : view.ChannelViews)
    channels.push_back({c.ID, c.Parent, c.Order, (c.Flags & cfModerated) != 0, c.Name});
  for (const TPlayerView& p : view.PlayerViews) {
    TWebPlayer w;
    w.Id = p.PlayerID;
    w.Nick = p.NickName;
    w.Login = p.LoginName;
    w.Channel = p.ChannelID;
    w.ChannelRights = p.ChannelPrivileges;
    w.PlayerRights = p.PlayerPrivileges;
    w.ConnectedSec = SecondsBetween(p.LoginTime, view.Now);
    w.IdleSec = SecondsBetween(p.LastSeen, view.Now);
    w.Talking = p.Talking;
    w.Address = p.Address;
    players.push_back(std::move(w));
  }
  return true;
}

TWebAction KickPlayer(const TServerRef& server, uint32_t player, const std::string& nick, const std::string& message) {
  const TServerAccess access(server);
  if (access.RunningID().empty()) return TWebAction::NotRunning;
  return access.Kick(player, message, nick) ? TWebAction::Done : TWebAction::NoPlayer;
}

TWebAction MovePlayer(const TServerRef& server, uint32_t player, const std::string& nick, uint32_t channel,
                      std::string& channelName) {
  const TServerAccess access(server);
  const TServerSnapshot view = access.Snapshot(TSnapshotParts::ChannelViews | TSnapshotParts::PlayerViews);
  if (!view.Running) return TWebAction::NotRunning;
  bool known = false;
  for (const TChannelView& c : view.ChannelViews)
    if (c.ID == channel) {
      known = true;
      channelName = c.Name;
    }
  if (!known) return TWebAction::NoChannel;
  for (const TPlayerView& p : view.PlayerViews)
    if (p.PlayerID == player && p.NickName == nick && p.ChannelID == channel) return TWebAction::AlreadyThere;
  return access.Move(player, channel, nick) ? TWebAction::Done : TWebAction::NoPlayer;
}

TWebAction MessagePlayer(const TServerRef& server, uint32_t player, const std::string& nick, const std::string& text) {
  const TServerAccess access(server);
  if (access.RunningID().empty()) return TWebAction::NotRunning;
  TTextTarget to;
  to.Kind = TTextTarget::Player;
  to.ID = player;
  return access.SendText(to, text, nick) ? TWebAction::Done : TWebAction::NoPlayer;
}

TWebAction MessageEveryone(const TServerRef& server, const std::string& text, int32_t& sent) {
  const TServerAccess access(server);
  const TServerSnapshot view = access.Snapshot();
  if (!view.Running) return TWebAction::NotRunning;
  sent = view.Figures.CurrentUsers;
  return access.SendText(TTextTarget{}, text) ? TWebAction::Done : TWebAction::NotRunning;
}

std::vector<TWebServerRow> ServerRows(const std::string& settingsFile) {
  std::vector<TWebServerRow> rows;
  if (TServerListObject* list = GetServerList()) {
    for (const auto& [id, server] : list->GetServerIDList()) {
      const TServerSnapshot view = TServerAccess(server).Snapshot();
      if (!view.Running) continue;
      rows.push_back({view.ID, view.Settings.ServerName, view.Settings.ServerUDPPort, view.Figures.CurrentUsers,
                      view.Settings.ServerMaxUsers, true});
    }
  }
  try {
    TIniFile ini(settingsFile);
    for (const std::string& id : ListedServers(ini)) {
      bool running = false;
      for (const TWebServerRow& r : rows) running = running || r.Id == id;
      if (running) continue;
      TServerSettings s;
      s.Read(ini, id);
      rows.push_back({id, s.ServerName, s.ServerUDPPort, 0, s.ServerMaxUsers, false});
    }
  } catch (const std::exception& e) {
    LogCaught("WEBINTERFACE", "ServerRows", e);
  }
  SortByPort(rows);
  return rows;
}
