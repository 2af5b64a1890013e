// TPosixUDPSocket: the UDP socket of one virtual server on POSIX sockets. It
// binds an IPv4 socket to the server's port on all local addresses or on one
// given address (or takes the socket passed to the process for its port,
// common/PassedSockets.h), runs a reader thread that takes the waiting
// datagrams in batches (one system call for up to kReceiveBatch) and hands
// each to a handler together with its source address (dotted text and
// binary) and port, then tells OnBatchEnd; and it sends datagrams, a batch
// in one system call, for whichever thread does the output.
//
// Ownership: the virtual server owns it; the handlers must stay valid while
// the socket is active.
// Thread-safety: SendTo, SendBatch and Active from any thread. SetActive is
// called by the owner only (start and stop), never from a handler. The
// handlers run on the reader thread; an error they raise is logged there, a
// few lines a second at most, and the reading goes on.
#pragma once

#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <shared_mutex>
#include <string>
#include <thread>

#include "server/UDPSocket.h"

class TPosixUDPSocket final : public TUDPSocket {
 public:
  static constexpr size_t kReceiveBufferSize = 8192;
  static constexpr size_t kReceiveBatch = 32;
  static constexpr size_t kSendBatch = 64;           // datagrams per sendmmsg call
  static constexpr int kSocketQueueBytes = 4 << 20;  // asked of the system for the receive queue
  // A received datagram, valid during the handler's call.
  struct TReceived {
    const uint8_t* Data;
    size_t Size;
    const std::string& Address;  // dotted text
    uint16_t Port;
    uint32_t Ip;      // Address in network byte order
    uint32_t AgeMs;   // how long it waited in the system's queue before it was read
  };
  using THandler = std::function<void(const TReceived& datagram)>;
  // The batch system call, replaceable by tests that need a partial send.
  using TSendMany = int (*)(int fd, mmsghdr* messages, unsigned int count, int flags);
  // The clock a batch's arrival stamps are read against (CLOCK_REALTIME, as
  // the stamps), replaceable by tests that need a datagram to have waited.
  using TReadTime = int (*)(clockid_t clock, timespec* now);

  TPosixUDPSocket() = default;
  ~TPosixUDPSocket() override;
  TPosixUDPSocket(const TPosixUDPSocket&) = delete;
  TPosixUDPSocket& operator=(const TPosixUDPSocket&) = delete;

  // Settings, read when the socket is switched on. An empty BoundToIp means
  // all local addresses; port 0 lets the system choose (see BoundPort).
  uint16_t DefaultPort = 0;
  std::string BoundToIp;
  THandler OnRead;
  // After each batch of OnRead calls: the moment to send what they queued.
  std::function<void()> OnBatchEnd;
  TSendMany SendMany = ::sendmmsg;
  TReadTime ReadTime = ::clock_gettime;

  // On: binds and starts the reader (EUDPSocket when the port cannot be
  // bound or the address is not an IPv4 address). Off: stops the reader,
  // which returns promptly even while it waits for a datagram, and closes
  // the socket (a passed one goes back to the pool of passed sockets, still
  // bound, for the next SetActive(true) on its port).
  void SetActive(bool active);
  bool Active() const override { return active_.load(std::memory_order_acquire); }
  // The port actually bound, 0 while off.
  uint16_t BoundPort() const { return boundPort_; }

  void SendTo(const uint8_t* data, size_t size, std::string_view address, uint16_t port) override;
  void SendBatch(const TOutgoingDatagram* datagrams, size_t count, std::vector<TSendFailure>& failures) override;
  void SendVoice(const TDirectVoice& voice, std::vector<TSendFailure>& failures) override;

 private:
  void Open();
  void Close();
  void ReadLoop();
  // Sends the empty datagram that wakes the reader of a passed socket; false
  // when it could not be sent.
  bool WakeReader();
  // Hands `count` prepared messages to the system (see the comment there);
  // index[i] is the caller's number of message i, used in failures. Caller
  // holds fdLock_ shared.
  void SendPrepared(mmsghdr* messages, unsigned int count, const size_t* index, std::vector<TSendFailure>& failures);

  std::atomic<bool> active_{false};
  int fd_ = -1;
  bool passed_ = false;  // fd_ came from the pool of passed sockets: it is never shut
  uint16_t boundPort_ = 0;
  std::thread reader_;
  // Shared by senders, exclusive while the descriptor is opened or closed.
  mutable std::shared_mutex fdLock_;
};
