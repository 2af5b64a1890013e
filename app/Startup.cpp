#include "app/Startup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

#include "admin/TCPQuery.h"
#include "admin/WebInterface.h"
#include "announce/WebPost.h"
#include "app/AdminAccount.h"
#include "app/Globals.h"
#include "app/PidFile.h"
#include "app/ServiceSockets.h"
#include "app/ServiceStatus.h"
#include "app/StateLock.h"
#include "app/Utilities.h"
#include "common/IniFile.h"
#include "common/AuditLog.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "database/FreeBaseFormat.h"
#include "database/PasswordUpgrade.h"
#include "database/ServerDatabase.h"
#include "database/StoredChannels.h"
#include "server/ServerAccess.h"
#include "server/ServerList.h"

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

// ---- the metrics' process figures -----------------------------------------------

std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();
std::chrono::system_clock::time_point processStartWallClock = std::chrono::system_clock::now();

// Held from the start of start-up to the end of shutdown.
TStateLock stateLock;

// Called on web threads. The query outlives the web interface (shutdown
// deletes it later), so the pointer read here stays valid for the call.
void ProcessFigures(TProcessFigures& figures) {
  figures.UptimeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - processStart).count();
  if (const TTCPQuery* query = TCPQuery.load()) figures.QueryConnections = query->Connections();
  figures.StartTimeSeconds = std::chrono::duration<double>(processStartWallClock.time_since_epoch()).count();
  figures.Version = ServerVersionText();
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
    {"Main Config", "ExternalIPLookupURL", TSettingKind::Text, &ExternalIPLookupURL, true, 255, 0, ""},
    {"Main Config", "DateTimeFormat", TSettingKind::Text, &DateTimeFormat, false, kNoLimit, 0,
     "dd-mm-yyyy hh:nn:ss"},
    {"Main Config", "TCPQueryPort", TSettingKind::Integer, &TCPQueryPort, false, kNoLimit, 51234, nullptr},
    {"Main Config", "BoundToIp", TSettingKind::Text, &BoundToIp, true, kNoLimit, 0, ""},
    {"Main Config", "MetricsToken", TSettingKind::Text, &MetricsToken, true, kNoLimit, 0, ""},
    {"Main Config", "MaxAccountsPerServer", TSettingKind::Integer, &MaxAccountsPerServer, false, kNoLimit,
     kDefaultMaxAccountsPerServer, nullptr},
    {"Main Config", "HTTPServer TLSCertificate", TSettingKind::Text, &HTTPServerTLSCertificate, true, kNoLimit, 0, ""},
    {"Main Config", "HTTPServer TLSKey", TSettingKind::Text, &HTTPServerTLSKey, true, kNoLimit, 0, ""},
    {"Main Config", "HTTPServer TrustedProxies", TSettingKind::Text, &HTTPServerTrustedProxies, true, kNoLimit, 0, ""},
    {"Main Config", "HTTPServer PublicURL", TSettingKind::Text, &HTTPServerPublicURL, true, kNoLimit, 0, ""},
    {"WebPost", "AdminEmail", TSettingKind::Text, &AdminEmail, true, 255, 0, "na"},
    {"WebPost", "ISPLinkURL", TSettingKind::Text, &ISPLinkURL, true, 255, 0, "na"},
    {"WebPost", "ISPName", TSettingKind::Text, &ISPName, true, 29, 0, "Private"},
    {"WebPost", "ISPCountry", TSettingKind::Text, &ISPCountry, true, 29, 0, "Earth"},
    {"WebPost", "Enabled", TSettingKind::Boolean, &WebPostEnabled, false, kNoLimit, 1, nullptr},
    {"WebPost", "PostUrl", TSettingKind::Text, &PostUrl, false, 255, 0, ""},
};

// Write-back order: "ExternalIPDectection" leads, then the rest as read.
const char* const kWriteOrder[] = {"ExternalIPDectection",      "ExternalIPLookupURL",       "HTTPServer Port",
                                   "HTTPServer Enabled",        "DateTimeFormat",            "TCPQueryPort",
                                   "BoundToIp",                 "MetricsToken",              "MaxAccountsPerServer",
                                   "HTTPServer TLSCertificate", "HTTPServer TLSKey",         "HTTPServer TrustedProxies",
                                   "HTTPServer PublicURL",      "AdminEmail",                "ISPLinkURL",
                                   "ISPName",                   "ISPCountry",                "Enabled",
                                   "PostUrl"};

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

