#include "common/PacketBuffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/Log.h"

namespace {

const char kS2CRecv[] = "S2C recv on Server";
const char kWrongCombo[] = "wrong Connection + player combo";
const char kAfterClose[] = "recv data after close";
const char kWhileClosing[] = "recv command while closing.";
const char kVoiceDuringLogin[] = "Recv voice data during login";
const char kVoiceNotConnected[] = "Sending voice packet to pre connected, closing or closed connection";
const char kSendClosing[] = "Sending packet to closing or closed connection";
const char kInvalidOnBuffer[] = "Invalid packet on buffer";
const char kNoConnection[] = "no connection for player id";
const char kVoiceBacklogFull[] = "voice backlog full";
const char kReplyQueueFull[] = "reply queue full for this connection";
const char kReceivedFull[] = "received queue full for this connection";
const char kLoginQueueFull[] = "login queue full";
const char kBlockedSource[] = "too many wrong session keys from this address";
const char kNoReplySource[] = "source cannot be answered";

// Sources no reply may go to: port 0, "this network" (0.x.x.x), multicast
// and the reserved range with the broadcast address (224 and up). Such a
// source is forged; answering it would only make the server a reflector,
// and the sends fail anyway.
bool Unanswerable(std::string_view address, uint16_t port) {
  if (port == 0) return true;
  unsigned first = 0;
  size_t i = 0;
  for (; i < address.size() && i < 3 && address[i] >= '0' && address[i] <= '9'; ++i)
    first = first * 10 + static_cast<unsigned>(address[i] - '0');
  if (i == 0 || i == address.size() || address[i] != '.') return false;  // not IPv4 dotted
  return first == 0 || first >= 224;
}

// Keeps "hint + 2" of the waiters below the infinite wait.
uint32_t ClampHint(uint32_t hint) {
  return hint == TCustomPacketBuffer::kNever ? hint : std::min<uint32_t>(hint, 0xFFFFFFF0u);
}

}  // namespace

TCustomPacketBuffer::TCustomPacketBuffer(TClock* clock)
    : clock_(clock ? clock : SystemClock()), unknownIdLog_(clock_) {}

TCustomPacketBuffer::~TCustomPacketBuffer() {
  Shutdown();
  TUnknownIdNote note;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    while (TNode* node = all_.Front()) DestroyNode(node);
    note.Suppressed = unknownIdLog_.TakeSuppressed();
  }
  LogUnknownId(note);
  // receivedQueue_ destroys the packets still in it.
}

void TCustomPacketBuffer::Shutdown() {
  if (closing_.exchange(true, std::memory_order_acq_rel)) return;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    ReceiveEvent.SetEvent();
    SendEvent.SetEvent();
  }
  StoppedEvent.WaitFor(kStopWaitMs);
}

void TCustomPacketBuffer::ThreadFinished(int thread) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (thread == 0 || thread == 1) finishedThreads_ |= static_cast<uint8_t>(1u << thread);
  if (finishedThreads_ == 3) StoppedEvent.SetEvent();
}

// ---- helpers (lock held) ---------------------------------------------------------

int64_t TCustomPacketBuffer::MsToCounts(int64_t ms) const {
  const int64_t f = clock_->Frequency();
  return (ms * f + 999) / 1000;
}

// Split so that a nanosecond counter of a long uptime cannot overflow.
int64_t TCustomPacketBuffer::NowMs() const {
  const int64_t counter = clock_->Counter();
  const int64_t f = clock_->Frequency();
  return counter / f * 1000 + counter % f * 1000 / f;
}

uint32_t TCustomPacketBuffer::CountsToMsCeil(int64_t counts) const {
  if (counts <= 0) return 0;
  const int64_t f = clock_->Frequency();
  const int64_t ms = (counts * 1000 + f - 1) / f;
  return static_cast<uint32_t>(std::min<int64_t>(ms, kNever - 1));
}

TCustomPacketBuffer::TNode* TCustomPacketBuffer::Find(uint32_t playerId) const {
  auto it = byId_.find(playerId);
  return it == byId_.end() ? nullptr : it->second;
}

TCustomPacketBuffer::TNode* TCustomPacketBuffer::Find(uint32_t playerId, uint32_t sessionKey) const {
  auto it = byKey_.find(KeyOf(playerId, sessionKey));
  return it == byKey_.end() ? nullptr : it->second;
}

