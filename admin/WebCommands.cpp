// The command side of TWebInterface: the actions of the pages' forms and
// links, sent to documents ending in ".plcmd". Each answers with a redirect:
// to a page, or to a message box whose texts travel, encoded, in the query.
#include <charconv>

#include "admin/HttpServer.h"
#include "admin/WebInterface.h"
#include "admin/WebText.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "common/LoginThrottle.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "server/ServerList.h"

namespace {

constexpr const char* kSource = "WEBINTERFACE";
constexpr const char* kErrorTitle = "error occured";
constexpr const char* kOkTitle = "operation successfully";
constexpr size_t kSessionCredentialLength = 255;

void LogException(std::string_view operation, const std::exception& e) {
  Log(LMTERROR, LMDALL, kSource, std::string(operation) + " Exception: " + e.what());
}

void Redirect(httplib::Response& response, const std::string& location) {
  response.set_redirect(location, 302);
  THttpServer::CloseAfterResponse(response);
}

// "page?name=value&name=value" with every value encoded.
std::string BoxUrl(const char* page, std::initializer_list<std::pair<const char*, std::string_view>> values) {
  std::string url = page;
  char separator = '?';
  for (const auto& [name, value] : values) {
    url += separator;
    url += name;
    url += '=';
    url += UrlEncode(value);
    separator = '&';
  }
  return url;
}

bool IsInteger(const std::string& text, int32_t& value) {
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, value);
  return r.ec == std::errc() && r.ptr == end;
}

// A server administrator may not take over, or remove, the account of a
// super server administrator: its password would open every server.
bool GuardsSuperAdmin(TWebRequest& r, const TClientObject& account) {
  if (!(account.PlayerPrivileges & PlayerPrivileges::SuperServerAdmin) || r.Session->Get("SuperAdmin") == "1")
    return false;
  TWebInterface::DisplayError(r.Response, kErrorTitle, "only a super server admin may change this user", "index.html");
  return true;
}

}  // namespace

void TWebInterface::DisplayError(httplib::Response& response, std::string_view title, std::string_view text,
                                 std::string_view url) {
  try {
    Redirect(response, BoxUrl("error_box.html", {{"error_title", title}, {"error_text", text}, {"error_url", url}}));
  } catch (const std::exception& e) {
    LogException("DisplayError", e);
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
    LogException("DisplayChoice", e);
  }
}

void TWebInterface::Progress_COMMAND(const std::string& document, bool& handled, TWebRequest& r) {
  try {
    handled = true;
    const std::string command = UpperCase(document.substr(document.empty() ? 0 : 1));
    if (command == "LOGOUT.PLCMD") {
      r.Session->With([](TSessionValues& v) {
        v.Set("credential", "");
        v.Set("username", "");
        v.Set("serverport", "");
        return v.Set("loggedin", "0");
      });
      Redirect(r.Response, "login.html");
      return;
    }
    if (command == "LOGIN.PLCMD") {
      CommandLogin(r);
      return;
    }
    const TServerRef server = SelectedServer(r);
    std::string id;
    if (server) {
      const auto hold = server->HoldMachinery();
      if (server->Running()) id = server->ServerID;
    }
    if (id.empty()) {
      DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
      return;
    }
    if (command == "SETTINGS_SERVER.PLCMD") {
      CommandSettingsServer(r, *server);
    } else if (command == "ASK_DELETE_CLIENT.PLCMD") {
      const std::string client = r.Param("CLIENT");
      r.Session->Set("CLIENT_TO_DELETE", client);
      DisplayChoice(r.Response, "please choose", FormatArgs("you really want do delete %1", {client}),
                    "DELETE_CLIENT.PLCMD?client=" + UrlEncode(client), "index.html", "yes", "no");
    } else if (command == "DELETE_CLIENT.PLCMD") {
      CommandDeleteClient(r, id);
    } else if (command == "ADD_CLIENT.PLCMD") {
      CommandAddClient(r, id);
    } else if (command == "EDIT_CLIENT.PLCMD") {
      CommandEditClient(r, id);
    }
  } catch (const std::exception& e) {
    LogException("Progress_COMMAND", e);
  }
}

