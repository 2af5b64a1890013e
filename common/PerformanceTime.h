// Millisecond stopwatches for retransmission intervals, time-outs and
// round-trip times. Every reading is checked against a validity window, so a
// clock that jumps (or a time of day that passes midnight) yields a defined
// answer instead of a huge or negative interval.
//
// Thread-safety: none; a stopwatch shared between threads is guarded by its
// owner's lock. Reading one is a clock read and a few float operations, no
// allocation.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "common/Clock.h"

class EPerformanceTime : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TPerformanceTime {
 public:
  virtual ~TPerformanceTime() = default;
  // True when more than `interval` ms have passed. An invalid reading
  // (outside 0..maxValid) restarts and gives false when `restartIfInvalid`,
  // else gives true.
  virtual bool Expired(int32_t interval, int32_t maxValid, bool restartIfInvalid) = 0;
  // Milliseconds since Start, truncated. Invalid: restart and 0, or -1.
  virtual int32_t Elapsed(int32_t maxValid, bool restartIfInvalid) = 0;
  // Milliseconds from this stopwatch's reference point to `later`'s. Invalid:
  // this stopwatch restarts and the result is 0. `later` must be of the same
  // class (EPerformanceTime otherwise).
  virtual int32_t ElapsedTo(int32_t maxValid, const TPerformanceTime& later) = 0;
  // Copies the reference point of a stopwatch of the same class.
  virtual void Assign(const TPerformanceTime& other) = 0;
  virtual void Start() = 0;
};

// Time-of-day stopwatch: the fallback when no monotonic counter exists.
class TDefaultPerformanceTime final : public TPerformanceTime {
 public:
  explicit TDefaultPerformanceTime(TClock* clock = nullptr);
  bool Expired(int32_t interval, int32_t maxValid, bool restartIfInvalid) override;
  int32_t Elapsed(int32_t maxValid, bool restartIfInvalid) override;
  int32_t ElapsedTo(int32_t maxValid, const TPerformanceTime& later) override;
  void Assign(const TPerformanceTime& other) override;
  void Start() override;
  double StartTimeOfDay = 0;

 private:
  double Now() const;
  TClock* clock_;
};

// Counter stopwatch on the monotonic clock. Final and small, so connections
// may hold it by value and the compiler can drop the virtual calls.
class THighPerformanceTime final : public TPerformanceTime {
 public:
  explicit THighPerformanceTime(TClock* clock = nullptr);
  bool Expired(int32_t interval, int32_t maxValid, bool restartIfInvalid) override;
  int32_t Elapsed(int32_t maxValid, bool restartIfInvalid) override;
  int32_t ElapsedTo(int32_t maxValid, const TPerformanceTime& later) override;
  void Assign(const TPerformanceTime& other) override;
  void Start() override;
  int64_t StartCount = 0;
  int64_t Frequency = 1;

 private:
  double Since(int64_t countNow, int64_t frequency) const;
  TClock* clock_;
};

// True when the clock offers a monotonic counter (always on Linux).
bool HighResolutionAvailable(TClock* clock = nullptr);

// A started stopwatch of the best class the clock supports; the caller owns it.
std::unique_ptr<TPerformanceTime> CreatePerformanceTime(TClock* clock = nullptr);