void TCustomPacketBuffer::MarkReady(TNode* node) {
  if (node->Conn.State == csClosed || TReadyList::Contains(node)) return;
  ready_.PushBack(node);
  // While it is in the ready list the sender visits it anyway.
  resends_.Remove(node);
}

// A connection with a command in flight waits in the resend heap for its
// deadline, unless it is in the ready list already.
void TCustomPacketBuffer::RefreshResend(TNode* node) {
  TSingleConnection& c = node->Conn;
  if (!c.InFlight || c.State == csClosed || TReadyList::Contains(node)) {
    resends_.Remove(node);
    return;
  }
  // Due once the whole-millisecond reading exceeds ResendTimeout.
  resends_.Update(node, c.LastResendTime.StartCount + MsToCounts(int64_t{c.ResendTimeout} + 1));
}

void TCustomPacketBuffer::NoteTimeoutDeadline(TNode* node, bool wakeListener) {
  // A reported connection stays in `expired_` until it is heard from again.
  if (TExpiredList::Contains(node)) return;
  const TSingleConnection& c = node->Conn;
  const int64_t deadline = c.LastReceiveTime.StartCount + MsToCounts(c.Timeout());
  TTimeoutEntry& entry = node->Timeout;
  if (TDeadlineHeap<TTimeoutEntry>::Contains(&entry) && deadline >= entry.Deadline) return;
  const TTimeoutEntry* first = timeouts_.Top();
  const bool earliest = !first || deadline < first->Deadline;
  timeouts_.Update(&entry, deadline);
  // A listener asleep on a later hint would otherwise report this late.
  if (wakeListener && earliest) ReceiveEvent.SetEvent();
}

void TCustomPacketBuffer::DestroyNode(TNode* node) {
  all_.Remove(node);
  ready_.Remove(node);
  expired_.Remove(node);
  resends_.Remove(node);
  timeouts_.Remove(&node->Timeout);
  refused_.Remove(node);
  const uint32_t id = node->Conn.PlayerId;
  byKey_.erase(KeyOf(id, node->Conn.SessionKey));
  // The connections of one id form a chain, newest first, so that thousands
  // of refused logins sharing an id cost no walk when one of them goes.
  if (node->OlderSameId) node->OlderSameId->NewerSameId = node->NewerSameId;
  if (node->NewerSameId) {
    node->NewerSameId->OlderSameId = node->OlderSameId;
  } else if (node->OlderSameId) {
    byId_[id] = node->OlderSameId;
  } else {
    byId_.erase(id);
  }
  delete node;
}

// ---- connections -------------------------------------------------------------------

void TCustomPacketBuffer::AddConnection(uint32_t playerId, uint32_t sessionKey, uint32_t maintenanceStart,
                                        uint16_t port, std::string_view address, bool refused) {
  auto node = std::make_unique<TNode>(clock_);
  TSingleConnection& c = node->Conn;
  c.PlayerId = playerId;
  c.SessionKey = sessionKey;
  c.SetAddress(address, port);
  c.SetMaintenanceStart(maintenanceStart);
  node->Refused = refused;
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (TNode* same = Find(playerId, sessionKey)) DestroyNode(same);
  if (refused) {
    // Refusals cost the peer one datagram each: their number is capped, the
    // oldest making room, so a flood of them cannot pile up.
    if (refused_.Size() >= static_cast<size_t>(kMaxRefused)) DestroyNode(refused_.Front());
    refused_.PushBack(node.get());
  }
  TNode*& newest = byId_[playerId];
  node->OlderSameId = newest;
  if (newest) newest->NewerSameId = node.get();
  newest = node.get();
  byKey_[KeyOf(playerId, sessionKey)] = node.get();
  all_.PushBack(node.get());
  NoteTimeoutDeadline(node.release(), true);
}

void TCustomPacketBuffer::RemoveConnection(uint32_t playerId) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (TNode* node = Find(playerId)) DestroyNode(node);
}

void TCustomPacketBuffer::RemoveConnection(uint32_t playerId, uint32_t sessionKey) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (TNode* node = Find(playerId, sessionKey)) DestroyNode(node);
}

int TCustomPacketBuffer::ConnectionCount() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return static_cast<int>(all_.Size());
}

