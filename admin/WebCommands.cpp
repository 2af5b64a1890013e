// The command side of TWebInterface: the actions of the pages' forms and
// links, sent to documents ending in ".plcmd" and found in a table that
// says what each needs of its request. Each answers with a redirect: to a
// page, or to a message box whose texts travel, encoded, in the query.
#include <charconv>

#include "admin/AuditText.h"
#include "admin/FormText.h"
#include "admin/HttpForwarding.h"
#include "admin/HttpServer.h"
#include "admin/WebAudit.h"
#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebText.h"
#include "common/AuditLog.h"
#include "common/CaughtLog.h"
#include "common/Log.h"
#include "common/LoginThrottle.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "database/HashQueue.h"
#include "database/PasswordHash.h"
#include "server/ServerAccess.h"
#include "server/ServerList.h"

namespace {

constexpr const char* kSource = "WEBINTERFACE";
constexpr const char* kErrorTitle = "error occured";
constexpr const char* kOkTitle = "operation successfully";
constexpr size_t kSessionCredentialLength = 255;
constexpr const char* kAddWithoutPassword = "ADD_CLIENT_CONFIRMED.PLCMD";

void Redirect(httplib::Response& response, const std::string& location) {
  response.set_redirect(location, 302);
  THttpServer::CloseAfterResponse(response);
}

// "page?name=value&name=value" with every value encoded, empty ones too.
std::string BoxUrl(const char* page, std::initializer_list<std::pair<const char*, std::string_view>> values) {
  return PageUrl(page, values, true);
}

bool IsInteger(const std::string& text, int32_t& value) {
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, value);
  return r.ec == std::errc() && r.ptr == end;
}

// A server administrator may not take over, or remove, the account of a
// super server administrator: its password would open every server.
bool GuardsSuperAdmin(TWebRequest& r, const TClientObject& account) {
  if (!(account.PlayerPrivileges & PlayerPrivileges::SuperServerAdmin) || r.SuperAdmin)
    return false;
  TWebInterface::DisplayError(r.Response, kErrorTitle, "only a super server admin may change this user",
                              "client_manager.html");
  return true;
}

// Whether the browser says the request was started by another site: an
// Origin that is not this interface's own (its public address, or the
// scheme and host the request came in by, a trusted proxy's included), or
// a fetch from another site. Scripts send neither header.
bool FromElsewhere(const httplib::Request& request) {
  if (request.has_header("Origin") && !IsOwnOrigin(request, request.get_header_value("Origin")))
    return true;
  const std::string site = request.get_header_value("Sec-Fetch-Site");
  return SameText(site, "cross-site") || SameText(site, "same-site");
}

// Clears the session's login in one step, leaving `port` as its server port.
void ForgetLogin(TWebSession& session, std::string_view port) {
  session.With([&](TSessionValues& v) {
    v.Set("credential", "");
    v.Set(kPasswordProof, "");
    v.Set("username", "");
    v.Set("serverport", port);
    return v.Set("loggedin", "0");
  });
}

void RefuseFromElsewhere(TWebRequest& r, std::string_view command) {
  LogFmt(LMTWARNING, LMDINFO, kSource, "Refused %1 sent from another site (Origin: %2) by %3",
         {std::string(command), r.Request.get_header_value("Origin"), ClientAddress(r.Request)});
  r.Response.status = 403;
  r.Response.set_content(
      "<html><head><title>Error</title></head><body><h1>Forbidden</h1>"
      "Commands are only accepted from this interface's own pages.</body></html>",
      "text/HTML");
  THttpServer::CloseAfterResponse(r.Response);
}

void CommandLogout(TWebInterface& web, TWebRequest& r) {
  web.EndLogin(r, kNoticeLoggedOut);
  Redirect(r.Response, "login.html");
}

bool AskDeleteClient(TWebInterface&, TWebRequest& r, TWebPending& pending) {
  pending.Value = pending.Shown = r.Param("CLIENT");
  pending.YesQuery = "client=" + UrlEncode(pending.Value);
  return true;
}

