// The virtual servers the process starts, and their coming and going while
// it runs: the ids listed in section "Servers" of server.ini under the keys
// 0, 1, 2, ..., read up to the first empty key, and the operations that
// start a listed server, stop, restart, add and remove one. The TCP query's
// addserver and the web interface's Servers page use them.
//
// Thread-safety: the list functions work on a TIniFile the caller owns; the
// server operations take the ServerList lock for their whole run, so two of
// them never pick the same key or port, and they hold no other lock when
// they return.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerObject.h"

class TIniFile;

inline constexpr const char* kServersSection = "Servers";
inline constexpr const char* kServerIdPrefix = "server_cfg ";

// The listed ids in key order.
std::vector<std::string> ListedServers(const TIniFile& ini);
// Lists `id` under the lowest free key, unless it is listed already.
void ListServer(TIniFile& ini, const std::string& id);
// Takes `id` off the list; the ids after it move down one key, so that none
// is hidden behind an empty key. False when it was not listed.
bool UnlistServer(TIniFile& ini, const std::string& id);
// A name becomes a section name in server.ini and a node name in the
// database: brackets, backslashes and control characters would break either,
// and an empty one names nothing.
bool ValidServerName(std::string_view name);

// The environment the running servers were started in (one for the whole
// process: the settings file, the bind address, the version); false while
// none runs.
bool RunningEnvironment(TServerEnvironment& env);
// Each returns "" when done, or why it refused, in words for the operator.
// Starts a server listed in server.ini that is not running; its settings,
// port included, come from its section.
std::string StartServer(const TServerEnvironment& env, const std::string& id);
std::string StopServer(const std::string& id);
std::string RestartServer(const std::string& id);
// Starts a new server "server_cfg <name>" on `port` and lists it, as the
// query's addserver does; `id` is set to its id.
std::string AddServer(const TServerEnvironment& env, const std::string& name, int32_t port, std::string& id);
// Stops the server if it runs, takes it off the list, erases its section
// and deletes its channels and accounts from the database. The last listed
// server stays: without one the next start would make a new default server.
std::string RemoveServer(const TServerEnvironment& env, const std::string& id);