TConnectionInfo TCustomPacketBuffer::GetConnectionInfo(uint32_t playerId) {
  auto clip = [](int64_t v) { return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, 0xFFFFFFFF)); };
  TConnectionInfo info;
  std::lock_guard<std::recursive_mutex> lock(lock_);
  TNode* node = Find(playerId);
  if (!node) return info;
  const TSingleConnection& c = node->Conn;
  info.SessionKey = c.SessionKey;
  info.AverageRtt = static_cast<uint16_t>(std::clamp<int32_t>(c.AverageRtt, 0, 0xFFFF));
  info.Loss = c.LossHundredths();
  info.Port = c.Port;
  info.Address = c.Address;
  info.BytesReceived = clip(c.BytesReceived);
  info.PacketsReceived = c.PacketsReceived;
  info.BytesSent = clip(c.BytesSent);
  info.PacketsSent = c.PacketsSent;
  return info;
}

size_t TCustomPacketBuffer::QueuedToSend() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  size_t queued = 0;
  for (const TNode* node = all_.Front(); node; node = TAllList::Next(node)) {
    const TSingleConnection& c = node->Conn;
    queued += static_cast<size_t>(c.ImmediateQueue.Count + c.CommandQueue.Count + c.VoiceQueue.Count +
                                  c.MaintenanceQueue.Count);
  }
  return queued;
}

TBufferStatistics TCustomPacketBuffer::GetStatistics() const {
  TBufferStatistics s;
  s.PacketsSent = packetsSent_.load(std::memory_order_relaxed);
  s.PacketsReceived = packetsReceived_.load(std::memory_order_relaxed);
  s.BytesSent = bytesSent_.load(std::memory_order_relaxed);
  s.BytesReceived = bytesReceived_.load(std::memory_order_relaxed);
  s.StaleVoiceDropped = staleVoice_.load(std::memory_order_relaxed);
  s.Resends = resent_.load(std::memory_order_relaxed);
  s.SendsLost = sendsLost_.load(std::memory_order_relaxed);
  return s;
}

// ---- receiving ---------------------------------------------------------------------

void TCustomPacketBuffer::LogUnknownId(const TUnknownIdNote& note) {
  if (note.Suppressed)
    LogFmt(LMTERROR, LMDALL, "StoreReceivedPacket", "playerid not found: %1 more lines suppressed",
           {note.Suppressed});
  if (note.Log) LogFmt(LMTERROR, LMDALL, "StoreReceivedPacket", "playerid %1 not found", {note.PlayerId});
}

void TCustomPacketBuffer::StoreReceivedPacket(std::unique_ptr<TPacket> packet) {
  TUnknownIdNote note;
  const char* rejection;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    rejection = StoreLocked(std::move(packet), note);
  }
  LogUnknownId(note);
  if (rejection) throw ECustomPacketBuffer(rejection);
}

const char* TCustomPacketBuffer::TryStoreReceivedPacket(std::unique_ptr<TPacket> packet,
                                                        std::unique_ptr<TPacket>* relayNow) {
  TUnknownIdNote note;
  const char* rejection;
  try {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    rejection = StoreLocked(std::move(packet), note, relayNow);
  } catch (const EFIFOList&) {
    rejection = kCantAllocate;
  } catch (const std::bad_alloc&) {
    rejection = kCantAllocate;
  }
  LogUnknownId(note);
  return rejection;
}

const char* TCustomPacketBuffer::StoreLocked(std::unique_ptr<TPacket> packet, TUnknownIdNote& note,
                                             std::unique_ptr<TPacket>* relayNow) {
  packetsReceived_.fetch_add(1, std::memory_order_relaxed);
  bytesReceived_.fetch_add(static_cast<int64_t>(packet->Size()), std::memory_order_relaxed);
  if (!packet->IsValid()) return kInvalidPacketText;
  if (packet->IsVoiceS2C()) return kS2CRecv;
  if (Unanswerable(packet->Address, packet->Port)) return kNoReplySource;

  const uint32_t playerId = packet->GetPlayerId();
  if (packet->IsMaintenance() && packet->MaintenanceHeader().Subtype() == kMaintenanceLoginRequest &&
      playerId == 0 && packet->GetSessionKey() == 0) {
    if (loginQueue_.Count >= kLoginQueueMax) return kLoginQueueFull;
    loginQueue_.Push(std::move(packet));
    ReceiveEvent.SetEvent();
    return nullptr;
  }

  if (TNode* node = Find(playerId, packet->GetSessionKey()))
    return StoreForConnection(node, std::move(packet), relayNow);
  if (Find(playerId)) {
    // Someone tries keys on a known id: remembered per source, so that the
    // guessing address cannot take a session over when it hits.
    wrongKeys_.Note(packet->Address, NowMs());
    return kWrongCombo;
  }
  note.PlayerId = playerId;
  note.Log = unknownIdLog_.Allow(note.Suppressed);
  return nullptr;
}

