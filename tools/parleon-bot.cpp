// parleon-bot: the load tool. N clients of our own protocol log in to one
// virtual server (or to bench/minimal_relay_tool) and are spread over C
// channels; S of them speak at F frames per second with P payload bytes for
// D seconds after a warm-up. Every frame carries its send time, so each
// delivery yields a one-way latency (sender and receivers share this host's
// monotonic clock). It reports logins, datagrams sent, expected and
// delivered deliveries, latency percentiles, and the CPU time of the server
// (given its pid) and of itself.
//
// Only frames sent inside the measured window count, wherever their
// deliveries arrive; the receivers listen on for a drain period after the
// last frame so that late deliveries are counted as delivered.
//
// It must leave the CPU to the server on a small machine: each thread
// serves many sockets through one epoll set, reads with batched recvmmsg,
// and sleeps until the next frame is due or a datagram arrives.
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/LatencyHistogram.h"
#include "client/VoiceClient.h"
#include "common/CommandCodes.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr size_t kStampSize = 16;  // send time (i64 ns), speaker index, frame number
constexpr size_t kS2CHeader = 22;
constexpr auto kPingEvery = std::chrono::seconds(5);  // the server forgets a silent client after 15 s

struct TOptions {
  std::string Host = "127.0.0.1";
  int Port = 8767;
  int Clients = 50;
  int Channels = 1;
  int Speakers = 1;
  int Fps = 50;
  int Payload = 100;
  double Duration = 10;
  double Warmup = 2;
  double Drain = 1;
  int Threads = 1;
  long ServerPid = 0;
  std::string ChannelPrefix = "Load";  // channel k is named Load1..LoadC; empty: the default channel
  std::string NickPrefix = "bot";
  int LoginTimeoutMs = 5000;
  int LoginWindow = 1;  // logins in flight at once
  bool Progress = false;
};

void Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s [options]\n"
               "  --host A --port N          server (127.0.0.1:8767)\n"
               "  --clients N --channels C   clients spread over channels Load1..LoadC (50, 1)\n"
               "  --speakers S --fps F       speakers and their frames per second (1, 50)\n"
               "  --payload P                voice bytes per frame, at least 16 (100)\n"
               "  --duration D --warmup W    measured and warm-up seconds (10, 2)\n"
               "  --drain X                  seconds to listen on after the last frame (1)\n"
               "  --threads T                client threads (1)\n"
               "  --server-pid PID           report the server's CPU time\n"
               "  --channel-prefix TEXT      channel names (Load); \"\" puts everyone in the default channel\n"
               "  --login-window N           logins in flight at once, at most 1000 (1)\n"
               "  --progress                 report the logins as they go\n",
               self);
}

bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--progress") {
      o.Progress = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--host") o.Host = v;
    else if (a == "--port") o.Port = std::atoi(v);
    else if (a == "--clients") o.Clients = std::atoi(v);
    else if (a == "--channels") o.Channels = std::atoi(v);
    else if (a == "--speakers") o.Speakers = std::atoi(v);
    else if (a == "--fps") o.Fps = std::atoi(v);
    else if (a == "--payload") o.Payload = std::atoi(v);
    else if (a == "--duration") o.Duration = std::atof(v);
    else if (a == "--warmup") o.Warmup = std::atof(v);
    else if (a == "--drain") o.Drain = std::atof(v);
    else if (a == "--threads") o.Threads = std::atoi(v);
    else if (a == "--server-pid") o.ServerPid = std::atol(v);
    else if (a == "--channel-prefix") o.ChannelPrefix = v;
    else if (a == "--nick-prefix") o.NickPrefix = v;
    else if (a == "--login-timeout") o.LoginTimeoutMs = std::atoi(v);
    else if (a == "--login-window") o.LoginWindow = std::atoi(v);
    else return false;
  }
  return o.Port > 0 && o.Port < 65536 && o.Clients > 0 && o.Channels > 0 && o.Speakers >= 0 &&
         o.Speakers <= o.Clients && o.Fps > 0 && o.Payload >= static_cast<int>(kStampSize) && o.Payload <= 4000 &&
         o.Duration > 0 && o.Warmup >= 0 && o.Drain >= 0 && o.Threads > 0 && o.LoginWindow > 0 &&
         o.LoginWindow <= 1000 &&
         (o.Channels == 1 || !o.ChannelPrefix.empty());
}

