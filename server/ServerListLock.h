// TServerListLock: holds the ServerList lock for a scope. Only server/ takes
// that lock directly: the catalog's operations, the administration's door
// when it restarts a server, and a server's Start when it registers. The
// layers above never include this header (the CTest layer_includes refuses
// it), so they cannot hold the lock around anything of their own.
//
// Thread-safety: the lock is re-entrant and comes first in the system's
// order: take it before a server's HoldMachinery, never while holding it.
#pragma once

#include <mutex>

#include "server/ServerList.h"

class TServerListLock {
 public:
  explicit TServerListLock(TServerListObject& list) : lock_(list.mutex_) {}

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};
