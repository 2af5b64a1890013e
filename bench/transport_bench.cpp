// The voice hot path: the cost of one datagram through the packet buffer,
// with 10, 1,000 and 10,000 connections of which one is busy. The figure
// should not grow with the number of idle connections.
#include <benchmark/benchmark.h>

#include "common/PacketBuffer.h"
#include "tests/support/TransportDriver.h"

namespace {

using namespace transport_driver;

uint32_t KeyOf(uint32_t id) { return id * 2654435761u % 16777213u + 1; }

// A buffer whose connections have all completed their login.
struct TLoadedBuffer {
  explicit TLoadedBuffer(int connections) {
    for (int i = 1; i <= connections; ++i) Connect(buffer, static_cast<uint32_t>(i), KeyOf(static_cast<uint32_t>(i)));
    Busy = static_cast<uint32_t>(connections / 2 + 1);
  }
  ~TLoadedBuffer() {
    buffer.ThreadFinished(0);
    buffer.ThreadFinished(1);
  }
  TCustomPacketBuffer buffer;
  uint32_t Busy;
};

// Socket reader to listener: a received voice datagram is checked, queued and taken.
void BM_StoreReceivedAndWait(benchmark::State& state) {
  TLoadedBuffer b(static_cast<int>(state.range(0)));
  uint16_t counter = 1;
  uint32_t id;
  std::unique_ptr<TPacket> packet;
  for (auto _ : state) {
    b.buffer.StoreReceivedPacket(ClientVoice(b.Busy, KeyOf(b.Busy), counter++, 100));
    b.buffer.WaitForPacket(id, packet);
    benchmark::DoNotOptimize(packet.get());
  }
  state.SetItemsProcessed(state.iterations());
}

// Relay to sender: a voice datagram is queued for one connection and released.
void BM_SendPacketAndGetToSend(benchmark::State& state) {
  TLoadedBuffer b(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    b.buffer.SendPacket(NewVoiceS2CPacket(b.Busy, 3, 100), false);
    std::unique_ptr<TPacket> packet = b.buffer.GetPacketToSend();
    benchmark::DoNotOptimize(packet.get());
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_StoreReceivedAndWait)->Arg(10)->Arg(1000)->Arg(10000);
BENCHMARK(BM_SendPacketAndGetToSend)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace
