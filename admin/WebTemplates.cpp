// The page side of TWebInterface: reading a page of the document folder,
// expanding its includes and filling its markers from the selected server,
// the session, a selected account and the request.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "admin/FormText.h"
#include "admin/SvgChart.h"
#include "admin/WebCompression.h"
#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebServerOps.h"
#include "admin/WebText.h"
#include "common/CaughtLog.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "server/ServerAccess.h"
#include "server/ServerList.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "WEBINTERFACE";
constexpr const char* kClientRow = "database_client_manager_clientlist.html";
constexpr const char* kClientList = "%!SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST!%";
constexpr const char* kServerDropDown = "%!SERVERCFG_SERVER_MANAGER_SERVERDROPDOWNLIST!%";

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text;
  char buf[16384];
  while (in && text.size() <= kMaxPageLength) {
    in.read(buf, sizeof buf);
    text.append(buf, static_cast<size_t>(in.gcount()));
  }
  return text;
}

// The message boxes' variables and the request parameters they come from.
struct TBoxVariable {
  const char* Marker;
  const char* Param;
  bool Url;
};
const TBoxVariable kBoxVariables[] = {
    {"%%ERROR_TITLE%%", "error_title", false},   {"%%ERROR_TEXT%%", "error_text", false},
    {"%%ERROR_URL%%", "error_url", true},        {"%%OK_TITLE%%", "ok_title", false},
    {"%%OK_TEXT%%", "ok_text", false},           {"%%OK_URL%%", "ok_url", true},
    {"%%CHOICE_TITLE%%", "choice_title", false}, {"%%CHOICE_TEXT%%", "choice_text", false},
    {"%%CHOICE_URL_YES%%", "choice_url_yes", true}, {"%%CHOICE_YES%%", "choice_yes", false},
    {"%%CHOICE_URL_NO%%", "choice_url_no", true},   {"%%CHOICE_NO%%", "choice_no", false},
};

// Codec switches and their check-box markers.
struct TCodecMarker {
  const char* Marker;
  bool TServerSettings::*Allowed;
};
const TCodecMarker kCodecMarkers[] = {
    {"%%SERVERCFG_CODEC_Celp51_SELECTED%%", &TServerSettings::AllowCodecCelp51},
    {"%%SERVERCFG_CODEC_Celp63_SELECTED%%", &TServerSettings::AllowCodecCelp63},
    {"%%SERVERCFG_CODEC_GSM148_SELECTED%%", &TServerSettings::AllowCodecGSM148},
    {"%%SERVERCFG_CODEC_GSM164_SELECTED%%", &TServerSettings::AllowCodecGSM164},
    {"%%SERVERCFG_CODEC_WindowsCELP52_SELECTED%%", &TServerSettings::AllowCodecWindowsCELP52},
};

// An account's time as the pages show it: nothing for one never set (a
// stored 0 would read as 30 December 1899).
std::string StampText(const std::string& format, TDateTime value) {
  return value == 0 ? std::string() : FormatDateTime(format, value);
}

// The pages of the settings and the accounts; their markers are the
// server's and the account list's, which every page may hold.
const TWebPage kPages[] = {
    {"server_settings.html", "Settings", "settings", 30, TWebRights::LoggedIn, {}},
    {"client_manager.html", "Accounts", "accounts", 40, TWebRights::LoggedIn, {}},
};

}  // namespace

std::span<const TWebPage> CorePages() { return kPages; }

bool TWebInterface::FileCheck(const std::string& name) {
  try {
    std::error_code ec;
    const std::string file = InsideDocs(docs_ + "/" + name);
    return !file.empty() && fs::is_regular_file(file, ec);
  } catch (const std::exception& e) {
    LogCaught(kSource, "FileCheck", e);
    return false;
  }
}

std::string TWebInterface::LoadFile(const std::string& name) {
  try {
    if (!FileCheck(name)) return "";
    std::istringstream lines(ReadAll(InsideDocs(docs_ + "/" + name)));
    std::string text, line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      text += line;
      text += "\r\n";
    }
    return text;
  } catch (const std::exception& e) {
    LogCaught(kSource, "LoadFile", e);
    return "";
  }
}

std::string TWebInterface::ParseCommands(const std::string& text) {
  try {
    return ExpandIncludes(text, [this](const std::string& name) { return LoadFile(name); });
  } catch (const std::exception& e) {
    LogCaught(kSource, "ParseCommands", e);
    return text;
  }
}

