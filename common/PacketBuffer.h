// TCustomPacketBuffer: the meeting point of a virtual server's three
// transport threads. The socket reader hands every datagram to
// StoreReceivedPacket, which checks it against the connection it claims,
// acknowledges commands, consumes acknowledgements, answers pings and queues
// what the listener must see (login requests in a queue of their own),
// except voice that nothing waits ahead of,
// which it hands back for the reader to relay itself; the listener blocks in
// WaitForPacket; the listener, the relay and the administration threads
// queue outgoing packets with SendPacket and SendPackets; the sender thread
// blocks in GetPacketToSend, and whoever sends takes the packets of all
// connections in turn with NextPacketsToSend. The buffer owns the
// connections.
//
// Ownership: one buffer per running virtual server, created before its
// listener and sender and destroyed after they were told to end. Packets move
// with the calls: StoreReceivedPacket and SendPacket take them, WaitForPacket
// and GetPacketToSend hand them on.
// Thread-safety: every operation may be called from any thread. One
// re-entrant lock guards the connections and all queues. It is the innermost
// lock of the system: while holding it the buffer only signals its own
// events; it never logs, touches a socket or takes another lock, so callers
// may hold their own locks when they call in.
// Lifetime: the destructor sets Closing, wakes both waiting threads and waits
// up to 2000 ms for ThreadFinished(0) and (1); threads that were still inside
// the buffer after that must have been joined by the owner before it is freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/BufferStatistics.h"
#include "common/Clock.h"
#include "common/DirectVoice.h"
#include "common/DeadlineHeap.h"
#include "common/FIFOList.h"
#include "common/IntrusiveList.h"
#include "common/LogRateLimiter.h"
#include "common/NoticeLog.h"
#include "common/Packets.h"
#include "common/SingleConnection.h"
#include "common/WrongKeyGuard.h"
#include "common/WindowsEvent.h"

// Raised for a rejected received packet; the socket read handler drops it.
class ECustomPacketBuffer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// WaitForPacket results.
enum TWaitForPacketResult : int {
  wpPacket = 0,     // a received packet (player id 0 for a login request)
  wpTimedOut = 1,   // the connection of the player id timed out
  wpClosed = 2,     // the connection of the player id has closed
  wpClosing = 3,    // the buffer shuts down; no packet
};

struct TConnectionInfo {
  uint32_t SessionKey = 0;  // 0: no such connection
  uint16_t AverageRtt = 0;  // ms
  uint16_t Loss = 0;        // hundredths of a percent
  uint16_t Port = 0;
  std::string Address;
  // 32-bit views of the totals; a total beyond 32 bits reads 0xFFFFFFFF.
  uint32_t BytesReceived = 0;
  uint32_t PacketsReceived = 0;
  uint32_t BytesSent = 0;
  uint32_t PacketsSent = 0;
};

class TCustomPacketBuffer {
 public:
  static constexpr uint32_t kNever = 0xFFFFFFFFu;
  static constexpr int kReceivedStart = 512;
  static constexpr int kReceivedMax = 4096;
  static constexpr int kReceivedGrow = 512;
  static constexpr uint32_t kStopWaitMs = 2000;
  // The relayed voice a connection may hold unsent. The sender serves the
  // connections in turn, so a connection only falls this far behind when
  // the sender cannot keep up; frames queued behind that many arrive too
  // late to be heard, and keeping them would make every later frame late
  // too (and a full 1024-packet queue per player costs memory the sender
  // then wades through). Far above what talk produces: one frame per
  // speaker in the recipient's channel per frame period.
  static constexpr int kVoiceBacklog = 64;
  // The received queue is shared by every connection, so one peer must not
  // fill it: a connection holds at most kReceivedShare packets in it, and
  // voice stops kCommandReserve places short of the end, so commands find
  // room while many players talk at once. A command that finds no room is
  // not acknowledged: its sender resends it.
  static constexpr int kReceivedShare = 64;
  static constexpr int kCommandReserve = 1024;
  // Login requests belong to no connection; a flood of them waits in its own
  // queue and the listener serves both queues in turn.
  static constexpr int kLoginQueueMax = 256;
  // Connections of refused logins that may linger at once for their reply;
  // the oldest goes first.
  static constexpr int kMaxRefused = 4096;
  static constexpr size_t kCacheLine = 64;

  explicit TCustomPacketBuffer(TClock* clock = nullptr);
  ~TCustomPacketBuffer();
  TCustomPacketBuffer(const TCustomPacketBuffer&) = delete;
  TCustomPacketBuffer& operator=(const TCustomPacketBuffer&) = delete;