bool TCustomPacketBuffer::HasRoom(const TNode* node, bool voice) const {
  if (node->Queued >= kReceivedShare) return false;
  return receivedQueue_.Count < (voice ? kReceivedMax - kCommandReserve : kReceivedMax);
}

void TCustomPacketBuffer::QueueReceived(TNode* node, std::unique_ptr<TPacket> packet) {
  receivedQueue_.Push(std::move(packet));
  ++node->Queued;
  ReceiveEvent.SetEvent();
}

/* Receiving for a connection.
 *
 * The reply address follows the client to a new address or port, but only
 * on a datagram that passes the sequence checks (a new command, the
 * acknowledgement of the command in flight, voice or maintenance that is
 * not stale): a datagram that merely carries the right key, such as a
 * replayed or guessed one, moves nothing. An address that has sent many
 * wrong keys moves nothing at all for a while.
 *
 * A command is acknowledged only once it is queued for the listener: with
 * no room left the acknowledgement is withheld and the client resends, so a
 * full queue delays a command instead of losing it.
 *
 * A refused login's connection is not kept alive by what its peer sends: it
 * goes after its login time-out, counted from its creation.
 */
const char* TCustomPacketBuffer::StoreForConnection(TNode* node, std::unique_ptr<TPacket> packet,
                                                    std::unique_ptr<TPacket>* relayNow) {
  TSingleConnection& c = node->Conn;
  if (c.State == csClosed) return kAfterClose;
  const bool moved = packet->Port != c.Port || packet->Address != c.Address;
  if (moved && wrongKeys_.Blocked(packet->Address, NowMs()))
    return kBlockedSource;
  if (!node->Refused) c.LastReceiveTime.Start();
  auto follow = [&] {
    if (moved) c.SetAddress(packet->Address, packet->Port);
  };

  if (packet->IsAck()) {
    TAckHeader ack = packet->AckHeader();
    if (c.HandleAck(ack.Sequence(), ack.ResendCount())) {
      follow();
      if (c.State == csClosed) {
        expired_.PushBack(node);
        ready_.Remove(node);
        ReceiveEvent.SetEvent();
      } else if (c.CommandsQueued() > 0) {
        MarkReady(node);
      }
      RefreshResend(node);
      if (!relayNow) SendEvent.SetEvent();
    }
    return nullptr;
  }

  if (packet->IsCommand()) {
    TCommandHeader command = packet->CommandHeader();
    const bool fresh = command.Sequence() == c.CommandSeqIn;
    if (fresh && c.State < csDraining && !HasRoom(node, false)) return kReceivedFull;
    const bool deliver = c.SendAck(command.Sequence(), command.ResendCount(), packet->Size());
    if (deliver) follow();
    // The acknowledgement must leave even when the command itself is refused.
    MarkReady(node);
    if (!relayNow) SendEvent.SetEvent();
    if (!deliver) return nullptr;
    if (c.State >= csDraining) return kWhileClosing;
    QueueReceived(node, std::move(packet));
    return nullptr;
  }

  if (packet->IsVoiceC2S()) {
    if (c.State == csLogin) return kVoiceDuringLogin;
    if (c.ReceiveVoiceCounter(packet->VoiceC2SHeader().Counter())) follow();
    c.CountReceived(*packet);
    // Voice that nothing waits ahead of goes straight back to the reader.
    if (relayNow && !listenerBusy_ && receivedQueue_.Empty()) {
      *relayNow = std::move(packet);
      return nullptr;
    }
    if (!HasRoom(node, true)) return kReceivedFull;
    QueueReceived(node, std::move(packet));
    return nullptr;
  }

  // Maintenance: a ping on a connected connection is answered here; the rest is dropped.
  TMaintenanceHeader header = packet->MaintenanceHeader();
  if (!c.ReceiveMaintenanceSequence(header.Sequence())) return nullptr;
  follow();
  if (header.Subtype() != kMaintenancePing || c.State != csConnected) return nullptr;
  const uint32_t pingSequence = header.Sequence();
  packet->SetSize(kPongSize);
  TMaintenanceHeader pong = packet->MaintenanceHeader();
  pong.SetSubtype(kMaintenancePong);
  pong.SetPlayerId(c.PlayerId);
  wire::PutU32(packet->Memory() + 20, pingSequence);
  // A peer that pings faster than its pongs leave loses the pong, not an
  // error raised per datagram.
  if (c.MaintenanceQueue.Count >= c.MaintenanceQueue.MaxItems) return kReplyQueueFull;
  c.MaintenanceQueue.Push(std::move(packet));
  MarkReady(node);
  if (!relayNow) SendEvent.SetEvent();
  return nullptr;
}