void CommandLogin(TWebInterface& web, TWebRequest& r) {
  const std::string port = r.Param("serverport").substr(0, kSessionCredentialLength);
  const std::string password = r.Param("password").substr(0, kSessionCredentialLength);
  const std::string username = r.Param("username").substr(0, kSessionCredentialLength);
  const std::string proof = password_hash::Proof(username + '\0' + port + '\0' + password);
  // The session logs in again as it is, with the password it verified: the
  // stored one is compared with what was read then, and no hash is paid.
  const bool again = r.Session->With([&](TSessionValues& v) {
    return v.Get("loggedin") == "1" && v.Get("username") == username && v.Get("serverport") == port &&
           !v.Get(kPasswordProof).empty() && v.Get(kPasswordProof) == proof;
  });
  if (again && web.RecheckSessionLogin(r)) {
    web.Sessions().Renew(r.Session);
    Redirect(r.Response, "index.html");
    return;
  }
  ForgetLogin(*r.Session, "0");
  TLoginThrottle& throttle = ProcessLoginThrottle();
  const std::string& address = ClientAddress(r.Request);
  // The accounts a login here may match are those behind the port.
  const std::string throttleKey = WebThrottleKey(port, username);
  // A blocked address is told to wait, and nothing is checked: the notice
  // says no more about the password than a wrong one would.
  // The throttle logs the refusal itself, held to a few lines a second.
  if (!throttle.MayTry(address, throttleKey, kSource)) {
    r.Session->Set(kLoginNoticeValue, kNoticeThrottled);
    Redirect(r.Response, "login.html");
    return;
  }
  // One pending hash per address and per account: the request that finds
  // one pending is told so, and counts nothing.
  const THashClaim claim(address, throttleKey);
  if (!claim.Held()) {
    r.Session->Set(kLoginNoticeValue, kNoticeBusy);
    Redirect(r.Response, "login.html");
    return;
  }
  if (!web.CheckSessionLogin(username, password, port, r)) {
    throttle.Failed(address, throttleKey);
    AuditWebLoginFailed(r, username);
    r.Session->Set(kLoginNoticeValue, kNoticeFailed);
    Redirect(r.Response, "login.html");
    return;
  }
  throttle.Succeeded(address, throttleKey);
  r.Session->With([&](TSessionValues& v) {
    v.Set("serverport", port);
    v.Set("username", username);
    v.Set(kPasswordProof, proof);
    return v.Set("loggedin", "1");
  });
  // An id known before the login is worth nothing after it.
  web.Sessions().Renew(r.Session);
  Redirect(r.Response, "index.html");
}

