// The command side of the operator's pages of TWebInterface: the Players
// page's Kick (asked first), Move, Message and the message to everyone, the Settings page's own
// Restart, the Servers page's Start, Stop, Restart, Remove (asked first) and
// Add, the switch to another server, and the confirmed adding of an account without a password. Each
// answers with a message box that leads back to its page, and each action is
// logged with who did it.
#include <charconv>

#include "admin/FormText.h"
#include "admin/HttpServer.h"
#include "admin/WebAllServers.h"
#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebServerOps.h"
#include "server/ServerAccess.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "server/ServerList.h"

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

}  // namespace

void TWebInterface::CommandAskKick(TWebRequest& r) {
  const std::string nick = r.Param("nick");
  r.Session->Set(kPlayerToKick, r.Param("player") + "\t" + nick);
  DisplayChoice(r.Response, "please choose", FormatArgs("you really want to kick %1", {nick}), "KICK_PLAYER.PLCMD",
                kPlayersPage, "yes", "no");
}

void TWebInterface::CommandKick(TWebRequest& r) {
  const TServerRef selected = SelectedServer(r);
  if (!selected) return DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  TServerObject& server = *selected;
  const std::string target = r.Session->With([](TSessionValues& v) {
    std::string t = v.Get(kPlayerToKick);
    v.Set(kPlayerToKick, "");
    return t;
  });
  const size_t tab = target.find('\t');
  uint32_t id = 0;
  const std::string nick = tab == std::string::npos ? "" : target.substr(tab + 1);
  const TWebAction result = tab != std::string::npos && ParseU32(target.substr(0, tab), id)
                                ? KickPlayer(server, id, nick, "kicked by the administrator")
                                : TWebAction::NoPlayer;
  if (result != TWebAction::Done) return DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, FormatArgs("kicked player %1 from %2: %3", {id, r.ServerID, nick}));
  DisplayOK(r.Response, kOkTitle, FormatArgs("%1 was kicked from the server", {nick}), kPlayersPage);
}

void TWebInterface::CommandMove(TWebRequest& r) {
  const TServerRef selected = SelectedServer(r);
  if (!selected) return DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  TServerObject& server = *selected;
  uint32_t id = 0, channel = 0;
  const std::string nick = r.Param("nick");
  std::string channelName;
  TWebAction result = TWebAction::NoPlayer;
  if (ParseU32(r.Param("player"), id))
    result = ParseU32(r.Param("channel"), channel) ? MovePlayer(server, id, nick, channel, channelName)
                                                   : TWebAction::NoChannel;
  if (result == TWebAction::AlreadyThere)
    return DisplayOK(r.Response, kOkTitle, FormatArgs("%1 is already in %2; nobody was moved", {nick, channelName}),
                     kPlayersPage);
  if (result != TWebAction::Done) return DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, FormatArgs("moved player %1 on %2 to channel %3: %4", {id, r.ServerID, channelName, nick}));
  DisplayOK(r.Response, kOkTitle, FormatArgs("%1 was moved to %2", {nick, channelName}), kPlayersPage);
}

void TWebInterface::CommandMessage(TWebRequest& r) {
  const TServerRef selected = SelectedServer(r);
  if (!selected) return DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  TServerObject& server = *selected;
  uint32_t id = 0;
  const std::string nick = r.Param("nick");
  const std::string text = Trim(r.Param("text")).substr(0, 255);
  if (text.empty()) return DisplayError(r.Response, kErrorTitle, "the message is empty", kPlayersPage);
  if (HoldsCharacterReference(text))
    return DisplayError(r.Response, kErrorTitle, UnstorableTextMessage("the message"), kPlayersPage);
  const TWebAction result = ParseU32(r.Param("player"), id) ? MessagePlayer(server, id, nick, text) : TWebAction::NoPlayer;
  if (result != TWebAction::Done) return DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, FormatArgs("sent player %1 on %2 (%3) the message: %4", {id, r.ServerID, nick, text}));
  DisplayOK(r.Response, kOkTitle, FormatArgs("the message was sent to %1", {nick}), kPlayersPage);
}

void TWebInterface::CommandMessageAll(TWebRequest& r) {
  const TServerRef selected = SelectedServer(r);
  if (!selected) return DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
  const std::string text = Trim(r.Param("text")).substr(0, 255);
  if (text.empty()) return DisplayError(r.Response, kErrorTitle, "the message is empty", kPlayersPage);
  if (HoldsCharacterReference(text))
    return DisplayError(r.Response, kErrorTitle, UnstorableTextMessage("the message"), kPlayersPage);
  int32_t online = 0;
  const TWebAction result = MessageEveryone(*selected, text, online);
  if (result != TWebAction::Done) return DisplayError(r.Response, kErrorTitle, ActionRefusal(result), kPlayersPage);
  Note(r, FormatArgs("sent every player on %1 the message: %2", {r.ServerID, text}));
  DisplayOK(r.Response, kOkTitle,
            online == 1 ? std::string("the message was sent to the 1 player online")
                        : FormatArgs("the message was sent to the %1 players online", {online}),
            kPlayersPage);
}

