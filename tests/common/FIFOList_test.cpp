#include "common/FIFOList.h"

#include <gtest/gtest.h>

namespace {

using TIntList = TFIFOList<int>;

std::string CreationError(int start, int max, int grow) {
  try {
    TIntList list(start, max, grow);
  } catch (const EFIFOList& e) {
    return e.what();
  }
  return "";
}

TEST(FIFOList, CreationChecksInOrder) {
  EXPECT_EQ(CreationError(10, 5, 1), "StartItems if more than MaxItems");
  EXPECT_EQ(CreationError(1, 200000, 1), "200000 Items is to much. A FifoList can contain 100.000 items");
  EXPECT_EQ(CreationError(1, 100000, 10001),
            "10001 Items is to much. A FifoList can grow with 10.000 items at a time max");
  EXPECT_EQ(CreationError(-1, 5, 1), "Negative parameter is not allowed");
  EXPECT_EQ(CreationError(1, 5, -1), "Negative parameter is not allowed");
  // Max below start wins over the negative check.
  EXPECT_EQ(CreationError(1, -5, 1), "StartItems if more than MaxItems");
  EXPECT_EQ(CreationError(16, 100000, 10000), "");
}

TEST(FIFOList, GrowsKeepingQueueOrderWhenTheRingWraps) {
  TIntList list(16, 1024, 16);
  int next = 0, expected = 0;
  for (int i = 0; i < 10; ++i) list.Push(std::make_unique<int>(next++));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(*list.Pop(), expected++);
  // Head is 5 now; 12 more make 17 queued, which forces one growth step.
  for (int i = 0; i < 12; ++i) list.Push(std::make_unique<int>(next++));
  EXPECT_EQ(list.Capacity, 32);
  EXPECT_EQ(list.Count, 17);
  while (auto item = list.Pop()) EXPECT_EQ(*item, expected++);
  EXPECT_EQ(expected, next);
  EXPECT_EQ(list.Pop(), nullptr);
}

TEST(FIFOList, GivesBackABurstsRingOnceDrainedAndKeepsWorking) {
  TIntList list(16, 1024, 16);
  for (int i = 0; i < 64; ++i) list.Push(std::make_unique<int>(i));
  while (list.Pop()) {
  }
  EXPECT_EQ(list.Capacity, 64);  // a voice-sized backlog keeps its ring
  for (int i = 0; i < 100; ++i) list.Push(std::make_unique<int>(i));
  for (int i = 0; i < 99; ++i) EXPECT_EQ(*list.Pop(), i);
  EXPECT_EQ(list.Capacity, 112);
  EXPECT_EQ(*list.Pop(), 99);
  EXPECT_EQ(list.Capacity, 16);
  for (int i = 0; i < 20; ++i) list.Push(std::make_unique<int>(i));
  for (int i = 0; i < 20; ++i) EXPECT_EQ(*list.Pop(), i);

  // A queue that keeps no ring gives back even its start ring when emptied.
  TIntList rare(16, 1024, 16, 0);
  rare.Push(std::make_unique<int>(7));
  EXPECT_NE(rare.Items, nullptr);
  EXPECT_EQ(*rare.Pop(), 7);
  EXPECT_EQ(rare.Items, nullptr);
  rare.Push(std::make_unique<int>(8));
  EXPECT_EQ(*rare.Peek(), 8);
}

TEST(FIFOList, RefusesThePushBeyondItsLimit) {
  TIntList list(16, 1024, 16);
  for (int i = 0; i < 1024; ++i) list.Push(std::make_unique<int>(i));
  EXPECT_EQ(list.Capacity, 1024);
  try {
    list.Push(std::make_unique<int>(1024));
    ADD_FAILURE() << "the 1025th push was taken";
  } catch (const EFIFOList& e) {
    EXPECT_STREQ(e.what(), "Can't allocate needed memory");
  }
  EXPECT_EQ(list.Count, 1024);
  EXPECT_EQ(*list.Pop(), 0);
}

TEST(FIFOList, IgnoresAbsentObjectsAndCannotGrowByNothing) {
  TIntList list(1, 10, 0);
  list.Push(nullptr);
  EXPECT_TRUE(list.Empty());
  list.Push(std::make_unique<int>(1));
  EXPECT_THROW(list.Push(std::make_unique<int>(2)), EFIFOList);
  TIntList empty(0, 4, 2);
  empty.Push(std::make_unique<int>(3));
  EXPECT_EQ(empty.Capacity, 2);
  EXPECT_EQ(*empty.Peek(), 3);
}

}  // namespace
