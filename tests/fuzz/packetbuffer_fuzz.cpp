// Feeds arbitrary datagrams (0 to 65535 bytes) through StoreReceivedPacket
// of a buffer with a few live connections, in the three states a datagram
// can meet (login, connected, draining), and plays the listener and the
// sender after each one so that nothing piles up.
//
// Input: a sequence of records [flags u8][length u16 LE][bytes...].
//   flags & 3     stamp the datagram with the ids of connection 1..3 (0: as is)
//   flags & 4     set a correct checksum
//   flags & 8     advance the clock by 100 ms; flags & 16 by 3000 ms
//   flags & 32    queue a command with close-after for the stamped connection
//   flags & 64    the length is the datagram's size; the bytes given are its start
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/PacketBuffer.h"
#include "tests/support/TransportDriver.h"

namespace {

using namespace transport_driver;

constexpr uint32_t kIds[] = {0, 1, 2, 3};
constexpr uint32_t kKeys[] = {0, 0x11, 0x22, 0x33};

void Drain(TCustomPacketBuffer& buffer) {
  uint32_t id, hint;
  int code;
  for (;;) {
    std::unique_ptr<TPacket> packet;
    if (!buffer.GetPacket(id, code, packet, hint)) break;
    if (code == wpTimedOut || code == wpClosed) buffer.RemoveConnection(id);
  }
  while (buffer.NextPacketToSend(hint)) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TManualClock clock;
  TCustomPacketBuffer buffer(&clock);
  buffer.ThreadFinished(0);
  buffer.ThreadFinished(1);
  buffer.AddConnection(kIds[1], kKeys[1], 1, kClientPort, kClientAddress);
  Connect(buffer, kIds[2], kKeys[2]);
  Connect(buffer, kIds[3], kKeys[3]);
  buffer.SendPacket(NewCommandPacket(0x65, kIds[3]), true);

  while (size >= 3) {
    const uint8_t flags = data[0];
    size_t length = static_cast<size_t>(data[1] | (data[2] << 8));
    data += 3;
    size -= 3;
    const size_t given = length < size ? length : size;
    if (!(flags & 64)) length = given;
    auto packet = std::make_unique<TPacket>(length);
    if (given) std::memcpy(packet->Memory(), data, given);
    data += given;
    size -= given;
    packet->SetAddress(kClientAddress, kClientPort);

    const unsigned who = flags & 3;
    if (who && length >= 12) {
      wire::PutU32(packet->Memory() + 4, kKeys[who]);
      wire::PutU32(packet->Memory() + 8, kIds[who]);
    }
    if ((flags & 4) && packet->HasClass()) packet->UpdateCRC();
    if (flags & 8) clock.AdvanceMs(100);
    if (flags & 16) clock.AdvanceMs(3000);
    if ((flags & 32) && who) buffer.SendPacket(NewCommandPacket(0x66, kIds[who]), true);

    buffer.TryStoreReceivedPacket(std::move(packet));
    Drain(buffer);
  }
  return 0;
}