// ---- the listener's side -------------------------------------------------------------

int TCustomPacketBuffer::WaitForPacket(uint32_t& playerId, uint32_t& sessionKey, std::unique_ptr<TPacket>& packet) {
  for (;;) {
    int code;
    uint32_t hint;
    if (GetPacket(playerId, sessionKey, code, packet, hint)) return code;
    ReceiveEvent.WaitFor(hint == kNever ? TWindowsEvent::INFINITE : hint + 2);
  }
}

int TCustomPacketBuffer::WaitForPacket(uint32_t& playerId, std::unique_ptr<TPacket>& packet) {
  uint32_t sessionKey;
  return WaitForPacket(playerId, sessionKey, packet);
}

bool TCustomPacketBuffer::GetPacket(uint32_t& playerId, int& code, std::unique_ptr<TPacket>& packet,
                                    uint32_t& hint) {
  uint32_t sessionKey;
  return GetPacket(playerId, sessionKey, code, packet, hint);
}

/* The time-out scan.
 *
 * A connection times out when nothing was heard from it for the time-out of
 * its state, and a closing one closes after ClosingTimeout of silence. Such
 * connections take precedence over queued packets and are reported on every
 * call until the listener removes them, in turn, so that one silent
 * connection cannot hide another.
 *
 * Visiting every connection on every call would make each received datagram
 * cost O(connections), and a flood of login requests leaves thousands of
 * connections lingering in login state. Instead every connection waits in
 * `timeouts_`, a heap ordered by a deadline that is never later than the
 * moment it can expire: hearing from a peer only moves its real deadline
 * later and leaves the heap alone (the receive path stays O(1)); the two
 * events that bring a deadline earlier (a new connection, a connection
 * entering the closing state) update the heap themselves, and an
 * acknowledgement that closes a connection puts it into `expired_` at once.
 * Both also wake the listener, which may be asleep on a hint computed before.
 * Each call takes the due entries off the heap: an expired connection goes to
 * `expired_`, one that was heard from meanwhile goes back with its real
 * deadline. So a connection costs O(log n) once per time-out period, however
 * many there are. Each call then looks only at `expired_`: a connection that
 * is still closed or timed out is reported and moved to the back; one that
 * was heard from meanwhile leaves the list and returns to the heap.
 */
void TCustomPacketBuffer::CollectExpired(const THighPerformanceTime& now) {
  while (TTimeoutEntry* due = timeouts_.Top()) {
    if (due->Deadline > now.StartCount) break;
    TNode* node = due->Node;
    timeouts_.Remove(due);
    if (TExpiredList::Contains(node)) continue;
    TSingleConnection& c = node->Conn;
    const bool wasClosed = c.State == csClosed;
    uint32_t left = 0;
    if (c.IsClosed(now) || (left = c.TimeLeft(now)) == 0) {
      expired_.PushBack(node);
      if (!wasClosed && c.State == csClosed) {
        ready_.Remove(node);
        resends_.Remove(node);
      }
      continue;
    }
    timeouts_.Update(due, now.StartCount + MsToCounts(left));
  }
}

