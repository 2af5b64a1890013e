// TLogRateLimiter: lets through at most a few lines of one kind per time
// window and counts the rest, so that a stranger who sends datagrams cannot
// fill the disk through the log. The packet buffer keeps one per virtual
// server for its "playerid not found" line.
//
// Thread-safety: none; the owner serialises calls (the packet buffer's lock).
// It only decides: the owner writes the lines, after releasing its lock.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "common/Log.h"

class TLogRateLimiter {
 public:
  explicit TLogRateLimiter(TClock* clock, uint32_t linesPerWindow = 5, uint32_t windowMs = 1000)
      : clock_(clock ? clock : SystemClock()), lines_(linesPerWindow), windowMs_(windowMs) {}

  // One more line wants out. Returns whether it may be written; when a new
  // window begins after lines were held back, `suppressed` receives their
  // number (the caller reports it before the line), otherwise 0.
  bool Allow(uint32_t& suppressed) {
    suppressed = 0;
    const int64_t now = clock_->Counter();
    const int64_t window = static_cast<int64_t>(windowMs_) * clock_->Frequency() / 1000;
    if (!started_ || now - windowStart_ >= window || now < windowStart_) {
      started_ = true;
      windowStart_ = now;
      written_ = 0;
      suppressed = suppressed_;
      suppressed_ = 0;
    }
    if (written_ < lines_) {
      ++written_;
      return true;
    }
    ++suppressed_;
    return false;
  }

  // The lines held back so far, which the caller reports at its end.
  uint32_t TakeSuppressed() {
    const uint32_t n = suppressed_;
    suppressed_ = 0;
    return n;
  }

 private:
  TClock* clock_;
  uint32_t lines_;
  uint32_t windowMs_;
  bool started_ = false;
  int64_t windowStart_ = 0;
  uint32_t written_ = 0;
  uint32_t suppressed_ = 0;
};

// TLockedLogRateLimiter: one limiter for a line that any thread may write
// (the web interface's request line, one thread per connection).
class TLockedLogRateLimiter {
 public:
  explicit TLockedLogRateLimiter(TClock* clock, uint32_t linesPerWindow = 5, uint32_t windowMs = 1000)
      : limiter_(clock, linesPerWindow, windowMs) {}

  bool Allow(uint32_t& suppressed) {
    std::lock_guard<std::mutex> lock(mutex_);
    return limiter_.Allow(suppressed);
  }

 private:
  std::mutex mutex_;
  TLogRateLimiter limiter_;
};
