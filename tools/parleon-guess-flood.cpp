// parleon-guess-flood: measures what password guessing against registered
// accounts does to the voice of players who have nothing to do with it. It
// starts a server in-process on a loopback port (files in a temporary
// folder), registers a number of accounts, and lets one player speak a
// steady stream of frames (one per 20 ms) to another in the same channel.
// After a quiet phase it sends voice logins with wrong passwords for those
// accounts, each from a fresh loopback address (127.1.0.0/16), so the
// throttle lets about five guesses per account through, each costing a real
// password check. For both phases it reports the frames lost, the frames
// later than 30 ms (the server drops voice that waited longer) and the
// latency percentiles.
//
// Usage: parleon-guess-flood [--accounts N] [--rate R] [--seconds S]
// (at most 100 accounts, 200 guesses per second and 10 seconds).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/VoiceClient.h"
#include "common/CommandCodes.h"
#include "common/Packets.h"
#include "common/WireFormat.h"
#include "database/Accounts.h"
#include "tools/InProcessServer.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TOptions {
  int Accounts = 40;
  int Rate = 50;
  double Seconds = 4;
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  ForEachOption(argc, argv, [&](const std::string& name, double value) {
    if (name == "--accounts") o.Accounts = std::clamp(static_cast<int>(value), 1, 100);
    else if (name == "--rate") o.Rate = std::clamp(static_cast<int>(value), 1, 200);
    else if (name == "--seconds") o.Seconds = std::clamp(value, 1.0, 10.0);
  });
  return o;
}

std::string AccountName(int n) { return "account" + std::to_string(n); }

// One guess from a fresh source address (loopback answers all of 127/8).
void SendGuess(uint16_t port, uint32_t n, const std::vector<uint8_t>& datagram) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F010000u | ((n + 1) & 0xFFFFu));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0)
    (void)sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);
}