bool TCustomPacketBuffer::GetPacket(uint32_t& playerId, uint32_t& sessionKey, int& code,
                                    std::unique_ptr<TPacket>& packet, uint32_t& hint) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  hint = kNever;
  listenerBusy_ = false;
  if (Closing()) {
    playerId = 0;
    sessionKey = 0;
    code = wpClosing;
    return true;
  }
  // Reset under the lock: a packet queued after this point signals again.
  ReceiveEvent.ResetEvent();
  const THighPerformanceTime now(clock_);
  CollectExpired(now);

  while (TNode* node = expired_.Front()) {
    TSingleConnection& c = node->Conn;
    if (c.IsClosed(now)) code = wpClosed;
    else if (c.TimeLeft(now) == 0) code = wpTimedOut;
    else {
      // Heard from again since the scan.
      expired_.Remove(node);
      NoteTimeoutDeadline(node, false);
      continue;
    }
    expired_.MoveToBack(node);
    playerId = c.PlayerId;
    sessionKey = c.SessionKey;
    listenerBusy_ = true;
    return true;
  }

  // The two queues take turns, so neither a login flood nor a busy session
  // holds up the other.
  TFIFOList<TPacket>* from = &receivedQueue_;
  if (loginQueue_.Count && (loginTurn_ || receivedQueue_.Empty())) from = &loginQueue_;
  if (TPacket* next = from->Peek()) {
    loginTurn_ = from == &receivedQueue_;
    playerId = wire::GetU32(next->Memory() + 8);
    sessionKey = wire::GetU32(next->Memory() + 4);
    if (from == &receivedQueue_)
      if (TNode* node = Find(playerId, sessionKey); node && node->Queued > 0) --node->Queued;
    packet = from->Pop();
    code = wpPacket;
    listenerBusy_ = true;
    return true;
  }
  if (const TTimeoutEntry* first = timeouts_.Top()) hint = ClampHint(CountsToMsCeil(first->Deadline - now.StartCount));
  return false;
}

// ---- the sending side ------------------------------------------------------------------

const char* TCustomPacketBuffer::SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  const char* refused = QueueLocked(std::move(packet), closeAfter, 0);
  if (!refused) SendEvent.SetEvent();
  return refused;
}

size_t TCustomPacketBuffer::SendPackets(std::unique_ptr<TPacket>* packets, size_t count, bool wakeSender) {
  size_t queued = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    for (size_t i = 0; i < count; ++i)
      if (!QueueLocked(std::move(packets[i]), false, kVoiceBacklog)) ++queued;
  }
  // One wake-up for the batch; the sender takes the lock after we let go.
  if (queued && wakeSender) SendEvent.SetEvent();
  return queued;
}

/* The relay's fan-out.
 *
 * A recipient whose connection has nothing waiting (no acknowledgement, no
 * command it may send, no resend due, no voice, no maintenance) would have
 * this frame released first by the round robin anyway, so it may as well
 * leave now, from the relay's own thread: stamped here with the next voice
 * counter, its header goes to `direct` and its payload is the received one.
 * That spares the packet, the copy of the payload, the queue and the trip
 * through the ready list. Everyone else's copy is queued as before, so a
 * connection that is behind keeps its order and its 64-frame bound.
 */
