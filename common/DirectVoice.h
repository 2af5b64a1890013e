// TDirectVoice: relayed voice that leaves at once instead of waiting in its
// recipients' queues. The relay on the socket reader's thread fills it (the
// packet buffer stamps each recipient's header under its lock) and the send
// path writes it with one system call per batch, each datagram made of its
// recipient's 22-byte header and the payload all of them share, so the
// payload is never copied per recipient and no packet is made for it.
//
// A recipient's voice goes this way only when nothing of its connection
// waits to be sent (see TCustomPacketBuffer::FanOutVoice): then sending now
// is what the round robin would have done next, only sooner.
//
// Ownership: the sender owns one and lends it to the relay while it holds
// its send lock; `Payload` points into the received datagram, which the
// caller keeps alive until the batch is sent.
// Thread-safety: none; one thread at a time, under the sender's send lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/Packets.h"

// The fields of the relay's per-recipient part of a VOICES2C datagram.
struct TVoiceRecipient {
  uint32_t PlayerId;
  uint8_t Kind;  // the target kind the recipient sees (offset 2)
};

struct TDirectVoice {
  // Beyond this many recipients of one frame the rest is queued.
  static constexpr size_t kMax = 1024;
  struct TEntry {
    uint8_t Header[kVoiceS2CHeaderSize];
    uint16_t Port;
    uint32_t Ip;  // network byte order
  };

  void Clear() {
    Count = 0;
    Payload = nullptr;
    PayloadSize = 0;
  }

  const uint8_t* Payload = nullptr;
  size_t PayloadSize = 0;
  size_t Count = 0;
  TEntry Entries[kMax];
};