// The reason a TCP port cannot be bound, asked of the system by binding it
// once more: the web server reports only that it failed.
std::string TcpBindFault(const std::string& address, int port) {
  if (port < 0 || port > 65535) return "port out of range";
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!address.empty() && inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
    return "not an IPv4 address: " + address;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + std::strerror(errno);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  std::string fault = "reason unknown";
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
    fault = std::string("bind: ") + std::strerror(errno);
  else if (listen(fd, 1) != 0)
    fault = std::string("listen: ") + std::strerror(errno);
  ::close(fd);
  return fault;
}

std::string EnvironmentAdminPassword() {
  const char* value = std::getenv("PARLEON_ADMINPW");
  return value ? value : "";
}

// "server.db.damaged-20261209T054400Z": beside the original, sorted by time.
std::string DamagedName(const std::string& fileName) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  return fileName + ".damaged-" + stamp;
}

// The pass that hashes the plain passwords of older builds; from the
// opening of the database to the shutdown.
std::unique_ptr<TPasswordUpgrade> passwordUpgrade;

// Whether `backup` holds a whole, undamaged database (its image in `image`).
bool GoodBackup(const std::string& backup, std::string& image) {
  TFBHeader header;
  std::unique_ptr<TFBRoot> root;
  return DiskStorage().Exists(backup) && DiskStorage().ReadAll(backup, image) && ParseFreeBase(image, header, root);
}

// "3 (server_cfg A: bob, server_cfg A: carol, ...)": the first few named.
std::string CountAndNames(const std::vector<std::string>& names) {
  constexpr size_t kNamed = 20;
  std::string text = std::to_string(names.size());
  if (names.empty()) return text;
  text += " (";
  for (size_t i = 0; i < names.size() && i < kNamed; ++i) text += (i ? ", " : "") + names[i];
  if (names.size() > kNamed) text += ", ...";
  return text + ")";
}

// After a salvage: the records cut short by the damage go, and the operator
// hears which, since their holders will miss them.
void DropIncompleteRecords(TFreeBase& db) {
  const std::vector<std::string> accounts = DropIncompleteAccounts(db);
  const std::vector<std::string> channels = DropIncompleteChannels(db);
  const std::string text = "incomplete records dropped from the damaged database: " + CountAndNames(accounts) +
                           " accounts, " + CountAndNames(channels) + " channels";
  LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER", "Start_Parleon_Server: %1", {text});
  TellOperator(text, accounts.empty() && channels.empty() ? kOperatorInfo : kOperatorWarning);
}

// Opens or creates the database and installs it. A file that exists but
// does not load is never written over: without -REPAIR start-up stops and
// says what is wrong with it; with -REPAIR the original is moved aside and
// the server goes on with the last good copy the saves kept (server.db.bak)
// or, without one, with what could be read. `salvaged` tells which.
bool OpenDatabase(bool& salvaged) {
  salvaged = false;
  try {
    auto db = std::make_shared<TFreeBase>();
    db->SetOnError(LogDatabaseError);
    db->SetOpenFlag(TFBOpenFlag::CreateNotExists);
    db->SetFileName(DbFileName);
    db->SetActive(true);
    if (db->LastError() == FreeBaseError::InvalidFile) {
      // The database is inactive: nothing of it is saved over the file.
      const std::string fault = db->LoadFault();
      const std::string backup = BackupFileName(DbFileName);
      std::string backupImage;
      const bool backupGood = GoodBackup(backup, backupImage);
      if (!RepairDatabase) {
        const std::string offer = backupGood ? "the previous good copy " + backup : "what can be read";
        LogFmt(LMTERROR, LMDIMPORTANT, "SERVER",
               "Start_Parleon_Server: database file %1 is damaged (%2); left as it is, start with -REPAIR to go on "
               "with %3",
               {DbFileName, fault, offer});
        TellOperator("database file " + DbFileName + " is damaged (" + fault +
                         "); left as it is, start with -REPAIR to go on with " + offer,
                     kOperatorError);
        return false;
      }
      // The original gets its second name before anything can be saved;
      // the first save then replaces only the first name (a new file renamed
      // into place), so the damaged file lives on under the second.
      const std::string aside = DamagedName(DbFileName);
      if (::link(DbFileName.c_str(), aside.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        LogFmt(LMTERROR, LMDIMPORTANT, "SERVER", "Start_Parleon_Server: unable to move damaged database %1 aside: %2",
               {DbFileName, why});
        TellOperator("unable to move damaged database " + DbFileName + " aside: " + why, kOperatorError);
        return false;
      }
      // The last good copy first: it lacks only the last change, where a
      // salvage may lack anything after the damage.
      if (backupGood && DiskStorage().Replace(DbFileName, backupImage)) {
        db->SetActive(true);
        if (!db->Active()) {
          TellOperator("database file " + backup + " cannot be used: " + db->LoadFault(), kOperatorError);
          return false;
        }
        LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER",
               "Start_Parleon_Server: database file %1 was damaged (%2); going on with the previous good copy %3, "
               "the original is %4",
               {DbFileName, fault, backup, aside});
        TellOperator("database file " + DbFileName + " was damaged (" + fault +
                         "); going on with the previous good copy " + backup + ", the original is " + aside,
                     kOperatorWarning);
      } else {
        db->SetSalvage(true);
        db->SetActive(true);
        if (!db->Active()) {  // not even a part could be read (no permission)
          TellOperator("database file " + DbFileName + " cannot be read: " + db->LoadFault(), kOperatorError);
          return false;
        }
        salvaged = true;
        LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER",
               "Start_Parleon_Server: database file %1 was damaged (%2); no good copy in %3, going on with what "
               "could be read, the original is %4",
               {DbFileName, fault, backup, aside});
        TellOperator("database file " + DbFileName + " was damaged (" + fault + "); no good copy in " + backup +
                         ", going on with what could be read; the original is " + aside,
                     kOperatorWarning);
        DropIncompleteRecords(*db);
      }
    }
    db->SetDatabaseName("Parleon db");
    db->Flush();
    passwordUpgrade = std::make_unique<TPasswordUpgrade>(db);
    InstallServerDatabase(std::move(db));
  } catch (const std::exception& e) {
    LogFmt(LMTERROR, LMDIMPORTANT, "SERVER", "Start_Parleon_Server: unable to open server db file : %1 (%2)",
           {DbFileName, e.what()});
    TellOperator("unable to open server db file " + DbFileName + ": " + e.what(), kOperatorError);
    RemoveServerDatabase();
    return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> ParseCommandLine(const std::vector<std::string>& args) {
  std::vector<std::string> unknown;
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
    // A switch without a value: the whole argument, in any letter case.
    if (UpperCase(arg) == "-REPAIR") {
      RepairDatabase = true;
      continue;
    }
    const std::string given = arg;
    bool known = false;
    for (const TOption& o : options) {
      if (UpperCase(arg).find(o.Text) == std::string::npos) continue;
      known = true;
      // The option's length comes off the front, wherever the text was found.
      const size_t n = std::string_view(o.Text).size();
      arg.erase(0, std::min(n, arg.size()));
      *o.Variable = o.Trimmed ? Trim(arg) : arg;
    }
    if (!known) unknown.push_back(given);
  }
  return unknown;
}

bool IsHelpOption(const std::string& arg) {
  const std::string upper = UpperCase(arg);
  return upper == "--HELP" || upper == "-H" || upper == "-HELP" || upper == "-?";
}

std::string ReadAndWriteBackSettings(const std::string& iniFileName) {
  // A file that is there but cannot be read would read as empty: every
  // setting would fall back to its default without a word.
  struct stat st{};
  if (::stat(iniFileName.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || !std::ifstream(iniFileName)))
    throw EIniFile("cannot read " + iniFileName);
  TIniFile ini(iniFileName);
  for (const TSetting& s : kSettings) SetDefault(s);
  for (const TSetting& s : kSettings) ReadSetting(ini, s);
  // The built-in list is posted to anyway; a copy of it here would post twice.
  if (Trim(PostUrl) == Trim(DefaultPostUrl)) PostUrl.clear();
  // A file the process may not write (a read-only one, or one under a
  // read-only /etc) still serves: what was read stands.
  SetAccountCap(MaxAccountsPerServer);
  try {
    for (const char* key : kWriteOrder) WriteSetting(ini, SettingByKey(key));
  } catch (const EIniFile& e) {
    return e.what();
  }
  return "";
}

TAddressLookup::TOptions AddressLookupOptions() {
  TAddressLookup::TOptions options;
  // Asked of nobody until the operator names the page to ask.
  options.ExternalIPDetection = ExternalIPDetection && !ExternalIPLookupURL.empty();
  options.URL = ExternalIPLookupURL;
  options.Proxy = {ProxyServer, ProxyPort, ProxyBasicAuthentication, ProxyUsername, ProxyPassword};
  return options;
}

bool Start_Parleon_Server(TStartReport* report) {
  TStartReport ownReport;
  TStartReport& status = report ? *report : ownReport;
  status = TStartReport{};
  processStart = std::chrono::steady_clock::now();
  // Ports a socket unit bound for us are taken by the listeners below.
  AdoptServiceSockets();
  // No generator is seeded: every random value the server draws comes from
  // the operating system's secure source.
  ProduceBuiltInValues();
  AdminPassword.clear();
  RepairDatabase = false;
  const std::vector<std::string> unknownOptions = ParseCommandLine(ProcessArguments);
  // The environment keeps the password off the command line, where every
  // user of the machine could read it; the option wins where both are given.
  if (AdminPassword.empty()) AdminPassword = Trim(EnvironmentAdminPassword());
  const std::string cwd = CurrentDirectory();
  if (DbFileName.empty()) DbFileName = cwd + "/server.db";
  if (IniFileName.empty()) IniFileName = cwd + "/server.ini";
  if (LogFileName.empty()) LogFileName = cwd + "/server.log";
  if (HttpDocsDir.empty()) HttpDocsDir = cwd + "/httpdocs";

  // The operator hears of these through TellOperator; the log's copies stay
  // out of the journal (LogFmtFileOnly), so that each is said there once.
  for (const std::string& option : unknownOptions)
    TellOperator("unknown option " + option + " ignored (--help lists the options)", kOperatorWarning);

  // Nothing of the state folder is touched before it is ours: a second
  // process on it would rewrite the running one's files.
  long holder = 0;
  std::string lockFault;
  if (!stateLock.Acquire(DbFileName, lockFault, holder)) {
    TellOperator(lockFault + "; nothing was changed", kOperatorError);
    // A holder may be on its way out, so a retry can succeed; a folder that
    // cannot hold the lock is the operator's to mend.
    status.ConfigFault = !stateLock.Busy();
    return false;
  }

  if (!Logger.load()) InitLog(IniFileName, "Debug", LogFileName);
  // The audit trail sits beside the log, so that rotating one finds the other.
  {
    const size_t slash = LogFileName.rfind('/');
    SetAuditFile((slash == std::string::npos ? std::string() : LogFileName.substr(0, slash + 1)) + "server.audit");
  }
  Log(LMTALL, LMDINFO, "server", "Server startup initialized");
  LogFmt(LMTALL, LMDINFO, "server", "Server version: %1 %2\r\nOK", {ServerVersionText(), PlatformName});
  for (const std::string& option : unknownOptions)
    LogFmtFileOnly(LMTWARNING, LMDIMPORTANT, "SERVER", "unknown option %1 ignored", {option});

  WebInterface = nullptr;
  WebPost = nullptr;
  TCPQuery = nullptr;

  std::string pidFault;
  if (!WritePidFile(PidFileName, pidFault)) {
    LogFmt(LMTERROR, LMDALL, "SERVER", "Start_Parleon_Server: unable to write pid file %1: %2", {PidFileName, pidFault});
    TellOperator("unable to write pid file " + PidFileName + ": " + pidFault, kOperatorError);
    return false;
  }

  try {
    const std::string unwritten = ReadAndWriteBackSettings(IniFileName);
    if (!unwritten.empty()) {
      LogFmtFileOnly(LMTWARNING, LMDIMPORTANT, "SERVER",
                     "Start_Parleon_Server: settings file %1 is not rewritten (%2); going on with the settings read",
                     {IniFileName, unwritten});
      TellOperator("settings file " + IniFileName + " is not rewritten (" + unwritten +
                       "); going on with the settings read",
                   kOperatorWarning);
    }
  } catch (const std::exception& e) {
    LogFmtFileOnly(LMTERROR, LMDALL, "SERVER", "Start_Parleon_Server: error in config file %1: %2",
                   {IniFileName, e.what()});
    TellOperator("error in config file " + IniFileName + ": " + e.what(), kOperatorError);
    status.ConfigFault = true;
    return false;
  }

  bool salvaged = false;
  if (!OpenDatabase(salvaged)) {
    status.ConfigFault = true;
    return false;
  }
  // The list of running servers, before the first server registers in it.
  ServerList = new TServerListObject;
  // Every id listed in section "Servers", up to the first empty key.
  // A server that fails to start has logged why and is not in ServerList;
  // its object goes with the last reference.
  TIniFile servers(IniFileName);
  const TServerEnvironment environment = ProcessEnvironment();
  const auto startServer = [&](const std::string& id) {
    ++status.Listed;
    const TCatalogAnswer started = StartServer(environment, id, &servers);
    if (started.Done())
      ++status.Running;
    else
      status.Failures.push_back(id + ": " + started.StartFault);
  };
  int listed = 0;
  for (;; ++listed) {
    const std::string id = servers.ReadString("Servers", std::to_string(listed), "");
    if (id.empty()) break;
    startServer(id);
    if (!AdminPassword.empty()) SetAdminPassword(id, AdminPassword);
  }
  // A server that lost every account with the damaged file gets its
  // "admin" account anew, as on a first run.
  for (int i = 0; salvaged && i < listed; ++i) {
    const std::string id = servers.ReadString("Servers", std::to_string(i), "");
    const auto accounts = ListUsers(id);
    if (accounts && !accounts->empty()) continue;
    const std::string password = RandomString(kGeneratedPasswordLength);
    if (!AddUser(DefaultAdminAccount(password), id)) continue;
    status.AdminsMadeAnew.push_back(id);
    LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER",
           "Start_Parleon_Server: %1 lost every account with the damaged database; its Administrator account was made "
           "anew",
           {id});
    LogFmtFileOnly(LMTWARNING, LMDINFO, "SERVER", "LoginName: admin LoginPw: %1", {password});
    TellOperator(id + " lost every account with the damaged database; its admin account was made anew, the password "
                     "is in " + LogFileName,
                 kOperatorWarning);
  }
  // A first run gets a default server and its "admin" account.
  if (listed == 0) {
    try {
      ListServer(servers, kDefaultServerID);
    } catch (const EIniFile& e) {
      // The settings file was found unwritable above and said so.
      LogFmtFileOnly(LMTWARNING, LMDALL, "SERVER", "the default server is not listed in the settings: %1", {e.what()});
    }
    startServer(kDefaultServerID);
    Log(LMTWARNING, LMDINFO, "SERVER", "Default Server created");
    const std::string password = AdminPassword.empty() ? RandomString(kGeneratedPasswordLength) : AdminPassword.substr(0, 29);
    AddUser(DefaultAdminAccount(password), "server_cfg Default");
    Log(LMTWARNING, LMDINFO, "SERVER", "Default Administrator account created");
    LogFmtFileOnly(LMTWARNING, LMDINFO, "SERVER", "LoginName: admin LoginPw: %1", {password});
  }
  // The web interface; start-up goes on without it when it cannot start.
  if (HTTPServerEnabled && HTTPServerPort > 0) {
    auto web = std::make_unique<TWebInterface>(TWebInterfaceConfig{.BindAddress = BoundToIp,
                                                                    .DateTimeFormat = DateTimeFormat,
                                                                    .MetricsToken = MetricsToken,
                                                                    .ProcessFigures = ProcessFigures,
                                                                    .TlsCertificate = HTTPServerTLSCertificate,
                                                                    .TlsKey = HTTPServerTLSKey,
                                                                    .TrustedProxies = HTTPServerTrustedProxies,
                                                                    .PublicURL = HTTPServerPublicURL});
    if (web->Init(HTTPServerPort, HttpDocsDir)) {
      WebInterface = web.release();
      status.WebPort = HTTPServerPort;
    } else {
      const std::string fault = web->StartFault();
      web.reset();  // lets go of whatever it bound before the reason is asked
      status.WebFault = "port " + std::to_string(HTTPServerPort) + ": " +
                        (fault.empty() ? TcpBindFault(BoundToIp, HTTPServerPort) : fault);
      LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER", "Start_Parleon_Server: cant initialise WebInterface: %1",
             {status.WebFault});
      HTTPServerEnabled = false;
    }
  }
  // The TCP query logs why when its port cannot be opened, and the process
  // goes on without it.
  if (TCPQueryPort > 0) {
    auto query = std::make_unique<TTCPQuery>(TTCPQueryOptions{TCPQueryPort, BoundToIp, environment});
    if (query->Active()) {
      status.QueryPort = query->Port();
      TCPQuery = query.release();
    } else {
      query.reset();
      status.QueryFault = "port " + std::to_string(TCPQueryPort) + ": " + TcpBindFault(BoundToIp, TCPQueryPort);
    }
  }
  // The announcement to the public server list.
  if (WebPostEnabled) {
    TWebPost::TOptions post;
    post.Environment = {AdminEmail, ISPLinkURL, ISPName, ISPCountry, TCPQueryPort, DefaultPostUrl, PostUrl, BoundToIp};
    WebPost = new TWebPost(std::move(post));
  }
  WarnUnusedServiceSockets();
  // A process without a running virtual server is not up: main() says so
  // and shuts down.
  if (status.Running > 0) Log(LMTALL, LMDINFO, "server", "Server startup finished");
  return true;
}

void Stop_Parleon_Server() {
  Log(LMTALL, LMDINFO, "server", "Server shutdown initialized");
  // Every virtual server stops, last to first, storing its channels.
  if (TServerListObject* list = ServerList.load()) list->StopServer("");
  passwordUpgrade.reset();  // stops after the account in hand
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
  RemovePidFile(PidFileName);
  DoneLog();
  stateLock.Release();
}
