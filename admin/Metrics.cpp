#include "admin/Metrics.h"

#include <unistd.h>

#include <cstdio>

namespace {

// One family of a server's figures: how to read its value from the snapshot.
struct TServerMetric {
  const char* Name;
  const char* Type;
  const char* Help;
  uint64_t (*Value)(const TServerSnapshot&);
};

uint64_t NonNegative(int64_t value) { return value < 0 ? 0 : static_cast<uint64_t>(value); }

const TServerMetric kServerMetrics[] = {
    {"parleon_players_online", "gauge", "Players logged in to the virtual server.",
     [](const TServerSnapshot& s) { return NonNegative(s.Figures.CurrentUsers); }},
    {"parleon_channels", "gauge", "Channels of the virtual server.",
     [](const TServerSnapshot& s) { return NonNegative(s.Figures.CurrentChannels); }},
    {"parleon_datagrams_received_total", "counter", "UDP datagrams received, valid or not.",
     [](const TServerSnapshot& s) { return s.Totals.DatagramsReceived; }},
    {"parleon_received_bytes_total", "counter", "Bytes of the UDP datagrams received.",
     [](const TServerSnapshot& s) { return s.Totals.BytesReceived; }},
    {"parleon_datagrams_sent_total", "counter", "UDP datagrams sent.",
     [](const TServerSnapshot& s) { return s.Totals.DatagramsSent; }},
    {"parleon_sent_bytes_total", "counter", "Bytes of the UDP datagrams sent.",
     [](const TServerSnapshot& s) { return s.Totals.BytesSent; }},
    {"parleon_voice_frames_relayed_total", "counter", "Voice frames relayed to their recipients.",
     [](const TServerSnapshot& s) { return s.Totals.VoiceRelayed; }},
    {"parleon_stale_voice_dropped_total", "counter", "Voice frames dropped because they waited too long.",
     [](const TServerSnapshot& s) { return s.Totals.StaleVoiceDropped; }},
    {"parleon_sends_lost_total", "counter",
     "Packets and notices lost to a connection's full queue or a lack of memory instead of being queued.",
     [](const TServerSnapshot& s) { return s.Totals.SendsLost; }},
    {"parleon_command_resends_total", "counter", "Commands sent again for want of an acknowledgement.",
     [](const TServerSnapshot& s) { return s.Totals.Resends; }},
    {"parleon_logins_accepted_total", "counter", "Voice logins accepted.",
     [](const TServerSnapshot& s) { return s.Totals.Logins[0]; }},
    {"parleon_password_attempts_throttled_total", "counter",
     "Password attempts refused unchecked because their address or account was blocked.",
     [](const TServerSnapshot& s) { return s.Totals.ThrottledPasswords; }},
    {"parleon_send_queue_packets", "gauge", "Packets queued for sending at the moment of the scrape.",
     [](const TServerSnapshot& s) { return s.Totals.SendQueue; }},
};
static_assert(TServerTotals::kLoginResults[0] == 1, "the first login result is the accepted one");

class TExposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;  // our own texts: nothing to escape
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
  }
  // `labels` is the text between the braces, escaped already; empty: none.
  void Sample(const char* name, const std::string& labels, uint64_t value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += ' ';
    text_ += std::to_string(value);
    text_ += '\n';
  }
  void Sample(const char* name, double value) {
    char number[32];
    std::snprintf(number, sizeof number, "%.3f", value);
    text_ += name;
    text_ += ' ';
    text_ += number;
    text_ += '\n';
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

std::string ServerLabels(const TServerSnapshot& s) {
  return "server_id=\"" + MetricsLabelValue(s.ID) + "\",port=\"" + std::to_string(s.Settings.ServerUDPPort) + "\"";
}

// The length of the UTF-8 sequence at the start of `s`, 0 when it is none.
size_t Utf8Length(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  size_t length;
  uint32_t code;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1F;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0F;
  else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07;
  else return 0;
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and beyond the last code point are no UTF-8.
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string MetricsLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  while (!value.empty()) {
    const size_t length = Utf8Length(value);
    if (length == 0) {
      out += '?';
      value.remove_prefix(1);
      continue;
    }
    if (value[0] == '\\') out += "\\\\";
    else if (value[0] == '"') out += "\\\"";
    else if (value[0] == '\n') out += "\\n";
    else out.append(value.substr(0, length));
    value.remove_prefix(length);
  }
  return out;
}

std::string MetricsText(const std::vector<TServerSnapshot>& servers, const TProcessFigures& process) {
  TExposition page;
  // The usual pair that lets a monitor tell builds and restarts apart.
  page.Family("parleon_build_info", "gauge", "The build that runs, as its version label; always 1.");
  page.Sample("parleon_build_info", "version=\"" + MetricsLabelValue(process.Version) + "\"", 1);
  page.Family("process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.");
  page.Sample("process_start_time_seconds", process.StartTimeSeconds);
  page.Family("parleon_process_uptime_seconds", "gauge", "Seconds since the process started.");
  page.Sample("parleon_process_uptime_seconds", process.UptimeSeconds);
  page.Family("parleon_process_resident_memory_bytes", "gauge", "Resident memory of the process in bytes.");
  page.Sample("parleon_process_resident_memory_bytes", "", process.ResidentBytes);
  page.Family("parleon_web_sessions", "gauge", "Sessions of the web interface.");
  page.Sample("parleon_web_sessions", "", process.WebSessions);
  page.Family("parleon_query_connections", "gauge", "Open connections of the TCP query.");
  page.Sample("parleon_query_connections", "", process.QueryConnections);
  page.Family("parleon_log_lines_lost_total", "counter", "Log lines lost because the log file could not be written.");
  page.Sample("parleon_log_lines_lost_total", "", process.LogLinesLost);

  std::vector<std::string> labels;
  labels.reserve(servers.size());
  for (const TServerSnapshot& s : servers) labels.push_back(ServerLabels(s));
  for (const TServerMetric& metric : kServerMetrics) {
    page.Family(metric.Name, metric.Type, metric.Help);
    for (size_t i = 0; i < servers.size(); ++i) page.Sample(metric.Name, labels[i], metric.Value(servers[i]));
  }
  // Refusals by their result code; "other" for a code the table lacks.
  constexpr const char* kRefused = "parleon_logins_refused_total";
  page.Family(kRefused, "counter", "Voice logins refused, by result code.");
  const auto& results = TServerTotals::kLoginResults;
  for (size_t i = 0; i < servers.size(); ++i)
    for (size_t r = 1; r <= results.size(); ++r) {
      const std::string code = r < results.size() ? std::to_string(results[r]) : "other";
      page.Sample(kRefused, labels[i] + ",code=\"" + code + "\"", servers[i].Totals.Logins[r]);
    }
  return page.Take();
}

uint64_t ResidentMemoryBytes() {
  // The second number of statm is the resident set, in pages.
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  unsigned long long size = 0, resident = 0;
  const int read = std::fscanf(statm, "%llu %llu", &size, &resident);
  std::fclose(statm);
  const long page = sysconf(_SC_PAGESIZE);
  return read == 2 && page > 0 ? resident * static_cast<uint64_t>(page) : 0;
}

bool SameSecret(std::string_view given, std::string_view secret) {
  if (secret.empty()) return false;
  unsigned char difference = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i)
    difference |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
  return difference == 0;
}
