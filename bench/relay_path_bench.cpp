// The relay path in one process: one speaker's frame through a running
// virtual server (socket reader, packet buffer, relay, send path) to N
// listeners on loopback sockets, timed until the last listener has it. One
// iteration is one frame; the items are deliveries. The process CPU time per
// delivery includes the listeners' own receiving, which is the same for
// every version of the server, so it compares versions, not relays.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "support/CountingNew.h"
#include "support/ServerFixture.h"

// Under callgrind the frames alone are counted (the logins are not): the
// counts start with the timed loop and are written out at its end.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif


namespace {

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Waits (at most a second per listener) until `client` has `count` frames.
bool AwaitVoice(TVoiceClient& client, uint64_t count) {
  while (client.VoiceReceived < count) {
    pollfd p{client.Fd(), POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    client.Pump();
  }
  return true;
}

void BM_RelayOneToN(benchmark::State& state) {
  const int listeners = static_cast<int>(state.range(0));
  // Allocations are counted on the server's threads only: the clients'
  // receiving is not the server's cost per frame, which should stay at zero.
  counting_new::LeaveThisThreadUncounted();
  TServerFixture fixture;
  fixture.Settings.ServerMaxUsers = static_cast<uint16_t>(listeners + 10);
  if (!fixture.Start()) {
    state.SkipWithError("server did not start");
    return;
  }
  std::vector<std::unique_ptr<TVoiceClient>> clients;
  for (int i = 0; i < listeners; ++i) {
    clients.push_back(fixture.Connect("listener" + std::to_string(i)));
    if (!clients.back()) {
      state.SkipWithError("a listener did not log in");
      return;
    }
    clients.back()->KeepVoice = false;
  }
  auto speaker = fixture.Connect("speaker");
  if (!speaker) {
    state.SkipWithError("the speaker did not log in");
    return;
  }
  // The notices of everyone's arrival are not part of the figure.
  for (auto& c : clients) c->PumpFor(1);

  const std::vector<uint8_t> frame(100, 0x5A);
  uint64_t sent = 0;
  const double cpuBefore = ProcessCpuSeconds();
  counting_new::allocations = 0;
  counting_new::counting = true;
  CALLGRIND_ZERO_STATS;
  for (auto _ : state) {
    speaker->SendVoice(0, 1, 0, frame.data(), frame.size());
    ++sent;
    for (auto& c : clients)
      if (!AwaitVoice(*c, sent)) {
        counting_new::counting = false;
        state.SkipWithError("a frame was lost");
        return;
      }
  }
  CALLGRIND_DUMP_STATS_AT("relay loop");
  counting_new::counting = false;
  const double deliveries = static_cast<double>(sent) * listeners;
  state.SetItemsProcessed(static_cast<int64_t>(deliveries));
  state.counters["cpu_us_per_delivery"] = (ProcessCpuSeconds() - cpuBefore) * 1e6 / deliveries;
  state.counters["server_allocs_per_frame"] = static_cast<double>(counting_new::allocations.load()) / static_cast<double>(sent);
}

BENCHMARK(BM_RelayOneToN)->Arg(10)->Arg(100)->Arg(400)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
