// The command records of the operator's pages: the Players page's Kick
// (asked first), Move, Message, the message to everyone and the list its
// refresh reads, the Settings
// page's own Restart (asked first), the Servers page's Start, Stop, Restart
// (both asked first, with the players they disconnect), Remove (asked first)
// and Add, and the header's switch to another server. Each answers with a
// message box that leads back to its page, and each action is logged with
// who did it.
#include <algorithm>
#include <charconv>

#include "admin/FormText.h"
#include "admin/HttpServer.h"
#include "admin/WebAudit.h"
#include "admin/WebCompression.h"
#include "admin/WebAllServers.h"
#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebServerOps.h"
#include "server/ServerAccess.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Bans.h"
#include "database/Accounts.h"
#include "server/ServerList.h"

namespace {

constexpr const char* kErrorTitle = "error occured";
constexpr const char* kOkTitle = "operation successfully";
constexpr const char* kPlayersPage = "players.html";
constexpr const char* kServersPage = "servers.html";

bool ParseU32(const std::string& text, uint32_t& value) {
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, value);
  return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

// The audit record of an action on the selected server, or on `serverID`.
void Note(TWebRequest& r, const char* kind, const std::string& what, const std::string& serverID = "") {
  AuditWeb(r, serverID.empty() ? r.ServerID : serverID, kind, what);
}

const char* ActionRefusal(TWebAction result) {
  switch (result) {
    case TWebAction::NotRunning: return "your selected server is invalid";
    case TWebAction::NoChannel: return "there is no such channel";
    default: return "that player is not online on this server";
  }
}

// The reason travels with the target and reaches the kicked player's
// client in the notice that it was kicked (29 characters). "Kick and ban"
// adds what to ban ("address" or "account") and for how many minutes.
bool AskKick(TWebInterface&, TWebRequest& r, TWebPending& pending) {
  pending.Shown = r.Param("nick");
  // The nickname stays as the player has it (blanks included): the kick
  // acts only on the player of that id and nickname.
  const auto field = [&](const char* name, size_t length, bool trim) {
    std::string text = r.Param(name);
    text = (trim ? Trim(text) : text).substr(0, length);
    std::replace(text.begin(), text.end(), '\t', ' ');
    return text;
  };
  pending.Value = r.Param("player") + "\t" + field("nick", 29, false) + "\t" + field("reason", 29, true) + "\t" +
                  field("ban", 8, true) + "\t" + field("minutes", 9, true);
  return true;
}

// The ban "Kick and ban" asks for, on the player's address or account as
// the server knows them; an empty text when it was stored, else why not.
std::string BanPlayer(TWebRequest& r, const TServerRef& server, uint32_t id, const std::string& what,
                      const std::string& minutesText, const std::string& reason) {
  std::vector<TWebPlayer> players;
  std::vector<TWebChannel> channels;
  if (!ReadPlayers(server, players, channels)) return "your selected server is invalid";
  const auto p = std::find_if(players.begin(), players.end(), [&](const TWebPlayer& q) { return q.Id == id; });
  if (p == players.end()) return "that player is not online on this server";
  uint32_t minutes = 0;
  if (!minutesText.empty() && !ParseU32(minutesText, minutes)) return "the minutes must be a number (0: no expiry)";
  TBan ban;
  ban.Kind = what == "account" ? TBanKind::Name : TBanKind::Address;
  ban.Value = what == "account" ? p->Login : p->Address;
  if (ban.Value.empty() || (ban.Kind == TBanKind::Address && !NormalBanAddress(ban.Value)))
    return what == "account" ? "the player has no account: ban its address" : "the player's address is unknown";
  ban.Reason = reason;
  ban.SetBy = r.Session->Get("username");
  if (!TServerAccess(server).AddBan(ban, minutes)) return "the ban could not be stored";
  Note(r, "ban",
       FormatArgs("ban %1: %2 %3 for %4, reason: %5",
                  {ban.ID, BanKindWord(ban.Kind), ban.Value,
                   minutes ? std::to_string(minutes) + " minutes" : std::string("good"), reason}));
  return "";
}

void CommandKick(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  const TServerRef& server = selected;
  std::vector<std::string> f;
  for (size_t start = 0;;) {
    const size_t tab = r.Confirmed.find('\t', start);
    f.push_back(r.Confirmed.substr(start, tab == std::string::npos ? tab : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  f.resize(std::max<size_t>(f.size(), 5));
  uint32_t id = 0;
  const std::string &nick = f[1], &reason = f[2], &ban = f[3];
  if (!ParseU32(f[0], id))
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(TWebAction::NoPlayer), kPlayersPage);
  // The ban comes first: it needs the player's address, and a player let go
  // unbanned could log in again at once.
  if (ban == "address" || ban == "account") {
    const std::string refused = BanPlayer(r, server, id, ban, f[4], reason);
    if (!refused.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, refused, kPlayersPage);
  }
  const TWebAction result = KickPlayer(server, id, nick, reason.empty() ? "kicked by the administrator" : reason);
  if (result != TWebAction::Done)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, "kick", FormatArgs("player %1 %2: %3", {id, nick, reason}));
  TWebInterface::DisplayOK(r.Response, kOkTitle,
                           FormatArgs(ban.empty() ? "%1 was kicked from the server" : "%1 was kicked and banned",
                                      {nick}),
                           kPlayersPage);
}

void CommandMove(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  const TServerRef& server = selected;
  uint32_t id = 0, channel = 0;
  const std::string nick = r.Param("nick");
  std::string channelName;
  TWebAction result = TWebAction::NoPlayer;
  if (ParseU32(r.Param("player"), id))
    result = ParseU32(r.Param("channel"), channel) ? MovePlayer(server, id, nick, channel, channelName)
                                                   : TWebAction::NoChannel;
  if (result == TWebAction::AlreadyThere)
    return TWebInterface::DisplayOK(r.Response, kOkTitle,
                                    FormatArgs("%1 is already in %2; nobody was moved", {nick, channelName}),
                                    kPlayersPage);
  if (result != TWebAction::Done)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, "move", FormatArgs("player %1 %2 to channel %3", {id, nick, channelName}));
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("%1 was moved to %2", {nick, channelName}), kPlayersPage);
}