void Guess(uint16_t port, const TOptions& o, std::atomic<bool>& stop, std::atomic<uint32_t>& sent) {
  const auto start = Clock::now();
  while (!stop) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    while (sent < static_cast<uint32_t>(elapsed * o.Rate)) {
      const uint32_t n = sent++;
      SendGuess(port, n,
                LoginDatagram("guesser", "g" + std::to_string(n), AccountName(static_cast<int>(n % o.Accounts)),
                              "guess" + std::to_string(n)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// A frame carries a marker, its number and its send time, found again in
// the relayed datagram wherever the server put the body.
constexpr uint32_t kMarker = 0x5eed5eed;

struct TStream {
  std::mutex Mutex;
  std::vector<Clock::time_point> Sent;
  std::vector<double> LatencyMs;  // -1: not (yet) received
};

void Speak(TVoiceClient& speaker, TStream& stream, const std::atomic<bool>& stop) {
  auto next = Clock::now();
  while (!stop) {
    uint8_t body[24] = {};
    uint32_t n;
    {
      std::lock_guard<std::mutex> lock(stream.Mutex);
      n = static_cast<uint32_t>(stream.Sent.size());
      stream.Sent.push_back(Clock::now());
      stream.LatencyMs.push_back(-1);
    }
    std::memcpy(body, &kMarker, 4);
    std::memcpy(body + 4, &n, 4);
    speaker.SendVoice(0, 0, 0, body, sizeof body);
    speaker.Pump();
    next += std::chrono::milliseconds(20);
    std::this_thread::sleep_until(next);
  }
}

void Listen(TVoiceClient& peer, TStream& stream, const std::atomic<bool>& stop) {
  peer.KeepVoice = false;
  peer.OnVoice = [&](const uint8_t* data, size_t size) {
    const auto now = Clock::now();
    for (size_t i = 0; i + 8 <= size; ++i) {
      uint32_t marker, n;
      std::memcpy(&marker, data + i, 4);
      if (marker != kMarker) continue;
      std::memcpy(&n, data + i + 4, 4);
      std::lock_guard<std::mutex> lock(stream.Mutex);
      if (n < stream.Sent.size())
        stream.LatencyMs[n] = std::chrono::duration<double, std::milli>(now - stream.Sent[n]).count();
      return;
    }
  };
  while (!stop) peer.PumpFor(5);
}

void Report(const char* phase, TStream& stream, size_t from, size_t to) {
  std::vector<double> got;
  size_t lost = 0, late = 0;
  {
    std::lock_guard<std::mutex> lock(stream.Mutex);
    for (size_t i = from; i < to && i < stream.LatencyMs.size(); ++i) {
      const double ms = stream.LatencyMs[i];
      if (ms < 0) ++lost;
      else got.push_back(ms);
      if (ms > 30) ++late;
    }
  }
  std::sort(got.begin(), got.end());
  auto pct = [&](double q) {
    return got.empty() ? -1.0 : got[std::min(got.size() - 1, static_cast<size_t>(q * static_cast<double>(got.size())))];
  };
  std::printf("%-8s frames %4zu | lost %4zu | later than 30 ms %4zu | latency ms p50 %6.2f p99 %7.2f max %7.2f\n",
              phase, to - from, lost, late, pct(0.5), pct(0.99), pct(1.0));
}

size_t FramesSent(TStream& stream) {
  std::lock_guard<std::mutex> lock(stream.Mutex);
  return stream.Sent.size();
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions options = ParseOptions(argc, argv);
  const std::optional<TServerEnvironment> home = MakeScratchHome("parleon-guess");
  if (!home) return 2;
  const std::string id = "server_cfg Guess";
  for (int n = 0; n < options.Accounts; ++n) {
    TClientObject account;
    account.LoginName = AccountName(n);
    account.Password = "the right one";
    if (!AddUser(account, id)) return 1;
  }
  auto server = std::make_shared<TServerObject>();
  if (!server->Start(*home, id, 0, nullptr)) return 1;
  TVoiceClient speaker(server->BoundPort()), peer(server->BoundPort());
  TLoginRequest r;
  r.NickName = "speaker";
  if (speaker.Login(r).Result != 1 || !speaker.Enter()) return 1;
  r.NickName = "peer";
  if (peer.Login(r).Result != 1 || !peer.Enter()) return 1;

  std::printf("password guessing: %d accounts, %d wrong logins/s from fresh addresses for %.1f s\n",
              options.Accounts, options.Rate, options.Seconds);
  TStream stream;
  std::atomic<bool> stopVoice{false}, stopGuess{false};
  std::thread listen(Listen, std::ref(peer), std::ref(stream), std::cref(stopVoice));
  std::thread speak(Speak, std::ref(speaker), std::ref(stream), std::cref(stopVoice));
  const auto phase = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.Seconds));
  std::this_thread::sleep_for(phase);
  const size_t quietEnd = FramesSent(stream);
  std::atomic<uint32_t> sent{0};
  std::thread guess(Guess, server->BoundPort(), std::cref(options), std::ref(stopGuess), std::ref(sent));
  std::this_thread::sleep_for(phase);
  const size_t guessEnd = FramesSent(stream);
  stopGuess = true;
  guess.join();
  // Late frames still count: the stream stops a moment after the guessing.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stopVoice = true;
  speak.join();
  listen.join();
  Report("quiet", stream, 0, quietEnd);
  Report("guessing", stream, quietEnd, guessEnd);
  // Every checked login counts on its account, right or wrong.
  uint32_t checked = 0;
  for (int n = 0; n < options.Accounts; ++n)
    if (auto account = GetUser(AccountName(n), id, false)) checked += account->Logins;
  std::printf("wrong logins sent %u, checked %u (the others refused by the throttle or dropped)\n", sent.load(),
              checked);

  ServerList.load()->StopServer("");
  delete ServerList.exchange(nullptr);
  RemoveServerDatabase();
  std::filesystem::remove_all(std::filesystem::path(home->SettingsFile).parent_path());
  return 0;
}