bool TWebInterface::Progress_FILE(const std::string& fileName, TWebRequest& r) {
  try {
    std::error_code ec;
    if (!fs::is_regular_file(fileName, ec)) {
      LogFmt(LMTWARNING, LMDINFO, kSource, "File not found: %1", {fileName});
      return false;
    }
    std::string page = ParseCommands(ReadAll(fileName));
    SetVariables(page, r, FindWebPage(fileName));
    // The pages are in the server's code page, and forms send in the page's.
    SendGenerated(r.Request, r.Response, std::move(page), std::string("text/HTML; charset=") + kPageCharset);
  } catch (const std::exception& e) {
    // The page was found: an answer that failed half-way is still its answer.
    LogCaught(kSource, "Progress_FILE", e);
  }
  return true;
}

void TWebInterface::SetVariables(std::string& text, TWebRequest& r, const TWebPage* record) {
  TMarkers page;
  try {
    const TServerRef server = SelectedServer(r);
    const TServerSnapshot view = server ? TServerAccess(server).Snapshot() : TServerSnapshot();
    const bool selected = view.Running;
    const int32_t users = view.Figures.CurrentUsers;
    const int32_t channels = view.Figures.CurrentChannels;
    page.Condition("SERVER_SELECTED", selected);
    page.Condition("SERVER_NOT_SELECTED", !selected);
    if (selected) {
      const TServerSettings& s = view.Settings;
      page.Text("%%SERVERID%%", view.ID);
      page.Text("%%SERVERNAME%%", s.ServerName);
      page.Text("%%SERVERPLATFORM%%", view.Platform);
      page.Text("%%SERVERWELCOMEMESSAGE%%", s.ServerWelcomeMessage);
      page.Text("%%SERVERVERSIONMAJOR%%", std::to_string(view.VersionMajor));
      page.Text("%%SERVERVERSIONMINOR%%", std::to_string(view.VersionMinor));
      page.Text("%%SERVERVERSIONRELEASE%%", std::to_string(view.VersionRelease));
      page.Text("%%SERVERVERSIONBUILD%%", std::to_string(view.VersionBuild));
      page.Text("%%SERVERMAXUSERS%%", std::to_string(s.ServerMaxUsers));
      page.Text("%%SERVERPASSWORD%%", s.ServerPassword);
      page.Text("%%SERVERPASSWORD_STATE%%", s.ServerPassword.empty()
                                                ? "No password is set: anyone who finds the server may join."
                                                : "A password is set: players must give it to join.");
      page.Text("%%SERVERWEBPOSTLINKURL%%", s.WebPostLinkURL);
      page.Text("%%SERVERUPTIME%%", FormatUptime(view.Figures.UptimeSeconds));
      page.Text("%%SERVERUDPPORT%%", std::to_string(s.ServerUDPPort));
      page.Text("%%CURRENTUSERS%%", std::to_string(users));
      page.Text("%%CURRENTCHANNELS%%", std::to_string(channels));
      page.Text("%%SERVERPACKETSSEND%%", std::to_string(view.Figures.PacketsSent));
      page.Text("%%SERVERBYTESSEND%%", FormatBytes(view.Figures.BytesSent));
      page.Text("%%SERVERPACKETSRECEIVED%%", std::to_string(view.Figures.PacketsReceived));
      page.Text("%%SERVERBYTESRECEIVED%%", FormatBytes(view.Figures.BytesReceived));
      for (const TCodecMarker& c : kCodecMarkers) page.Text(c.Marker, s.*c.Allowed ? "checked" : "");
      const bool clan = s.ServerType & stClan, pub = s.ServerType & stPublic;
      page.Text("%%SERVERTYPE%%", clan ? "Clan Server" : pub ? "Public Server" : "Invalid Server Type");
      if (clan || pub) {
        page.Text("%%SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED%%", clan ? "selected" : "");
        page.Text("%%SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED%%", clan ? "" : "selected");
      }
      const bool anyone = s.ServerFlags & sfAnyoneMayRegister;
      page.Text("%%SERVERREGISTERTYPE%%", anyone ? "anyone" : "none");
      page.Text("%%SERVERCFG_SERVERREGISTERTYPE_ANYONE_SELECTED%%", anyone ? "selected" : "");
      page.Text("%%SERVERCFG_SERVERREGISTERTYPE_NONE_SELECTED%%", anyone ? "" : "selected");
      page.Text("%%SERVERUSERSONLINE%%", std::to_string(users));
      page.Text("%%SERVERCHANNELS%%", std::to_string(channels));
      const std::string client = r.Param("client");
      const auto account = client.empty() ? nullptr : GetUser(client, view.ID, false);
      // The edit page shows its form for an account, and a notice for a name
      // that is none.
      page.Text("%%CLIENT_FOUND_HIDDEN%%", account ? "hidden" : "");
      page.Text("%%CLIENT_MISSING_HIDDEN%%", account ? "" : "hidden");
      if (account) {
        page.Text("%%SELECTED_CLIENT_LOGINNAME%%", account->LoginName.Text());
        page.Text("%%SELECTED_CLIENT_REGISTEREDBY%%", account->RegisteredBy.Text());
        page.Text("%%SELECTED_CLIENT_LOGINS%%", std::to_string(account->Logins));
        page.Text("%%SELECTED_CLIENT_LASTUPDATED%%", StampText(config_.DateTimeFormat, account->LastChanged));
        page.Text("%%SELECTED_CLIENT_REGISTERED%%", StampText(config_.DateTimeFormat, account->Created));
        const uint16_t rights = account->PlayerPrivileges;
        page.Text("%%SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED%%",
                  rights & PlayerPrivileges::ServerAdmin ? "checked" : "");
        page.Text("%%SERVERCFG_CLIENT_RIGHTS_SUPERSERVERADMIN_SELECTED%%",
                  rights & PlayerPrivileges::SuperServerAdmin ? "checked" : "");
      }
    } else {
      page.Text("%%SERVERNAME%%", "");
    }
    page.Condition("NOT_SUPERSERVERADMIN", !r.SuperAdmin);
    for (const TBoxVariable& b : kBoxVariables) {
      const std::string value = r.Param(b.Param);
      page.Text(b.Marker, b.Url ? SameSiteUrl(value) : value);
    }
    page.Text("%%LOGGEDINUSERNAME%%", r.Session->Get("username"));
    page.Text("%%CURRENT_DATETIME%%", Now());
    const std::string upper = UpperCase(text);
    if (upper.find(kServerDropDown) != std::string::npos) {
      std::string options;
      CreateServerDropDownList(options);
      page.Html(kServerDropDown, std::move(options));
    }
    AddPageMarkers(page, upper, r, record, {selected ? server : nullptr, selected ? &view.Settings : nullptr});
    // Last, so the rows see every marker of the page.
    if (selected && upper.find(kClientList) != std::string::npos)
      page.Html(kClientList, CreateDataBaseClientList(r, page));
  } catch (const std::exception& e) {
    LogCaught(kSource, "SetVariables", e);
  }
  text = page.Expand(text);
}