void CommandMessage(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  const TServerRef& server = selected;
  uint32_t id = 0;
  const std::string nick = r.Param("nick");
  const std::string text = Trim(r.Param("text")).substr(0, 255);
  if (text.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, "the message is empty", kPlayersPage);
  if (HoldsCharacterReference(text))
    return TWebInterface::DisplayError(r.Response, kErrorTitle, UnstorableTextMessage("the message"), kPlayersPage);
  const TWebAction result =
      ParseU32(r.Param("player"), id) ? MessagePlayer(server, id, nick, text) : TWebAction::NoPlayer;
  if (result != TWebAction::Done)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, "message", FormatArgs("to player %1 %2: %3", {id, nick, text}));
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("the message was sent to %1", {nick}), kPlayersPage);
}

// The Players page's refresh: its page of the list as compact JSON. Reads only.
void CommandPlayersList(TWebInterface& web, TWebRequest& r) {
  std::vector<TWebPlayer> players;
  std::vector<TWebChannel> channels;
  const TServerRef selected = web.SelectedServer(r);
  if (!selected || !ReadPlayers(selected, players, channels))
    return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  const TPlayerQuery query = ReadPlayerQuery([&](const char* name) { return r.Param(name); });
  std::string json = PlayersJson(players, channels, r.LoggedIn, query);
  // The time of the answer as the pages show times, for the list's "Updated" line.
  std::string time;
  for (const char c : web.Now()) {
    if (c == '"' || c == '\\') time += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) time += c;
  }
  json.insert(1, "\"time\":\"" + time + "\",");
  SendGenerated(r.Request, r.Response, json, "application/json");
}

void CommandMessageAll(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected) return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  const std::string text = Trim(r.Param("text")).substr(0, 255);
  if (text.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, "the message is empty", kPlayersPage);
  if (HoldsCharacterReference(text))
    return TWebInterface::DisplayError(r.Response, kErrorTitle, UnstorableTextMessage("the message"), kPlayersPage);
  int32_t online = 0;
  const TWebAction result = MessageEveryone(selected, text, online);
  if (result != TWebAction::Done)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, "message", FormatArgs("to every player: %1", {text}));
  TWebInterface::DisplayOK(r.Response, kOkTitle,
                           online == 1 ? std::string("the message was sent to the 1 player online")
                                       : FormatArgs("the message was sent to the %1 players online", {online}),
                           kPlayersPage);
}

