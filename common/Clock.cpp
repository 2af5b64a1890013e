#include "common/Clock.h"

#include <cmath>
#include <ctime>

namespace {

class TSystemClock final : public TClock {
 public:
  int64_t Counter() const override {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
  }
  int64_t Frequency() const override { return 1000000; }
  TDateTime Now() const override {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    tm local;
    localtime_r(&secs, &local);
    return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
  }
};

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

constexpr int64_t kEpochOffsetDays = 25569;  // 1899-12-30 to 1970-01-01

}  // namespace

double TClock::TimeOfDay() const {
  const TDateTime now = Now();
  return now - std::floor(now);
}

TClock* SystemClock() {
  static TSystemClock clock;
  return &clock;
}

TDateTime NowDateTime() { return SystemClock()->Now(); }

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms) {
  const int64_t days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                       kEpochOffsetDays;
  const double frac = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + ms) / 86400000.0;
  return static_cast<double>(days) + frac;
}

int64_t DateTimeToMilliseconds(TDateTime value) {
  // The fraction of a negative day count still counts forward within that day.
  const double days = std::floor(value);
  const double frac = value - days;
  return static_cast<int64_t>(days) * 86400000 + static_cast<int64_t>(std::llround(frac * 86400000.0));
}

TDateParts DecodeDateTime(TDateTime value) {
  int64_t total = DateTimeToMilliseconds(value);
  int64_t days = total / 86400000;
  int64_t msOfDay = total % 86400000;
  if (msOfDay < 0) {
    msOfDay += 86400000;
    --days;
  }
  // civil_from_days
  int64_t z = days - kEpochOffsetDays + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  TDateParts p;
  p.Year = static_cast<int>(y + (m <= 2));
  p.Month = static_cast<int>(m);
  p.Day = static_cast<int>(d);
  p.Hour = static_cast<int>(msOfDay / 3600000);
  p.Minute = static_cast<int>(msOfDay / 60000 % 60);
  p.Second = static_cast<int>(msOfDay / 1000 % 60);
  p.Millisecond = static_cast<int>(msOfDay % 1000);
  return p;
}

uint32_t SecondsBetween(TDateTime earlier, TDateTime later) {
  const int64_t diff = DateTimeToMilliseconds(later) - DateTimeToMilliseconds(earlier);
  if (diff < 0) return 0;
  // Round half to even on whole milliseconds.
  int64_t q = diff / 1000;
  const int64_t r = diff % 1000;
  if (r > 500 || (r == 500 && (q & 1))) ++q;
  if (q > static_cast<int64_t>(UINT32_MAX)) return 0;
  return static_cast<uint32_t>(q);
}
