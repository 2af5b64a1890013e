#include "server/ServerCatalog.h"

#include <map>
#include <mutex>

#include "common/IniFile.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "database/ServerRecords.h"
#include "server/ServerList.h"

std::vector<std::string> ListedServers(const TIniFile& ini) {
  // The list read in one go; a key given twice counts as its first line, as
  // a single read would find it.
  std::map<std::string, std::string> byKey;
  for (auto& [key, value] : ini.ReadSectionValues(kServersSection)) byKey.emplace(UpperCase(key), std::move(value));
  std::vector<std::string> ids;
  for (int n = 0;; ++n) {
    const auto it = byKey.find(std::to_string(n));
    if (it == byKey.end() || it->second.empty()) break;
    ids.push_back(it->second);
  }
  return ids;
}

void ListServer(TIniFile& ini, const std::string& id) {
  const std::vector<std::string> ids = ListedServers(ini);
  for (const std::string& listed : ids)
    if (listed == id) return;
  ini.WriteString(kServersSection, std::to_string(ids.size()), id);
}

bool UnlistServer(TIniFile& ini, const std::string& id) {
  std::vector<std::string> ids = ListedServers(ini);
  size_t at = 0;
  while (at < ids.size() && ids[at] != id) ++at;
  if (at == ids.size()) return false;
  for (size_t n = at; n + 1 < ids.size(); ++n) ini.WriteString(kServersSection, std::to_string(n), ids[n + 1]);
  ini.DeleteKey(kServersSection, std::to_string(ids.size() - 1));
  return true;
}

bool ValidServerName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char ch : name)
    if (ch < 0x20 || ch == 0x7F || ch == '[' || ch == ']' || ch == '\\') return false;
  return true;
}

bool RunningEnvironment(TServerEnvironment& env) {
  TServerListObject* list = GetServerList();
  if (!list) return false;
  for (const auto& [id, server] : list->GetServerIDList()) {
    const auto hold = server->HoldMachinery();
    if (!server->Running()) continue;
    env = server->Environment();
    return true;
  }
  return false;
}


namespace {

// The running server with this id, or none.
TServerRef RunningServer(const std::string& id) {
  TServerListObject* list = GetServerList();
  const TServerRef server = list ? list->FindServerByID(id) : nullptr;
  return server && server->Running() ? server : nullptr;
}

bool Listed(const TServerEnvironment& env, const std::string& id) {
  TIniFile ini(env.SettingsFile);
  for (const std::string& listed : ListedServers(ini))
    if (listed == id) return true;
  return false;
}

}  // namespace

std::string StartServer(const TServerEnvironment& env, const std::string& id) {
  TServerListObject* list = GetServerList();
  if (!list) return "the server list is gone";
  std::lock_guard<std::recursive_mutex> lock(list->Mutex());
  if (RunningServer(id)) return "the server is running already";
  if (!Listed(env, id)) return "there is no such server";
  auto server = std::make_shared<TServerObject>();
  // The port comes from its section, as at start-up.
  if (!server->Start(env, id, -1, nullptr)) return "the server could not start (see the log: its port may be in use)";
  return "";
}

std::string StopServer(const std::string& id) {
  TServerListObject* list = GetServerList();
  if (!list) return "the server list is gone";
  std::lock_guard<std::recursive_mutex> lock(list->Mutex());
  if (!RunningServer(id)) return "the server is not running";
  list->StopServer(id);
  return "";
}

std::string RestartServer(const std::string& id) {
  TServerListObject* list = GetServerList();
  if (!list) return "the server list is gone";
  std::lock_guard<std::recursive_mutex> lock(list->Mutex());
  if (!RunningServer(id)) return "the server is not running";
  list->RestartServer(id);
  return RunningServer(id) ? "" : "the server stopped and could not start again (see the log)";
}

std::string AddServer(const TServerEnvironment& env, const std::string& name, int32_t port, std::string& id) {
  if (!ValidServerName(name) || name.size() > 29) return "the name is empty, too long or holds [, ] or \\";
  if (port < 1 || port > 65535) return "the UDP port must be a number from 1 to 65535";
  TServerListObject* list = GetServerList();
  if (!list) return "the server list is gone";
  std::lock_guard<std::recursive_mutex> lock(list->Mutex());
  id = kServerIdPrefix + name;
  if (list->FindServerByPort(port)) return "serverport already running";
  if (RunningServer(id) || Listed(env, id)) return "a server of that name exists already";
  auto server = std::make_shared<TServerObject>();
  if (!server->Start(env, id, port, nullptr)) return "unable to initialize server";
  try {
    TIniFile ini(env.SettingsFile);
    ListServer(ini, id);
  } catch (const std::exception&) {
    LogFmt(LMTERROR, LMDALL, "SERVER", "Start_Parleon_Server: unable to open server config file: %1 ",
           {env.SettingsFile});
    return "unable to save server";
  }
  return "";
}

std::string RemoveServer(const TServerEnvironment& env, const std::string& id) {
  TServerListObject* list = GetServerList();
  if (!list) return "the server list is gone";
  std::lock_guard<std::recursive_mutex> lock(list->Mutex());
  TIniFile ini(env.SettingsFile);
  const std::vector<std::string> listed = ListedServers(ini);
  bool known = RunningServer(id) != nullptr, shared = false;
  for (const std::string& other : listed) {
    known = known || other == id;
    // Ids longer than the accounts' key share their accounts with others of the same start.
    shared = shared || (other != id && other.compare(0, kShortIdLength, id, 0, kShortIdLength) == 0);
  }
  if (!known) return "there is no such server";
  if (listed.size() == 1 && listed[0] == id)
    return "the last server cannot be removed: the next start would create a new default server";
  if (RunningServer(id)) list->StopServer(id);
  UnlistServer(ini, id);
  ini.EraseSection(id);
  DeleteServerRecords(id, !shared);
  return "";
}
