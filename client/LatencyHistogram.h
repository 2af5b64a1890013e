// TLatencyHistogram: one-way latencies in whole microseconds, counted in
// 1 µs buckets up to a limit (longer ones in an overflow count, the maximum
// kept exactly), so that the load tool can record every delivery without
// allocating and merge its threads' figures at the end.
//
// Thread-safety: none; each thread keeps its own and Merge() joins them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

class TLatencyHistogram {
 public:
  explicit TLatencyHistogram(uint32_t limitUs = 200000) : buckets_(limitUs, 0) {}

  void Add(int64_t us) {
    if (us < 0) us = 0;  // clocks of one host; a negative reading is rounding
    ++count_;
    max_ = std::max<uint64_t>(max_, static_cast<uint64_t>(us));
    if (static_cast<uint64_t>(us) < buckets_.size()) ++buckets_[static_cast<size_t>(us)];
    else ++overflow_;
  }

  void Merge(const TLatencyHistogram& other) {
    if (other.buckets_.size() > buckets_.size()) buckets_.resize(other.buckets_.size(), 0);
    for (size_t i = 0; i < other.buckets_.size(); ++i) buckets_[i] += other.buckets_[i];
    count_ += other.count_;
    overflow_ += other.overflow_;
    max_ = std::max(max_, other.max_);
  }

  uint64_t Count() const { return count_; }
  uint64_t Max() const { return max_; }

  // The smallest latency that at least `fraction` (0..1) of the samples do
  // not exceed. Falls into the overflow: the maximum. No samples: 0.
  uint64_t Percentile(double fraction) const {
    if (count_ == 0) return 0;
    fraction = std::clamp(fraction, 0.0, 1.0);
    uint64_t rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(count_)));
    rank = std::clamp<uint64_t>(rank, 1, count_);
    uint64_t seen = 0;
    for (size_t i = 0; i < buckets_.size(); ++i) {
      seen += buckets_[i];
      if (seen >= rank) return i;
    }
    return max_;
  }

 private:
  std::vector<uint32_t> buckets_;
  uint64_t count_ = 0;
  uint64_t overflow_ = 0;
  uint64_t max_ = 0;
};
