// The one door for a virtual server's life: the ids listed in section
// "Servers" of server.ini under the keys 0, 1, 2, ... (read up to the first
// empty key), and the operations that start a listed server, stop, restart,
// add and remove one. Start-up, the TCP query and the web interface's
// Servers page all go through here, so one naming rule and one set of
// refusals hold for every surface.
//
// The naming rule: a new server's id is "server_cfg " and the name; the
// name is also the name the server shows. Accounts are kept under the id's
// first 29 characters and settings under the whole id, letter case aside;
// two servers whose ids agree there would share accounts or settings, so a
// server is added only when its id shares that storage with no listed or
// running server, and of two listed servers that share it only the first
// starts.
//
// Starting, stopping and restarting one server are held to
// kLifeActionsPerMinute a minute: each writes the server's start and stop
// lines, and a tenant's loop of restarts must not fill the disk through the
// log (the action past the limit is refused and writes nothing).
//
// Thread-safety: the list functions work on a TIniFile the caller owns; the
// server operations take the ServerList lock for their whole run, so two of
// them never pick the same key, port or name, and they hold no other lock
// when they return. Reached from admin/ and app/ through
// server/ServerAccess.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerEnvironment.h"

class TIniFile;

inline constexpr const char* kServersSection = "Servers";
inline constexpr const char* kServerIdPrefix = "server_cfg ";
inline constexpr const char* kDefaultServerID = "server_cfg Default";
// A name is also the shown name, a 29-character slot.
inline constexpr size_t kServerNameLength = 29;
// Starts, stops and restarts of one server within a minute.
inline constexpr size_t kLifeActionsPerMinute = 10;

// The listed ids in key order.
std::vector<std::string> ListedServers(const TIniFile& ini);
// Lists `id` under the lowest free key, unless it is listed already.
void ListServer(TIniFile& ini, const std::string& id);
// Takes `id` off the list; the ids after it move down one key, so that none
// is hidden behind an empty key. False when it was not listed.
bool UnlistServer(TIniFile& ini, const std::string& id);

// Why `name` cannot name a new server, in words for the operator; empty when
// it can: 1 to 29 characters, letters A-Z and a-z, digits, blanks, "-" and
// "_", no blank at either end.
std::string ServerNameFault(std::string_view name);
bool ValidServerName(std::string_view name);
// True when two ids keep their accounts or their settings in one place:
// their first 29 characters agree, letter case aside.
bool ShareStorage(std::string_view id, std::string_view other);

// The environment the running servers were started in (one for the whole
// process: the settings file, the bind address, the version); false while
// none runs.
bool RunningEnvironment(TServerEnvironment& env);

// Why an operation refused; the query words each in its own terms.
enum class TCatalogRefusal {
  None,
  NoServerList,  // the process is shutting down
  BadName,       // against the naming rule
  BadPort,       // not 1..65535
  PortRunning,   // a running server has the port
  PortListed,    // a listed server that does not run has the port
  NameTaken,     // a listed or running server shares the id's storage
  NotListed,     // no such server
  NotRunning,
  Running,       // it runs already
  LastServer,    // removing it would leave no server listed
  StartFailed,   // the start failed (its port taken, ...)
  TooOften,      // started, stopped or restarted kLifeActionsPerMinute times this minute
  SettingsFile,  // server.ini could not be written
};

struct TCatalogAnswer {
  TCatalogRefusal Refusal = TCatalogRefusal::None;
  std::string Reason;  // empty when done, else why, in words for the operator
  std::string ID;      // the server the operation was about
  // A failed start's fault as the log and the start-up status line word it
  // ("udp port 8767: bind: Address already in use"); else as Reason.
  std::string StartFault;
  bool Done() const { return Refusal == TCatalogRefusal::None; }
};

// Starts a listed server that is not running; its settings, port included,
// come from its section. Refused, with a log line, when a server listed
// before it or a running one shares its storage. `ini`: the file start-up
// holds open, else env.SettingsFile.
TCatalogAnswer StartServer(const TServerEnvironment& env, const std::string& id, TIniFile* ini = nullptr);
TCatalogAnswer StopServer(const std::string& id);
// Refused with the reason when the server stopped and did not come back.
TCatalogAnswer RestartServer(const std::string& id);
// Adds the server "server_cfg <name>" showing `name`, on `port`, starts and
// lists it. Refused when the name breaks the rule or shares storage, or the
// port is a running or listed server's; a start that fails (the port taken
// by another program) leaves server.ini as it was.
TCatalogAnswer AddServer(const TServerEnvironment& env, const std::string& name, int32_t port);
// Stops the server if it runs, takes it off the list, erases its section
// and deletes its channels and accounts from the database. The last listed
// server stays: without one the next start would make a new default server.
TCatalogAnswer RemoveServer(const TServerEnvironment& env, const std::string& id);