void CommandSettingsServer(TWebInterface& web, TWebRequest& r) {
  constexpr const char* kPage = "server_settings.html";
  // Texts the server's code page cannot carry are refused whole, and the
  // form comes back with what was typed (the password excepted).
  const struct {
    const char* Field;
    const char* Label;
  } kTexts[] = {{"SERVERNAME", "the server name"},
                {"SERVERWELCOMEMESSAGE", "the welcome message"},
                {"SERVERPASSWORD", "the server password"},
                {"SERVERWEBPOSTLINKURL", "the link"}};
  for (const auto& t : kTexts) {
    if (!HoldsCharacterReference(r.Param(t.Field))) continue;
    TWebInterface::DisplayError(r.Response, kErrorTitle, UnstorableTextMessage(t.Label),
                 PageUrl(kPage, {{"SERVERNAME", r.Param("SERVERNAME")},
                                 {"SERVERWELCOMEMESSAGE", r.Param("SERVERWELCOMEMESSAGE")},
                                 {"SERVERMAXUSERS", r.Param("SERVERMAXUSERS")},
                                 {"SERVERWEBPOSTLINKURL", r.Param("SERVERWEBPOSTLINKURL")}}));
    return;
  }
  TSettingsChange change;
  change.ServerName = r.Param("SERVERNAME").substr(0, 29);
  change.ServerWelcomeMessage = r.Param("SERVERWELCOMEMESSAGE").substr(0, 255);
  int32_t maxUsers = 0;
  if (IsInteger(r.Param("SERVERMAXUSERS"), maxUsers) && maxUsers >= 0 && maxUsers <= 65535)
    change.ServerMaxUsers = static_cast<uint16_t>(maxUsers);
  // An empty field keeps the password; only the explicit choice removes it.
  const std::string password = Trim(r.Param("SERVERPASSWORD"));
  const bool noPassword = r.Param("SERVERPASSWORD_NONE") == "1";
  if (noPassword && !password.empty()) {
    TWebInterface::DisplayError(r.Response, kErrorTitle, "type a new password or choose \"no password\", not both",
                                PageUrl(kPage, {{"SERVERNAME", r.Param("SERVERNAME")},
                                                {"SERVERWELCOMEMESSAGE", r.Param("SERVERWELCOMEMESSAGE")},
                                                {"SERVERMAXUSERS", r.Param("SERVERMAXUSERS")},
                                                {"SERVERWEBPOSTLINKURL", r.Param("SERVERWEBPOSTLINKURL")}}));
    return;
  }
  if (noPassword) change.ServerPassword = "";
  if (!password.empty()) change.ServerPassword = password.substr(0, 29);
  const std::string type = r.Param("SERVERTYPE");
  if (type == "1") change.ServerType = 5;
  if (type == "2") change.ServerType = 6;
  const std::string registration = r.Param("SERVERREGISTERTYPE");
  if (registration == "1") change.AnyoneMayRegister = false;
  if (registration == "2") change.AnyoneMayRegister = true;
  change.AllowCodecCelp51 = r.Param("CODECCelp51") == "1";
  change.AllowCodecCelp63 = r.Param("CODECCelp63") == "1";
  change.AllowCodecGSM148 = r.Param("CODECGSM148") == "1";
  change.AllowCodecGSM164 = r.Param("CODECGSM164") == "1";
  change.AllowCodecWindowsCELP52 = r.Param("CODECWindowsCELP52") == "1";
  change.WebPostLinkURL = Trim(r.Param("SERVERWEBPOSTLINKURL")).substr(0, 255);
  const TServerRef server = web.SelectedServer(r);
  bool restarted = false;
  const TServerSettings before = server ? TServerAccess(server).Snapshot(0).Settings : TServerSettings{};
  if (!server || !TServerAccess(server).ApplySettings(change, "", TApplySettings::LiveWherePossible, &restarted)) {
    TWebInterface::DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
    return;
  }
  const std::string changed = SettingsChangeText(before, change);
  if (!changed.empty() || restarted) AuditWeb(r, "settings", changed + (restarted ? " (restarted)" : ""));
  std::string said = restarted ? "server config was changed and will be restarted now: a new server type needs "
                                 "every player to log in again"
                               : "server config was changed; players stay connected";
  // A maximum below the players online sends nobody away: it only keeps
  // newcomers out until enough have left, which the operator may not expect.
  const int32_t online = TServerAccess(server).Snapshot().Figures.CurrentUsers;
  if (!restarted && change.ServerMaxUsers && *change.ServerMaxUsers < online)
    said += FormatArgs(". Note: the maximum of %1 is below the %2 players online; nobody is disconnected, but no "
                       "one else can log in until fewer than %1 are online",
                       {*change.ServerMaxUsers, online});
  TWebInterface::DisplayOK(r.Response, kOkTitle, said, kPage);
}

void CommandDeleteClient(TWebInterface&, TWebRequest& r) {
  const std::string& id = r.ServerID;
  // The account last asked about, whatever the link's own parameter says.
  const std::string& name = r.Confirmed;
  const auto account = name.empty() ? nullptr : GetUser(name, id, false);
  if (account && GuardsSuperAdmin(r, *account)) return;
  if (account && DeleteUser(name, id)) {
    AuditWeb(r, "account-delete", name + " with rights " + RightsText(account->PlayerPrivileges));
    TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("user %1 deleted", {name}), "client_manager.html");
  } else {
    TWebInterface::DisplayError(r.Response, kErrorTitle, FormatArgs("user %1 not deleted, user was not found in database", {name}),
                 "client_manager.html");
  }
}

