#include "common/SingleConnection.h"

#include <algorithm>
#include <cstdint>

int64_t RoundHalfEven(int64_t num, int64_t den) {
  const int64_t q = num / den;
  const int64_t twiceRem = (num % den) * 2;
  if (twiceRem > den || (twiceRem == den && (q & 1))) return q + 1;
  return q;
}

TSingleConnection::TSingleConnection(TClock* clock)
    : FirstSendTime(clock), LastResendTime(clock), LastReceiveTime(clock), LastSendTime(clock) {
  // Creation records one sample of 50 ms in slot 0; the others start at 50 too.
  std::fill(std::begin(RttSamples), std::end(RttSamples), 50);
}

// ---- sending ------------------------------------------------------------------

bool TSingleConnection::ResendDue(const TPerformanceTime& now) {
  return InFlight && LastResendTime.ElapsedTo(kMaxValidMs, now) > ResendTimeout;
}

std::unique_ptr<TPacket> TSingleConnection::GetPacketToSend(const TPerformanceTime& now) {
  if (!ImmediateQueue.Empty()) return Release(ImmediateQueue.Pop());

  if (ResendDue(now)) {
    TCommandHeader header = InFlight->CommandHeader();
    header.SetResendCount(static_cast<uint16_t>(header.ResendCount() + 1));
    LastResendTime.Start();
    ++Resends;
    auto copy = std::make_unique<TPacket>();
    copy->Assign(*InFlight);
    return Release(std::move(copy));
  }

  if (!InFlight && CommandsQueued() > 0) {
    if (Notices.NoticeIsNext() || CommandQueue.Empty()) {
      InFlight = Notices.TakeNotice(PlayerId);
    } else {
      InFlight = CommandQueue.Pop();
      Notices.PacketTaken();
    }
    ++CommandSeqOut;
    TCommandHeader header = InFlight->CommandHeader();
    header.SetSequence(CommandSeqOut);
    header.SetSessionKey(SessionKey);
    header.SetResendCount(0);
    FirstSendTime.Start();
    LastResendTime.Assign(FirstSendTime);
    if (State == csDraining && CommandsQueued() == 0) State = csClosing;
    auto copy = std::make_unique<TPacket>();
    copy->Assign(*InFlight);
    return Release(std::move(copy));
  }

  for (int64_t nowMs = 0; !VoiceQueue.Empty();) {
    auto packet = VoiceQueue.Pop();
    if (packet->ArrivedMs) {
      if (!nowMs) nowMs = TPacket::SteadyMs();
      if (packet->VoiceIsStale(nowMs)) {
        ++StaleVoiceDropped;
        continue;
      }
    }
    StampVoice(packet->Memory());
    return Release(std::move(packet));
  }

  if (!MaintenanceQueue.Empty()) {
    auto packet = MaintenanceQueue.Pop();
    ++MaintenanceSeqOut;
    wire::PutU32(packet->Memory() + 12, MaintenanceSeqOut);
    // The login reply travels before the client knows its key.
    const bool loginReply = wire::GetU16(packet->Memory() + 2) == kMaintenanceLoginReply;
    wire::PutU32(packet->Memory() + 4, loginReply ? 0 : SessionKey);
    return Release(std::move(packet));
  }
  return nullptr;
}

std::unique_ptr<TPacket> TSingleConnection::Release(std::unique_ptr<TPacket> packet) {
  packet->UpdateCRC();
  packet->SetPeer(Address, PeerIp, Port);
  LastSendTime.Start();
  ++PacketsSent;
  BytesSent += static_cast<int64_t>(packet->Size());
  return packet;
}

void TSingleConnection::StampVoice(uint8_t* header) {
  VoiceCounterOut = VoiceCounterOut >= 65535 ? 0 : VoiceCounterOut + 1;
  wire::PutU16(header + 12, static_cast<uint16_t>(VoiceCounterOut));
  wire::PutU32(header + 4, SessionKey);
}

void TSingleConnection::StampDirectVoice(uint8_t* header, size_t size, const THighPerformanceTime& now) {
  StampVoice(header);
  LastSendTime.StartCount = now.StartCount;
  ++PacketsSent;
  BytesSent += static_cast<int64_t>(size);
}

