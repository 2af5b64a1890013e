// The last hour of a virtual server's load, for the web interface's charts:
// one sample every 10 s of the players online and of the bytes received and
// sent since the sample before, kept in a fixed ring (360 samples, no
// allocation after construction).
//
// TTrafficSampler takes the samples on a thread of its own: every 10 s it
// walks ServerList and reads each running server's player count and its
// packet buffer's totals, which are atomics, so the voice path is never
// held up by a chart. The web interface owns the sampler and reads the
// histories; tests drive SampleNow with their own times.
//
// Thread-safety: TTrafficHistory and TTrafficSampler are safe from any
// thread. The sampler's own lock is taken after the ServerList lock and a
// server's HoldMachinery have been let go: it is never held around them.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/BufferStatistics.h"

struct TTrafficSample {
  int64_t Second = 0;      // monotonic time of the sample, in seconds
  uint32_t Players = 0;    // players online at that time
  int64_t BytesIn = 0;     // received since the sample before
  int64_t BytesOut = 0;    // sent since the sample before
};

// The samples' clock: monotonic seconds.
int64_t TrafficSecond();

class TTrafficHistory {
 public:
  static constexpr int64_t kIntervalSec = 10;
  static constexpr size_t kSamples = 360;  // one hour

  // Adds a sample from the totals read at `second`. The first call only
  // notes the totals (there is no interval yet); totals that went down (the
  // server restarted with a fresh buffer) count from zero.
  void Record(int64_t second, uint32_t players, const TBufferStatistics& totals);
  // The samples of the hour before the newest one, oldest first.
  std::vector<TTrafficSample> Samples() const;

 private:
  mutable std::mutex mutex_;
  std::array<TTrafficSample, kSamples> ring_{};
  size_t next_ = 0, count_ = 0;
  bool primed_ = false;
  int64_t lastIn_ = 0, lastOut_ = 0;
};

class TTrafficSampler {
 public:
  TTrafficSampler() = default;
  ~TTrafficSampler();  // stops the thread
  TTrafficSampler(const TTrafficSampler&) = delete;
  TTrafficSampler& operator=(const TTrafficSampler&) = delete;

  // Starts the thread: a sample of every running server now and then every
  // kIntervalSec seconds, timed by the monotonic clock.
  void Start();
  void Stop();
  // One round over the running servers, stamped `second`; the histories of
  // servers that are no longer running are dropped.
  void SampleNow(int64_t second);
  // The history of the server with this id; empty when it has none.
  std::vector<TTrafficSample> History(const std::string& serverId) const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
  std::map<std::string, TTrafficHistory> histories_;
};