void CommandAddClient(TWebInterface&, TWebRequest& r) {
  const std::string& id = r.ServerID;
  // A refused form comes back with its name and rights (never its passwords).
  const std::string back =
      PageUrl("client_manager.html", {{"CLIENTLOGINNAME", r.Param("CLIENTLOGINNAME")},
                                      {"CLIENTSERVERADMIN", r.Param("CLIENTSERVERADMIN")},
                                      {"CLIENTSUPERSERVERADMIN", r.Param("CLIENTSUPERSERVERADMIN")}});
  if (r.Param("CLIENTPW1") != r.Param("CLIENTPW2")) {
    TWebInterface::DisplayError(r.Response, kErrorTitle, "the passwords dont match", back);
    return;
  }
  if (HoldsCharacterReference(r.Param("CLIENTLOGINNAME")) || HoldsCharacterReference(r.Param("CLIENTPW1"))) {
    TWebInterface::DisplayError(r.Response, kErrorTitle, UnstorableTextMessage("the login name or password"), back);
    return;
  }
  TClientObject account;
  account.LoginName = r.Param("CLIENTLOGINNAME");
  account.NickName = account.LoginName;
  account.Password = r.Param("CLIENTPW1");
  account.RegisteredBy = r.Session->Get("username");
  if (r.Param("CLIENTSERVERADMIN") == "1") account.PlayerPrivileges |= PlayerPrivileges::ServerAdmin;
  if (r.SuperAdmin && r.Param("CLIENTSUPERSERVERADMIN") == "1")
    account.PlayerPrivileges |= PlayerPrivileges::SuperServerAdmin;
  if (!ValidLoginName(account.LoginName.Text())) {
    TWebInterface::DisplayError(r.Response, kErrorTitle, "the login name is empty or holds a backslash", back);
    return;
  }
  if (GetUser(account.LoginName.Text(), id, false)) {
    TWebInterface::DisplayError(r.Response, kErrorTitle, "a user with name already exists", back);
    return;
  }
  if (AccountsFull(id)) {
    TWebInterface::DisplayError(r.Response, kErrorTitle, AccountsFullMessage(), back);
    return;
  }
  // An account anyone may take over is added only after a yes; the name and
  // rights wait in the session, not in the link.
  if (account.Password.Text().empty()) {
    AskFirst(
        r, kAddWithoutPassword,
        {account.LoginName.Text() + "\t" + std::to_string(account.PlayerPrivileges), account.LoginName.Text(), ""});
    return;
  }
  if (!AddUser(account, id)) {
    TWebInterface::DisplayError(r.Response, kErrorTitle,
                                AccountsFull(id) ? AccountsFullMessage() : "a user with name already exists", back);
    return;
  }
  AuditWeb(r, "account-add", account.LoginName.Text() + " with rights " + RightsText(account.PlayerPrivileges));
  TWebInterface::DisplayOK(r.Response, kOkTitle,
                           FormatArgs("the user %1 was added to server", {account.LoginName.Text()}),
                           "client_manager.html");
}

