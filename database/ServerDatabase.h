// The process-wide database. Start-up installs it, shutdown removes it;
// every thread reaches it only through LockServerDatabase(), which may find
// none at any moment of shutdown.
//
// The lock returned holds the database's own lock and keeps the object
// alive, so a thread that got it just before shutdown finishes its work on a
// live object (which is then inactive: reads give defaults, writes false).
#pragma once

#include <memory>

#include "database/FreeBase.h"

// The process-wide database, locked for the caller; empty (false) while
// there is none. Re-entrant: a thread holding it may call it again.
TFreeBase::TLock LockServerDatabase();

// Start-up: makes `db` the process-wide database.
void InstallServerDatabase(std::shared_ptr<TFreeBase> db);

// Shutdown: clears the global and hands back the database. New callers get
// none from this moment on; the object goes when the last holder lets go.
std::shared_ptr<TFreeBase> RemoveServerDatabase();

// The OnError handler start-up gives the process-wide database: logs a
// failure of the file (codes 2 to 5) as an ERROR line with the file name and
// the code. Codes 1 and 6 (Active or Flush asked of a database already in
// that state, as shutdown does with one that never loaded) are not logged.
void LogDatabaseError(TFreeBase& db, int& errorCode);
