// Line charts drawn by the server as inline SVG, so that the overview page
// shows the last hour of a server without loading anything from elsewhere
// and without script. The web interface renders the players-online and
// traffic charts from TTrafficSampler's samples (server/TrafficHistory.h).
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TChartSeries {
  std::string Name;      // shown in the legend
  std::string CssClass;  // the line's class: its colour comes from the stylesheet
  std::vector<double> Values;
};

struct TChart {
  std::string Id;     // the svg element's id
  std::string Title;  // read out by screen readers, shown as a tooltip
  int64_t SpanSec = 3600;
  // Age of each point in seconds (0: now), one per value of each series,
  // oldest first.
  std::vector<int64_t> AgeSec;
  std::vector<TChartSeries> Series;
  // The text of a value on the vertical axis.
  std::function<std::string(double)> Label = [](double v) { return std::to_string(static_cast<int64_t>(v)); };
};

// The smallest of 1, 2, 5 times a power of ten that is at least `value`
// (1 for nothing above zero): the top of the vertical axis.
double ChartCeiling(double value);
// "<svg ...>...</svg>": value lines at 0, half and the ceiling, time ticks,
// one polyline per series, and a legend above the plot; a note instead of lines while there are no points.
std::string RenderSvgChart(const TChart& chart);
// A byte rate as "12.5 kB/s" and a byte count as "3.2 MB" (powers of 1000).
std::string FormatByteRate(double bytesPerSecond);
std::string FormatBytes(uint64_t bytes);
// The seconds between the time axis's ticks: 10 minutes up to an hour,
// beyond that a multiple of 15 minutes that keeps to eight ticks or fewer.
int64_t TimeTickStep(int64_t spanSec);

struct TTrafficSample;
// The overview's two charts of a server's last hour, ending at `nowSec` (the
// samples' clock): players online (id "chart-players") and bytes per second
// received and sent (id "chart-traffic").
struct TLoadCharts {
  std::string Players, Traffic;
};
TLoadCharts RenderLoadCharts(const std::vector<TTrafficSample>& samples, int64_t nowSec);