  // The first half of destruction: sets Closing, wakes the listener and the
  // sender at once and waits up to 2000 ms until both reported their end.
  // Idempotent; the destructor calls it.
  void Shutdown();
  bool Closing() const { return closing_.load(std::memory_order_acquire); }

  // Validates a received datagram against its connection and acts on it.
  // Raises ECustomPacketBuffer with the rejection text, or EFIFOList when a
  // queue is full. A packet for an unknown player id is logged (a few lines
  // per second at most) and dropped without raising.
  void StoreReceivedPacket(std::unique_ptr<TPacket> packet);
  // The same without raising: the rejection text, or nullptr when the packet
  // was taken or silently dropped. For the socket read handler, which drops
  // rejections anyway and should not pay for an exception per datagram.
  // With `relayNow`, an accepted voice datagram that nothing is waiting
  // ahead of (the received queue is empty and the listener is back waiting)
  // is handed back there instead of being queued: the caller relays it on
  // its own thread, and the frame is never reordered with a command the
  // listener has yet to act on. A caller that passes `relayNow` also sends
  // what this queues (acknowledgements, pongs, a command released by an
  // acknowledgement) itself (TPLUDPSender::Flush): the sender thread is not
  // woken for it.
  const char* TryStoreReceivedPacket(std::unique_ptr<TPacket> packet,
                                     std::unique_ptr<TPacket>* relayNow = nullptr);

  // Blocks until there is something to report (TWaitForPacketResult). For
  // wpPacket, `packet` receives the packet and `playerId` its player id.
  // `sessionKey` is the packet's session key, or for wpTimedOut and wpClosed
  // the key of the connection reported: two connections may share a player
  // id (a refused login lingers while the id is handed out again), and the
  // key tells them apart.
  int WaitForPacket(uint32_t& playerId, uint32_t& sessionKey, std::unique_ptr<TPacket>& packet);
  int WaitForPacket(uint32_t& playerId, std::unique_ptr<TPacket>& packet);
  // One attempt of WaitForPacket: true with `code` set when there was
  // something to report, else false with `hint` the milliseconds until a
  // connection may time out (kNever: none).
  bool GetPacket(uint32_t& playerId, uint32_t& sessionKey, int& code, std::unique_ptr<TPacket>& packet,
                 uint32_t& hint);
  bool GetPacket(uint32_t& playerId, int& code, std::unique_ptr<TPacket>& packet, uint32_t& hint);

