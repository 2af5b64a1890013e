#include "admin/QueryCommands.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/CaughtLog.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "common/LogRateLimiter.h"
#include "common/LoginThrottle.h"
#include "common/TextFormat.h"
#include "common/WireFormat.h"
#include "admin/AuditText.h"
#include "admin/WebText.h"
#include "common/AuditLog.h"
#include "database/Bans.h"
#include "database/Accounts.h"
#include "database/HashQueue.h"
#include "server/ServerAccess.h"
#include "server/ServerList.h"

namespace {

constexpr size_t kErrorMessageLength = 29;

// One command line being answered.
struct TCall {
  TQueryConnection& Conn;
  const TServerEnvironment& Env;
  std::vector<std::string> Params;
  std::string Answer;

  void Line(std::string_view text) {
    Answer.append(text);
    Answer.append("\r\n");
  }
  void Ok() { Line("OK"); }
  void Error(std::string_view message) { Answer += QueryErrorLine(message); }
  // A refusal of the server catalog, in the query's words.
  void Refused(const TCatalogAnswer& answer);
};

// How the query words the server catalog's refusals: the messages its
// clients know, and whether the catalog's reason follows (where the message
// alone would not tell the operator why).
struct TRefusalText {
  TCatalogRefusal Refusal;
  const char* Message;
  bool WithReason;
};

constexpr TRefusalText kRefusalTexts[] = {
    {TCatalogRefusal::BadName, "parameters invalid", false},
    {TCatalogRefusal::BadPort, "parameters invalid", false},
    {TCatalogRefusal::PortRunning, "serverport already running", false},
    {TCatalogRefusal::PortListed, "serverport already running", true},
    {TCatalogRefusal::NameTaken, "unable to initialize server", true},
    {TCatalogRefusal::StartFailed, "unable to initialize server", true},
    {TCatalogRefusal::SettingsFile, "unable to save server", true},
    {TCatalogRefusal::NotRunning, "serverport not found", false},
    {TCatalogRefusal::TooOften, "too many server actions", true},
};

void TCall::Refused(const TCatalogAnswer& answer) {
  for (const TRefusalText& t : kRefusalTexts)
    if (t.Refusal == answer.Refusal) {
      Answer += QueryErrorLine(t.Message, t.WithReason ? std::string_view(answer.Reason) : std::string_view());
      return;
    }
  Answer += QueryErrorLine("unable to initialize server", answer.Reason);
}

// One line of the audit trail for what this connection did.
// `share`: the allowance it counts against, the connection's by default.
void AuditCall(TCall& c, const std::string& serverID, const char* kind, std::string detail,
               TLockedLogRateLimiter* share = nullptr) {
  TAuditRecord r;
  r.Surface = audit_surface::Query;
  r.Actor = c.Conn.LoggedIn ? c.Conn.LoginName : "query";
  r.Address = c.Conn.PeerAddress;
  r.Server = serverID;
  r.Kind = kind;
  r.Detail = std::move(detail);
  if (share)
    Audit(std::move(r), *share);
  else
    Audit(std::move(r), &c.Conn.AuditLimiter);
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& ch : out)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return out;
}

std::vector<std::string> SplitParams(std::string_view rest) {
  std::vector<std::string> params;
  size_t i = 0;
  while (i < rest.size()) {
    const size_t end = std::min(rest.find(' ', i), rest.size());
    if (end > i) params.emplace_back(rest.substr(i, end - i));
    i = end + 1;
  }
  return params;
}

// Parameters from `first` on, each after one blank: the value keeps a leading blank.
std::string JoinEachAfterBlank(const std::vector<std::string>& params, size_t first) {
  std::string value;
  for (size_t i = first; i < params.size(); ++i) value += " " + params[i];
  return value;
}

TServerListObject& List() {
  TServerListObject* list = GetServerList();
  if (!list) throw std::runtime_error("server list closed");
  return *list;
}

// ---- the common checks ------------------------------------------------------------

bool LoggedIn(TCall& c) {
  if (!c.Conn.LoggedIn) c.Error("not logged in");
  return c.Conn.LoggedIn;
}

