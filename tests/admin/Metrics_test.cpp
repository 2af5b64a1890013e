// The metrics page: its text form on its own, and a scrape of the real
// process, with and without the token, compared with what the query says.
#include <gmock/gmock.h>
#include <httplib.h>
#include <signal.h>

#include <map>
#include <regex>
#include <sstream>

#include "admin/Metrics.h"
#include "client/VoiceClient.h"
#include "common/IniFile.h"
#include "support/QueryClient.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

namespace {

using std::chrono::seconds;

// Every line is a comment of one family or a sample of the family declared
// last; every family is declared once. Returns the samples, by name and labels.
std::map<std::string, std::string> CheckExposition(const std::string& text) {
  static const std::regex kHelp(R"(# HELP ([a-z_]+) [^\n]+)");
  static const std::regex kType(R"(# TYPE ([a-z_]+) (counter|gauge))");
  static const std::regex kSample(R"(([a-z_]+)(\{([a-z_]+="([^"\\\n]|\\[\\"n])*",?)+\})? ([0-9]+(\.[0-9]+)?))");
  std::map<std::string, std::string> samples;
  std::set<std::string> families;
  std::string family;
  std::istringstream lines(text);
  std::string line;
  std::smatch m;
  EXPECT_EQ(text.back(), '\n');
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, kHelp)) {
      EXPECT_TRUE(families.insert(m[1]).second) << "declared twice: " << line;
      family = m[1];
      EXPECT_TRUE(std::getline(lines, line) && std::regex_match(line, m, kType) && m[1] == family) << line;
    } else if (std::regex_match(line, m, kSample)) {
      EXPECT_EQ(m[1], family) << line;
      samples[m[1].str() + m[2].str()] = m[5];
    } else {
      ADD_FAILURE() << "not of the text form: " << line;
    }
  }
  return samples;
}

TEST(MetricsTest, TextFormEscapesLabelsAndDeclaresEveryFamilyOnce) {
  TServerSnapshot a;
  a.ID = "odd \"id\" \\ with\nline \xE4";  // a stray Latin-1 byte too
  a.Settings.ServerUDPPort = 8767;
  a.Figures.CurrentUsers = 3;
  a.Totals.DatagramsReceived = 1234567890123;
  a.Totals.Logins = {5, 2, 0, 0, 0, 0, 1};
  TServerSnapshot b;
  b.ID = "server_cfg Default";
  b.Settings.ServerUDPPort = 9000;
  b.Totals.SendQueue = 7;
  const std::string text = MetricsText({a, b}, {12.5, 4096, 2, 1, 1765000000.25, "2.0.18.25", 3});
  const auto samples = CheckExposition(text);

  const std::string odd = R"({server_id="odd \"id\" \\ with\nline ?",port="8767"})";
  const std::string plain = R"({server_id="server_cfg Default",port="9000"})";
  EXPECT_EQ(samples.at("parleon_players_online" + odd), "3");
  EXPECT_EQ(samples.at("parleon_datagrams_received_total" + odd), "1234567890123");
  EXPECT_EQ(samples.at("parleon_logins_accepted_total" + odd), "5");
  EXPECT_EQ(samples.at("parleon_logins_refused_total" + odd.substr(0, odd.size() - 1) + R"(,code="-1"})"), "2");
  EXPECT_EQ(samples.at("parleon_logins_refused_total" + odd.substr(0, odd.size() - 1) + R"(,code="other"})"), "1");
  EXPECT_EQ(samples.at("parleon_send_queue_packets" + plain), "7");
  EXPECT_EQ(samples.at("parleon_process_uptime_seconds"), "12.500");
  EXPECT_EQ(samples.at("process_start_time_seconds"), "1765000000.250");
  EXPECT_EQ(samples.at(R"(parleon_build_info{version="2.0.18.25"})"), "1");
  EXPECT_EQ(samples.at("parleon_process_resident_memory_bytes"), "4096");
  EXPECT_EQ(samples.at("parleon_web_sessions"), "2");
  EXPECT_EQ(samples.at("parleon_query_connections"), "1");
  EXPECT_EQ(samples.at("parleon_log_lines_lost_total"), "3");
  EXPECT_NE(text.find("# TYPE parleon_stale_voice_dropped_total counter\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE parleon_sends_lost_total counter\n"), std::string::npos);
  EXPECT_EQ(MetricsLabelValue("caf\xC3\xA9 \xC0\xAF \xED\xA0\x80"), "caf\xC3\xA9 ?? ???");  // overlong, surrogate

  EXPECT_TRUE(SameSecret("s3cret", "s3cret"));
  using namespace std::string_view_literals;
  for (std::string_view wrong : {""sv, "s3cre"sv, "s3crets"sv, "S3cret"sv, "s3cret\0"sv})
    EXPECT_FALSE(SameSecret(wrong, "s3cret")) << wrong;
  EXPECT_FALSE(SameSecret("", ""));
  EXPECT_GT(ResidentMemoryBytes(), 0u);
}

// "name=value" lines of the query's "si".
std::map<std::string, int64_t> ServerInfo(TQueryClient& query) {
  std::map<std::string, int64_t> info;
  for (const std::string& line : query.Command("si")) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && eq + 1 < line.size() &&
        line.find_first_not_of("0123456789", eq + 1) == std::string::npos)
      info[line.substr(0, eq)] = std::stoll(line.substr(eq + 1));
  }
  return info;
}

int64_t Sample(const std::map<std::string, std::string>& samples, const std::string& name, const std::string& labels) {
  const auto it = samples.find(name + labels);
  return it == samples.end() ? -1 : std::stoll(it->second);
}