void TWebInterface::CommandLogin(TWebRequest& r) {
  r.Session->With([](TSessionValues& v) {
    v.Set("credential", "");
    v.Set("username", "");
    v.Set("serverport", "0");
    return v.Set("loggedin", "0");
  });
  const std::string port = r.Param("serverport").substr(0, kSessionCredentialLength);
  const std::string password = r.Param("password").substr(0, kSessionCredentialLength);
  const std::string username = r.Param("username").substr(0, kSessionCredentialLength);
  TLoginThrottle& throttle = ProcessLoginThrottle();
  const std::string& address = r.Request.remote_addr;
  // A blocked address is answered as for a wrong password, unchecked.
  if (!throttle.MayTry(address, username, kSource)) {
    Redirect(r.Response, "login.html");
    return;
  }
  if (!CheckSessionLogin(username, password, port, r)) {
    throttle.Failed(address, username);
    Redirect(r.Response, "login.html");
    return;
  }
  throttle.Succeeded(address, username);
  r.Session->With([&](TSessionValues& v) {
    v.Set("serverport", port);
    v.Set("username", username);
    return v.Set("loggedin", "1");
  });
  // An id known before the login is worth nothing after it.
  sessions_.Renew(r.Session);
  Redirect(r.Response, "index.html");
}

void TWebInterface::CommandSettingsServer(TWebRequest& r, TServerObject& server) {
  TServerListObject* list = GetServerList();
  if (!list) return;
  // The running server's fields are read by its threads without a lock, so
  // the new settings go to its section of the file, and the restart reads
  // them from there. The list's lock keeps restarts and other writers of
  // the section out meanwhile.
  std::lock_guard<std::recursive_mutex> lock(list->Mutex());
  TServerSettings s;
  std::string id, settingsFile;
  {
    const auto hold = server.HoldMachinery();
    if (!server.Running()) {
      DisplayError(r.Response, kErrorTitle, "your selected server is invalid", "index.html");
      return;
    }
    s = server;
    id = server.ServerID;
    settingsFile = server.Environment().SettingsFile;
  }
  s.ServerName = r.Param("SERVERNAME").substr(0, 29);
  s.ServerWelcomeMessage = r.Param("SERVERWELCOMEMESSAGE").substr(0, 255);
  int32_t maxUsers = 0;
  if (IsInteger(r.Param("SERVERMAXUSERS"), maxUsers) && maxUsers >= 0 && maxUsers <= 65535)
    s.ServerMaxUsers = static_cast<uint16_t>(maxUsers);
  const std::string password = Trim(r.Param("SERVERPASSWORD"));
  if (!password.empty()) s.ServerPassword = password.substr(0, 29);
  const std::string type = r.Param("SERVERTYPE");
  if (type == "1") s.ServerType = 5;
  if (type == "2") s.ServerType = 6;
  const std::string registration = r.Param("SERVERREGISTERTYPE");
  if (registration == "1") s.ServerFlags &= static_cast<uint16_t>(~sfAnyoneMayRegister);
  if (registration == "2") s.ServerFlags |= sfAnyoneMayRegister;
  s.AllowCodecCelp51 = r.Param("CODECCelp51") == "1";
  s.AllowCodecCelp63 = r.Param("CODECCelp63") == "1";
  s.AllowCodecGSM148 = r.Param("CODECGSM148") == "1";
  s.AllowCodecGSM164 = r.Param("CODECGSM164") == "1";
  s.AllowCodecWindowsCELP52 = r.Param("CODECWindowsCELP52") == "1";
  s.WebPostLinkURL = Trim(r.Param("SERVERWEBPOSTLINKURL")).substr(0, 255);
  TIniFile ini(settingsFile);
  s.Write(ini, id);
  list->RestartServer(id);
  DisplayOK(r.Response, kOkTitle, "server config was changed and will be restarted now", "index.html");
}

