#include "database/PasswordUpgrade.h"

#include <exception>
#include <string>

#include "common/CaughtLog.h"
#include "common/Log.h"
#include "database/Accounts.h"

TPasswordUpgrade::TPasswordUpgrade(std::shared_ptr<TFreeBase> db)
    : db_(std::move(db)), thread_([this] { Run(); }) {}

TPasswordUpgrade::~TPasswordUpgrade() {
  stop_ = true;
  thread_.join();
}

void TPasswordUpgrade::Run() {
  try {
    const TPasswordUpgradeCount count = UpgradeStoredPasswords(*db_, stop_);
    LogFmt(LMTALL, LMDINFO, "USERS",
           "Stored passwords: %1 plain passwords hashed, %2 hashes moved to their own value, %3 left for the next "
           "start",
           {std::to_string(count.Hashed), std::to_string(count.Moved), std::to_string(count.Left)});
  } catch (const std::exception& e) {
    LogCaught("USERS", "UpgradeStoredPasswords", e);
  }
}