bool TCustomPacketBuffer::FanOutVoice(const uint8_t* header, const TVoiceRecipient* recipients, size_t count,
                                      const uint8_t* payload, size_t payloadSize, int64_t arrivedMs,
                                      TDirectVoice* direct, bool wakeSender) {
  const size_t size = kVoiceS2CHeaderSize + payloadSize;
  // One batch carries one payload.
  if (direct && direct->Count && direct->Payload != payload) direct = nullptr;
  size_t sent = 0;
  size_t queued = 0;
  int64_t sentBytes = 0;
  bool ok = true;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    const THighPerformanceTime now(clock_);
    for (size_t i = 0; i < count; ++i) {
      TNode* node = Find(recipients[i].PlayerId);
      if (!node || node->Conn.State != csConnected) continue;
      TSingleConnection& c = node->Conn;
      // A peer known only by text (no IPv4 number) goes the queued way, which can send to it.
      if (direct && direct->Count < TDirectVoice::kMax && c.PeerIp && !TReadyList::Contains(node) &&
          !c.HasPacketToSend(now)) {
        TDirectVoice::TEntry& entry = direct->Entries[direct->Count++];
        std::memcpy(entry.Header, header, kVoiceS2CHeaderSize);
        entry.Header[2] = recipients[i].Kind;
        wire::PutU32(entry.Header + 8, c.PlayerId);
        c.StampDirectVoice(entry.Header, size, now);
        entry.Ip = c.PeerIp;
        entry.Port = c.Port;
        direct->Payload = payload;
        direct->PayloadSize = payloadSize;
        sentBytes += static_cast<int64_t>(size);
        ++sent;
        continue;
      }
      if (c.VoiceQueue.Count >= kVoiceBacklog) continue;
      std::unique_ptr<TPacket> packet;
      try {
        packet = std::make_unique<TPacket>(size);
        uint8_t* p = packet->Memory();
        std::memcpy(p, header, kVoiceS2CHeaderSize);
        p[2] = recipients[i].Kind;
        wire::PutU32(p + 8, c.PlayerId);
        std::memcpy(p + kVoiceS2CHeaderSize, payload, payloadSize);
        packet->ArrivedMs = arrivedMs;
        c.VoiceQueue.Push(std::move(packet));
      } catch (const std::exception&) {
        ok = false;  // out of memory: the rest of this frame is lost, as a network would lose it
        break;
      }
      MarkReady(node);
      ++queued;
    }
  }
  if (sent) {
    packetsSent_.fetch_add(static_cast<uint32_t>(sent), std::memory_order_relaxed);
    bytesSent_.fetch_add(sentBytes, std::memory_order_relaxed);
  }
  if (queued && wakeSender) SendEvent.SetEvent();
  return ok;
}

const char* TCustomPacketBuffer::QueueLocked(std::unique_ptr<TPacket> packet, bool closeAfter, int voiceLimit) {
  if (!packet) return kInvalidOnBuffer;
  TNode* node = packet->Size() >= 12 ? Find(wire::GetU32(packet->Memory() + 8)) : nullptr;
  if (!node) return kNoConnection;
  TSingleConnection& c = node->Conn;
  const bool voice = packet->IsVoiceC2S() || packet->IsVoiceS2C();
  if (c.State != csConnected && voice) return kVoiceNotConnected;
  if (c.State >= csDraining) return kSendClosing;
  TPacketQueue* queue;
  if (packet->IsCommand()) queue = &c.CommandQueue;
  else if (packet->IsVoiceS2C()) queue = &c.VoiceQueue;
  else if (packet->IsMaintenance()) queue = &c.MaintenanceQueue;
  else return kInvalidOnBuffer;
  if (voiceLimit && queue == &c.VoiceQueue && queue->Count >= voiceLimit) return kVoiceBacklogFull;
  // A full queue loses the packet, counted; notices waiting between the
  // command packets count against the same bound.
  // A closing packet that is lost still closes: a player kicked while its
  // queue is full must not stay connected until it times out.
  if (queue->Count >= queue->MaxItems ||
      (queue == &c.CommandQueue && c.CommandsQueued() >= TSingleConnection::kQueueMax)) {
    sendsLost_.fetch_add(1, std::memory_order_relaxed);
    if (closeAfter) c.State = csDraining;
    return kCantAllocate;
  }
  try {
    queue->Push(std::move(packet));
  } catch (const std::bad_alloc&) {
    sendsLost_.fetch_add(1, std::memory_order_relaxed);
    if (closeAfter) c.State = csDraining;
    return kCantAllocate;
  }
  MarkReady(node);
  if (closeAfter) c.State = csDraining;
  return nullptr;
}

size_t TCustomPacketBuffer::SendNotice(uint16_t command, const uint8_t* payload, size_t size,
                                       const uint32_t* recipients, size_t count) {
  size_t queued = 0;
  uint64_t lost = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    uint64_t number = 0;
    try {
      number = notices_.Append(command, payload, size);
    } catch (const std::exception&) {
      // Too large to log, or out of memory: nobody gets it, and each
      // recipient's loss is counted.
      sendsLost_.fetch_add(count, std::memory_order_relaxed);
      return 0;
    }
    for (size_t i = 0; i < count; ++i) {
      TNode* node = Find(recipients[i]);
      // As for a command packet: nothing for a closing connection, and a
      // full queue loses the notice.
      if (!node || node->Conn.State >= csDraining) continue;
      TSingleConnection& c = node->Conn;
      if (c.CommandsQueued() >= TSingleConnection::kQueueMax) {
        ++lost;
        continue;
      }
      try {
        c.Notices.Push(notices_, number, c.CommandQueue.Count);
      } catch (const std::bad_alloc&) {
        // Out of memory part-way: those queued keep their holds, the rest
        // lose the notice.
        lost += count - i;
        break;
      }
      MarkReady(node);
      ++queued;
    }
    // An entry nobody holds must not stay in the log for good.
    notices_.DropIfUnheld(number);
  }
  if (lost) sendsLost_.fetch_add(lost, std::memory_order_relaxed);
  if (queued) SendEvent.SetEvent();
  return queued;
}

