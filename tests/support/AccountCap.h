// Test support: lowers the cap on accounts per virtual server for one test
// and puts the default back when it ends, even on a failed assertion.
#pragma once

#include <cstdint>

#include "database/Accounts.h"

class TAccountCapGuard {
 public:
  explicit TAccountCapGuard(int32_t cap) { SetAccountCap(cap); }
  ~TAccountCapGuard() { SetAccountCap(kDefaultMaxAccountsPerServer); }
  TAccountCapGuard(const TAccountCapGuard&) = delete;
  TAccountCapGuard& operator=(const TAccountCapGuard&) = delete;
};
