#include "admin/SvgChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "admin/WebText.h"
#include "server/ServerAccess.h"

namespace {

constexpr int kWidth = 600, kHeight = 200;
// Room for the legend above the plot and the time axis below it; the value
// labels sit inside the plot.
constexpr int kLeft = 8, kRight = 8, kTop = 34, kBottom = 30;
// The room a legend character takes at the largest text size the
// stylesheet gives the chart.
constexpr int kLegendCharW = 12;

// A count as the axis shows it: whole numbers plain, halves with one digit.
std::string Count(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

}  // namespace

int64_t TimeTickStep(int64_t spanSec) {
  constexpr int64_t kTen = 600, kFifteen = 900;
  if (spanSec <= 6 * kTen) return kTen;
  // Longer spans: a multiple of 15 minutes, so no more than eight ticks.
  const int64_t fifteens = (spanSec + 8 * kFifteen - 1) / (8 * kFifteen);
  return fifteens * kFifteen;
}

std::string FormatBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1000 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, value < 10 && unit > 0 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
  return buf;
}

double ChartCeiling(double value) {
  if (!(value > 0) || !std::isfinite(value)) return 1;
  double step = std::pow(10.0, std::floor(std::log10(value)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * step >= value * (1 - 1e-12)) return m * step;
  return 10 * step;
}

std::string FormatByteRate(double bytesPerSecond) {
  static const char* const kUnits[] = {"B/s", "kB/s", "MB/s", "GB/s"};
  size_t unit = 0;
  while (bytesPerSecond >= 1000 && unit + 1 < std::size(kUnits)) {
    bytesPerSecond /= 1000;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, bytesPerSecond < 10 && unit > 0 ? "%.1f %s" : "%.0f %s", bytesPerSecond,
                kUnits[unit]);
  return buf;
}

std::string RenderSvgChart(const TChart& chart) {
  const double plotW = kWidth - kLeft - kRight, plotH = kHeight - kTop - kBottom;
  double top = 0;
  for (const TChartSeries& s : chart.Series)
    for (double v : s.Values) top = std::max(top, v);
  top = ChartCeiling(top);
  const double span = chart.SpanSec > 0 ? static_cast<double>(chart.SpanSec) : 1;
  // The drawing keeps its proportions at any width, so its text is never
  // squeezed; the stylesheet enlarges the text on a narrow screen.
  std::string svg = "<svg class=\"chart\" id=\"" + HtmlEscape(chart.Id) + "\" viewBox=\"0 0 " +
                    std::to_string(kWidth) + " " + std::to_string(kHeight) + "\" role=\"img\" aria-label=\"" +
                    HtmlEscape(chart.Title) + "\"><title>" + HtmlEscape(chart.Title) + "</title>";
  // The values stand just above their grid lines, inside the plot and
  // left-aligned, so a long one ("100 kB/s") runs into the plot rather than
  // off the drawing's left edge.
  for (int i = 0; i <= 2; ++i) {
    const double y = kTop + plotH * (1 - i / 2.0);
    svg += "<line class=\"grid\" x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kWidth - kRight) +
           "\" y1=\"" + Number(y) + "\" y2=\"" + Number(y) + "\"/>";
    svg += "<text class=\"axis\" x=\"" + std::to_string(kLeft + 2) + "\" y=\"" + Number(y - 4) + "\">" +
             HtmlEscape(chart.Label(top * i / 2.0)) + "</text>";
  }
  const std::string base = std::to_string(kHeight - 6);
  const int64_t step = TimeTickStep(chart.SpanSec);
  for (int64_t age = chart.SpanSec; age >= 0; age -= step) {
    const double x = kLeft + plotW * (1 - static_cast<double>(age) / span);
    const char* anchor = age == chart.SpanSec ? "start" : age == 0 ? "end" : "middle";
    svg += "<line class=\"tick\" x1=\"" + Number(x) + "\" x2=\"" + Number(x) + "\" y1=\"" +
           Number(kTop + plotH) + "\" y2=\"" + Number(kTop + plotH + 4) + "\"/>";
    svg += "<text class=\"axis\" x=\"" + Number(x) + "\" y=\"" + base + "\" text-anchor=\"" + anchor + "\">" +
           (age == 0 ? std::string("now")
                     : "-" + std::to_string(age / 60) + (age == chart.SpanSec ? " min" : "")) +
           "</text>";
    if (age == 0) break;
    if (age < step) age = step;  // the last tick is now, whatever the span
  }
  bool anyPoint = false;
  for (const TChartSeries& s : chart.Series) {
    std::string points;
    const size_t n = std::min(s.Values.size(), chart.AgeSec.size());
    for (size_t i = 0; i < n; ++i) {
      const double age = std::clamp(static_cast<double>(chart.AgeSec[i]), 0.0, span);
      const double x = kLeft + plotW * (1 - age / span);
      const double y = kTop + plotH * (1 - std::clamp(s.Values[i], 0.0, top) / top);
      points += (points.empty() ? "" : " ") + Number(x) + "," + Number(y);
    }
    if (n == 0) continue;
    anyPoint = true;
    // The newest value, for a reader (or a test) that wants the figure itself.
    char last[32];
    std::snprintf(last, sizeof last, "%g", s.Values[n - 1]);
    svg += "<polyline class=\"" + HtmlEscape(s.CssClass) + "\" data-last=\"" + last + "\" points=\"" + points +
           "\"/>";
  }
  if (!anyPoint)
    svg += "<text class=\"empty\" x=\"" + std::to_string(kLeft + static_cast<int>(plotW) / 2) + "\" y=\"" +
           std::to_string(kTop + static_cast<int>(plotH) / 2) +
           "\" text-anchor=\"middle\">no samples yet: one is taken every 10 seconds</text>";
  // The legend, right-aligned above the plot: a stroke of each line's colour
  // beside a plain name, the name itself never drawn with the line's stroke.
  int legendX = kWidth - kRight;
  for (auto s = chart.Series.rbegin(); s != chart.Series.rend(); ++s) {
    const int textW = static_cast<int>(s->Name.size()) * kLegendCharW;
    svg += "<text class=\"legend\" x=\"" + std::to_string(legendX) + "\" y=\"" + std::to_string(kTop - 10) +
           "\" text-anchor=\"end\">" + HtmlEscape(s->Name) + "</text>";
    legendX -= textW + 6;
    svg += "<line class=\"swatch " + HtmlEscape(s->CssClass) + "\" x1=\"" + std::to_string(legendX - 18) +
           "\" x2=\"" + std::to_string(legendX) + "\" y1=\"" + std::to_string(kTop - 15) + "\" y2=\"" +
           std::to_string(kTop - 15) + "\"/>";
    legendX -= 18 + 16;
  }
  return svg + "</svg>";
}

TLoadCharts RenderLoadCharts(const std::vector<TTrafficSample>& samples, int64_t nowSec) {
  TChart players, traffic;
  players.Id = "chart-players";
  players.Title = "Players online in the last hour";
  players.Label = Count;
  traffic.Id = "chart-traffic";
  traffic.Title = "Traffic in and out in the last hour, bytes per second";
  traffic.Label = FormatByteRate;
  TChartSeries online{"players online", "line-a", {}}, in{"in", "line-a", {}}, out{"out", "line-b", {}};
  for (const TTrafficSample& s : samples) {
    const int64_t age = nowSec - s.Second;
    players.AgeSec.push_back(age);
    traffic.AgeSec.push_back(age);
    online.Values.push_back(s.Players);
    in.Values.push_back(static_cast<double>(s.BytesIn) / TTrafficHistory::kIntervalSec);
    out.Values.push_back(static_cast<double>(s.BytesOut) / TTrafficHistory::kIntervalSec);
  }
  players.Series = {std::move(online)};
  traffic.Series = {std::move(in), std::move(out)};
  return {RenderSvgChart(players), RenderSvgChart(traffic)};
}