void CommandAddClientConfirmed(TWebInterface&, TWebRequest& r) {
  const std::string& pending = r.Confirmed;
  const size_t tab = pending.find('\t');
  const std::string& id = r.ServerID;
  if (tab == std::string::npos)
    return TWebInterface::DisplayError(r.Response, kErrorTitle, "no account was waiting to be added",
                                       "client_manager.html");
  TClientObject account;
  account.LoginName = pending.substr(0, tab);
  account.NickName = account.LoginName;
  account.RegisteredBy = r.Session->Get("username");
  uint32_t rights = 0;
  const std::string rightsText = pending.substr(tab + 1);
  std::from_chars(rightsText.data(), rightsText.data() + rightsText.size(), rights);
  // The rights were asked for by an earlier request; this one grants them,
  // so it grants only what its own holder may.
  const uint32_t grantable = PlayerPrivileges::ServerAdmin | (r.SuperAdmin ? PlayerPrivileges::SuperServerAdmin : 0u);
  account.PlayerPrivileges = static_cast<uint16_t>(rights & grantable);
  if (!AddUser(account, id))
    return TWebInterface::DisplayError(r.Response, kErrorTitle,
                                       AccountsFull(id) ? AccountsFullMessage() : "a user with name already exists",
                                       "client_manager.html");
  AuditWeb(r, "account-add",
           account.LoginName.Text() + " with rights " + RightsText(account.PlayerPrivileges) + ", without a password");
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("the user %1 was added to server", {account.LoginName.Text()}),
                           "client_manager.html");
}

void CommandEditClient(TWebInterface&, TWebRequest& r) {
  const std::string& id = r.ServerID;
  const std::string client = r.Param("CLIENT");
  if (auto account = client.empty() ? nullptr : GetUser(client, id, false)) {
    if (GuardsSuperAdmin(r, *account)) return;
    const std::string pw1 = r.Param("CLIENTPW1");
    if (!pw1.empty()) {
      if (pw1 != r.Param("CLIENTPW2")) {
        TWebInterface::DisplayError(r.Response, kErrorTitle, "the passwords dont match",
                     PageUrl("client_edit.html", {{"client", client}}));
        return;
      }
      if (HoldsCharacterReference(pw1)) {
        TWebInterface::DisplayError(r.Response, kErrorTitle, UnstorableTextMessage("the password"),
                     PageUrl("client_edit.html", {{"client", client}}));
        return;
      }
      account->Password = pw1;  // stored hashed
    }
    auto& rights = account->PlayerPrivileges;
    const uint16_t rightsBefore = rights;
    rights = static_cast<uint16_t>(rights & ~PlayerPrivileges::ServerAdmin);
    if (r.Param("CLIENTSERVERADMIN") == "1") rights |= PlayerPrivileges::ServerAdmin;
    if (r.SuperAdmin) {
      rights = static_cast<uint16_t>(rights & ~PlayerPrivileges::SuperServerAdmin);
      if (r.Param("CLIENTSUPERSERVERADMIN") == "1") rights |= PlayerPrivileges::SuperServerAdmin;
    }
    const std::string before = account->StoredPassword;
    // A server administrator's edit is written only while the account is
    // still no super administrator's: the right may have been granted
    // elsewhere since the check above.
    if (!UpdateUser(*account, id, 0, r.SuperAdmin ? 0 : PlayerPrivileges::SuperServerAdmin)) {
      TWebInterface::DisplayError(r.Response, kErrorTitle,
                                  FormatArgs("user %1 was not saved: it was changed or deleted meanwhile", {client}),
                                  "client_manager.html");
      return;
    }
    AuditWeb(r, "account-edit", client + ": rights " + RightsText(rightsBefore) + " -> " + RightsText(rights) +
                                    (pw1.empty() ? "" : ", password changed"));
    // The session that logged in with this account keeps passing its check.
    if (const auto after = pw1.empty() ? nullptr : GetUser(client, id, false))
      r.Session->With([&](TSessionValues& v) {
        return v.Get("credential") == before && v.Set("credential", after->StoredPassword);
      });
  } else {
    TWebInterface::DisplayError(r.Response, kErrorTitle, "no such account", "client_manager.html");
    return;
  }
  TWebInterface::DisplayOK(r.Response, kOkTitle, FormatArgs("the user %1 was edited", {client}), "client_manager.html");
}

// A command that changes state is refused when another site sent it: a page
// elsewhere must not act with the browser's session (the login included,
// which would plant a session). An asking step counts as changing state: it
// keeps a target in the session, and its box must not be shown on another
// site's say-so.
constexpr TWebConfirmation kDeleteConfirmation{"ASK_DELETE_CLIENT.PLCMD", "CLIENT_TO_DELETE",
                                               "you really want do delete %1", "client_manager.html", AskDeleteClient};
