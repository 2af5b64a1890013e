// TPLUDPSender: the send path of a virtual server. It takes the packets
// that the packet buffer releases, in turn across connections and already
// stamped with sequence numbers and checksums, and writes them to the UDP
// socket in batches (one system call per batch), each addressed to its
// connection's current address and port. It does no pacing: the buffer
// decides what is due.
//
// Two kinds of thread send. The sender thread sleeps until the buffer has
// something due (a queued packet, a resend deadline) and sends it. A thread
// that has just queued packets itself (the socket reader after a batch of
// datagrams: acknowledgements, pongs, relayed voice) calls Flush and sends
// them on the spot, which spares the sender thread a wake-up and the packets
// the wait for it. One lock makes sure only one thread takes packets from
// the buffer and writes them at a time, so they leave in the buffer's order.
//
// Ownership: the virtual server creates it after its packet buffer and
// socket, and destroys it after the buffer has shut down and the socket's
// reader has stopped; buffer and socket must outlive it. Destroying a sender
// that still runs joins its thread.
// Thread-safety: Start, Terminate and WaitFor are for the owner's thread;
// Flush and Send may be called from any thread, with no lock of the server
// held (the buffer's lock is taken inside). TryHold never blocks, so the
// relay may call it holding the ClientList and channel locks.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/DirectVoice.h"
#include "common/PacketBuffer.h"
#include "common/Packets.h"
#include "server/UDPSocket.h"

class TPLUDPSender {
 public:
  static constexpr size_t kBatch = 64;
  // Idle this long, the sender gives back the packets it kept for reuse.
  static constexpr uint32_t kIdleTrimMs = 1000;

  TPLUDPSender(TCustomPacketBuffer& buffer, TUDPSocket& socket) : buffer_(buffer), socket_(socket) {}
  ~TPLUDPSender();
  TPLUDPSender(const TPLUDPSender&) = delete;
  TPLUDPSender& operator=(const TPLUDPSender&) = delete;

  void Start();
  // Asks the thread to end; it leaves once the buffer is closing as well.
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  // Joins the thread.
  void WaitFor();
  // Sends everything the buffer has due now on the calling thread. When
  // another thread is sending already, it wakes the sender thread instead,
  // so that nothing queued before the call is left waiting.
  void Flush();

  // The socket reader's turn at sending after it relayed a frame itself.
  // TryHold takes the send lock if no other thread is sending: the relay
  // may then hand voice straight to Direct() (TCustomPacketBuffer::
  // FanOutVoice), which is safe because nothing taken from the buffer is
  // still on its way out. Send, called once the relay let go of its locks,
  // writes that voice, then everything else that is due, as Flush does, and
  // lets go of the send lock; without the lock it only wakes the sender
  // thread for what the relay queued.
  class TTurn {
   public:
    TDirectVoice* Direct() { return lock_.owns_lock() ? &sender_.direct_ : nullptr; }

   private:
    friend class TPLUDPSender;
    explicit TTurn(TPLUDPSender& sender) : sender_(sender), lock_(sender.sendLock_, std::try_to_lock) {}
    TPLUDPSender& sender_;
    std::unique_lock<std::mutex> lock_;
  };
  TTurn TryHold();
  void Send(TTurn& turn);

 private:
  void Execute();
  // Takes one batch from the buffer and sends it; false when nothing was
  // due (`hint` then tells until when). Caller holds sendLock_.
  bool SendBatch(uint32_t& hint, bool senderThread);
  // Flush's work; caller holds sendLock_.
  void FlushHeld();
  void LogFailures();

  TCustomPacketBuffer& buffer_;
  TUDPSocket& socket_;
  std::atomic<bool> terminated_{false};
  std::thread thread_;
  // Held by the thread that takes packets from the buffer and writes them;
  // guards the batch arrays.
  std::mutex sendLock_;
  std::unique_ptr<TPacket> batch_[kBatch];
  TOutgoingDatagram datagrams_[kBatch];
  std::vector<TSendFailure> failures_;
  TDirectVoice direct_;
};
