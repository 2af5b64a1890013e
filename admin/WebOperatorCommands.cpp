// The command records of the operator's pages: the Players page's Kick
// (asked first), Move and Message and the list its refresh reads, the Settings page's own Restart, and the
// Servers page's Start, Stop, Restart, Remove (asked first) and Add. Each
// answers with a message box that leads back to its page, and each action is
// logged with who did it.
#include <charconv>

#include "admin/FormText.h"
#include "admin/WebCompression.h"
#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebServerOps.h"
#include "server/ServerAccess.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"

namespace {

constexpr const char* kSource = "WEBINTERFACE";
constexpr const char* kErrorTitle = "error occured";
constexpr const char* kOkTitle = "operation successfully";
constexpr const char* kPlayersPage = "players.html";
constexpr const char* kServersPage = "servers.html";

bool ParseU32(const std::string& text, uint32_t& value) {
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, value);
  return !text.empty() && r.ec == std::errc() && r.ptr == end;
}

void Note(TWebRequest& r, const std::string& what) {
  LogFmt(LMTALL, LMDINFO, kSource, "%1 (web, %2): %3", {r.Session->Get("username"), r.Request.remote_addr, what});
}

const char* ActionRefusal(TWebAction result) {
  switch (result) {
    case TWebAction::NotRunning: return "your selected server is invalid";
    case TWebAction::NoChannel: return "there is no such channel";
    default: return "that player is not online on this server";
  }
}

bool AskKick(TWebInterface&, TWebRequest& r, TWebPending& pending) {
  pending.Shown = r.Param("nick");
  pending.Value = r.Param("player") + "\t" + pending.Shown;
  return true;
}

void CommandKick(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected) return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  TServerObject& server = *selected;
  const std::string& target = r.Confirmed;
  const size_t tab = target.find('\t');
  uint32_t id = 0;
  const std::string nick = tab == std::string::npos ? "" : target.substr(tab + 1);
  const TWebAction result = tab != std::string::npos && ParseU32(target.substr(0, tab), id)
                                ? KickPlayer(server, id, nick, "kicked by the administrator")
                                : TWebAction::NoPlayer;
  if (result != TWebAction::Done)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, FormatArgs("kicked player %1 from %2: %3", {id, r.ServerID, nick}));
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("%1 was kicked from the server", {nick}), kPlayersPage);
}

void CommandMove(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected) return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  TServerObject& server = *selected;
  uint32_t id = 0, channel = 0;
  const std::string nick = r.Param("nick");
  std::string channelName;
  TWebAction result = TWebAction::NoPlayer;
  if (ParseU32(r.Param("player"), id))
    result = ParseU32(r.Param("channel"), channel) ? MovePlayer(server, id, nick, channel, channelName)
                                                   : TWebAction::NoChannel;
  if (result != TWebAction::Done)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, FormatArgs("moved player %1 on %2 to channel %3: %4", {id, r.ServerID, channelName, nick}));
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("%1 was moved to %2", {nick, channelName}), kPlayersPage);
}

void CommandMessage(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected) return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  TServerObject& server = *selected;
  uint32_t id = 0;
  const std::string nick = r.Param("nick");
  const std::string text = Trim(r.Param("text")).substr(0, 255);
  if (text.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, "the message is empty", kPlayersPage);
  if (HoldsCharacterReference(text))
    return TWebInterface::DisplayError(r.Response, kErrorTitle, UnstorableTextMessage("the message"), kPlayersPage);
  const TWebAction result = ParseU32(r.Param("player"), id) ? MessagePlayer(server, id, nick, text) : TWebAction::NoPlayer;
  if (result != TWebAction::Done)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, FormatArgs("sent player %1 on %2 (%3) the message: %4", {id, r.ServerID, nick, text}));
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("the message was sent to %1", {nick}), kPlayersPage);
}

// The Players page's refresh: its page of the list as compact JSON. Reads only.
void CommandPlayersList(TWebInterface& web, TWebRequest& r) {
  std::vector<TWebPlayer> players;
  std::vector<TWebChannel> channels;
  const TServerRef selected = web.SelectedServer(r);
  if (!selected || !ReadPlayers(*selected, players, channels))
    return TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  const TPlayerQuery query = ReadPlayerQuery([&](const char* name) { return r.Param(name); });
  SendGenerated(r.Request, r.Response, PlayersJson(players, channels, r.LoggedIn, query), "application/json");
}

