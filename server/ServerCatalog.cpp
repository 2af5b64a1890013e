#include "server/ServerCatalog.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include "common/CaughtLog.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "database/ServerRecords.h"
#include "server/ServerList.h"
#include "server/ServerObject.h"
#include "server/ServerListLock.h"

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

std::string ServerNameFault(std::string_view name) {
  if (name.empty() || name.size() > kServerNameLength)
    return "the name must have 1 to " + std::to_string(kServerNameLength) + " characters";
  for (char ch : name)
    if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == ' ' ||
          ch == '-' || ch == '_'))
      return "the name may hold only letters A-Z and a-z, digits, blanks, \"-\" and \"_\"";
  if (name.front() == ' ' || name.back() == ' ') return "the name must not begin or end with a blank";
  return "";
}

bool ValidServerName(std::string_view name) { return ServerNameFault(name).empty(); }

bool ShareStorage(std::string_view id, std::string_view other) {
  id = id.substr(0, kShortIdLength);
  other = other.substr(0, kShortIdLength);
  if (id.size() != other.size()) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const auto fold = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; };
    if (fold(id[i]) != fold(other[i])) return false;
  }
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

TCatalogAnswer Refuse(TCatalogRefusal refusal, std::string reason, const std::string& id) {
  TCatalogAnswer answer{refusal, std::move(reason), id, ""};
  answer.StartFault = answer.Reason;
  return answer;
}

TCatalogAnswer StartRefused(const TServerObject& server, const std::string& id, std::string reason) {
  TCatalogAnswer answer = Refuse(TCatalogRefusal::StartFailed, std::move(reason), id);
  answer.StartFault = server.StartFault();
  return answer;
}

// The names of new servers differ in fewer characters than the ids: the
// prefix takes the rest of the accounts' key.
const size_t kDistinctNameLength = kShortIdLength - std::string_view(kServerIdPrefix).size();

std::string SharedStorageReason(const std::string& other) {
  return "it would share its accounts with " + other + ": names must differ in their first " +
         std::to_string(kDistinctNameLength) + " characters, letter case aside";
}

// The server whose storage `id` would share: a running one, or one listed
// in `listed` before `id` (all of them when `id` is not listed); empty when
// none.
std::string StorageSharer(const std::string& id, const std::vector<std::string>& listed, TServerListObject& list) {
  for (const std::string& other : listed) {
    if (other == id) break;
    if (ShareStorage(id, other)) return other;
  }
  for (const auto& [other, server] : list.GetServerIDList())
    if (other != id && server->Running() && ShareStorage(id, other)) return other;
  return "";
}

// The moments of each server's recent starts, stops and restarts, under the
// ServerList lock. Only servers that exist get an entry, so the map is no
// larger than the list.
std::map<std::string, std::deque<std::chrono::steady_clock::time_point>>& LifeActions() {
  static std::map<std::string, std::deque<std::chrono::steady_clock::time_point>> actions;
  return actions;
}

// Counts one more start, stop or restart of `id`; false when the server had
// its share this minute.
bool MayAct(const std::string& id) {
  const auto now = std::chrono::steady_clock::now();
  auto& moments = LifeActions()[UpperCase(id)];
  while (!moments.empty() && now - moments.front() >= std::chrono::minutes(1)) moments.pop_front();
  if (moments.size() >= kLifeActionsPerMinute) return false;
  moments.push_back(now);
  return true;
}

TCatalogAnswer TooOften(const std::string& id) {
  return Refuse(TCatalogRefusal::TooOften,
                "the server was started, stopped or restarted " + std::to_string(kLifeActionsPerMinute) +
                    " times in the last minute; try again in a minute",
                id);
}

}  // namespace

TCatalogAnswer StartServer(const TServerEnvironment& env, const std::string& id, TIniFile* ini) {
  TServerListObject* list = GetServerList();
  if (!list) return Refuse(TCatalogRefusal::NoServerList, "the server list is gone", id);
  TServerListLock lock(*list);
  if (RunningServer(id)) return Refuse(TCatalogRefusal::Running, "the server is running already", id);
  std::optional<TIniFile> ownFile;
  if (!ini) ini = &ownFile.emplace(env.SettingsFile);
  const std::vector<std::string> listed = ListedServers(*ini);
  if (std::find(listed.begin(), listed.end(), id) == listed.end())
    return Refuse(TCatalogRefusal::NotListed, "there is no such server", id);
  if (const std::string other = StorageSharer(id, listed, *list); !other.empty()) {
    const std::string reason = SharedStorageReason(other);
    Log(LMTERROR, LMDALL, "SERVER", "server " + id + " not started: " + reason);
    return Refuse(TCatalogRefusal::NameTaken, reason, id);
  }
  if (!MayAct(id)) return TooOften(id);
  auto server = std::make_shared<TServerObject>();
  // The port comes from its section, as at start-up.
  if (!server->Start(env, id, -1, ini)) return StartRefused(*server, id, server->StartReason());
  return {TCatalogRefusal::None, "", id, ""};
}

