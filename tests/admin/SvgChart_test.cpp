#include "admin/SvgChart.h"

#include <gtest/gtest.h>

#include "server/TrafficHistory.h"

TEST(SvgChart, CeilingAndRates) {
  EXPECT_EQ(ChartCeiling(0), 1);
  EXPECT_EQ(ChartCeiling(1), 1);
  EXPECT_EQ(ChartCeiling(3), 5);
  EXPECT_EQ(ChartCeiling(12), 20);
  EXPECT_EQ(ChartCeiling(50), 50);
  EXPECT_EQ(ChartCeiling(51), 100);
  EXPECT_EQ(FormatByteRate(999), "999 B/s");
  EXPECT_EQ(FormatByteRate(1500), "1.5 kB/s");
  EXPECT_EQ(FormatByteRate(25000000), "25 MB/s");
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1234567), "1.2 MB");
  EXPECT_EQ(FormatBytes(987654321098), "988 GB");
  EXPECT_EQ(TimeTickStep(3600), 600);
  EXPECT_EQ(TimeTickStep(7200), 900);
  EXPECT_EQ(TimeTickStep(86400), 10800) << "a day in eight ticks of 3 hours";
}

TEST(SvgChart, PlotsPointsByAgeAndScalesToTheCeiling) {
  TChart c;
  c.Id = "players";
  c.Title = "Players <online>";
  c.AgeSec = {3600, 1800, 0};
  c.Series = {{"players", "line-a", {0, 2, 4}}};
  const std::string svg = RenderSvgChart(c);
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find("Players &lt;online&gt;"), std::string::npos);
  // The plot is 584 wide from x 8 and 136 high from y 34; the axis tops out
  // at 5, so the newest point (4) sits at four fifths of the height.
  EXPECT_NE(svg.find("points=\"8.0,170.0 300.0,115.6 592.0,61.2\""), std::string::npos) << svg;
  EXPECT_NE(svg.find(">5</text>"), std::string::npos) << "the axis top is the ceiling";
  // A tick every 10 minutes of the hour, the oldest with its unit.
  for (const char* tick : {">-60 min<", ">-50<", ">-40<", ">-30<", ">-20<", ">-10<", ">now<"})
    EXPECT_NE(svg.find(tick), std::string::npos) << tick;
  // The legend's name is plain text; only its swatch takes the line's class.
  EXPECT_NE(svg.find("<text class=\"legend\""), std::string::npos);
  EXPECT_NE(svg.find("<line class=\"swatch line-a\""), std::string::npos);
  EXPECT_EQ(svg.find("preserveAspectRatio=\"none\""), std::string::npos) << "text must not be squeezed";
  EXPECT_NE(svg.find("data-last=\"4\""), std::string::npos);
  EXPECT_EQ(svg.find("no samples yet"), std::string::npos);

  c.AgeSec.clear();
  EXPECT_NE(RenderSvgChart(c).find("no samples yet"), std::string::npos);
}

TEST(SvgChart, LoadChartsShowPlayersAndByteRatesOfTheSamples) {
  const std::vector<TTrafficSample> samples = {{100, 2, 1000, 3000}, {110, 3, 2000, 500}};
  const TLoadCharts c = RenderLoadCharts(samples, 110);
  EXPECT_NE(c.Players.find("id=\"chart-players\""), std::string::npos);
  EXPECT_NE(c.Players.find("data-last=\"3\""), std::string::npos);
  EXPECT_NE(c.Traffic.find("data-last=\"200\""), std::string::npos) << "2000 bytes in 10 s";
  EXPECT_NE(c.Traffic.find("data-last=\"50\""), std::string::npos);
  EXPECT_NE(c.Traffic.find("500 B/s"), std::string::npos) << "the axis tops out at the ceiling above 300 B/s";
  // A wide label starts inside the drawing, where it cannot be cut off.
  const TLoadCharts wide = RenderLoadCharts({{110, 1, 1000000, 0}}, 110);
  EXPECT_NE(wide.Traffic.find("x=\"10\" y=\"30.0\">100 kB/s</text>"), std::string::npos) << wide.Traffic;
}
