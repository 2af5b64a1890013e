#include "app/Startup.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "admin/TCPQuery.h"
#include "admin/WebInterface.h"
#include "announce/WebPost.h"
#include "app/AdminAccount.h"
#include "app/Globals.h"
#include "app/ServiceStatus.h"
#include "app/Utilities.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "database/ServerDatabase.h"
#include "server/ServerList.h"
#include "server/ServerObject.h"

int ShutdownWaitMs = 5000;
std::vector<std::string> ProcessArguments;

namespace {

// The generated administrator password: guessing it must take longer than
// anyone keeps a server running, even at the unthrottled rate.
constexpr size_t kGeneratedPasswordLength = 16;

// ---- built-in values --------------------------------------------------------

// The two built-in texts are kept scrambled in the binary so that a casual
// look at its strings does not show them; they are unscrambled at start-up.
template <size_t N>
struct TScrambled {
  static constexpr unsigned char kKey = 0x5A;
  constexpr explicit TScrambled(const char (&plain)[N]) : Bytes{} {
    for (size_t i = 0; i + 1 < N; ++i) Bytes[i] = static_cast<unsigned char>(plain[i] ^ kKey);
  }
  std::string Plain() const {
    std::string s;
    for (size_t i = 0; i + 1 < N; ++i) s.push_back(static_cast<char>(Bytes[i] ^ kKey));
    return s;
  }
  unsigned char Bytes[N];
};

// The list address is chosen when the server is built (PARLEON_DEFAULT_POST_URL).
#ifndef PARLEON_DEFAULT_POST_URL
#define PARLEON_DEFAULT_POST_URL "http://serverlist.parleon.invalid/announce.php"
#endif
constexpr TScrambled kPlatform("Linux");
constexpr TScrambled kPostUrl(PARLEON_DEFAULT_POST_URL);
static_assert(sizeof(kPlatform.Bytes) == 6, "the platform name has five characters");

void ProduceBuiltInValues() {
  PlatformName = kPlatform.Plain();
  DefaultPostUrl = kPostUrl.Plain();
}

std::string CurrentDirectory() {
  char buf[4096];
  if (getcwd(buf, sizeof buf)) return buf;
  return ".";
}

// ---- the settings table -------------------------------------------------------

enum class TSettingKind { Integer, Boolean, Text };

struct TSetting {
  const char* Section;
  const char* Key;
  TSettingKind Kind;
  void* Variable;
  bool Trimmed;
  size_t MaxLength;  // 0: no limit
  int32_t IntDefault;
  const char* TextDefault;
};

constexpr size_t kNoLimit = 0;

// In the order start-up reads them.
const TSetting kSettings[] = {
    {"Main Config", "HTTPServer Port", TSettingKind::Integer, &HTTPServerPort, false, kNoLimit, 14534, nullptr},
    {"Main Config", "HTTPServer Enabled", TSettingKind::Boolean, &HTTPServerEnabled, false, kNoLimit, 1, nullptr},
    {"Main Config", "ExternalIPDectection", TSettingKind::Boolean, &ExternalIPDetection, false, kNoLimit, 1,
     nullptr},
    {"Main Config", "DateTimeFormat", TSettingKind::Text, &DateTimeFormat, false, kNoLimit, 0,
     "dd-mm-yyyy hh:nn:ss"},
    {"Main Config", "TCPQueryPort", TSettingKind::Integer, &TCPQueryPort, false, kNoLimit, 51234, nullptr},
    {"Main Config", "BoundToIp", TSettingKind::Text, &BoundToIp, true, kNoLimit, 0, ""},
    {"WebPost", "AdminEmail", TSettingKind::Text, &AdminEmail, true, 255, 0, "na"},
    {"WebPost", "ISPLinkURL", TSettingKind::Text, &ISPLinkURL, true, 255, 0, "na"},
    {"WebPost", "ISPName", TSettingKind::Text, &ISPName, true, 29, 0, "Private"},
    {"WebPost", "ISPCountry", TSettingKind::Text, &ISPCountry, true, 29, 0, "Earth"},
    {"WebPost", "Enabled", TSettingKind::Boolean, &WebPostEnabled, false, kNoLimit, 1, nullptr},
    {"WebPost", "PostUrl", TSettingKind::Text, &PostUrl, false, 255, 0, ""},
};

// Write-back order: "ExternalIPDectection" leads, then the rest as read.
const char* const kWriteOrder[] = {"ExternalIPDectection", "HTTPServer Port", "HTTPServer Enabled",
                                   "DateTimeFormat",       "TCPQueryPort",    "BoundToIp",
                                   "AdminEmail",           "ISPLinkURL",      "ISPName",
                                   "ISPCountry",           "Enabled",         "PostUrl"};

void SetDefault(const TSetting& s) {
  switch (s.Kind) {
    case TSettingKind::Integer: *static_cast<int32_t*>(s.Variable) = s.IntDefault; break;
    case TSettingKind::Boolean: *static_cast<bool*>(s.Variable) = s.IntDefault != 0; break;
    case TSettingKind::Text: *static_cast<std::string*>(s.Variable) = s.TextDefault; break;
  }
}

void ReadSetting(const TIniFile& ini, const TSetting& s) {
  switch (s.Kind) {
    case TSettingKind::Integer: {
      auto* v = static_cast<int32_t*>(s.Variable);
      *v = ini.ReadInteger(s.Section, s.Key, *v);
      break;
    }
    case TSettingKind::Boolean: {
      auto* v = static_cast<bool*>(s.Variable);
      *v = ini.ReadBool(s.Section, s.Key, *v);
      break;
    }
    case TSettingKind::Text: {
      auto* v = static_cast<std::string*>(s.Variable);
      std::string value = ini.ReadString(s.Section, s.Key, *v);
      if (s.Trimmed) value = Trim(value);
      if (s.MaxLength != kNoLimit && value.size() > s.MaxLength) value.resize(s.MaxLength);
      *v = std::move(value);
      break;
    }
  }
}

void WriteSetting(TIniFile& ini, const TSetting& s) {
  switch (s.Kind) {
    case TSettingKind::Integer: ini.WriteInteger(s.Section, s.Key, *static_cast<int32_t*>(s.Variable)); break;
    case TSettingKind::Boolean: ini.WriteBool(s.Section, s.Key, *static_cast<bool*>(s.Variable)); break;
    case TSettingKind::Text: ini.WriteString(s.Section, s.Key, *static_cast<std::string*>(s.Variable)); break;
  }
}

const TSetting& SettingByKey(const char* key) {
  for (const TSetting& s : kSettings)
    if (std::string_view(s.Key) == key) return s;
  throw std::logic_error(std::string("unknown setting ") + key);
}

// What every virtual server takes from the process: read once settings and
// the command line are in.
TServerEnvironment ProcessEnvironment() {
  return {IniFileName,         BoundToIp,           PlatformName,         ServerVersion.Major,
          ServerVersion.Minor, ServerVersion.Release, ServerVersion.Build};
}

}  // namespace