// Server selection: the selected server, else the server of the connection's
// list whose port parameter 0 names. A server that stopped since the
// connection saw it counts as not found; a stopped selection is dropped.
TServerRef Select(TCall& c) {
  if (c.Conn.Selected) {
    if (TServerAccess(c.Conn.Selected).Running()) return c.Conn.Selected;
    c.Conn.Selected.reset();
    c.Error("serverport not found");
    return nullptr;
  }
  if (c.Params.empty()) {
    c.Error("paramcount invalid");
    return nullptr;
  }
  int32_t port = 0;
  if (!TIniFile::ParseInteger(c.Params[0], port)) {
    c.Error("convert error");
    return nullptr;
  }
  if (port <= 0) {
    c.Error("invalid server port");
    return nullptr;
  }
  for (const auto& entry : c.Conn.Servers)
    if (TServerAccess(entry.second).RunningPort() == port) return entry.second;
  c.Error("serverport not found");
  return nullptr;
}

// The checks of the commands that act on the selected server: logged in, a
// selected server that still runs, at least `minParams` parameters, in this
// order. The id is the one the server ran under when it was checked; what
// the caller then does through the door checks again that it runs.
struct TSelectedTarget {
  TServerRef Server;
  std::string ID;
};

std::optional<TSelectedTarget> SelectedTarget(TCall& c, size_t minParams) {
  if (!LoggedIn(c)) return std::nullopt;
  TSelectedTarget target{c.Conn.Selected, {}};
  if (target.Server) target.ID = TServerAccess(target.Server).RunningID();
  if (target.ID.empty()) {
    c.Conn.Selected.reset();
    c.Error("no server selected");
    return std::nullopt;
  }
  if (c.Params.size() < minParams) {
    c.Error("paramcount invalid");
    return std::nullopt;
  }
  return target;
}

// The same for the account commands: only the id is needed.
std::optional<std::string> SelectedID(TCall& c, size_t minParams) {
  std::optional<TSelectedTarget> target = SelectedTarget(c, minParams);
  if (!target) return std::nullopt;
  return std::move(target->ID);
}

// A copy of the selected server's state; none (answered as not found)
// when the server stopped after it was selected.
std::optional<TServerSnapshot> Snapshot(TCall& c, const TServerRef& server, unsigned parts) {
  TServerSnapshot view = TServerAccess(server).Snapshot(parts);
  if (view.Running) return view;
  c.Error("serverport not found");
  return std::nullopt;
}

// ---- listing commands ---------------------------------------------------------------

void ServerListCommand(TCall& c) {
  for (const auto& entry : c.Conn.Servers)
    if (const std::optional<int32_t> port = TServerAccess(entry.second).RunningPort()) c.Line(std::to_string(*port));
  c.Ok();
}

void PlayerListCommand(TCall& c) {
  const TServerRef server = Select(c);
  if (!server) return;
  // Where players connect from is for administrators only.
  const unsigned addresses = c.Conn.LoggedIn ? TSnapshotParts::Addresses : 0;
  const auto view = Snapshot(c, server, TSnapshotParts::PlayerViews | addresses);
  if (!view) return;
  for (const TPlayerView& r : view->PlayerViews) {
    std::string line;
    for (const std::string& field :
         {std::to_string(r.PlayerID), std::to_string(r.ChannelID), std::to_string(r.PacketsSent),
          std::to_string(r.BytesSent), std::to_string(r.PacketsReceived), std::to_string(r.BytesReceived),
          std::to_string(r.Loss), std::to_string(r.Ping), std::to_string(SecondsBetween(r.LoginTime, view->Now)),
          std::to_string(SecondsBetween(r.LastSeen, view->Now)), std::to_string(r.ChannelPrivileges),
          std::to_string(r.PlayerPrivileges), std::to_string(r.Flags), r.Address, r.NickName, r.LoginName}) {
      line += field;
      line += '\t';
    }
    c.Line(line);
  }
  c.Ok();
}

