// The metrics page: the figures of the process and of every running
// virtual server in the text form that monitoring systems scrape (one
// "# HELP" and one "# TYPE" line per family, then one sample per line,
// labelled by the server's id and port). TWebInterface serves it at
// /metrics to a scraper that presents the configured token; this file only
// builds the text and knows nothing of HTTP.
//
// Counters come from TServerTotals (server/ServerAccess.h), which never go
// back for one server id while the process runs; gauges are read at the
// moment of the scrape.
// Thread-safety: free functions without shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerAccess.h"

inline constexpr const char* kMetricsPath = "/metrics";
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4";

// What the scrape shows of the process as a whole. The web interface counts
// its sessions and reads the memory itself; the uptime, start time, version
// and the query's connections belong to start-up and the query, which hand
// them in through TWebInterfaceConfig::ProcessFigures.
struct TProcessFigures {
  double UptimeSeconds = 0;
  uint64_t ResidentBytes = 0;
  uint64_t WebSessions = 0;
  uint64_t QueryConnections = 0;
  double StartTimeSeconds = 0;  // when the process started, seconds since 1970 (UTC)
  std::string Version;          // the build's version text, "2.0.18.25"
  uint64_t LogLinesLost = 0;    // log lines the disk refused (common/Log.h)
};

// The page: the process's families, then the servers' (each family once,
// with one sample per server in the order given).
std::string MetricsText(const std::vector<TServerSnapshot>& servers, const TProcessFigures& process);
// A label value as the text form carries it: backslash, double quote and
// line feed escaped, and bytes that are no UTF-8 replaced by "?" (server
// ids are single-byte text; one stray byte must not spoil the whole scrape).
std::string MetricsLabelValue(std::string_view value);
// The process's resident memory in bytes, 0 when the system does not say.
uint64_t ResidentMemoryBytes();
// Whether `given` equals `secret`, taking the same time whatever the first
// difference (the time depends only on the length of `given`). An empty
// secret matches nothing.
bool SameSecret(std::string_view given, std::string_view secret);