void TWebInterface::CommandDeleteClient(TWebRequest& r, const std::string& id) {
  const std::string name = r.Session->Get("CLIENT_TO_DELETE");
  r.Session->Set("CLIENT_TO_DELETE", "");
  const auto account = name.empty() ? nullptr : GetUser(name, id, false);
  if (account && GuardsSuperAdmin(r, *account)) return;
  if (account && DeleteUser(name, id))
    DisplayOK(r.Response, kOkTitle, FormatArgs("user %1 deleted", {name}), "index.html");
  else
    DisplayError(r.Response, kErrorTitle, FormatArgs("user %1 not deleted, user was not found in database", {name}),
                 "index.html");
}

void TWebInterface::CommandAddClient(TWebRequest& r, const std::string& id) {
  if (r.Param("CLIENTPW1") != r.Param("CLIENTPW2")) {
    DisplayError(r.Response, kErrorTitle, "the passwords dont match", "index.html");
    return;
  }
  TClientObject account;
  account.LoginName = r.Param("CLIENTLOGINNAME");
  account.NickName = account.LoginName;
  account.Password = r.Param("CLIENTPW1");
  account.RegisteredBy = r.Session->Get("username");
  if (r.Param("CLIENTSERVERADMIN") == "1") account.PlayerPrivileges |= PlayerPrivileges::ServerAdmin;
  if (r.Session->Get("SuperAdmin") == "1" && r.Param("CLIENTSUPERSERVERADMIN") == "1")
    account.PlayerPrivileges |= PlayerPrivileges::SuperServerAdmin;
  if (!ValidLoginName(account.LoginName.Text())) {
    DisplayError(r.Response, kErrorTitle, "the login name is empty or holds a backslash", "index.html");
    return;
  }
  if (!AddUser(account, id)) {
    DisplayError(r.Response, kErrorTitle, "a user with name already exists", "index.html");
    return;
  }
  DisplayOK(r.Response, kOkTitle, FormatArgs("the user %1 was added to server", {account.LoginName.Text()}),
            "index.html");
}

void TWebInterface::CommandEditClient(TWebRequest& r, const std::string& id) {
  const std::string client = r.Param("CLIENT");
  if (auto account = client.empty() ? nullptr : GetUser(client, id, false)) {
    if (GuardsSuperAdmin(r, *account)) return;
    const std::string pw1 = r.Param("CLIENTPW1");
    if (!pw1.empty()) {
      if (pw1 != r.Param("CLIENTPW2")) {
        DisplayError(r.Response, kErrorTitle, "the passwords dont match", "index.html");
        return;
      }
      account->Password = pw1;  // stored hashed
    }
    auto& rights = account->PlayerPrivileges;
    rights = static_cast<uint16_t>(rights & ~PlayerPrivileges::ServerAdmin);
    if (r.Param("CLIENTSERVERADMIN") == "1") rights |= PlayerPrivileges::ServerAdmin;
    if (r.Session->Get("SuperAdmin") == "1") {
      rights = static_cast<uint16_t>(rights & ~PlayerPrivileges::SuperServerAdmin);
      if (r.Param("CLIENTSUPERSERVERADMIN") == "1") rights |= PlayerPrivileges::SuperServerAdmin;
    }
    const std::string before = account->StoredPassword;
    UpdateUser(*account, id);
    // The session that logged in with this account keeps passing its check.
    if (const auto after = pw1.empty() ? nullptr : GetUser(client, id, false))
      r.Session->With([&](TSessionValues& v) {
        return v.Get("credential") == before && v.Set("credential", after->StoredPassword);
      });
  }
  DisplayOK(r.Response, kOkTitle, FormatArgs("the user %1 was edited", {client}), "index.html");
}