void ChannelListCommand(TCall& c) {
  const TServerRef server = Select(c);
  if (!server) return;
  const auto view = Snapshot(c, server, TSnapshotParts::ChannelViews);
  if (!view) return;
  for (const TChannelView& r : view->ChannelViews)
    c.Line(std::to_string(r.ID) + '\t' + std::to_string(r.Codec) + '\t' + std::to_string(r.Parent) + '\t' +
           std::to_string(r.Order) + '\t' + std::to_string(r.MaxUsers) + '\t' + r.Name + '\t' +
           std::to_string(r.Flags) + '\t' + (r.HasPassword ? "1" : "0") + '\t' + r.Topic);
  c.Ok();
}

void VersionCommand(TCall& c) {
  QueryTrace("Version requested");
  c.Line(std::to_string(c.Env.VersionMajor) + "." + std::to_string(c.Env.VersionMinor) + "." +
         std::to_string(c.Env.VersionRelease) + "." + std::to_string(c.Env.VersionBuild) + " " + c.Env.Platform);
  c.Ok();
}

void SelectCommand(TCall& c) {
  c.Conn.Selected.reset();
  if (TServerRef server = Select(c)) {
    c.Conn.Selected = std::move(server);
    c.Ok();
  }
}

void ServerInfoCommand(TCall& c) {
  const TServerRef server = Select(c);
  if (!server) return;
  const auto view = Snapshot(c, server, 0);
  if (!view) return;
  const TServerSettings& s = view->Settings;
  const TServerFigures& f = view->Figures;
  auto codec = [](bool allowed) { return allowed ? "-1" : "0"; };
  for (const std::string& line : {"server_id=" + view->ID,
                                  "server_name=" + s.ServerName,
                                  "server_platform=" + view->Platform,
                                  "server_welcomemessage=" + s.ServerWelcomeMessage,
                                  "server_webpost_linkurl=" + s.WebPostLinkURL,
                                  std::string("server_password=") + (s.ServerPassword.empty() ? "0" : "1"),
                                  "server_udpport=" + std::to_string(s.ServerUDPPort),
                                  "server_maxusers=" + std::to_string(s.ServerMaxUsers),
                                  std::string("server_codeccelp51=") + codec(s.AllowCodecCelp51),
                                  std::string("server_codeccelp63=") + codec(s.AllowCodecCelp63),
                                  std::string("server_codecgsm148=") + codec(s.AllowCodecGSM148),
                                  std::string("server_codecgsm164=") + codec(s.AllowCodecGSM164),
                                  std::string("server_codecwindowscelp52=") + codec(s.AllowCodecWindowsCELP52),
                                  "server_packetssend=" + std::to_string(f.PacketsSent),
                                  "server_bytessend=" + std::to_string(f.BytesSent),
                                  "server_packetsreceived=" + std::to_string(f.PacketsReceived),
                                  "server_bytesreceived=" + std::to_string(f.BytesReceived),
                                  "server_uptime=" + std::to_string(f.UptimeSeconds),
                                  "server_currentusers=" + std::to_string(f.CurrentUsers),
                                  "server_currentchannels=" + std::to_string(f.CurrentChannels)})
    c.Line(line);
  c.Ok();
}

// ---- server commands ------------------------------------------------------------------

// The text goes to every player as a server message.
void MessageCommand(TCall& c) {
  if (!LoggedIn(c)) return;
  const TServerRef server = Select(c);
  if (!server) return;
  std::string text;
  for (const std::string& p : c.Params) text += (text.empty() ? "" : " ") + p;
  text = Trim(text);
  std::erase(text, '\r');
  std::replace(text.begin(), text.end(), '\n', ' ');
  const TServerAccess access(server);
  const std::string id = access.RunningID();
  if (id.empty() || !access.SendText({TTextTarget::Server}, text)) return c.Error("serverport not found");
  AuditCall(c, id, "message", "to every player: " + text);
  c.Ok();
}

void MessageAllCommand(TCall& c) {
  if (!LoggedIn(c)) return;
  const TServerRef previous = c.Conn.Selected;
  const auto servers = c.Conn.Servers;
  for (const auto& entry : servers) {
    // A server stopped since the connection saw it is not there any more.
    if (!TServerAccess(entry.second).Running()) continue;
    c.Conn.Selected = entry.second;
    MessageCommand(c);
  }
  c.Conn.Selected = previous;
  c.Ok();
}