int64_t Nanos(Clock::time_point t) { return duration_cast<nanoseconds>(t.time_since_epoch()).count(); }
double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// User plus system CPU seconds of a process, from /proc/<pid>/stat; -1 when unreadable.
double ProcessCpuSeconds(long pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(f, line)) return -1;
  // The command name may hold blanks; the fields after it are plain.
  const size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields from the third (state) on; utime and stime are the 14th and 15th.
  for (int n = 3; n <= 15 && rest >> field; ++n) {
    if (n == 14) utime = std::stoull(field);
    if (n == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident KiB of a process (VmRSS, or its peak so far with "VmHWM:"), from
// /proc/<pid>/status; -1 when unreadable.
long ProcessResidentKiB(long pid, const std::string& key = "VmRSS:") {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

double OwnCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void RaiseFileLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

// The phases of a run, the same for every thread.
struct TSchedule {
  Clock::time_point SendStart, WindowStart, WindowEnd, Stop;
};

struct TBot {
  std::unique_ptr<TVoiceClient> Client;
  int Index = 0;
  std::string Channel;  // the channel it asked for, then the one it landed in
  bool Entered = false;
  bool ListsEnded = false;  // the server has sent everything Enter asked for
  uint32_t Listeners = 0;  // speakers: the others in its channel
};

// Serves a share of the clients on one thread: sends the frames of its
// speakers on schedule, keeps every client alive, and counts what arrives.
class TWorker {
 public:
  TWorker(int number, int workers, const TOptions& options) : number_(number), workers_(workers), options_(options) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
  }
  ~TWorker() { close(epoll_); }

  void AddClient(TBot* bot) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = bot;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, bot->Client->Fd(), &ev);
    clients_.push_back(bot->Client.get());
    TVoiceClient* c = bot->Client.get();
    c->OnVoice = [this, c](const uint8_t* d, size_t n) { OnVoice(*c, d, n); };
  }
  void AddSpeaker(TBot* bot) { speakers_.push_back(bot); }

  // Reads whatever is waiting, for up to `timeoutMs`; true when anything came.
  bool PumpReady(int timeoutMs) {
    epoll_event events[256];
    const int n = epoll_wait(epoll_, events, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
      auto* bot = static_cast<TBot*>(events[i].data.ptr);
      TVoiceClient* c = bot->Client.get();
      c->Pump();
      // Notices are not looked at during a run; keep the inbox from growing.
      if (!c->Commands.empty()) {
        for (const TClientDatagram& d : c->Commands) bot->ListsEnded = bot->ListsEnded || d.Code() == cmd::ListsEnd;
        c->Commands.clear();
      }
    }
    return n > 0;
  }

  void ServiceAll(Clock::time_point now) {
    for (TVoiceClient* c : clients_)
      if (c->CommandPending()) c->Service(now);
  }

  void Run(const TSchedule& s) {
    schedule_ = s;
    const int64_t windowStart = Nanos(s.WindowStart), windowEnd = Nanos(s.WindowEnd);
    windowStartNs_ = windowStart;
    windowEndNs_ = windowEnd;
    // The frames of all threads' speakers interleave evenly over a frame period.
    const double period = 1e9 / (static_cast<double>(options_.Fps) * std::max<size_t>(1, speakers_.size()));
    const double offset = period * number_ / workers_;
    std::vector<uint8_t> frame(static_cast<size_t>(options_.Payload), 0);
    uint64_t m = 0;
    auto nextSend = s.SendStart + nanoseconds(static_cast<int64_t>(offset));
    const nanoseconds pingStep = nanoseconds(kPingEvery) / std::max<size_t>(1, clients_.size());
    auto nextPing = s.SendStart + pingStep * number_ / workers_;
    size_t pingIndex = 0;
    auto nextService = s.SendStart;

    for (;;) {
      auto now = Clock::now();
      if (now >= s.Stop) break;
      while (!speakers_.empty() && nextSend <= now && nextSend < s.WindowEnd) {
        TBot* speaker = speakers_[m % speakers_.size()];
        const auto sentAt = Clock::now();
        const int64_t t = Nanos(sentAt);
        std::memcpy(frame.data(), &t, 8);
        const uint32_t index = static_cast<uint32_t>(speaker->Index), number = static_cast<uint32_t>(m);
        std::memcpy(frame.data() + 8, &index, 4);
        std::memcpy(frame.data() + 12, &number, 4);
        speaker->Client->SendVoice(0, 0, 0, frame.data(), frame.size());
        ++Sent;
        if (t >= windowStart && t < windowEnd) {
          ++SentInWindow;
          Expected += speaker->Listeners;
        }
        ++m;
        nextSend = s.SendStart + nanoseconds(static_cast<int64_t>(offset + period * static_cast<double>(m)));
      }
      if (now >= nextPing && !clients_.empty()) {
        clients_[pingIndex++ % clients_.size()]->SendPing();
        nextPing += pingStep;
      }
      if (now >= nextService) {
        ServiceAll(now);
        nextService = now + milliseconds(20);
      }
      auto wake = std::min({nextPing, nextService, s.Stop});
      if (!speakers_.empty() && nextSend < s.WindowEnd) wake = std::min(wake, nextSend);
      now = Clock::now();
      int timeoutMs = 0;
      if (wake > now) timeoutMs = static_cast<int>((duration_cast<microseconds>(wake - now).count() + 999) / 1000);
      PumpReady(timeoutMs);
    }
  }

  // Results, read after the thread has ended.
  uint64_t Sent = 0, SentInWindow = 0, Expected = 0, Delivered = 0, Outside = 0, Misaddressed = 0;
  TLatencyHistogram Latency;

 private:
  void OnVoice(const TVoiceClient& c, const uint8_t* d, size_t n) {
    // A datagram for another player (a stale one whose port this socket
    // inherited) is the relay's business, not a delivery.
    uint32_t to;
    std::memcpy(&to, d + 8, 4);
    if (n < kS2CHeader + kStampSize || to != c.PlayerID) {
      ++Misaddressed;
      return;
    }
    int64_t sent;
    std::memcpy(&sent, d + kS2CHeader, 8);
    if (sent < windowStartNs_ || sent >= windowEndNs_) {
      ++Outside;
      return;
    }
    ++Delivered;
    Latency.Add((Nanos(Clock::now()) - sent) / 1000);
  }

  int number_, workers_;
  const TOptions& options_;
  int epoll_;
  std::vector<TVoiceClient*> clients_;
  std::vector<TBot*> speakers_;
  TSchedule schedule_;
  int64_t windowStartNs_ = 0, windowEndNs_ = 0;
};