void TWebInterface::CommandRestartOwn(TWebRequest& r) {
  const std::string id = r.ServerID;
  const std::string refused = RestartServer(id);
  if (!refused.empty()) return DisplayError(r.Response, kErrorTitle, refused, "server_settings.html");
  Note(r, "restarted " + id);
  DisplayOK(r.Response, kOkTitle, "the server was restarted; its players may log in again", "server_settings.html");
}

void TWebInterface::CommandAddClientConfirmed(TWebRequest& r) {
  const std::string pending = r.Session->With([](TSessionValues& v) {
    std::string p = v.Get(kAccountToAdd);
    v.Set(kAccountToAdd, "");
    return p;
  });
  const size_t tab = pending.find('\t');
  const std::string& id = r.ServerID;
  if (tab == std::string::npos)
    return DisplayError(r.Response, kErrorTitle, "no account was waiting to be added", "client_manager.html");
  TClientObject account;
  account.LoginName = pending.substr(0, tab);
  account.NickName = account.LoginName;
  account.RegisteredBy = r.Session->Get("username");
  uint32_t rights = 0;
  ParseU32(pending.substr(tab + 1), rights);
  // The rights were asked for by an earlier request; this one grants them,
  // so it grants only what its own holder may.
  const uint32_t grantable =
      PlayerPrivileges::ServerAdmin | (r.SuperAdmin ? PlayerPrivileges::SuperServerAdmin : 0u);
  account.PlayerPrivileges = static_cast<uint16_t>(rights & grantable);
  if (!AddUser(account, id))
    return DisplayError(r.Response, kErrorTitle, "a user with name already exists", "client_manager.html");
  Note(r, FormatArgs("added the account %1 without a password on %2", {account.LoginName.Text(), id}));
  DisplayOK(r.Response, kOkTitle, FormatArgs("the user %1 was added to server", {account.LoginName.Text()}),
            "client_manager.html");
}

// The session's server is the port its logins and rechecks name: a super
// server administrator passes the recheck on any running server, so the
// next request, and every page and command after it, acts on the new one.
void TWebInterface::CommandSelectServer(TWebRequest& r) {
  const std::string id = r.Param("server");
  TServerListObject* list = GetServerList();
  const TServerRef server = list && !id.empty() ? list->FindServerByID(id) : nullptr;
  const TServerSnapshot view = server ? TServerAccess(server).Snapshot() : TServerSnapshot();
  if (!view.Running)
    return DisplayError(r.Response, kErrorTitle, FormatArgs("the server %1 is not running", {id}),
                        "all_servers.html");
  r.Session->With([&](TSessionValues& v) { return v.Set("serverport", std::to_string(view.Settings.ServerUDPPort)); });
  Note(r, FormatArgs("switched the pages from %1 to %2", {r.ServerID, view.ID}));
  r.Response.set_redirect(SwitchReturnPage(r.Param("page")), 302);
  THttpServer::CloseAfterResponse(r.Response);
}

void TWebInterface::CommandServers(TWebRequest& r) {
  const std::string command = UpperCase(r.Request.path.substr(1));
  TServerEnvironment env;
  if (!RunningEnvironment(env)) return DisplayError(r.Response, kErrorTitle, "no server is running", kServersPage);
  std::string id = r.Param("server"), refused, done;
  if (command == "SERVERS_START.PLCMD") {
    refused = StartServer(env, id);
    done = "server %1 was started";
  } else if (command == "SERVERS_STOP.PLCMD") {
    refused = StopServer(id);
    done = "server %1 was stopped";
  } else if (command == "SERVERS_RESTART.PLCMD") {
    refused = RestartServer(id);
    done = "server %1 was restarted";
  } else if (command == "SERVERS_ASK_REMOVE.PLCMD") {
    r.Session->Set(kServerToRemove, id);
    return DisplayChoice(r.Response, "please choose",
                         FormatArgs("you really want to remove %1? Its accounts and channels are deleted too.", {id}),
                         "SERVERS_REMOVE.PLCMD", kServersPage, "yes", "no");
  } else if (command == "SERVERS_REMOVE.PLCMD") {
    id = r.Session->With([](TSessionValues& v) {
      std::string asked = v.Get(kServerToRemove);
      v.Set(kServerToRemove, "");
      return asked;
    });
    refused = id.empty() ? "no server was waiting to be removed" : RemoveServer(env, id);
    done = "server %1 was removed";
  } else {  // SERVERS_ADD.PLCMD
    const std::string name = Trim(r.Param("NEWSERVERNAME")), portText = Trim(r.Param("NEWSERVERPORT"));
    uint32_t port = 0;
    refused = HoldsCharacterReference(name) ? UnstorableTextMessage("the name")
              : !ParseU32(portText, port) || port > 65535
                  ? "the UDP port must be a number from 1 to 65535"
                  : AddServer(env, name, static_cast<int32_t>(port), id);
    if (!refused.empty())
      return DisplayError(r.Response, kErrorTitle, refused,
                          PageUrl(kServersPage, {{"NEWSERVERNAME", name}, {"NEWSERVERPORT", portText}}));
    done = "server %1 was added";
  }
  if (!refused.empty()) return DisplayError(r.Response, kErrorTitle, refused, kServersPage);
  Note(r, FormatArgs(done, {id}));
  DisplayOK(r.Response, kOkTitle, FormatArgs(done, {id}), kServersPage);
}
