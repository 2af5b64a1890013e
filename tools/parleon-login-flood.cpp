// parleon-login-flood: measures what a flood of login requests does to a
// virtual server. It starts a server in-process on a loopback port (its
// files in a temporary folder), connects two players, and then sends login
// requests from many source ports at a given rate for a bounded time. Every
// 50 ms it samples how long the listener takes to answer a fresh login (the
// wait any datagram of a connected player sees before the listener gets to
// it), how long a connected player's command waits for its
// acknowledgement, how long one of its voice frames takes to reach the
// other player (when the build relays voice), the number of connections and
// the process's resident memory. It reports the figures before, during and
// after the flood.
//
// Usage: parleon-login-flood [--rate N] [--seconds S] [--sockets K]
// (at most 50000 per second, 30 seconds and 1024 sockets).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Globals.h"
#include "client/VoiceClient.h"
#include "common/CommandCodes.h"
#include "common/Packets.h"
#include "common/WireFormat.h"
#include "database/FreeBase.h"
#include "database/ServerDatabase.h"
#include "server/ServerList.h"
#include "server/ServerObject.h"
#include "tools/InProcessServer.h"
#include "server/ServerInternals.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TOptions {
  int Rate = 5000;
  double Seconds = 5;
  int Sockets = 256;
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  ForEachOption(argc, argv, [&](const std::string& name, double value) {
    if (name == "--rate") o.Rate = std::clamp(static_cast<int>(value), 1, 50000);
    else if (name == "--seconds") o.Seconds = std::clamp(value, 0.5, 30.0);
    else if (name == "--sockets") o.Sockets = std::clamp(static_cast<int>(value), 1, 1024);
  });
  return o;
}

// Sends `rate` login requests per second round robin over the sockets, in
// one-millisecond slices, until `stop`.
void Flood(uint16_t port, const TOptions& o, std::atomic<bool>& stop, std::atomic<uint64_t>& sent) {
  std::vector<int> fds;
  for (int i = 0; i < o.Sockets; ++i) fds.push_back(LoopbackSocket(port));
  const auto start = Clock::now();
  uint32_t n = 0;
  size_t next = 0;
  while (!stop) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t due = static_cast<uint64_t>(elapsed * o.Rate);
    while (sent < due) {
      const std::vector<uint8_t> d = LoginDatagram("flood", "f" + std::to_string(++n));
      (void)send(fds[next], d.data(), d.size(), 0);
      next = (next + 1) % fds.size();
      ++sent;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (int fd : fds) close(fd);
}

struct TSample {
  double LoginMs = -1;  // -1: no reply within 2 s
  double AckMs = -1;
  double VoiceMs = -1;  // -1: not relayed within 200 ms
  int Connections = 0;
  long RssKiB = 0;
};

TSample Sample(TServerObject& server, TVoiceClient& player, TVoiceClient& peer) {
  TSample s;
  TVoiceClient probe(server.BoundPort());
  TLoginRequest r;
  r.NickName = "probe";
  r.UniqueNick = true;
  auto t0 = Clock::now();
  if (probe.Login(r, 2000).Received) s.LoginMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  t0 = Clock::now();
  if (player.SendCommand(999, {}, 2000)) s.AckMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  const uint8_t frame[20] = {};
  peer.Voice.clear();
  t0 = Clock::now();
  player.SendVoice(0, 0, 0, frame, sizeof frame);
  if (peer.WaitVoice(200)) s.VoiceMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  {
    const auto hold = server.HoldMachinery();
    if (server.Running()) s.Connections = TServerInternals::PacketBuffer(server)->ConnectionCount();
  }
  s.RssKiB = ResidentKiB();
  return s;
}

void Report(const char* phase, std::vector<TSample> samples) {
  if (samples.empty()) return;
  auto pct = [](std::vector<double> v, double q) {
    if (v.empty()) return -1.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
  };
  std::vector<double> login, ack, voice;
  int lost = 0, peakConnections = 0;
  long peakRss = 0;
  for (const TSample& s : samples) {
    if (s.LoginMs < 0) ++lost;
    else login.push_back(s.LoginMs);
    if (s.AckMs >= 0) ack.push_back(s.AckMs);
    if (s.VoiceMs >= 0) voice.push_back(s.VoiceMs);
    peakConnections = std::max(peakConnections, s.Connections);
    peakRss = std::max(peakRss, s.RssKiB);
  }
  std::printf(
      "%-7s samples %3zu | probe login reply ms p50 %6.2f p99 %7.2f max %7.2f, unanswered %d | "
      "command ack ms p50 %5.2f max %6.2f | voice ms p50 %5.2f max %6.2f, relayed %zu | "
      "connections peak %5d last %5d | RSS KiB peak %7ld last %7ld\n",
      phase, samples.size(), pct(login, 0.5), pct(login, 0.99), pct(login, 1.0), lost, pct(ack, 0.5),
      pct(ack, 1.0), pct(voice, 0.5), pct(voice, 1.0), voice.size(), peakConnections, samples.back().Connections,
      peakRss, samples.back().RssKiB);
}

std::vector<TSample> SampleFor(TServerObject& server, TVoiceClient& player, TVoiceClient& peer, double seconds) {
  std::vector<TSample> samples;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < end) {
    samples.push_back(Sample(server, player, peer));
    peer.PumpFor(50);
    player.Commands.clear();
    peer.Commands.clear();
  }
  return samples;
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ParseOptions(argc, argv);
  const std::optional<TServerEnvironment> home = MakeScratchHome("parleon-flood");
  if (!home) return 2;
  const TServerEnvironment& environment = *home;

  auto server = std::make_shared<TServerObject>();
  if (!server->Start(environment, "server_cfg Flood", 0, nullptr)) return 1;
  TVoiceClient player(server->BoundPort()), peer(server->BoundPort());
  TLoginRequest r;
  r.NickName = "player";
  if (player.Login(r).Result != 1 || !player.Enter()) return 1;
  r.NickName = "peer";
  if (peer.Login(r).Result != 1 || !peer.Enter()) return 1;

  std::printf("login flood: %d requests/s from %d source ports for %.1f s\n", options.Rate, options.Sockets,
              options.Seconds);
  Report("before", SampleFor(*server, player, peer, 1.0));
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> sent{0};
  const auto floodStart = Clock::now();
  std::thread flood(Flood, server->BoundPort(), std::cref(options), std::ref(stop), std::ref(sent));
  const std::vector<TSample> during = SampleFor(*server, player, peer, options.Seconds);
  stop = true;
  flood.join();
  const double floodSeconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
  Report("during", during);
  const TBufferStatistics stats = TServerInternals::PacketBuffer(*server)->GetStatistics();
  std::printf("sent %llu login requests (%.0f/s); server received %llu datagrams, sent %llu\n",
              static_cast<unsigned long long>(sent.load()), static_cast<double>(sent.load()) / floodSeconds,
              static_cast<unsigned long long>(stats.PacketsReceived),
              static_cast<unsigned long long>(stats.PacketsSent));
  // Refused logins linger two seconds in login state; then they must be gone.
  Report("after", SampleFor(*server, player, peer, 3.0));
  std::printf("players still listed: %d (the two connected ones and probes not yet timed out)\n",
              server->CurrentUsers());

  ServerList.load()->StopServer("");
  delete ServerList.exchange(nullptr);
  RemoveServerDatabase();
  std::filesystem::remove_all(std::filesystem::path(environment.SettingsFile).parent_path());
  return 0;
}
