#include "common/LoginThrottle.h"

#include <gtest/gtest.h>

namespace {

void FailTimes(TLoginThrottle& t, int n, const char* address, const char* account) {
  for (int i = 0; i < n; ++i) {
    ASSERT_TRUE(t.MayTry(address, account)) << "attempt " << i;
    t.Failed(address, account);
  }
}

TEST(LoginThrottle, BlocksAnAddressAfterFiveFailuresWithADoublingWaitUpToFiveMinutes) {
  TManualClock clock;
  TLoginThrottle t(&clock);
  FailTimes(t, 5, "10.0.0.1", "admin");
  EXPECT_FALSE(t.MayTry("10.0.0.1", "someone"));  // the address is blocked, whatever the name
  EXPECT_TRUE(t.MayTry("10.0.0.2", "other"));     // other addresses and names are not
  clock.AdvanceMs(59'000);
  EXPECT_FALSE(t.MayTry("10.0.0.1", "someone"));
  clock.AdvanceMs(1'000);
  // Blocked again by one more failure, each time twice as long, capped at five minutes.
  const int64_t waits[] = {120'000, 240'000, 300'000, 300'000};
  for (int64_t wait : waits) {
    ASSERT_TRUE(t.MayTry("10.0.0.1", "someone"));
    t.Failed("10.0.0.1", "someone");
    clock.AdvanceMs(static_cast<double>(wait - 1'000));
    EXPECT_FALSE(t.MayTry("10.0.0.1", "x")) << wait;
    clock.AdvanceMs(1'000);
  }
  EXPECT_TRUE(t.MayTry("10.0.0.1", "x"));
}

TEST(LoginThrottle, FailuresSpreadOverMoreThanAMinuteAndSuccessDoNotBlock) {
  TManualClock clock;
  TLoginThrottle t(&clock);
  FailTimes(t, 4, "10.0.0.1", "a");
  clock.AdvanceMs(61'000);
  FailTimes(t, 4, "10.0.0.1", "a");
  t.Succeeded("10.0.0.1", "a");
  clock.AdvanceMs(61'000);
  FailTimes(t, 4, "10.0.0.1", "a");
  EXPECT_TRUE(t.MayTry("10.0.0.1", "a"));
}

TEST(LoginThrottle, ARightPasswordClearsTheNameOnlyNeverTheAddress) {
  TManualClock clock;
  TLoginThrottle t(&clock);
  FailTimes(t, 4, "10.0.0.1", "guessed");
  t.Succeeded("10.0.0.1", "own");  // the guesser's own account
  t.Failed("10.0.0.1", "guessed");
  EXPECT_FALSE(t.MayTry("10.0.0.1", "own"));
  FailTimes(t, 4, "10.0.0.2", "b");
  t.Succeeded("10.0.0.3", "B");
  FailTimes(t, 4, "10.0.0.4", "b");  // the name's count began anew
  EXPECT_TRUE(t.MayTry("10.0.0.5", "b"));
}

TEST(LoginThrottle, ABlockedNameFoldsCaseAndStillAdmitsTheAddressesThatLoggedInBefore) {
  TManualClock clock;
  TLoginThrottle t(&clock);
  t.Succeeded("10.0.9.0", "admin");
  for (size_t i = 1; i <= TLoginThrottle::kKnownPerAccount; ++i)
    t.Succeeded("10.0.9." + std::to_string(i), "Admin");  // the first is forgotten
  for (int i = 0; i < 5; ++i) FailTimes(t, 1, ("10.0.1." + std::to_string(i)).c_str(), "ADMIN");
  EXPECT_FALSE(t.MayTry("10.0.2.1", "admin"));
  EXPECT_FALSE(t.MayTry("10.0.9.0", "admin"));
  for (size_t i = 1; i <= TLoginThrottle::kKnownPerAccount; ++i)
    EXPECT_TRUE(t.MayTry("10.0.9." + std::to_string(i), "aDmIn")) << i;
}

TEST(LoginThrottle, BlocksAnAccountGuessedFromManyAddresses) {
  TManualClock clock;
  TLoginThrottle t(&clock);
  for (int i = 0; i < 5; ++i) FailTimes(t, 1, ("10.0.1." + std::to_string(i)).c_str(), "admin");
  EXPECT_FALSE(t.MayTry("10.0.2.1", "admin"));
  EXPECT_TRUE(t.MayTry("10.0.2.1", "guest"));
}

}  // namespace

namespace {

// Forged sources and invented names, far more than the table holds, fail
// once each: the blocked address and the blocked name stay blocked until
// their time is up.
TEST(LoginThrottle, AFloodOfFreshAddressesAndNamesLiftsNoBlock) {
  TManualClock clock;
  TLoginThrottle t(&clock);
  const std::string admin = AccountThrottleKey("server_cfg Default", "admin");
  FailTimes(t, 5, "10.0.0.1", "x");
  for (int i = 0; i < 5; ++i) FailTimes(t, 1, ("10.0.1." + std::to_string(i)).c_str(), admin.c_str());
  for (size_t i = 0; i < 2 * TLoginThrottle::kMaxEntries; ++i) {
    const std::string n = std::to_string(i);
    t.Failed("11." + n, AccountThrottleKey("server_cfg Default", "fresh" + n));
  }
  EXPECT_FALSE(t.MayTry("10.0.0.1", "other"));
  EXPECT_FALSE(t.MayTry("10.0.2.1", admin));
  clock.AdvanceMs(TLoginThrottle::kFirstBlockMs);
  EXPECT_TRUE(t.MayTry("10.0.0.1", "other"));
  EXPECT_TRUE(t.MayTry("10.0.2.1", admin));
}

// One login name on two servers is two accounts: a tenant's login to its own
// account of the operator's name lifts nothing, and logins named like the
// metrics scrape never lock a scraper out.
TEST(LoginThrottle, NamesAreKeptPerServerAndApartFromOtherSurfaces) {
  TManualClock clock;
  TLoginThrottle t(&clock);
  const std::string operatorKey = AccountThrottleKey("server_cfg Default", "Op");
  const std::string tenantKey = AccountThrottleKey("server_cfg Tenant", "op");
  for (int i = 0; i < 5; ++i) {
    const std::string from = "10.0.1." + std::to_string(i);
    FailTimes(t, 1, from.c_str(), operatorKey.c_str());
    FailTimes(t, 1, from.c_str(), AccountThrottleKey("server_cfg Default", "metrics scrape").c_str());
    FailTimes(t, 1, from.c_str(), AccountThrottleKey("query", "metrics scrape").c_str());
  }
  t.Succeeded("10.0.3.1", tenantKey);
  EXPECT_FALSE(t.MayTry("10.0.2.1", AccountThrottleKey("server_cfg Default", "OP")));
  EXPECT_TRUE(t.MayTry("10.0.2.1", tenantKey));
  EXPECT_TRUE(t.MayTry("10.0.2.1", "metrics scrape"));
  // Accounts are kept under the id's first 29 characters, and so are names.
  EXPECT_EQ(AccountThrottleKey(std::string(29, 'a') + "b", "n"), AccountThrottleKey(std::string(29, 'a') + "c", "n"));
}

}  // namespace