// The players online on the server `id` now; 0 when it is not running.
int32_t PlayersOnline(const std::string& id) {
  TServerListObject* list = GetServerList();
  const TServerRef server = list ? list->FindServerByID(id) : nullptr;
  return server ? TServerAccess(server).Snapshot().Figures.CurrentUsers : 0;
}

// What a stop or restart does to the players, for its question.
std::string Disconnects(int32_t online) {
  if (online <= 0) return "Nobody is online.";
  if (online == 1) return "The 1 player online will be disconnected.";
  return FormatArgs("The %1 players online will be disconnected.", {online});
}

bool AskRestartOwn(TWebInterface&, TWebRequest& r, TWebPending& pending) {
  pending.Value = pending.Shown = r.ServerID;
  pending.Detail = Disconnects(PlayersOnline(r.ServerID));
  return true;
}

void CommandRestartOwn(TWebInterface&, TWebRequest& r) {
  const std::string id = r.ServerID;
  // The yes restarts the server it was asked about, or none: the session may
  // have switched servers between the question and the answer.
  if (r.Confirmed.empty() || r.Confirmed != id)
    return TWebInterface::DisplayError(r.Response, kErrorTitle,
                                       "no restart of this server was waiting to be confirmed; nothing was restarted",
                                       "server_settings.html");
  const std::string refused = RestartServer(id).Reason;
  if (!refused.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, refused, "server_settings.html");
  Note(r, "server-restart", "restarted", id);
  TWebInterface::DisplayOK(r.Response, kOkTitle, "the server was restarted; its players may log in again",
                           "server_settings.html");
}

// The Servers page's commands share their answer: what was refused, or
// `done` about the server `id`, an action of `kind`.
void ServerAnswer(TWebRequest& r, const std::string& refused, const char* done, const std::string& id,
                  const char* kind) {
  if (!refused.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, refused, kServersPage);
  Note(r, kind, FormatArgs(done, {id}), id);
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs(done, {id}), kServersPage);
}

// The environment new and restarted servers get; false (answered) when no
// server runs to take it from.
bool ServerEnvironment(TWebRequest& r, TServerEnvironment& env) {
  if (RunningEnvironment(env)) return true;
  TWebInterface::DisplayError(r.Response, kErrorTitle, "no server is running", kServersPage);
  return false;
}

void CommandServerStart(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  const std::string id = r.Param("server");
  ServerAnswer(r, StartServer(env, id).Reason, "server %1 was started", id, "server-start");
}

// Stopping and restarting ask alike: which server, and whom it disconnects.
bool AskStopOrRestartServer(TWebInterface&, TWebRequest& r, TWebPending& pending) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return false;
  pending.Value = pending.Shown = r.Param("server");
  pending.Detail = Disconnects(PlayersOnline(pending.Value));
  return true;
}

void CommandServerStop(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  const std::string& id = r.Confirmed;
  ServerAnswer(r, id.empty() ? "no server was waiting to be stopped" : StopServer(id).Reason, "server %1 was stopped", id,
               "server-stop");
}

void CommandServerRestart(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  const std::string& id = r.Confirmed;
  ServerAnswer(r, id.empty() ? "no server was waiting to be restarted" : RestartServer(id).Reason,
               "server %1 was restarted", id, "server-restart");
}

bool AskRemoveServer(TWebInterface&, TWebRequest& r, TWebPending& pending) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return false;
  pending.Value = pending.Shown = r.Param("server");
  return true;
}

void CommandServerRemove(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  const std::string& id = r.Confirmed;
  ServerAnswer(r, id.empty() ? "no server was waiting to be removed" : RemoveServer(env, id).Reason,
               "server %1 was removed", id, "server-remove");
}

void CommandServerAdd(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  std::string id, refused;
  const std::string name = Trim(r.Param("NEWSERVERNAME")), portText = Trim(r.Param("NEWSERVERPORT"));
  uint32_t port = 0;
  if (HoldsCharacterReference(name)) {
    refused = UnstorableTextMessage("the name");
  } else if (!ParseU32(portText, port) || port > 65535) {
    refused = "the UDP port must be a number from 1 to 65535";
  } else {
    const TCatalogAnswer added = AddServer(env, name, static_cast<int32_t>(port));
    refused = added.Reason;
    id = added.ID;
  }
  if (!refused.empty())
    return TWebInterface::DisplayError(r.Response, kErrorTitle, refused,
                                       PageUrl(kServersPage, {{"NEWSERVERNAME", name}, {"NEWSERVERPORT", portText}}));
  ServerAnswer(r, refused, "server %1 was added", id, "server-add");
}

