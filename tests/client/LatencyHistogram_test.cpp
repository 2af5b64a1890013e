// The load tool's latency figures: percentiles by rank, the overflow past
// the bucket range, and threads' histograms merged.
#include "client/LatencyHistogram.h"

#include <gtest/gtest.h>

namespace {

TEST(LatencyHistogramTest, PercentilesAreTheSampleAtTheirRank) {
  TLatencyHistogram h(1000);
  EXPECT_EQ(h.Percentile(0.5), 0u);  // no samples
  for (int us = 1; us <= 100; ++us) h.Add(us);
  EXPECT_EQ(h.Count(), 100u);
  EXPECT_EQ(h.Percentile(0.5), 50u);
  EXPECT_EQ(h.Percentile(0.99), 99u);
  EXPECT_EQ(h.Percentile(0.991), 100u);
  EXPECT_EQ(h.Percentile(0.0), 1u);
  EXPECT_EQ(h.Percentile(1.0), 100u);
  h.Add(-3);  // a rounding artefact counts as 0
  EXPECT_EQ(h.Percentile(0.0), 0u);
}

TEST(LatencyHistogramTest, OverflowAndMergeKeepTheMaximumExact) {
  TLatencyHistogram a(100), b(100);
  for (int i = 0; i < 98; ++i) a.Add(10);
  a.Add(5000);
  b.Add(20);
  b.Add(123456);
  a.Merge(b);
  EXPECT_EQ(a.Count(), 101u);
  EXPECT_EQ(a.Max(), 123456u);
  EXPECT_EQ(a.Percentile(0.5), 10u);
  EXPECT_EQ(a.Percentile(0.98), 20u);
  // Ranks that fall among the samples past the buckets report the maximum.
  EXPECT_EQ(a.Percentile(0.999), 123456u);
}

}  // namespace
