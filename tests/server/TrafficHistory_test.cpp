#include "server/TrafficHistory.h"

#include <gtest/gtest.h>

#include "support/ServerFixture.h"

namespace {

TBufferStatistics Totals(int64_t in, int64_t out) {
  TBufferStatistics t;
  t.BytesReceived = in;
  t.BytesSent = out;
  return t;
}

}  // namespace

TEST(TrafficHistory, KeepsIntervalDeltasOfTheLastHourInOrder) {
  TTrafficHistory h;
  h.Record(100, 1, Totals(1000, 5000));
  EXPECT_TRUE(h.Samples().empty()) << "the first reading only sets the base";
  h.Record(110, 2, Totals(1600, 5100));
  h.Record(120, 3, Totals(200, 300));  // a restarted server's fresh totals
  auto s = h.Samples();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].Second, 110);
  EXPECT_EQ(s[0].Players, 2u);
  EXPECT_EQ(s[0].BytesIn, 600);
  EXPECT_EQ(s[0].BytesOut, 100);
  EXPECT_EQ(s[1].BytesIn, 200);
  EXPECT_EQ(s[1].BytesOut, 300);

  // Past a full ring the oldest go; a gap longer than the hour drops the rest.
  for (int64_t i = 1; i <= 400; ++i) h.Record(120 + 10 * i, static_cast<uint32_t>(i), Totals(0, 0));
  s = h.Samples();
  ASSERT_EQ(s.size(), TTrafficHistory::kSamples);
  EXPECT_EQ(s.front().Players, 41u);
  EXPECT_EQ(s.back().Players, 400u);
  h.Record(120 + 4000 + 3500, 7, Totals(0, 0));
  s = h.Samples();
  ASSERT_FALSE(s.empty());
  EXPECT_GT(s.front().Second, 120 + 4000 + 3500 - 3600);
  EXPECT_EQ(s.back().Players, 7u);
}

TEST(TrafficSampler, SamplesRunningServersAndForgetsStoppedOnes) {
  TServerFixture servers;
  ASSERT_TRUE(servers.Start());
  TTrafficSampler sampler;
  sampler.SampleNow(10);
  auto player = servers.Connect("sampled");
  ASSERT_TRUE(player);
  sampler.SampleNow(20);
  auto h = sampler.History(TServerFixture::kDefaultID);
  ASSERT_EQ(h.size(), 1u);
  EXPECT_EQ(h[0].Players, 1u);
  EXPECT_GT(h[0].BytesIn, 0) << "the login came in between the samples";
  EXPECT_GT(h[0].BytesOut, 0);
  servers.Stop();
  sampler.SampleNow(30);
  EXPECT_TRUE(sampler.History(TServerFixture::kDefaultID).empty());
}