TEST(MetricsProcessTest, ScrapeNeedsTheTokenAndAgreesWithTheQuery) {
  TTempDir dir;
  TProcessPorts ports;
  const uint16_t webPort = ports.Tcp(), queryPort = ports.Tcp();
  WriteTestSettings(dir.File("server.ini"), webPort, queryPort, ports.Udp());
  const std::string token = "scrape-7f3a9c";
  TIniFile(dir.File("server.ini")).WriteString("Main Config", "MetricsToken", token);
  const auto udpPort = static_cast<uint16_t>(TIniFile(dir.File("server.ini")).ReadInteger("server_cfg Default", "ServerUDPPort", 0));
  TServerProcess server(dir.Path(), {"-ADMINPW=secret"}, &ports);
  ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30))) << ReadFileText(dir.File("stdout.txt"));
  EXPECT_EQ(TIniFile(dir.File("server.ini")).ReadString("Main Config", "MetricsToken", "?"), token);

  TVoiceClient player(udpPort);
  ASSERT_EQ(player.Login(TLoginRequest{}).Result, 1);
  ASSERT_TRUE(player.Enter());
  const std::vector<uint8_t> frame(40, 0x5A);
  for (uint8_t n = 0; n < 3; ++n) player.SendVoice(0, n, n, frame.data(), frame.size());
  player.PumpFor(300);
  TVoiceClient refused(udpPort);
  TLoginRequest oldClient;
  oldClient.Version[2] = 1;
  EXPECT_EQ(refused.Login(oldClient).Result, -5);

  httplib::Client web("127.0.0.1", webPort);
  const auto unknown = web.Get("/no-such-page");
  ASSERT_TRUE(unknown);
  const httplib::Headers right = {{"Authorization", "Bearer " + token}};
  for (const auto& [headers, method] :
       std::vector<std::pair<httplib::Headers, std::string>>{{{}, "GET"},
                                                             {{{"Authorization", "Bearer " + token + "x"}}, "GET"},
                                                             {{{"Authorization", token}}, "GET"},
                                                             {right, "POST"}}) {
    const auto refusal = method == "GET" ? web.Get("/metrics", headers) : web.Post("/metrics", headers, "", "text/plain");
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->status, 404) << method;
    EXPECT_EQ(refusal->body, "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>");
    EXPECT_FALSE(refusal->has_header("Set-Cookie")) << "a refused scrape starts no session";
  }

  TQueryClient query(queryPort);
  ASSERT_EQ(query.Command("login admin secret"), std::vector<std::string>{"OK"});
  ASSERT_EQ(query.Command("sel " + std::to_string(udpPort)), std::vector<std::string>{"OK"});
  const auto before = ServerInfo(query);
  const auto scrape = web.Get("/metrics", right);
  const auto after = ServerInfo(query);
  ASSERT_TRUE(scrape);
  ASSERT_EQ(scrape->status, 200);
  EXPECT_EQ(scrape->get_header_value("Content-Type"), "text/plain; version=0.0.4");
  const auto samples = CheckExposition(scrape->body);
  const std::string labels = "{server_id=\"server_cfg Default\",port=\"" + std::to_string(udpPort) + "\"}";
  EXPECT_EQ(Sample(samples, "parleon_players_online", labels), before.at("server_currentusers"));
  EXPECT_EQ(Sample(samples, "parleon_players_online", labels), 1);
  EXPECT_EQ(query.Command("pl").size(), 2u);  // one player and "OK"
  EXPECT_EQ(Sample(samples, "parleon_channels", labels), before.at("server_currentchannels"));
  // Pings may arrive between the three reads.
  for (const auto& [metric, figure] : {std::pair{"parleon_datagrams_received_total", "server_packetsreceived"},
                                       {"parleon_received_bytes_total", "server_bytesreceived"},
                                       {"parleon_datagrams_sent_total", "server_packetssend"},
                                       {"parleon_sent_bytes_total", "server_bytessend"}}) {
    EXPECT_GE(Sample(samples, metric, labels), before.at(figure)) << metric;
    EXPECT_LE(Sample(samples, metric, labels), after.at(figure)) << metric;
    EXPECT_GT(Sample(samples, metric, labels), 0) << metric;
  }
  EXPECT_EQ(Sample(samples, "parleon_logins_accepted_total", labels), 1);
  EXPECT_EQ(Sample(samples, "parleon_voice_frames_relayed_total", labels), 3);
  EXPECT_EQ(Sample(samples, "parleon_logins_refused_total", labels.substr(0, labels.size() - 1) + ",code=\"-5\"}"), 1);
  EXPECT_EQ(Sample(samples, "parleon_query_connections", ""), 1);
  EXPECT_GT(Sample(samples, "parleon_process_resident_memory_bytes", ""), 0);
  EXPECT_EQ(Sample(samples, "parleon_build_info", "{version=\"2.0.18.25\"}"), 1);
  EXPECT_GT(Sample(samples, "process_start_time_seconds", ""), 1700000000);

  // A restart starts the server's own figures again, not the id's totals.
  const int64_t received = Sample(samples, "parleon_datagrams_received_total", labels);
  ASSERT_EQ(query.Command("restart"), std::vector<std::string>{"OK"});
  ASSERT_EQ(query.Command("sel " + std::to_string(udpPort)), std::vector<std::string>{"OK"});
  const auto again = web.Get("/metrics", right);
  ASSERT_TRUE(again);
  const auto later = CheckExposition(again->body);
  EXPECT_LT(ServerInfo(query).at("server_packetsreceived"), received);
  EXPECT_GE(Sample(later, "parleon_datagrams_received_total", labels), received);
  EXPECT_EQ(Sample(later, "parleon_logins_accepted_total", labels), 1);
  EXPECT_EQ(Sample(later, "parleon_players_online", labels), 0);
  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
}

}  // namespace
