#include "database/ServerDatabase.h"

#include <mutex>

#include "common/Log.h"

namespace {

// Guards the owning pointer; held only to copy or swap it, never while
// waiting for the database lock, so nested use cannot deadlock.
std::mutex& OwnerMutex() {
  static std::mutex m;
  return m;
}

std::shared_ptr<TFreeBase>& Owner() {
  static std::shared_ptr<TFreeBase> owner;
  return owner;
}

}  // namespace

TFreeBase::TLock LockServerDatabase() {
  std::shared_ptr<TFreeBase> db;
  {
    std::lock_guard guard(OwnerMutex());
    db = Owner();
  }
  if (!db) return {};
  return TFreeBase::TLock(std::move(db));
}

void InstallServerDatabase(std::shared_ptr<TFreeBase> db) {
  std::lock_guard guard(OwnerMutex());
  Owner() = std::move(db);
}

std::shared_ptr<TFreeBase> RemoveServerDatabase() {
  std::lock_guard guard(OwnerMutex());
  return std::exchange(Owner(), nullptr);
}

void LogDatabaseError(TFreeBase& db, int& errorCode) {
  if (errorCode == FreeBaseError::ActiveUnchanged || errorCode == FreeBaseError::NotActive) return;
  const std::string fault = errorCode == FreeBaseError::InvalidFile ? db.LoadFault() : "";
  LogFmt(LMTERROR, LMDALL, "SERVER", fault.empty() ? "Database file %1: error %2 (%3)" : "Database file %1: error %2 (%3): %4",
         {db.FileName(), errorCode, FreeBaseErrorText(errorCode), fault});
}
