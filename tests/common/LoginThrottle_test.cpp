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
