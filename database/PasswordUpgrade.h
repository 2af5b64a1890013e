// TPasswordUpgrade: the start-up's pass over every stored account that
// replaces the plain passwords older builds left by their hashes
// (UpgradeStoredPasswords in Accounts.h), on a thread of its own, so that
// neither start-up nor any voice or administration thread waits for the
// hashes. It logs how many it did when it ends (source "USERS").
//
// Start-up creates it once the database is open; shutdown destroys it before
// it closes the database: the destructor asks the pass to stop after the
// account in hand and joins the thread. Accounts it did not reach stay as
// they were until the next start or their holder's login.
//
// Thread-safety: construct and destroy on one thread; the pass takes the
// database lock only for each read and write.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

class TFreeBase;

class TPasswordUpgrade {
 public:
  explicit TPasswordUpgrade(std::shared_ptr<TFreeBase> db);
  ~TPasswordUpgrade();
  TPasswordUpgrade(const TPasswordUpgrade&) = delete;
  TPasswordUpgrade& operator=(const TPasswordUpgrade&) = delete;

 private:
  void Run();

  std::shared_ptr<TFreeBase> db_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts once the rest is in place
};