void ParseCommandLine(const std::vector<std::string>& args) {
  struct TOption {
    const char* Text;
    std::string* Variable;
    bool Trimmed;
  };
  const TOption options[] = {
      {"-INI=", &IniFileName, false},    {"-DB=", &DbFileName, false},
      {"-LOG=", &LogFileName, false},    {"-PID=", &PidFileName, false},
      {"-ADMINPW=", &AdminPassword, true}, {"-HTTPDOCS=", &HttpDocsDir, true},
  };
  for (std::string arg : args) {
    for (const TOption& o : options) {
      if (UpperCase(arg).find(o.Text) == std::string::npos) continue;
      // The option's length comes off the front, wherever the text was found.
      const size_t n = std::string_view(o.Text).size();
      arg.erase(0, std::min(n, arg.size()));
      *o.Variable = o.Trimmed ? Trim(arg) : arg;
    }
  }
}

void ReadAndWriteBackSettings(const std::string& iniFileName) {
  TIniFile ini(iniFileName);
  for (const TSetting& s : kSettings) SetDefault(s);
  for (const TSetting& s : kSettings) ReadSetting(ini, s);
  // The built-in list is posted to anyway; a copy of it here would post twice.
  if (Trim(PostUrl) == Trim(DefaultPostUrl)) PostUrl.clear();
  for (const char* key : kWriteOrder) WriteSetting(ini, SettingByKey(key));
}