std::unique_ptr<TPacket> TCustomPacketBuffer::GetPacketToSend() {
  if (Closing()) return nullptr;
  for (;;) {
    uint32_t hint;
    std::unique_ptr<TPacket> packet;
    if (NextPacketsToSend(&packet, 1, hint)) return packet;
    if (Closing()) return nullptr;
    SendEvent.WaitFor(hint == kNever ? TWindowsEvent::INFINITE : hint + 2);
  }
}

/* The send round robin.
 *
 * Connections take turns: one packet per connection per round, so a
 * connection with a long voice queue cannot starve the others. Rather than
 * asking every connection in turn whether it has something (O(connections)
 * per datagram), the buffer keeps `ready_`, the connections that have a
 * packet to release now, in the order they became ready. Each attempt takes
 * the first of them, lets it release one packet (acknowledgements first,
 * then a due resend, the next command, voice, maintenance; the connection
 * decides), and puts it at the back if it has more, so the list itself is
 * the round. Queuing anything to a connection appends it.
 *
 * Resends need no queuing to fall due, so the connections with a command in
 * flight wait in `resends_`, a heap ordered by the moment their resend falls
 * due. At the start of each attempt the due ones join `ready_`; the earliest
 * deadline left is the hint for the sender's wait. A closed connection sends
 * nothing and leaves both.
 */
std::unique_ptr<TPacket> TCustomPacketBuffer::NextPacketToSend(uint32_t& hint) {
  std::unique_ptr<TPacket> packet;
  NextPacketsToSend(&packet, 1, hint);
  return packet;
}

size_t TCustomPacketBuffer::NextPacketsToSend(std::unique_ptr<TPacket>* out, size_t max, uint32_t& hint,
                                              bool consumeWakeup) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  hint = kNever;
  if (consumeWakeup) SendEvent.ResetEvent();
  const THighPerformanceTime now(clock_);

  while (TNode* top = resends_.Top()) {
    if (top->Deadline > now.StartCount) break;
    resends_.Remove(top);
    ready_.PushBack(top);
  }

  // A connection that stays ready goes to the back, so a batch takes one
  // packet per connection per round as single calls do. The walk ends when
  // a whole round released nothing.
  size_t taken = 0;
  size_t idle = 0;
  uint32_t resends = 0;
  while (taken < max && !ready_.Empty() && idle <= ready_.Size()) {
    TNode* node = ready_.Front();
    TSingleConnection& c = node->Conn;
    ready_.Remove(node);
    if (c.State == csClosed) {
      resends_.Remove(node);
      continue;
    }
    const uint8_t before = c.State;
    const uint32_t staleBefore = c.StaleVoiceDropped;
    const uint32_t resendsBefore = c.Resends;
    std::unique_ptr<TPacket> packet = c.GetPacketToSend(now);
    if (c.StaleVoiceDropped != staleBefore)
      staleVoice_.fetch_add(c.StaleVoiceDropped - staleBefore, std::memory_order_relaxed);
    resends += c.Resends - resendsBefore;
    if (c.State == csClosing && before != csClosing) NoteTimeoutDeadline(node, true);
    if (c.HasPacketToSend(now)) ready_.PushBack(node);
    else RefreshResend(node);
    if (!packet) {
      ++idle;
      continue;
    }
    idle = 0;
    packetsSent_.fetch_add(1, std::memory_order_relaxed);
    bytesSent_.fetch_add(static_cast<int64_t>(packet->Size()), std::memory_order_relaxed);
    out[taken++] = std::move(packet);
  }

  if (resends) resent_.fetch_add(resends, std::memory_order_relaxed);
  if (taken == 0)
    if (TNode* top = resends_.Top()) hint = ClampHint(top->Conn.TimeToNextSend(now));
  return taken;
}
