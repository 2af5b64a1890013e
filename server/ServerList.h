// ServerList: the running virtual servers of the process, in the order they
// were registered, found by id (exact case) or UDP port. Start-up creates it,
// shutdown destroys it (the pointer ServerList below); the TCP query,
// the web interface and the web list find servers here.
//
// Thread-safety: one re-entrant lock guards the list. RestartServer and
// StopServer hold it for their whole walk, Start takes it again inside
// (RegisterServer). It is the first lock in the system's order: ServerList,
// then a server's HoldMachinery, then its client list, then its channels.
// The lock is server/'s own: code of server/ takes it through
// TServerListLock (server/ServerListLock.h); the layers above get the
// finds here and the catalog's operations, which take it themselves.
// This header brings in no server's insides (the layers above include it,
// and the CTest layer_includes checks that).
// Lifetime: the finds hand out shared references, so a server found here
// stays a valid object after another thread stopped and removed it (its
// Running() is then false).
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "server/ServerRef.h"

class TServerListObject {
 public:
  // False when a running server has the same id (exact comparison).
  bool RegisterServer(const TServerRef& server);
  void UnregisterServer(const TServerObject* server);
  TServerRef FindServerByID(const std::string& id);
  TServerRef FindServerByPort(int32_t port);
  // A snapshot of (id, server) pairs in list order.
  std::vector<std::pair<std::string, TServerRef>> GetServerIDList();
  // Last to first: each matching server (every server for an empty id) is
  // stopped, removed and started again with its settings read anew; a server
  // that comes back is appended. A non-empty id ends after its first match.
  void RestartServer(const std::string& id);
  // Last to first: each matching server is stopped and removed.
  void StopServer(const std::string& id);
  size_t Count();

 private:
  friend class TServerListLock;
  std::recursive_mutex mutex_;
  std::vector<TServerRef> servers_;
};

// The process-wide list: start-up sets it before any server starts and
// clears it after the last one stopped; none before and after.
extern std::atomic<TServerListObject*> ServerList;
// ServerList, read with acquire order; none while there is no list.
TServerListObject* GetServerList();
