#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/Clock.h"
#include "common/PerformanceTime.h"
#include "common/WindowsEvent.h"

namespace {

TEST(ClockTest, SecondsBetweenRoundsHalvesToEven) {
  const TDateTime t0 = EncodeDateTime(2026, 12, 7, 21, 51, 23, 0);
  const double ms = 1.0 / 86400000.0;
  EXPECT_EQ(SecondsBetween(t0, t0 + 1500 * ms), 2u);
  EXPECT_EQ(SecondsBetween(t0, t0 + 2500 * ms), 2u);
  EXPECT_EQ(SecondsBetween(t0, t0 + 2501 * ms), 3u);
  EXPECT_EQ(SecondsBetween(t0, t0 + 499 * ms), 0u);
  EXPECT_EQ(SecondsBetween(t0 + 1.0, t0), 0u);                 // later before earlier
  EXPECT_EQ(SecondsBetween(t0 - 60000.0, t0), 0u);             // beyond 32 bits
  EXPECT_EQ(SecondsBetween(t0, t0 + 1.0), 86400u);
}

TEST(StopwatchTest, ExpiredAndElapsedInsideAndOutsideTheWindow) {
  TManualClock clock;
  THighPerformanceTime sw(&clock);
  clock.AdvanceMs(500);
  EXPECT_FALSE(sw.Expired(1000, 5000, false));
  clock.AdvanceMs(1000);
  EXPECT_TRUE(sw.Expired(1000, 5000, false));
  clock.AdvanceMs(4500);  // 6000 ms: past the window
  EXPECT_TRUE(sw.Expired(1000, 5000, false));
  EXPECT_EQ(sw.Elapsed(5000, false), -1);
  EXPECT_FALSE(sw.Expired(1000, 5000, true));  // restarts
  EXPECT_EQ(sw.Elapsed(5000, false), 0);
}

TEST(StopwatchTest, ElapsedTruncatesAndRestartsPastTheMaximum) {
  TManualClock clock;
  THighPerformanceTime sw(&clock);
  clock.AdvanceMs(1999.9);
  EXPECT_EQ(sw.Elapsed(120000, true), 1999);
  clock.AdvanceMs(150000 - 1999.9);
  EXPECT_EQ(sw.Elapsed(120000, true), 0);
  clock.AdvanceMs(250);
  EXPECT_EQ(sw.Elapsed(120000, true), 250);  // measured from the restart
}

TEST(StopwatchTest, ElapsedToAndAssign) {
  TManualClock clock;
  THighPerformanceTime early(&clock);
  clock.AdvanceMs(300);
  THighPerformanceTime late(&clock);
  EXPECT_EQ(early.ElapsedTo(1000, late), 300);
  clock.AdvanceMs(50);
  late.Start();
  THighPerformanceTime copy(&clock);
  copy.Assign(early);
  EXPECT_EQ(copy.ElapsedTo(1000, late), 350);
  // A later stopwatch whose reference point is earlier restarts this one.
  clock.AdvanceMs(10);
  THighPerformanceTime newest(&clock);
  EXPECT_EQ(newest.ElapsedTo(1000, early), 0);
  EXPECT_EQ(newest.StartCount, clock.Counter());
  TDefaultPerformanceTime other(&clock);
  EXPECT_THROW(copy.Assign(other), EPerformanceTime);
}

TEST(StopwatchTest, TimeOfDayStopwatchAcrossMidnight) {
  TManualClock clock(EncodeDateTime(2026, 12, 7, 23, 59, 59, 500));
  TDefaultPerformanceTime sw(&clock);
  clock.AdvanceMs(700);
  EXPECT_EQ(sw.Elapsed(3000, false), -1);
  EXPECT_TRUE(sw.Expired(1000, 5000, false));
  EXPECT_EQ(sw.Elapsed(120000, true), 0);  // restarted after midnight
  clock.AdvanceMs(40.5);  // time-of-day readings carry microsecond rounding
  EXPECT_EQ(sw.Elapsed(120000, true), 40);
}

TEST(StopwatchTest, FactoryPicksTheCounterStopwatch) {
  auto sw = CreatePerformanceTime();
  EXPECT_NE(dynamic_cast<THighPerformanceTime*>(sw.get()), nullptr);
  EXPECT_GE(sw->Elapsed(1000, false), 0);
}

TEST(EventTest, AutoResetAndPendingSignal) {
  TWindowsEvent ev;
  EXPECT_EQ(ev.WaitFor(0), 1);
  ev.SetEvent();
  EXPECT_EQ(ev.WaitFor(0), 0);
  EXPECT_EQ(ev.WaitFor(0), 1);  // reset itself
  ev.SetEvent();
  ev.ResetEvent();
  EXPECT_EQ(ev.WaitFor(0), 1);
}

TEST(EventTest, SignalWakesAWaitingThread) {
  TWindowsEvent ev;
  int result = -1;
  std::thread waiter([&] { result = ev.WaitFor(TWindowsEvent::INFINITE); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ev.SetEvent();
  waiter.join();
  EXPECT_EQ(result, 0);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(ev.WaitFor(30), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
}

}  // namespace