void TWebInterface::CreateServerDropDownList(std::string& text) {
  try {
    TServerListObject* list = GetServerList();
    if (!list) return;
    // By name and port, sorted by port: the way operators tell their servers apart.
    TServerEnvironment env;
    if (RunningEnvironment(env)) text += RenderServerOptions(ServerRows(env.SettingsFile));
  } catch (const std::exception& e) {
    LogCaught(kSource, "CreateServerDropDownList", e);
  }
}

std::string TWebInterface::CreateDataBaseClientList(TWebRequest& r, const TMarkers& page) {
  std::string list;
  try {
    if (!SelectedServer(r)) return "";
    const std::string& id = r.ServerID;
    if (!FileCheck(kClientRow)) {
      DisplayError(r.Response, "error occured", FormatArgs("file %1 was not found", {kClientRow}), "index.html");
      return "";
    }
    const std::string row = LoadFile(kClientRow);
    const auto names = ListUsers(id);
    if (!names) return "";
    for (const std::string& name : *names) {
      const auto account = GetUser(name, id, false);
      if (!account) continue;
      TMarkers markers;
      markers.Text("%%CLIENT_NAME%%", account->NickName.Text());
      markers.Text("%%CLIENT_LOGINNAME%%", account->LoginName.Text());
      markers.Text("%%CLIENT_LASTUPDATED%%", StampText(config_.DateTimeFormat, account->LastChanged));
      markers.Text("%%CLIENT_REGISTERED%%", StampText(config_.DateTimeFormat, account->Created));
      markers.Text("%%CLIENT_LOGINS%%", std::to_string(account->Logins));
      markers.Text("%%CLIENT_REGISTEREDBY%%", account->RegisteredBy.Text());
      markers.Text("%%CLIENT_RIGHTS%%", AccountRightsText(account->PlayerPrivileges));
      // Times sort by their value, not by the text of the date format.
      markers.Text("%%CLIENT_REGISTERED_SORT%%", std::to_string(static_cast<int64_t>(account->Created * 86400)));
      markers.Text("%%CLIENT_LASTUPDATED_SORT%%", std::to_string(static_cast<int64_t>(account->LastChanged * 86400)));
      list += markers.Expand(row, &page);
    }
  } catch (const std::exception& e) {
    LogCaught(kSource, "CreateDataBaseClientList", e);
  }
  return list;
}