constexpr TWebConfirmation kAddConfirmation{
    nullptr, "ACCOUNT_TO_ADD", "add the account %1 without a password? Anyone who knows the name could use it.",
    "client_manager.html", nullptr};

const TWebCommand kCommands[] = {
    {"LOGIN.PLCMD", TWebRights::None, true, CommandLogin},
    {"LOGOUT.PLCMD", TWebRights::None, true, CommandLogout},
    {"SETTINGS_SERVER.PLCMD", TWebRights::ServerSelected, true, CommandSettingsServer},
    {"DELETE_CLIENT.PLCMD", TWebRights::ServerSelected, true, CommandDeleteClient, kDeleteConfirmation},
    {"ADD_CLIENT.PLCMD", TWebRights::ServerSelected, true, CommandAddClient},
    {kAddWithoutPassword, TWebRights::ServerSelected, true, CommandAddClientConfirmed, kAddConfirmation},
    {"EDIT_CLIENT.PLCMD", TWebRights::ServerSelected, true, CommandEditClient},
};

}  // namespace

std::span<const TWebCommand> AccountCommands() { return kCommands; }

void TWebInterface::DisplayError(httplib::Response& response, std::string_view title, std::string_view text,
                                 std::string_view url) {
  try {
    Redirect(response, BoxUrl("error_box.html", {{"error_title", title}, {"error_text", text}, {"error_url", url}}));
  } catch (const std::exception& e) {
    LogCaught(kSource, "DisplayError", e);
  }
}

void TWebInterface::DisplayOK(httplib::Response& response, std::string_view title, std::string_view text,
                              std::string_view url) {
  Redirect(response, BoxUrl("ok_box.html", {{"ok_title", title}, {"ok_text", text}, {"ok_url", url}}));
}

void TWebInterface::DisplayChoice(httplib::Response& response, std::string_view title, std::string_view text,
                                  std::string_view urlYes, std::string_view urlNo, std::string_view yes,
                                  std::string_view no) {
  try {
    Redirect(response, BoxUrl("choice_box.html", {{"choice_title", title},
                                                  {"choice_text", text},
                                                  {"choice_url_yes", urlYes},
                                                  {"choice_url_no", urlNo},
                                                  {"choice_yes", yes},
                                                  {"choice_no", no}}));
  } catch (const std::exception& e) {
    LogCaught(kSource, "DisplayChoice", e);
  }
}

bool TWebInterface::MayRunWithoutLogin(std::string_view document) {
  bool asking = false;
  const TWebCommand* command = FindWebCommand(document, asking);
  return command && command->Needs == TWebRights::None;
}

bool TWebInterface::Progress_COMMAND(const std::string& document, TWebRequest& r) {
  try {
    bool asking = false;
    const TWebCommand* command = FindWebCommand(document, asking);
    if (!command) return true;
    if (command->ChangesState && FromElsewhere(r.Request)) {
      RefuseFromElsewhere(r, asking ? command->Confirm.Asker : command->Name);
      return true;
    }
    if (command->Needs != TWebRights::None && !r.LoggedIn) {
      SendAccessDenied(r.Response);
      return true;
    }
    // The server this request's own login check found, never one a
    // parallel request of the session may have put there since.
    if (command->Needs >= TWebRights::ServerSelected && !SelectedServer(r)) {
      DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
      return true;
    }
    if (command->Needs == TWebRights::SuperAdmin && !r.SuperAdmin) {
      DisplayError(r.Response, kErrorTitle, "only a super server administrator may manage servers", "index.html");
      return true;
    }
    if (asking) {
      TWebPending pending;
      if (command->Confirm.Read(*this, r, pending)) AskFirst(r, command->Name, pending);
      return true;
    }
    r.Confirmed = TakePending(r, *command);
    command->Run(*this, r);
  } catch (const std::exception& e) {
    LogCaught(kSource, "Progress_COMMAND", e);
  }
  return true;
}

