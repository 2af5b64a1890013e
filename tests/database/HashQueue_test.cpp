#include "database/HashQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

// Waits (bounded) until `count` callers queue for a turn.
bool WaitForWaiting(const TFairTurns& turns, size_t count) {
  for (int i = 0; i < 5000 && turns.Waiting() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return turns.Waiting() == count;
}

TEST(HashQueue, TurnsAreServedFirstComeFirstServed) {
  TFairTurns turns(1);
  std::string order;
  std::mutex orderMutex;
  auto take = [&](char who) {
    TTurn turn(turns);
    std::lock_guard<std::mutex> lock(orderMutex);
    order += who;
  };
  turns.Acquire();
  std::thread first(take, 'a');
  ASSERT_TRUE(WaitForWaiting(turns, 1));
  std::thread second(take, 'b');
  ASSERT_TRUE(WaitForWaiting(turns, 2));
  std::thread third(take, 'c');
  ASSERT_TRUE(WaitForWaiting(turns, 3));
  turns.Release();
  first.join();
  second.join();
  third.join();
  EXPECT_EQ(order, "abc");
  EXPECT_EQ(turns.Waiting(), 0u);
}

TEST(HashQueue, AnAddressAndAnAccountHoldOnePendingHashEach) {
  {
    const THashClaim first("10.0.0.1", "server_cfg A\\admin");
    EXPECT_TRUE(first.Held());
    EXPECT_FALSE(THashClaim("10.0.0.1", "server_cfg A\\other").Held());
    EXPECT_FALSE(THashClaim("10.0.0.2", "SERVER_CFG A\\ADMIN").Held());
    const THashClaim elsewhere("10.0.0.2", "server_cfg B\\admin");
    EXPECT_TRUE(elsewhere.Held());
  }
  EXPECT_TRUE(THashClaim("10.0.0.1", "server_cfg A\\admin").Held()) << "a claim ends with its hash";
}

}  // namespace