void StartCommand(TCall& c) {
  if (!LoggedIn(c)) return;
  if (Select(c)) c.Ok();
}

// Runs `act` (a catalog operation) on the server found by selection.
template <typename F>
bool ActOnSelected(TCall& c, F&& act) {
  const TServerRef server = Select(c);
  if (!server) return false;
  const std::string id = TServerAccess(server).RunningID();
  if (id.empty()) {
    c.Error("serverport not found");
    return true;
  }
  const TCatalogAnswer done = act(id);
  if (done.Done())
    c.Ok();
  else
    c.Refused(done);
  return true;
}

void StopCommand(TCall& c) {
  if (!LoggedIn(c)) return;
  ActOnSelected(c, [&](const std::string& id) {
    TCatalogAnswer done = StopServer(id);
    if (done.Done()) AuditCall(c, id, "server-stop", "stopped");
    return done;
  });
}

void RestartCommand(TCall& c) {
  if (!LoggedIn(c)) return;
  if (!ActOnSelected(c, [&](const std::string& id) {
        TCatalogAnswer done = RestartServer(id);
        if (done.Done()) AuditCall(c, id, "server-restart", "restarted");
        return done;
      }))
    StartCommand(c);
}

void AddServerCommand(TCall& c) {
  if (!LoggedIn(c)) return;
  if (c.Params.size() < 2) return c.Error("paramcount invalid");
  int32_t port = 0;
  if (!TIniFile::ParseInteger(c.Params[1], port)) return c.Error("parameters invalid");
  const TCatalogAnswer added = AddServer(c.Env, c.Params[0], port);
  if (!added.Done()) return c.Refused(added);
  AuditCall(c, added.ID, "server-add", "added on port " + std::to_string(port));
  TakeServerSnapshot(c.Conn);
  c.Conn.Selected = List().FindServerByID(added.ID);
  c.Ok();
}

// ---- "set" -------------------------------------------------------------------------------

// Puts parameter 1 on (the value) into the change; false when the value
// was refused (and answered).
using TSetter = bool (*)(TCall&, TSettingsChange&);

struct TSetVariable {
  const char* Name;
  TSetter Apply;
};

const TSetVariable kSetVariables[] = {
    {"maxuser",
     [](TCall& c, TSettingsChange& s) {
       int32_t value = 0;
       if (!TIniFile::ParseInteger(c.Params[1], value) || value < 0 || value > 65535) {
         c.Error("convert error");
         return false;
       }
       s.ServerMaxUsers = static_cast<uint16_t>(value);
       return true;
     }},
    {"serverpassword",
     [](TCall& c, TSettingsChange& s) {
       s.ServerPassword = c.Params[1] == "#CLEAR#" ? "" : wire::Cut(c.Params[1], 29);
       return true;
     }},
    {"servername",
     [](TCall& c, TSettingsChange& s) {
       s.ServerName = wire::Cut(JoinEachAfterBlank(c.Params, 1), 29);
       return true;
     }},
    {"serverwelcomemsg",
     [](TCall& c, TSettingsChange& s) {
       s.ServerWelcomeMessage = wire::Cut(JoinEachAfterBlank(c.Params, 1), 255);
       return true;
     }},
    {"webpostlinkurl",
     [](TCall& c, TSettingsChange& s) {
       s.WebPostLinkURL = wire::Cut(c.Params[1], 255);
       return true;
     }},
};

void SetCommand(TCall& c) {
  std::optional<TSelectedTarget> target = SelectedTarget(c, 2);
  if (!target) return;
  TSettingsChange change;
  const std::string variable = LowerAscii(c.Params[0]);
  bool matched = false;
  for (const TSetVariable& v : kSetVariables) {
    if (variable != v.Name) continue;
    if (!v.Apply(c, change)) return;
    matched = true;
  }
  if (!matched) return c.Error("invalid variable");
  TServerSettings before;
  const TServerAccess access(target->Server);
  if (!access.ApplySettings(change, c.Env.SettingsFile, TApplySettings::Restart, nullptr, &before))
    return c.Error("serverport not found");
  const std::string changed = SettingsChangeText(before, change);
  if (!changed.empty()) AuditCall(c, target->ID, "settings", changed);
  c.Ok();
}