void CommandRestartOwn(TWebInterface&, TWebRequest& r) {
  const std::string id = r.ServerID;
  const std::string refused = RestartServer(id);
  if (!refused.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, refused, "server_settings.html");
  Note(r, "restarted " + id);
  TWebInterface::DisplayOK(r.Response, kOkTitle, "the server was restarted; its players may log in again",
                           "server_settings.html");
}

// The Servers page's commands share their answer: what was refused, or
// `done` about the server `id`.
void ServerAnswer(TWebRequest& r, const std::string& refused, const char* done, const std::string& id) {
  if (!refused.empty()) return TWebInterface::DisplayError(r.Response, kErrorTitle, refused, kServersPage);
  Note(r, FormatArgs(done, {id}));
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
  ServerAnswer(r, StartServer(env, id), "server %1 was started", id);
}

void CommandServerStop(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  const std::string id = r.Param("server");
  ServerAnswer(r, StopServer(id), "server %1 was stopped", id);
}

void CommandServerRestart(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  const std::string id = r.Param("server");
  ServerAnswer(r, RestartServer(id), "server %1 was restarted", id);
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
  ServerAnswer(r, id.empty() ? "no server was waiting to be removed" : RemoveServer(env, id), "server %1 was removed",
               id);
}

void CommandServerAdd(TWebInterface&, TWebRequest& r) {
  TServerEnvironment env;
  if (!ServerEnvironment(r, env)) return;
  std::string id;
  const std::string name = Trim(r.Param("NEWSERVERNAME")), portText = Trim(r.Param("NEWSERVERPORT"));
  uint32_t port = 0;
  const std::string refused = HoldsCharacterReference(name) ? UnstorableTextMessage("the name")
                              : !ParseU32(portText, port) || port > 65535
                                  ? "the UDP port must be a number from 1 to 65535"
                                  : AddServer(env, name, static_cast<int32_t>(port), id);
  if (!refused.empty())
    return TWebInterface::DisplayError(r.Response, kErrorTitle, refused,
                                       PageUrl(kServersPage, {{"NEWSERVERNAME", name}, {"NEWSERVERPORT", portText}}));
  ServerAnswer(r, refused, "server %1 was added", id);
}

constexpr TWebConfirmation kKickConfirmation{"ASK_KICK_PLAYER.PLCMD", "PLAYER_TO_KICK", "you really want to kick %1",
                                             kPlayersPage, AskKick};
constexpr TWebConfirmation kRemoveConfirmation{
    "SERVERS_ASK_REMOVE.PLCMD", "SERVER_TO_REMOVE",
    "you really want to remove %1? Its accounts and channels are deleted too.", kServersPage, AskRemoveServer};

const TWebCommand kCommands[] = {
    {"KICK_PLAYER.PLCMD", TWebRights::ServerSelected, true, CommandKick, kKickConfirmation},
    {"MOVE_PLAYER.PLCMD", TWebRights::ServerSelected, true, CommandMove},
    {"MESSAGE_PLAYER.PLCMD", TWebRights::ServerSelected, true, CommandMessage},
    {"PLAYERS_LIST.PLCMD", TWebRights::ServerSelected, false, CommandPlayersList},
    {"RESTART_SERVER.PLCMD", TWebRights::ServerSelected, true, CommandRestartOwn},
    {"SERVERS_START.PLCMD", TWebRights::SuperAdmin, true, CommandServerStart},
    {"SERVERS_STOP.PLCMD", TWebRights::SuperAdmin, true, CommandServerStop},
    {"SERVERS_RESTART.PLCMD", TWebRights::SuperAdmin, true, CommandServerRestart},
    {"SERVERS_REMOVE.PLCMD", TWebRights::SuperAdmin, true, CommandServerRemove, kRemoveConfirmation},
    {"SERVERS_ADD.PLCMD", TWebRights::SuperAdmin, true, CommandServerAdd},
};

}  // namespace

std::span<const TWebCommand> OperatorCommands() { return kCommands; }
