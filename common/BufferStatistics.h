// TBufferStatistics: a packet buffer's totals since it was created, as a
// plain value. The buffer fills it (TCustomPacketBuffer::GetStatistics); the
// id's counters carry the totals of earlier runs in it, the load sampler
// and the administration's door read it. Kept apart from the buffer so that
// those readers need not see the buffer itself.
//
// Thread-safety: a value; whoever holds one owns it.
#pragma once

#include <cstdint>

// 64 bits throughout: a monitor reads a total that wraps as a restart.
struct TBufferStatistics {
  uint64_t PacketsSent = 0;
  uint64_t PacketsReceived = 0;
  int64_t BytesSent = 0;
  int64_t BytesReceived = 0;
  uint64_t StaleVoiceDropped = 0;  // voice dropped unrelayed because it waited too long
  uint64_t Resends = 0;            // commands sent again for want of an acknowledgement
  // Outgoing packets and notices lost to a connection's full queue (or to a
  // lack of memory) instead of being queued.
  uint64_t SendsLost = 0;
};