// ---- login and accounts ---------------------------------------------------------------

// Any running server's super server administrator may log in. Wrong
// passwords are throttled with the voice login's throttle: a blocked
// address is refused without looking at the password.
void LoginCommand(TCall& c) {
  c.Conn.LoggedIn = false;
  if (c.Params.size() != 2) return c.Error("paramcount invalid");
  const std::string& name = c.Params[0];
  const std::string& password = c.Params[1];
  TLoginThrottle& throttle = ProcessLoginThrottle();
  const std::string throttleKey = AccountThrottleKey("query", name);
  // The throttle logs the refusal itself, held to a few lines a second.
  if (!throttle.MayTry(c.Conn.PeerAddress, throttleKey, "TCPQUERY")) return c.Error("invalid login");
  // One pending hash per address and per account: a burst queues no more.
  const THashClaim claim(c.Conn.PeerAddress, throttleKey);
  if (!claim.Held()) return c.Error("login busy, try again");
  // The ids are taken under the lock; the database is read without it.
  for (const auto& entry : List().GetServerIDList()) {
    if (LoginAccount(name, entry.first, password, false, PlayerPrivileges::SuperServerAdmin)) {
      throttle.Succeeded(c.Conn.PeerAddress, throttleKey);
      c.Conn.LoggedIn = true;
      c.Conn.LoginName = name;
      return c.Ok();
    }
  }
  throttle.Failed(c.Conn.PeerAddress, throttleKey);
  AuditCall(c, "", "login-failed", "as " + name, &StrangersAuditShare());
  c.Error("invalid login");
}

void AddUserCommand(TCall& c) {
  const std::optional<std::string> id = SelectedID(c, 4);
  if (!id) return;
  TClientObject record;
  record.LoginName = c.Params[0];
  record.Password = c.Params[1];
  record.PlayerPrivileges = static_cast<uint16_t>((LowerAscii(c.Params[2]) == "1" ? PlayerPrivileges::ServerAdmin : 0) |
                                                  (LowerAscii(c.Params[3]) == "1" ? PlayerPrivileges::SuperServerAdmin : 0));
  record.RegisteredBy = "Server";
  if (AccountsFull(*id)) return c.Error(AccountsFullMessage());
  if (!AddUser(record, *id)) return c.Error("duplicate user");
  AuditCall(c, *id, "account-add", record.LoginName.Text() + " with rights " + RightsText(record.PlayerPrivileges));
  c.Ok();
}

void DeleteUserCommand(TCall& c) {
  const std::optional<std::string> id = SelectedID(c, 1);
  if (!id) return;
  if (!DeleteUser(c.Params[0], *id)) return c.Error("user not found");
  AuditCall(c, *id, "account-delete", c.Params[0]);
  c.Ok();
}

// Finds the account, lets `change` alter it and stores it; the audit line
// gives the rights before and after, and whether the password changed.
template <typename F>
void ChangeUser(TCall& c, const std::string& serverID, F&& change) {
  std::unique_ptr<TClientObject> account = GetUser(c.Params[0], serverID, false);
  if (!account) return c.Error("user not found");
  const uint16_t rights = account->PlayerPrivileges;
  const std::string password = account->Password.Text();
  change(*account);
  if (!UpdateUser(*account, serverID)) return c.Error("user not found");
  std::string detail = account->LoginName.Text() + ": rights " + RightsText(rights) + " -> " +
                       RightsText(account->PlayerPrivileges);
  if (account->Password.Text() != password) detail += ", password changed";
  AuditCall(c, serverID, "account-edit", detail);
  c.Ok();
}

void ChangePasswordCommand(TCall& c) {
  const std::optional<std::string> id = SelectedID(c, 3);
  if (!id) return;
  if (c.Params[1] != c.Params[2]) return c.Error("password dont match");
  // An empty password would let anyone in under the name.
  if (c.Params[1].empty()) return c.Error("password empty");
  ChangeUser(c, *id, [&](TClientObject& a) { a.Password = c.Params[1]; });
}