uint32_t TSingleConnection::TimeToNextSend(const TPerformanceTime& now) {
  if (!InFlight) return kNever;
  const int32_t left = ResendTimeout - LastResendTime.ElapsedTo(kMaxValidMs, now);
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

bool TSingleConnection::HasPacketToSend(const TPerformanceTime& now) {
  return !ImmediateQueue.Empty() || (!InFlight && CommandsQueued() > 0) || !VoiceQueue.Empty() ||
         !MaintenanceQueue.Empty() || ResendDue(now);
}

// ---- receiving ----------------------------------------------------------------

bool TSingleConnection::SendAck(uint32_t sequence, uint16_t resendCount, size_t size) {
  ++PacketsReceived;
  BytesReceived += static_cast<int64_t>(size);
  ImmediateQueue.Push(NewAckPacket(SessionKey, PlayerId, sequence, resendCount));
  if (sequence != CommandSeqIn) return false;
  ++CommandSeqIn;
  return true;
}

bool TSingleConnection::HandleAck(uint32_t sequence, uint16_t resendCount) {
  ++PacketsReceived;
  BytesReceived += static_cast<int64_t>(kAckSize);
  if (!InFlight) return false;
  TCommandHeader header = InFlight->CommandHeader();
  if (sequence != header.Sequence()) return false;
  if (resendCount != 0) {
    // Which copy arrived is unknown, so a resent command gives no round-trip sample.
    PacketsLost += resendCount;
  } else {
    const int32_t rtt = FirstSendTime.Elapsed(kMaxValidMs, true);
    if (rtt > 0) AddRttSample(rtt);
  }
  if (State == csLogin && header.Command() == kCommandListsEnd) State = csConnected;
  if (State == csClosing) State = csClosed;
  InFlight.reset();
  return true;
}

void TSingleConnection::CountReceived(const TPacket& packet) {
  ++PacketsReceived;
  BytesReceived += static_cast<int64_t>(packet.Size());
}

void TSingleConnection::AddRttSample(int32_t ms) {
  RttSamples[RttIndex] = ms;
  RttIndex = (RttIndex + 1) % 16;
  int64_t sum = 0;
  for (int32_t s : RttSamples) sum += s;
  // Exact arithmetic: mean = sum/16, time-out = mean * 1.2 = sum*3/40.
  AverageRtt = static_cast<int32_t>(RoundHalfEven(sum, 16));
  ResendTimeout = static_cast<int32_t>(std::max<int64_t>(10, RoundHalfEven(sum * 3, 40)));
}

bool TSingleConnection::ReceiveVoiceCounter(uint16_t counter) {
  if (counter < VoiceCounterIn) return false;
  const uint32_t gap = counter - VoiceCounterIn;
  // A larger jump is a wrap or a reordering, not loss.
  if (gap < 10000) PacketsLost += gap;
  const uint32_t next = static_cast<uint32_t>(counter) + 1;
  VoiceCounterIn = next >= 65535 ? 0 : next;
  return true;
}

bool TSingleConnection::ReceiveMaintenanceSequence(uint32_t sequence) {
  if (sequence < MaintenanceSeqIn) return false;
  PacketsLost += sequence - MaintenanceSeqIn;
  MaintenanceSeqIn = sequence + 1;
  return true;
}

// ---- state --------------------------------------------------------------------

bool TSingleConnection::IsClosed(const TPerformanceTime& now) {
  if (State == csClosing && LastReceiveTime.ElapsedTo(kMaxValidMs, now) >= ClosingTimeout) State = csClosed;
  return State == csClosed;
}

int32_t TSingleConnection::Timeout() const {
  switch (State) {
    case csLogin: return LoginTimeout;
    case csConnected:
    case csDraining: return ConnectedTimeout;
    case csClosing: return ClosingTimeout;
    default: return 0;
  }
}

uint32_t TSingleConnection::TimeLeft(const TPerformanceTime& now) {
  const int32_t timeout = Timeout();
  if (timeout == 0) return 0;
  const int32_t left = timeout - LastReceiveTime.ElapsedTo(kMaxValidMs, now);
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}

uint16_t TSingleConnection::LossHundredths() const {
  if (PacketsReceived == 0) return 0;
  const int64_t total = static_cast<int64_t>(PacketsReceived) + PacketsLost;
  // Maintenance sequence jumps can make the loss count huge; past the point
  // where the product would overflow, the ratio is all but 1 anyway.
  if (PacketsLost > INT64_MAX / 10000) return static_cast<uint16_t>(10000.0L * PacketsLost / total + 0.5L);
  return static_cast<uint16_t>(RoundHalfEven(PacketsLost * 10000, total));
}