bool Start_Parleon_Server() {
  // No generator is seeded: every random value the server draws comes from
  // the operating system's secure source.
  ProduceBuiltInValues();
  AdminPassword.clear();
  ParseCommandLine(ProcessArguments);
  const std::string cwd = CurrentDirectory();
  if (DbFileName.empty()) DbFileName = cwd + "/server.db";
  if (IniFileName.empty()) IniFileName = cwd + "/server.ini";
  if (LogFileName.empty()) LogFileName = cwd + "/server.log";
  if (HttpDocsDir.empty()) HttpDocsDir = cwd + "/httpdocs";

  if (!Logger.load()) InitLog(IniFileName, "Debug", LogFileName);
  Log(LMTALL, LMDINFO, "server", "Server startup initialized");
  Log(LMTALL, LMDINFO, "server", "Server version: " + ServerVersionText() + " " + PlatformName + "\r\nOK");

  WebInterface = nullptr;
  WebPost = nullptr;
  TCPQuery = nullptr;

  try {
    ReadAndWriteBackSettings(IniFileName);
  } catch (const std::exception&) {
    Log(LMTERROR, LMDALL, "SERVER", "Start_Parleon_Server: error in config file");
    TellOperator("error in config file " + IniFileName);
    return false;
  }

  // The database: opened or created. A file that cannot be loaded is
  // only reported (LastError, logged by the handler): start-up goes on with
  // the database inactive, and the damaged file stays as it is.
  try {
    auto db = std::make_shared<TFreeBase>();
    db->SetOnError(LogDatabaseError);
    db->SetOpenFlag(TFBOpenFlag::CreateNotExists);
    db->SetFileName(DbFileName);
    db->SetActive(true);
    db->SetDatabaseName("Parleon db");
    db->Flush();
    InstallServerDatabase(std::move(db));
  } catch (const std::exception&) {
    LogFmt(LMTERROR, LMDIMPORTANT, "SERVER", "Start_Parleon_Server: unable to open server db file : %1",
           {DbFileName});
    TellOperator("unable to open server db file " + DbFileName);
    RemoveServerDatabase();
    return false;
  }
  // The list of running servers, before the first server registers in it.
  ServerList = new TServerListObject;
  // Every id listed in section "Servers", up to the first empty key.
  // A server that fails to start has logged why and is not in ServerList;
  // its object goes with the last reference.
  TIniFile servers(IniFileName);
  const TServerEnvironment environment = ProcessEnvironment();
  int listed = 0;
  for (;; ++listed) {
    const std::string id = servers.ReadString("Servers", std::to_string(listed), "");
    if (id.empty()) break;
    std::make_shared<TServerObject>()->Start(environment, id, -1, &servers);
    if (!AdminPassword.empty()) SetAdminPassword(id, AdminPassword);
  }
  // A first run gets a default server and its "admin" account.
  if (listed == 0) {
    std::make_shared<TServerObject>()->Start(environment, "server_cfg Default", -1, &servers);
    servers.WriteString("Servers", "0", "server_cfg Default");
    Log(LMTWARNING, LMDINFO, "SERVER", "Default Server created");
    const std::string password = AdminPassword.empty() ? RandomString(kGeneratedPasswordLength) : AdminPassword.substr(0, 29);
    AddUser(DefaultAdminAccount(password), "server_cfg Default");
    Log(LMTWARNING, LMDINFO, "SERVER", "Default Administrator account created");
    LogFmt(LMTWARNING, LMDINFO, "SERVER", "LoginName: admin LoginPw: %1", {password});
  }
  // The web interface; start-up goes on without it when it cannot start.
  if (HTTPServerEnabled && HTTPServerPort > 0) {
    auto web =
        std::make_unique<TWebInterface>(TWebInterfaceConfig{.BindAddress = BoundToIp, .DateTimeFormat = DateTimeFormat});
    if (web->Init(HTTPServerPort, HttpDocsDir)) {
      WebInterface = web.release();
    } else {
      Log(LMTWARNING, LMDIMPORTANT, "SERVER", "Start_Parleon_Server: cant initialise WebInterface");
      HTTPServerEnabled = false;
    }
  }
  // The TCP query logs why when its port cannot be opened, and the process
  // goes on without it.
  if (TCPQueryPort > 0) {
    auto query = std::make_unique<TTCPQuery>(TTCPQueryOptions{TCPQueryPort, BoundToIp, environment});
    if (query->Active()) TCPQuery = query.release();
  }
  // The announcement to the public server list.
  if (WebPostEnabled) {
    TWebPost::TOptions post;
    post.Environment = {AdminEmail, ISPLinkURL, ISPName, ISPCountry, TCPQueryPort, DefaultPostUrl, PostUrl, BoundToIp};
    WebPost = new TWebPost(std::move(post));
  }
  Log(LMTALL, LMDINFO, "server", "Server startup finished");
  return true;
}

void Stop_Parleon_Server() {
  Log(LMTALL, LMDINFO, "server", "Server shutdown initialized");
  // Every virtual server stops, last to first, storing its channels.
  if (TServerListObject* list = ServerList.load()) list->StopServer("");
  // The database is flushed and closed. New users get none from here on;
  // one that got it just before finishes on the closed object, which goes
  // when the last of them lets go.
  if (std::shared_ptr<TFreeBase> db = RemoveServerDatabase()) {
    const auto lock = db->Lock();
    db->Flush();
    db->SetActive(false);
  }
  // The web interface goes; its destructor waits for the running requests.
  delete WebInterface.exchange(nullptr);
  if (TWebPost* post = WebPost.exchange(nullptr)) {
    post->Terminate();
    delete post;  // joins: a request in progress is aborted
  }
  // The query closes its connections; its commands in work finish first.
  delete TCPQuery.exchange(nullptr);
  // The server list is empty by now; the pointer is cleared before it goes.
  delete ServerList.exchange(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(ShutdownWaitMs));
  Log(LMTALL, LMDINFO, "server", "Server shutdown finished");
  DoneLog();
}