std::string ChannelName(const TOptions& o, int k) {
  return o.ChannelPrefix.empty() ? std::string() : o.ChannelPrefix + std::to_string(k + 1);
}

// After Enter: the channel the server put the client in, by the lists it sent
// (a relay that sends no lists leaves the requested name standing).
void NoteLandedChannel(TBot& bot) {
  TVoiceClient& c = *bot.Client;
  for (const TPlayerEntry& p : c.Players) {
    if (p.PlayerID != c.PlayerID) continue;
    for (const TChannelEntry& ch : c.Channels)
      if (ch.ID == p.ChannelID) bot.Channel = ch.Name;
  }
  c.Players.clear();
  c.Channels.clear();
  c.Commands.clear();
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  if (!ParseOptions(argc, argv, o)) {
    Usage(argv[0]);
    return 2;
  }
  RaiseFileLimit();

  std::vector<TBot> bots(static_cast<size_t>(o.Clients));
  std::vector<std::unique_ptr<TWorker>> workers;
  for (int t = 0; t < o.Threads; ++t) workers.push_back(std::make_unique<TWorker>(t, o.Threads, o));
  for (int i = 0; i < o.Clients; ++i) {
    TBot& b = bots[static_cast<size_t>(i)];
    b.Index = i;
    b.Channel = ChannelName(o, i % o.Channels);
    b.Client = std::make_unique<TVoiceClient>(static_cast<uint16_t>(o.Port), o.Host);
    b.Client->KeepVoice = false;
    workers[static_cast<size_t>(i % o.Threads)]->AddClient(&b);
  }

  // Up to LoginWindow logins in flight; whoever is in already is served all
  // along so that the notices about newcomers are acknowledged as they come.
  struct TPending {
    TBot* Bot;
    Clock::time_point Started;
    bool Entering;
  };
  const auto loginStart = Clock::now();
  const double loginServerCpu0 = o.ServerPid ? ProcessCpuSeconds(o.ServerPid) : -1;
  const double loginOwnCpu0 = OwnCpuSeconds();
  int loggedIn = 0, refused = 0, lost = 0, finished = 0;
  Clock::duration slowest{};
  std::vector<TPending> pending;
  size_t next = 0;
  auto finish = [&](const TPending& p) {
    slowest = std::max(slowest, Clock::now() - p.Started);
    if (o.Progress && ++finished % 500 == 0)
      std::fprintf(stderr, "%d logins in %.2f s\n", finished, Seconds(Clock::now() - loginStart));
  };
  while (next < bots.size() || !pending.empty()) {
    while (next < bots.size() && pending.size() < static_cast<size_t>(o.LoginWindow)) {
      TBot& b = bots[next++];
      TLoginRequest request;
      request.NickName = o.NickPrefix + std::to_string(b.Index + 1);
      b.Client->SendLogin(request);
      pending.push_back({&b, Clock::now(), false});
    }
    for (auto& w : workers) {
      w->PumpReady(workers.size() == 1 ? 1 : 0);
      w->ServiceAll(Clock::now());
    }
    const auto now = Clock::now();
    std::erase_if(pending, [&](TPending& p) {
      TBot& b = *p.Bot;
      if (!p.Entering) {
        std::optional<TLoginReply> reply = b.Client->TakeLoginReply();
        if (reply && reply->Result != 1) {
          if (++refused <= 3) std::fprintf(stderr, "login of bot %d refused: %d\n", b.Index + 1, reply->Result);
          finish(p);
          return true;
        }
        if (reply) {
          b.Client->Channels.clear();
          b.Client->Players.clear();
          b.Client->SendEnter(b.Channel);
          p.Entering = true;
        }
      } else if (b.ListsEnded) {
        b.Entered = true;
        ++loggedIn;
        NoteLandedChannel(b);
        finish(p);
        return true;
      }
      if (now - p.Started < milliseconds(o.LoginTimeoutMs)) return false;
      ++lost;
      finish(p);
      return true;
    });
  }
  const auto loginTime = Clock::now() - loginStart;
  const double loginServerCpu = o.ServerPid ? ProcessCpuSeconds(o.ServerPid) - loginServerCpu0 : -1;
  const double loginOwnCpu = OwnCpuSeconds() - loginOwnCpu0;
  // Let the notices about the last newcomers settle before the voice starts.
  for (auto quietSince = Clock::now(), limit = Clock::now() + std::chrono::seconds(30);
       Clock::now() - quietSince < milliseconds(300) && Clock::now() < limit;) {
    bool any = false;
    for (auto& w : workers) {
      any = w->PumpReady(workers.size() == 1 ? 5 : 0) || any;
      w->ServiceAll(Clock::now());
    }
    if (any) quietSince = Clock::now();
  }

  std::map<std::string, uint32_t> members;
  for (const TBot& b : bots)
    if (b.Entered) ++members[b.Channel];
  int speaking = 0;
  for (int i = 0; i < o.Speakers; ++i) {
    TBot& b = bots[static_cast<size_t>(i)];
    if (!b.Entered) continue;
    b.Listeners = members[b.Channel] - 1;
    workers[static_cast<size_t>(i % o.Threads)]->AddSpeaker(&b);
    ++speaking;
  }
  // A channel missing on the server puts its clients in the default channel,
  // and the expected deliveries follow where they are; say so.
  int strays = 0;
  for (const TBot& b : bots) {
    const std::string asked = ChannelName(o, b.Index % o.Channels);
    if (b.Entered && !asked.empty() && b.Channel != asked && strays++ < 3)
      std::fprintf(stderr, "%s%d asked for \"%s\" and is in \"%s\"\n", o.NickPrefix.c_str(), b.Index + 1,
                   asked.c_str(), b.Channel.c_str());
  }

  TSchedule s;
  s.SendStart = Clock::now() + milliseconds(20);
  s.WindowStart = s.SendStart + duration_cast<Clock::duration>(std::chrono::duration<double>(o.Warmup));
  s.WindowEnd = s.WindowStart + duration_cast<Clock::duration>(std::chrono::duration<double>(o.Duration));
  s.Stop = s.WindowEnd + duration_cast<Clock::duration>(std::chrono::duration<double>(o.Drain));
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back([&w, &s] { w->Run(s); });

  std::this_thread::sleep_until(s.WindowStart);
  const double serverCpu0 = o.ServerPid ? ProcessCpuSeconds(o.ServerPid) : -1;
  const double ownCpu0 = OwnCpuSeconds();
  const auto measured0 = Clock::now();
  std::this_thread::sleep_until(s.WindowEnd);
  const double serverCpu1 = o.ServerPid ? ProcessCpuSeconds(o.ServerPid) : -1;
  const long serverRss = o.ServerPid ? ProcessResidentKiB(o.ServerPid) : -1;
  const long serverPeak = o.ServerPid ? ProcessResidentKiB(o.ServerPid, "VmHWM:") : -1;
  const double ownCpu1 = OwnCpuSeconds();
  const double window = Seconds(Clock::now() - measured0);
  for (auto& t : threads) t.join();

  // Leave politely; a relay that ignores it costs nothing.
  for (TBot& b : bots)
    if (b.Entered) b.Client->QueueCommand(cmd::Logout, {});
  for (auto end = Clock::now() + milliseconds(200); Clock::now() < end;)
    for (auto& w : workers) w->PumpReady(workers.size() == 1 ? 5 : 0);

  uint64_t sent = 0, sentInWindow = 0, expected = 0, delivered = 0, outside = 0, misaddressed = 0;
  TLatencyHistogram latency;
  for (auto& w : workers) {
    sent += w->Sent;
    sentInWindow += w->SentInWindow;
    expected += w->Expected;
    delivered += w->Delivered;
    outside += w->Outside;
    misaddressed += w->Misaddressed;
    latency.Merge(w->Latency);
  }
  const double ratio = expected ? static_cast<double>(delivered) / static_cast<double>(expected) : 0;
  const double perSecond = static_cast<double>(delivered) / o.Duration;
  const double serverCpu = (serverCpu0 >= 0 && serverCpu1 >= 0) ? serverCpu1 - serverCpu0 : -1;
  const double ownCpu = ownCpu1 - ownCpu0;
  uint32_t fewest = ~0u, most = 0;
  for (const auto& [name, count] : members) {
    fewest = std::min(fewest, count);
    most = std::max(most, count);
  }
  if (members.empty()) fewest = 0;

  std::printf("logins: %d of %d (%d refused, %d unanswered) in %.2f s, slowest %.1f ms\n", loggedIn, o.Clients,
              refused, lost, Seconds(loginTime), Seconds(slowest) * 1e3);
  std::printf("cpu during the logins: server %.2f s, bot %.2f s\n", loginServerCpu, loginOwnCpu);
  std::printf("channels: %zu, %u to %u members; speakers: %d at %d frames/s, %d payload bytes\n", members.size(),
              fewest, most, speaking, o.Fps, o.Payload);
  std::printf("voice datagrams sent: %llu (%llu in the %.1f s window)\n", static_cast<unsigned long long>(sent),
              static_cast<unsigned long long>(sentInWindow), o.Duration);
  std::printf("deliveries: expected %llu, delivered %llu, ratio %.4f, %.0f per second (%llu outside the window)\n",
              static_cast<unsigned long long>(expected), static_cast<unsigned long long>(delivered), ratio,
              perSecond, static_cast<unsigned long long>(outside));
  auto ms = [&](double fraction) { return static_cast<double>(latency.Percentile(fraction)) / 1e3; };
  std::printf("latency: p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, p99.9 %.3f ms, max %.3f ms\n", ms(0.5), ms(0.9),
              ms(0.99), ms(0.999), static_cast<double>(latency.Max()) / 1e3);
  if (misaddressed) std::printf("voice for other players or too short: %llu\n", static_cast<unsigned long long>(misaddressed));
  if (serverCpu >= 0)
    std::printf("server cpu: %.2f s in %.2f s (%.0f%% of a core), %.2f us per delivery\n", serverCpu, window,
                100 * serverCpu / window, delivered ? serverCpu * 1e6 / static_cast<double>(delivered) : 0.0);
  if (serverRss >= 0)
    std::printf("server resident: %.1f MiB (peak %.1f MiB)\n", static_cast<double>(serverRss) / 1024,
                static_cast<double>(serverPeak) / 1024);
  std::printf("bot cpu: %.2f s (%.0f%% of a core)\n", ownCpu, 100 * ownCpu / window);
  std::printf(
      "RESULT logins=%d clients=%d expected=%llu delivered=%llu ratio=%.4f per_s=%.0f p50_us=%llu p99_us=%llu "
      "max_us=%llu server_cpu_s=%.3f bot_cpu_s=%.3f window_s=%.3f server_rss_kib=%ld login_s=%.2f server_hwm_kib=%ld\n",
      loggedIn, o.Clients, static_cast<unsigned long long>(expected), static_cast<unsigned long long>(delivered),
      ratio, perSecond, static_cast<unsigned long long>(latency.Percentile(0.5)),
      static_cast<unsigned long long>(latency.Percentile(0.99)), static_cast<unsigned long long>(latency.Max()),
      serverCpu, ownCpu, window, serverRss, Seconds(loginTime), serverPeak);
  return loggedIn > 0 ? 0 : 1;
}
