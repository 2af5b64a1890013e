// TSingleConnection: the transport state of one logged-in client: its
// address, the session key and player id every packet must carry, four
// outgoing queues, sequence numbers and counters of both directions, the
// stop-and-wait resending of commands with its round-trip estimate, the
// connection state with its time-outs, and traffic statistics.
//
// Ownership: the packet buffer creates and destroys connections; a
// connection owns its queues, the packets in them and the command in flight.
// Thread-safety: none of its own. Every call is made with the packet buffer's
// lock held.
//
// Time: every stopwatch reads the TClock given at creation, so tests drive a
// connection with a TManualClock. Operations that take `now` measure against
// that one instant, so all connections of one scan see the same moment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "common/FIFOList.h"
#include "common/NoticeLog.h"
#include "common/Packets.h"
#include "common/PerformanceTime.h"

enum TConnectionState : uint8_t {
  csLogin = 0,
  csConnected = 1,
  csDraining = 2,  // a packet was queued with CloseAfter; the remaining commands still go out
  csClosing = 3,   // the last command is in flight
  csClosed = 4,
};

using TPacketQueue = TFIFOList<TPacket>;

class TSingleConnection {
 public:
  static constexpr int kQueueStart = 16;
  static constexpr int kSmallQueueStart = 4;
  static constexpr int kQueueMax = 1024;
  static constexpr int kQueueGrow = 16;
  // A stopwatch reading beyond this (or negative) restarts it and counts as 0.
  static constexpr int32_t kMaxValidMs = 120000;
  static constexpr uint32_t kNever = 0xFFFFFFFFu;

  explicit TSingleConnection(TClock* clock = nullptr);
  TSingleConnection(const TSingleConnection&) = delete;
  TSingleConnection& operator=(const TSingleConnection&) = delete;

  // Every received datagram reports its source here; the address is parsed
  // only when it changes, so that no datagram sent parses text.
  void SetAddress(std::string_view address, uint16_t port) {
    Port = port;
    if (address == Address) return;
    Address.assign(address);
    PeerIp = ParseIPv4Address(address);
  }
  // Maintenance sequence numbers of both directions start from `start`.
  void SetMaintenanceStart(uint32_t start) {
    MaintenanceSeqOut = start;
    MaintenanceSeqIn = start + 2;
  }

  // The next packet this connection releases, stamped and addressed, or none.
  // Priority: acknowledgements, a due resend, the next command (only when
  // none is in flight; a packet or a notice, in the order they were queued),
  // voice, maintenance. The caller owns the result.
  std::unique_ptr<TPacket> GetPacketToSend(const TPerformanceTime& now);
  // Milliseconds until a resend falls due, or kNever when no command is in
  // flight. Queued packets need no deadline: queuing wakes the sender.
  uint32_t TimeToNextSend(const TPerformanceTime& now);
  // True when GetPacketToSend would release something without waiting for a
  // deadline (a resend that is already due counts).
  bool HasPacketToSend(const TPerformanceTime& now);
  // Commands waiting to be taken into flight, packets and notices.
  int CommandsQueued() const { return CommandQueue.Count + static_cast<int>(Notices.Count()); }
  // Stamps a relayed VOICES2C datagram that leaves without being queued
  // (`header`: its first kVoiceS2CHeaderSize bytes; `size`: the whole
  // datagram) with the next voice counter and the session key, and counts
  // it as sent at `now`. Only for a connection with nothing to send, so that
  // it leaves in the order GetPacketToSend would have released it.
  void StampDirectVoice(uint8_t* header, size_t size, const THighPerformanceTime& now);

  // For every received COMMAND: queues its acknowledgement and tells whether
  // to deliver it (false for a repeat of one already delivered).
  bool SendAck(uint32_t sequence, uint16_t resendCount, size_t size);
  // For every received ACK: true when it acknowledged the command in flight.
  bool HandleAck(uint32_t sequence, uint16_t resendCount);
  void CountReceived(const TPacket& packet);
  void AddRttSample(int32_t ms);
  // Voice counter of a received voice packet; gaps below 10000 count as loss.
  // False when the packet is late (its counter is below the expected one).
  bool ReceiveVoiceCounter(uint16_t counter);
  // Maintenance sequence of a received packet; false when it is stale.
  bool ReceiveMaintenanceSequence(uint32_t sequence);

  // A closing connection closes after ClosingTimeout of silence.
  bool IsClosed(const TPerformanceTime& now);
  // Milliseconds until the connection times out by its state, at least 0.
  uint32_t TimeLeft(const TPerformanceTime& now);
  // The time-out of the current state in milliseconds (0 once closed).
  int32_t Timeout() const;
  // Loss estimate in hundredths of a percent (10000 = 100 %), 0 before anything was received.
  uint16_t LossHundredths() const;

  uint32_t PlayerId = 0;
  uint32_t SessionKey = 0;
  std::string Address;
  uint16_t Port = 0;
  uint32_t PeerIp = 0;  // Address in network byte order (0: not an IPv4 address)
  uint8_t State = csLogin;
  // Sized for the idle case, since a server keeps these for each of its
  // thousands of players: acknowledgements and pongs leave as soon as they
  // are queued, so a small ring stays; the command queue empties whenever
  // its last command went into flight and keeps no ring then (the player
  // list of a login grows it to dozens).
  TPacketQueue ImmediateQueue{kSmallQueueStart, kQueueMax, kQueueGrow};
  TPacketQueue CommandQueue{kQueueStart, kQueueMax, kQueueGrow, 0};
  // Notices shared with other recipients, in their places between the
  // packets of CommandQueue; built when taken into flight.
  TNoticeQueue Notices;
  TPacketQueue VoiceQueue{kQueueStart, kQueueMax, kQueueGrow};
  TPacketQueue MaintenanceQueue{kSmallQueueStart, kQueueMax, kQueueGrow};
  uint32_t CommandSeqOut = 0;
  uint32_t VoiceCounterOut = 0;
  uint32_t StaleVoiceDropped = 0;  // relayed voice that grew too old here to be worth sending
  uint32_t Resends = 0;            // the in-flight command sent again
  uint32_t MaintenanceSeqOut = 0;
  uint32_t CommandSeqIn = 1;
  uint32_t VoiceCounterIn = 1;
  uint32_t MaintenanceSeqIn = 0;
  std::unique_ptr<TPacket> InFlight;
  THighPerformanceTime FirstSendTime;
  THighPerformanceTime LastResendTime;
  int32_t ResendTimeout = 60;
  int32_t RttSamples[16];
  int RttIndex = 1;
  int32_t AverageRtt = 50;
  THighPerformanceTime LastReceiveTime;
  THighPerformanceTime LastSendTime;
  int32_t ClosingTimeout = 2000;
  int32_t LoginTimeout = 2000;
  int32_t ConnectedTimeout = 15000;
  uint32_t PacketsSent = 0;
  int64_t BytesSent = 0;
  uint32_t PacketsReceived = 0;
  int64_t BytesReceived = 0;
  int64_t PacketsLost = 0;

 private:
  // Stamps, addresses and counts a packet that leaves.
  std::unique_ptr<TPacket> Release(std::unique_ptr<TPacket> packet);
  // The voice counter and session key of an outgoing voice datagram.
  void StampVoice(uint8_t* header);
  bool ResendDue(const TPerformanceTime& now);
};

// Rounds num/den (den > 0, num >= 0) to the nearest integer, halves to even.
int64_t RoundHalfEven(int64_t num, int64_t den);
