#include "common/PerformanceTime.h"

#include <cmath>

namespace {

inline bool Valid(double e, int32_t maxValid) { return e >= 0.0 && e <= static_cast<double>(maxValid); }

inline int32_t Truncate(double e) { return static_cast<int32_t>(e); }

}  // namespace

// ---- TDefaultPerformanceTime ------------------------------------------------

TDefaultPerformanceTime::TDefaultPerformanceTime(TClock* clock) : clock_(clock ? clock : SystemClock()) {
  Start();
}

double TDefaultPerformanceTime::Now() const { return clock_->TimeOfDay(); }

void TDefaultPerformanceTime::Start() { StartTimeOfDay = Now(); }

void TDefaultPerformanceTime::Assign(const TPerformanceTime& other) {
  auto* o = dynamic_cast<const TDefaultPerformanceTime*>(&other);
  if (!o) throw EPerformanceTime("Assign: stopwatch of another class");
  StartTimeOfDay = o->StartTimeOfDay;
}

int32_t TDefaultPerformanceTime::Elapsed(int32_t maxValid, bool restartIfInvalid) {
  const double e = (Now() - StartTimeOfDay) * 24.0 * 60.0 * 60.0 * 1000.0;
  if (Valid(e, maxValid)) return Truncate(e);
  if (!restartIfInvalid) return -1;
  Start();
  return 0;
}

int32_t TDefaultPerformanceTime::ElapsedTo(int32_t maxValid, const TPerformanceTime& later) {
  auto* o = dynamic_cast<const TDefaultPerformanceTime*>(&later);
  if (!o) throw EPerformanceTime("ElapsedTo: stopwatch of another class");
  const double e = (o->StartTimeOfDay - StartTimeOfDay) * 86400000.0;
  if (Valid(e, maxValid)) return Truncate(e);
  Start();
  return 0;
}

bool TDefaultPerformanceTime::Expired(int32_t interval, int32_t maxValid, bool restartIfInvalid) {
  const double e = (Now() - StartTimeOfDay) * 86400000.0;
  if (Valid(e, maxValid)) return e > static_cast<double>(interval);
  if (!restartIfInvalid) return true;
  Start();
  return false;
}

// ---- THighPerformanceTime ---------------------------------------------------

THighPerformanceTime::THighPerformanceTime(TClock* clock) : clock_(clock ? clock : SystemClock()) { Start(); }

void THighPerformanceTime::Start() {
  StartCount = clock_->Counter();
  Frequency = clock_->Frequency();
}

void THighPerformanceTime::Assign(const TPerformanceTime& other) {
  auto* o = dynamic_cast<const THighPerformanceTime*>(&other);
  if (!o) throw EPerformanceTime("Assign: stopwatch of another class");
  StartCount = o->StartCount;
  Frequency = o->Frequency;
}

double THighPerformanceTime::Since(int64_t countNow, int64_t frequency) const {
  int64_t product;
  if (__builtin_mul_overflow(countNow - StartCount, int64_t{1000}, &product))
    throw EPerformanceTime("THighPerformanceTime: counter overflow");
  return static_cast<double>(product) / static_cast<double>(frequency);
}

int32_t THighPerformanceTime::Elapsed(int32_t maxValid, bool restartIfInvalid) {
  const double e = Since(clock_->Counter(), clock_->Frequency());
  if (Valid(e, maxValid)) return Truncate(e);
  if (!restartIfInvalid) return -1;
  Start();
  return 0;
}

int32_t THighPerformanceTime::ElapsedTo(int32_t maxValid, const TPerformanceTime& later) {
  auto* o = dynamic_cast<const THighPerformanceTime*>(&later);
  if (!o) throw EPerformanceTime("ElapsedTo: stopwatch of another class");
  const double e = Since(o->StartCount, o->Frequency);
  if (Valid(e, maxValid)) return Truncate(e);
  Start();
  return 0;
}

bool THighPerformanceTime::Expired(int32_t interval, int32_t maxValid, bool restartIfInvalid) {
  const double e = Since(clock_->Counter(), clock_->Frequency());
  if (Valid(e, maxValid)) return e > static_cast<double>(interval);
  if (!restartIfInvalid) return true;
  Start();
  return false;
}

bool HighResolutionAvailable(TClock* clock) {
  TClock* c = clock ? clock : SystemClock();
  return c->Frequency() > 0;
}

std::unique_ptr<TPerformanceTime> CreatePerformanceTime(TClock* clock) {
  if (HighResolutionAvailable(clock)) return std::make_unique<THighPerformanceTime>(clock);
  return std::make_unique<TDefaultPerformanceTime>(clock);
}