void ChangeRightsCommand(TCall& c) {
  const std::optional<std::string> id = SelectedID(c, 3);
  if (!id) return;
  ChangeUser(c, *id, [&](TClientObject& a) {
    uint16_t rights = a.PlayerPrivileges;
    rights = static_cast<uint16_t>(rights & ~(PlayerPrivileges::ServerAdmin | PlayerPrivileges::SuperServerAdmin));
    if (LowerAscii(c.Params[1]) == "1") rights |= PlayerPrivileges::ServerAdmin;
    if (LowerAscii(c.Params[2]) == "1") rights |= PlayerPrivileges::SuperServerAdmin;
    a.PlayerPrivileges = rights;
  });
}

void ListUsersCommand(TCall& c) {
  const std::optional<std::string> id = SelectedID(c, 0);
  if (!id) return;
  const auto names = ListUsers(*id);
  if (!names) return c.Error("no users avaible");
  for (const std::string& name : *names) c.Line(name);
  c.Ok();
}

// ---- bans -------------------------------------------------------------------------------

// The ban commands act on the selected server (SelectedTarget): a ban is
// written to the file, and the server's door guards against a stop.

// banadd ip|name|nick <value> <minutes> [reason]: 0 minutes is no expiry.
void BanAddCommand(TCall& c) {
  const std::optional<TSelectedTarget> target = SelectedTarget(c, 3);
  if (!target) return;
  const std::optional<TBanKind> kind = BanKindFromWord(c.Params[0]);
  if (!kind) return c.Error("invalid ban type");
  TBan ban;
  ban.Kind = *kind;
  if (*kind == TBanKind::Address) {
    const std::optional<std::string> address = NormalBanAddress(c.Params[1]);
    if (!address) return c.Error("invalid address");
    ban.Value = *address;
  } else {
    ban.Value = wire::Cut(c.Params[1], wire::kStr29);
  }
  int32_t minutes = 0;
  if (!TIniFile::ParseInteger(c.Params[2], minutes) || minutes < 0) return c.Error("convert error");
  ban.Reason = wire::Cut(Trim(JoinEachAfterBlank(c.Params, 3)), wire::kStr99);
  ban.SetBy = c.Conn.LoginName;
  if (!TServerAccess(target->Server).AddBan(ban, minutes)) return c.Error("unable to save ban");
  AuditCall(c, target->ID, "ban",
            "ban " + std::to_string(ban.ID) + ": " + BanKindWord(ban.Kind) + " " + ban.Value + " for " +
                (minutes ? std::to_string(minutes) + " minutes" : std::string("good")) + ", reason: " + ban.Reason);
  c.Line(std::to_string(ban.ID));
  c.Ok();
}

// One line per ban in force: id, kind, value, expiry, set by, reason.
void BanListCommand(TCall& c) {
  const std::optional<TSelectedTarget> target = SelectedTarget(c, 0);
  if (!target) return;
  const auto bans = TServerAccess(target->Server).Bans();
  if (!bans) return c.Error("serverport not found");
  for (const TBan& b : *bans)
    c.Line(std::to_string(b.ID) + '\t' + BanKindWord(b.Kind) + '\t' + b.Value + '\t' +
           (b.Expires == 0 ? std::string("never") : FormatDateTime("yyyy-mm-dd hh:nn:ss", b.Expires)) + '\t' +
           b.SetBy + '\t' + b.Reason);
  c.Ok();
}

void BanDeleteCommand(TCall& c) {
  const std::optional<TSelectedTarget> target = SelectedTarget(c, 1);
  if (!target) return;
  int32_t id = 0;
  if (!TIniFile::ParseInteger(c.Params[0], id)) return c.Error("convert error");
  TBan lifted;
  if (!TServerAccess(target->Server).LiftBan(id, &lifted)) return c.Error("ban not found");
  AuditCall(c, target->ID, "lift",
            "ban " + std::to_string(id) + ": " + BanKindWord(lifted.Kind) + " " + lifted.Value);
  c.Ok();
}

// ---- the table ----------------------------------------------------------------------------

void HelpCommand(TCall& c);

struct TCommand {
  const char* Word;
  const char* Help;
  void (*Run)(TCall&);  // none: "quit"
};