TCatalogAnswer StopServer(const std::string& id) {
  TServerListObject* list = GetServerList();
  if (!list) return Refuse(TCatalogRefusal::NoServerList, "the server list is gone", id);
  TServerListLock lock(*list);
  if (!RunningServer(id)) return Refuse(TCatalogRefusal::NotRunning, "the server is not running", id);
  if (!MayAct(id)) return TooOften(id);
  list->StopServer(id);
  return {TCatalogRefusal::None, "", id, ""};
}

TCatalogAnswer RestartServer(const std::string& id) {
  TServerListObject* list = GetServerList();
  if (!list) return Refuse(TCatalogRefusal::NoServerList, "the server list is gone", id);
  TServerListLock lock(*list);
  const TServerRef server = RunningServer(id);
  if (!server) return Refuse(TCatalogRefusal::NotRunning, "the server is not running", id);
  if (!MayAct(id)) return TooOften(id);
  list->RestartServer(id);
  if (!server->Running())
    return StartRefused(*server, id, "the server stopped and could not start again: " + server->StartReason());
  return {TCatalogRefusal::None, "", id, ""};
}

TCatalogAnswer AddServer(const TServerEnvironment& env, const std::string& name, int32_t port) {
  const std::string id = kServerIdPrefix + name;
  if (std::string fault = ServerNameFault(name); !fault.empty()) return Refuse(TCatalogRefusal::BadName, fault, id);
  if (port < 1 || port > 65535)
    return Refuse(TCatalogRefusal::BadPort, "the UDP port must be a number from 1 to 65535", id);
  TServerListObject* list = GetServerList();
  if (!list) return Refuse(TCatalogRefusal::NoServerList, "the server list is gone", id);
  TServerListLock lock(*list);
  const std::string portText = "port " + std::to_string(port);
  if (const TServerRef other = list->FindServerByPort(port))
    return Refuse(TCatalogRefusal::PortRunning, portText + " is used by the running server " + other->ServerID, id);
  TIniFile ini(env.SettingsFile);
  const std::vector<std::string> listed = ListedServers(ini);
  for (const std::string& other : listed) {
    // A stopped server takes its port again when it starts.
    if (ini.ReadInteger(other, "ServerUDPPort", kDefaultServerUDPPort) == port && !RunningServer(other))
      return Refuse(TCatalogRefusal::PortListed, portText + " belongs to the stopped server " + other, id);
  }
  std::vector<std::string> known = listed;
  known.push_back(id);  // so that every listed one counts as before it
  if (const std::string other = StorageSharer(id, known, *list); !other.empty())
    return Refuse(TCatalogRefusal::NameTaken, other == id ? "a server of that name exists already"
                                                          : SharedStorageReason(other),
                  id);

  // The section is written before the start so that the start reads this
  // name and port; one that no listed server owns is what an earlier failed
  // add left behind.
  const auto undo = [&] {
    try {
      UnlistServer(ini, id);
      ini.EraseSection(id);
    } catch (const std::exception& e) {
      LogCaught("SERVER", "AddServer", e);
    }
  };
  try {
    if (ini.SectionExists(id)) ini.EraseSection(id);
    ini.WriteString(id, "ServerName", name);
    ini.WriteInteger(id, "ServerUDPPort", port);
    ListServer(ini, id);
  } catch (const std::exception& e) {
    LogFmt(LMTERROR, LMDALL, "SERVER", "Start_Parleon_Server: unable to open server config file: %1 ",
           {env.SettingsFile});
    undo();
    return Refuse(TCatalogRefusal::SettingsFile, std::string("server.ini: ") + e.what(), id);
  }
  auto server = std::make_shared<TServerObject>();
  if (!server->Start(env, id, port, &ini)) {
    undo();
    return StartRefused(*server, id, server->StartReason());
  }
  return {TCatalogRefusal::None, "", id, ""};
}

TCatalogAnswer RemoveServer(const TServerEnvironment& env, const std::string& id) {
  TServerListObject* list = GetServerList();
  if (!list) return Refuse(TCatalogRefusal::NoServerList, "the server list is gone", id);
  TServerListLock lock(*list);
  TIniFile ini(env.SettingsFile);
  const std::vector<std::string> listed = ListedServers(ini);
  bool known = RunningServer(id) != nullptr, shared = false;
  for (const std::string& other : listed) {
    known = known || other == id;
    // Ids longer than the accounts' key share their accounts with others of the same start.
    shared = shared || (other != id && other.compare(0, kShortIdLength, id, 0, kShortIdLength) == 0);
  }
  if (!known) return Refuse(TCatalogRefusal::NotListed, "there is no such server", id);
  if (listed.size() == 1 && listed[0] == id)
    return Refuse(TCatalogRefusal::LastServer,
                  "the last server cannot be removed: the next start would create a new default server", id);
  if (RunningServer(id)) list->StopServer(id);
  UnlistServer(ini, id);
  ini.EraseSection(id);
  DeleteServerRecords(id, !shared);
  return {TCatalogRefusal::None, "", id, ""};
}
