// TClock: the one boundary through which the server reads time. Stopwatches,
// connections and the packet buffer take a TClock* so that tests can drive
// time by hand (TManualClock) instead of sleeping.
//
// Thread-safety: SystemClock() is safe from any thread. TManualClock is safe
// to read from many threads while one test thread advances it.
#pragma once

#include <atomic>
#include <cstdint>

// Day count since 30 December 1899; the fraction is the local time of day.
using TDateTime = double;

class TClock {
 public:
  virtual ~TClock() = default;
  // A monotonic counter and its counts per second.
  virtual int64_t Counter() const = 0;
  virtual int64_t Frequency() const = 0;
  // Local wall-clock time as a TDateTime.
  virtual TDateTime Now() const = 0;
  // Local time of day as a fraction of a day, 0 <= value < 1.
  double TimeOfDay() const;
};

// The process clock: CLOCK_MONOTONIC in microseconds, local time from the C library.
TClock* SystemClock();

// A clock that only moves when told to. Counter runs in microseconds.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(TDateTime start = 46000.5) : now_(start) {}
  int64_t Counter() const override { return micros_.load(std::memory_order_acquire); }
  int64_t Frequency() const override { return 1000000; }
  TDateTime Now() const override {
    return now_.load(std::memory_order_acquire) + static_cast<double>(Counter()) / 86400e6;
  }
  void AdvanceMs(double ms) {
    micros_.fetch_add(static_cast<int64_t>(ms * 1000.0), std::memory_order_acq_rel);
  }
  // Wall clock only (a clock adjustment): the monotonic counter is untouched.
  void SetNow(TDateTime when) {
    now_.store(when - static_cast<double>(Counter()) / 86400e6, std::memory_order_release);
  }

 private:
  std::atomic<int64_t> micros_{0};
  // Atomic too: a test sets the wall time while server threads read it.
  std::atomic<TDateTime> now_;
};

// Conversions used by timestamps in records and uptimes.
TDateTime NowDateTime();  // SystemClock()->Now()
// Whole milliseconds since 30 December 1899 (local time), rounded to nearest.
int64_t DateTimeToMilliseconds(TDateTime value);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms);
struct TDateParts {
  int Year, Month, Day, Hour, Minute, Second, Millisecond;
};
TDateParts DecodeDateTime(TDateTime value);
// Whole seconds from `earlier` to `later`, rounded half to even; 0 when
// negative or beyond 32 bits.
uint32_t SecondsBetween(TDateTime earlier, TDateTime later);