  // Queues an outgoing packet to the connection of its player id (offset 8)
  // and drains the connection after it when `closeAfter`. Packets for an
  // unknown player, voice to a connection that is not connected, anything to
  // a closing connection and packets of no sending class are destroyed
  // silently; the result then names why (nullptr: queued). A full connection
  // queue (or a lack of memory) destroys the packet too, answers
  // kCantAllocate and is counted in SendsLost; with `closeAfter` the
  // connection drains and closes all the same. Never raises.
  const char* SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter);
  // Queues `count` packets under one lock with one wake-up of the sender:
  // the voice relay's fan-out, one datagram per recipient. Each packet
  // follows SendPacket's rules without `closeAfter`, except that voice for a
  // connection that already holds kVoiceBacklog voice packets is dropped
  // instead of queued (see there, not counted as lost). Never raises. Takes
  // every packet (the array's pointers are left empty); returns how many
  // were queued. `wakeSender` false: the caller sends what is due itself
  // right after (TPLUDPSender::Flush), so the sender thread sleeps on.
  size_t SendPackets(std::unique_ptr<TPacket>* packets, size_t count, bool wakeSender = true);
  // Tells every player of `recipients` the same command: code `command`
  // with `payload` (at most TNoticeLog::kMaxPayload bytes) after the header.
  // The notice is logged once and built for a recipient when its turn to
  // be sent comes; until then it costs that recipient a few bytes. Each
  // recipient follows SendPacket's rules for a command (none for an unknown
  // id or a closing connection, a full queue loses it, counted). A payload
  // too large to log, or a lack of memory, loses it for every recipient not
  // yet served, counted the same way. Never raises. Returns how many
  // recipients it was queued for.
  size_t SendNotice(uint16_t command, const uint8_t* payload, size_t size, const uint32_t* recipients,
                    size_t count);
  // The relay's fan-out of one voice frame under one lock: for each
  // recipient whose connection is connected, a VOICES2C datagram of
  // `header` (kVoiceS2CHeaderSize bytes; the recipient's id and target kind
  // are filled in here) and the payload. With `direct`, a recipient whose
  // connection has nothing to send gets its stamped header appended there
  // (while it has room) for the caller to send at once: the caller must
  // hold the send path's lock, so that nothing taken from this buffer
  // earlier is still on its way out. Every other recipient gets a packet
  // queued, unless its connection holds kVoiceBacklog voice packets already
  // (then the copy is dropped, as SendPackets does); `arrivedMs` goes with
  // it for the stale check. Returns false, without raising, when memory ran
  // out (the rest of the recipients then get nothing). `wakeSender` as for
  // SendPackets.
  bool FanOutVoice(const uint8_t* header, const TVoiceRecipient* recipients, size_t count,
                     const uint8_t* payload, size_t payloadSize, int64_t arrivedMs, TDirectVoice* direct,
                     bool wakeSender);

  // Blocks until a packet is due and returns it, or none once Closing.
  std::unique_ptr<TPacket> GetPacketToSend();
  // One attempt: the next packet in turn, or none with `hint` the
  // milliseconds until a resend falls due (kNever: none).
  std::unique_ptr<TPacket> NextPacketToSend(uint32_t& hint);
  // Up to `max` packets in turn under one lock, counted as sent; returns
  // how many, 0 with `hint` as above. The sender thread consumes its
  // wake-up here (`consumeWakeup`); a thread that only helps out leaves it
  // set, so that a wake-up meant for the sender thread (a new command with
  // its resend deadline) is never lost.
  size_t NextPacketsToSend(std::unique_ptr<TPacket>* out, size_t max, uint32_t& hint, bool consumeWakeup = true);

  // A `refused` connection only carries the refusal of a login: it lives at
  // most its login time-out, counted from its creation however often its
  // peer sends, and at most kMaxRefused of them exist. A connection with the
  // same player id and session key as an older one replaces it.
  void AddConnection(uint32_t playerId, uint32_t sessionKey, uint32_t maintenanceStart, uint16_t port,
                     std::string_view address, bool refused = false);
  // Removes and destroys the newest connection of the player id, with
  // everything queued for it. An unknown id does nothing.
  void RemoveConnection(uint32_t playerId);
  // Removes exactly the connection of the player id with this session key
  // (the one WaitForPacket reported); none such does nothing.
  void RemoveConnection(uint32_t playerId, uint32_t sessionKey);
  TConnectionInfo GetConnectionInfo(uint32_t playerId);
  // Read without the lock.
  TBufferStatistics GetStatistics() const;
  // The packets queued to the connections and not yet taken by a sender,
  // counted under the lock (one walk of the connections).
  size_t QueuedToSend();
  // Counts a voice datagram dropped for its age. Lock-free: the socket
  // reader and the listener call it without the buffer's lock.
  void NoteStaleVoice() { staleVoice_.fetch_add(1, std::memory_order_relaxed); }
  int ConnectionCount();
  // Shared notices the buffer keeps for recipients yet to take them (see
  // SendNotice); for diagnostics and tests.
  size_t NoticesHeld() {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    return notices_.Size();
  }
  // 0: the sender has finished, 1: the listener has finished.
  void ThreadFinished(int thread);

  // Runs `inspect` on the newest connection of the player id under the lock;
  // false when there is none. For diagnostics and tests; it must not call
  // back into the buffer.
  template <typename F>
  bool InspectConnection(uint32_t playerId, F&& inspect) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    TNode* node = Find(playerId);
    if (!node) return false;
    inspect(static_cast<const TSingleConnection&>(node->Conn));
    return true;
  }
  // The same for many players under one hold of the lock (a player list of
  // the whole server): `inspect(i, connection)` for each index i whose
  // player id ids[i] has a connection.
  template <typename F>
  void InspectConnections(const std::vector<uint32_t>& ids, F&& inspect) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    for (size_t i = 0; i < ids.size(); ++i)
      if (TNode* node = Find(ids[i])) inspect(i, static_cast<const TSingleConnection&>(node->Conn));
  }

  // The wake-up signals, exposed for the tests that check them.
  TWindowsEvent ReceiveEvent;
  TWindowsEvent SendEvent;
  TWindowsEvent StoppedEvent;

 private:
  struct TNode;
  // A connection's place in the time-out heap. Its deadline is a lower bound
  // of the moment the connection can time out or close.
  struct TTimeoutEntry {
    TNode* Node;
    int HeapPos = -1;
    int64_t Deadline = 0;
  };
  // A connection with the links the buffer threads through it.
  struct TNode {
    explicit TNode(TClock* clock) : Conn(clock), Timeout{this} {}
    TSingleConnection Conn;
    TTimeoutEntry Timeout;
    TListHook<TNode> AllHook;      // every connection, in creation order
    TListHook<TNode> ReadyHook;    // has a packet to release now
    TListHook<TNode> ExpiredHook;  // timed out or closed, reported until removed
    TListHook<TNode> RefusedHook;  // a refused login's, in creation order
    TNode* OlderSameId = nullptr;  // the connections of one player id, newest first
    TNode* NewerSameId = nullptr;
    int Queued = 0;                // its packets in the received queue
    bool Refused = false;
    int HeapPos = -1;              // position in the resend heap
    int64_t Deadline = 0;          // clock count at which the resend falls due
  };
  using TAllList = TIntrusiveList<TNode, &TNode::AllHook>;
  using TReadyList = TIntrusiveList<TNode, &TNode::ReadyHook>;
  using TExpiredList = TIntrusiveList<TNode, &TNode::ExpiredHook>;
  using TRefusedList = TIntrusiveList<TNode, &TNode::RefusedHook>;

  // What StoreReceivedPacket found out about an unknown player id, to be
  // logged once the lock is released.
  struct TUnknownIdNote {
    bool Log = false;
    uint32_t PlayerId = 0;
    uint32_t Suppressed = 0;
  };

  // Callers hold lock_.
  TNode* Find(uint32_t playerId) const;
  TNode* Find(uint32_t playerId, uint32_t sessionKey) const;
  static uint64_t KeyOf(uint32_t playerId, uint32_t sessionKey) { return uint64_t{playerId} << 32 | sessionKey; }
  // Whether the received queue takes one more packet of `node`.
  bool HasRoom(const TNode* node, bool voice) const;
  void QueueReceived(TNode* node, std::unique_ptr<TPacket> packet);
  const char* StoreLocked(std::unique_ptr<TPacket> packet, TUnknownIdNote& note,
                          std::unique_ptr<TPacket>* relayNow = nullptr);
  const char* StoreForConnection(TNode* node, std::unique_ptr<TPacket> packet, std::unique_ptr<TPacket>* relayNow);
  // SendPacket's queuing without the wake-up: nullptr when queued, else why
  // the packet was destroyed (a full queue counted in SendsLost); with a
  // `voiceLimit`, voice for a connection holding that many is dropped first.
  const char* QueueLocked(std::unique_ptr<TPacket> packet, bool closeAfter, int voiceLimit);
  void MarkReady(TNode* node);
  void RefreshResend(TNode* node);
  // Files the connection's time-out deadline when it is new or earlier than
  // the one on file.
  void NoteTimeoutDeadline(TNode* node, bool wakeListener);
  void CollectExpired(const THighPerformanceTime& now);
  void DestroyNode(TNode* node);
  int64_t MsToCounts(int64_t ms) const;
  uint32_t CountsToMsCeil(int64_t counts) const;
  int64_t NowMs() const;

  static void LogUnknownId(const TUnknownIdNote& note);

  TClock* clock_;
  std::recursive_mutex lock_;
  // Declared before the connections: their queues hold entries of it.
  TNoticeLog notices_;
  TFIFOList<TPacket> receivedQueue_{kReceivedStart, kReceivedMax, kReceivedGrow};
  TFIFOList<TPacket> loginQueue_{kLoginQueueMax / 4, kLoginQueueMax, kLoginQueueMax / 4};
  bool loginTurn_ = false;  // the listener takes from the login queue next
  TAllList all_;
  TRefusedList refused_;
  TReadyList ready_;
  TExpiredList expired_;
  TDeadlineHeap<TNode> resends_;
  std::unordered_map<uint32_t, TNode*> byId_;    // the newest connection of each id
  std::unordered_map<uint64_t, TNode*> byKey_;   // every connection by id and key
  TWrongKeyGuard wrongKeys_;
  TDeadlineHeap<TTimeoutEntry> timeouts_;
  TLogRateLimiter unknownIdLog_;
  uint8_t finishedThreads_ = 0;
  // The listener holds a packet it took and has not come back for more: a
  // voice datagram arriving now may follow a command still being acted on.
  bool listenerBusy_ = false;
  std::atomic<bool> closing_{false};
  // The totals, relaxed: nothing is ordered by them. The socket reader
  // counts what arrives, whoever sends counts what leaves; each group has a
  // cache line of its own, so receiving and sending never contend for one.
  alignas(kCacheLine) std::atomic<uint64_t> packetsReceived_{0};
  std::atomic<int64_t> bytesReceived_{0};
  alignas(kCacheLine) std::atomic<uint64_t> packetsSent_{0};
  std::atomic<int64_t> bytesSent_{0};
  std::atomic<uint64_t> resent_{0};
  std::atomic<uint64_t> staleVoice_{0};
  std::atomic<uint64_t> sendsLost_{0};
};