// The session's server is the port its logins and rechecks name: a super
// server administrator passes the recheck on any running server, so the
// next request, and every page and command after it, acts on the new one.
void CommandSelectServer(TWebInterface&, TWebRequest& r) {
  const std::string id = r.Param("server");
  TServerListObject* list = GetServerList();
  const TServerRef server = list && !id.empty() ? list->FindServerByID(id) : nullptr;
  const TServerSnapshot view = server ? TServerAccess(server).Snapshot() : TServerSnapshot();
  if (!view.Running)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, FormatArgs("the server %1 is not running", {id}),
                                       "all_servers.html");
  r.Session->With([&](TSessionValues& v) { return v.Set("serverport", std::to_string(view.Settings.ServerUDPPort)); });
  Note(r, "switch", FormatArgs("the pages from %1 to %2", {r.ServerID, view.ID}), view.ID);
  r.Response.set_redirect(SwitchReturnPage(r.Param("page")), 302);
  THttpServer::CloseAfterResponse(r.Response);
}

constexpr TWebConfirmation kKickConfirmation{"ASK_KICK_PLAYER.PLCMD", "PLAYER_TO_KICK", "you really want to kick %1",
                                             kPlayersPage, AskKick};
constexpr TWebConfirmation kRemoveConfirmation{
    "SERVERS_ASK_REMOVE.PLCMD", "SERVER_TO_REMOVE",
    "you really want to remove %1? Its accounts and channels are deleted too.", kServersPage, AskRemoveServer};

// Stop and Restart disconnect every player of the server: the question says how many.
constexpr TWebConfirmation kRestartOwnConfirmation{"ASK_RESTART_SERVER.PLCMD", "SERVER_TO_RESTART_OWN",
                                                   "restart %1? %2", "server_settings.html", AskRestartOwn};
constexpr TWebConfirmation kStopConfirmation{"SERVERS_ASK_STOP.PLCMD", "SERVER_TO_STOP", "stop %1? %2", kServersPage,
                                             AskStopOrRestartServer};
constexpr TWebConfirmation kRestartConfirmation{"SERVERS_ASK_RESTART.PLCMD", "SERVER_TO_RESTART", "restart %1? %2",
                                                kServersPage, AskStopOrRestartServer};

const TWebCommand kCommands[] = {
    {"KICK_PLAYER.PLCMD", TWebRights::ServerSelected, true, CommandKick, kKickConfirmation},
    {"MOVE_PLAYER.PLCMD", TWebRights::ServerSelected, true, CommandMove},
    {"MESSAGE_PLAYER.PLCMD", TWebRights::ServerSelected, true, CommandMessage},
    {"MESSAGE_ALL.PLCMD", TWebRights::ServerSelected, true, CommandMessageAll},
    {"PLAYERS_LIST.PLCMD", TWebRights::ServerSelected, false, CommandPlayersList},
    {"RESTART_SERVER.PLCMD", TWebRights::ServerSelected, true, CommandRestartOwn, kRestartOwnConfirmation},
    {"SELECT_SERVER.PLCMD", TWebRights::SuperAdmin, true, CommandSelectServer},
    {"SERVERS_START.PLCMD", TWebRights::SuperAdmin, true, CommandServerStart},
    {"SERVERS_STOP.PLCMD", TWebRights::SuperAdmin, true, CommandServerStop, kStopConfirmation},
    {"SERVERS_RESTART.PLCMD", TWebRights::SuperAdmin, true, CommandServerRestart, kRestartConfirmation},
    {"SERVERS_REMOVE.PLCMD", TWebRights::SuperAdmin, true, CommandServerRemove, kRemoveConfirmation},
    {"SERVERS_ADD.PLCMD", TWebRights::SuperAdmin, true, CommandServerAdd},
};

}  // namespace

std::span<const TWebCommand> OperatorCommands() { return kCommands; }