// In the order lines are matched against them.
const TCommand kCommands[] = {
    {"sl", "serverlist", ServerListCommand},
    {"pl", "playerlist", PlayerListCommand},
    {"cl", "channellist", ChannelListCommand},
    {"ver", "version", VersionCommand},
    {"sel", "select", SelectCommand},
    {"si", "server information", ServerInfoCommand},
    {"msg", "message to server", MessageCommand},
    {"msgall", "message to all servers", MessageAllCommand},
    {"start", "start server", StartCommand},
    {"stop", "stop server", StopCommand},
    {"restart", "restarts a server", RestartCommand},
    {"addserver", "adds a server", AddServerCommand},
    {"set", "set a server variable", SetCommand},
    {"login", "login to server", LoginCommand},
    {"adduser", "adds a user to server", AddUserCommand},
    {"deluser", "deletes a user from server", DeleteUserCommand},
    {"changeuserpw", "changes password of a user", ChangePasswordCommand},
    {"changeuserrights", "changes rights of a user", ChangeRightsCommand},
    {"listuser", "display online users of a server", ListUsersCommand},
    {"banadd", "bans ip|name|nick <value> <minutes> [reason]", BanAddCommand},
    {"banlist", "lists the bans of a server", BanListCommand},
    {"bandel", "lifts a ban", BanDeleteCommand},
    {"help", "this helpfile", HelpCommand},
    {"quit", "close connection", nullptr},
};

// "help" leads its own list; the others follow in table order.
void HelpCommand(TCall& c) {
  auto entry = [&](const TCommand& command) {
    std::string word = command.Word;
    word.resize(20, ' ');
    c.Line(word + ": " + command.Help);
  };
  c.Line("command overview: ");
  for (const TCommand& command : kCommands)
    if (command.Run == HelpCommand) entry(command);
  for (const TCommand& command : kCommands)
    if (command.Run != HelpCommand) entry(command);
  c.Ok();
}

// The word alone, or the word and one blank, in any letter case.
bool Matches(std::string_view line, std::string_view word) {
  if (line.size() < word.size() || !SameText(line.substr(0, word.size()), word)) return false;
  return line.size() == word.size() || line[word.size()] == ' ';
}

}  // namespace

void QueryTrace(std::string_view text) {
  static std::mutex mutex;
  static TLogRateLimiter limiter(nullptr, 10, 1000);
  uint32_t suppressed = 0;
  bool allowed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    allowed = limiter.Allow(suppressed);
  }
  if (suppressed) Log(LMTDEBUG, LMDINFO, "TCPQUERY", std::to_string(suppressed) + " trace lines suppressed");
  if (allowed) Log(LMTDEBUG, LMDINFO, "TCPQUERY", text);
}

std::string QueryErrorLine(std::string_view message, std::string_view reason) {
  std::string line = "ERROR, " + std::string(message.substr(0, kErrorMessageLength));
  if (!reason.empty()) {
    std::string said(reason);
    std::replace_if(said.begin(), said.end(), [](char ch) { return ch == '\r' || ch == '\n'; }, ' ');
    line += ": " + said;
  }
  return line + "\r\n";
}

void TakeServerSnapshot(TQueryConnection& connection) { connection.Servers = List().GetServerIDList(); }

TQueryAnswer ExecuteQueryLine(TQueryConnection& connection, std::string_view line, const TServerEnvironment& env) {
  for (const TCommand& command : kCommands) {
    const std::string_view word = command.Word;
    if (!Matches(line, word)) continue;
    if (!command.Run) return {"", true};
    const std::string_view rest = line.size() > word.size() ? line.substr(word.size() + 1) : std::string_view();
    TCall call{connection, env, SplitParams(rest), {}};
    // Whatever a command raises (the database, the settings file), the
    // client gets one error line and the connection goes on.
    try {
      command.Run(call);
    } catch (const std::exception& error) {
      LogCaught("TCPQUERY", "TTCPQuery." + std::string(word), error);
      call.Error(error.what());
    } catch (...) {
      Log(LMTERROR, LMDALL, "TCPQUERY", "TTCPQuery." + std::string(word) + " Exception: unknown");
      call.Error("internal error");
    }
    return {std::move(call.Answer), false};
  }
  return {"error\r\n", false};
}
