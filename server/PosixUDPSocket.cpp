#include "server/PosixUDPSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/CaughtLog.h"
#include "common/LogRateLimiter.h"
#include "common/Packets.h"
#include "common/PassedSockets.h"

namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The time from a datagram's arrival (its SO_TIMESTAMPNS stamp) to `now`;
// 0 without a stamp or when the wall clock went back meanwhile.
uint32_t QueuedMs(const msghdr& message, const timespec& now) {
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec arrived;
    std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
    const int64_t ns = (static_cast<int64_t>(now.tv_sec) - arrived.tv_sec) * 1000000000 + (now.tv_nsec - arrived.tv_nsec);
    return ns > 0 ? static_cast<uint32_t>(std::min<int64_t>(ns / 1000000, UINT32_MAX)) : 0;
  }
  return 0;
}

}  // namespace

TPosixUDPSocket::~TPosixUDPSocket() { SetActive(false); }

void TPosixUDPSocket::SetActive(bool active) {
  if (active == Active()) return;
  if (active) Open();
  else Close();
}

void TPosixUDPSocket::Open() {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(DefaultPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!BoundToIp.empty() && !ParseIPv4(BoundToIp, local.sin_addr.s_addr))
    throw EUDPSocket("not an IPv4 address: " + BoundToIp);

  std::unique_lock<std::shared_mutex> lock(fdLock_);
  // A socket passed to the process for this port and address is already bound.
  const int passed = TakePassedSocket(SOCK_DGRAM, DefaultPort, BoundToIp);
  const int fd = passed >= 0 ? passed : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw EUDPSocket(SystemError("socket"));
  // The system's default queue holds a few hundred small datagrams: hundreds
  // of clients acknowledging a round of notices at once overflow it, and a
  // lost login request is never repeated. The system caps the size at its
  // maximum; a smaller queue is no reason to fail.
  int queueBytes = kSocketQueueBytes;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);
  // The arrival time of each datagram tells how long it waited in that
  // queue; without it every datagram counts as fresh.
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  // A passed socket is never shut (see Close): its reader looks up from its
  // wait a few times a second instead, in case the wake-up is not sent.
  if (passed >= 0) {
    const timeval wait{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  }
  if (passed < 0 && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const int error = errno;
    const std::string message = SystemError("bind");
    ::close(fd);
    throw EUDPSocket(message, std::strerror(error));
  }
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  fd_ = fd;
  passed_ = passed >= 0;
  boundPort_ = ntohs(local.sin_port);
  active_.store(true, std::memory_order_release);
  reader_ = std::thread(&TPosixUDPSocket::ReadLoop, this);
}

void TPosixUDPSocket::Close() {
  active_.store(false, std::memory_order_release);
  // The reader sleeps in recvmmsg. Shutting the receiving half wakes it, and
  // every later receive returns at once, so a reader that was about to wait
  // does not wait either. The system reports "not connected" for a UDP
  // socket but shuts it all the same, for good: a passed socket outlives us
  // (a restart takes it again, the service manager hands it to the next
  // start of the process), so its reader is woken by an empty datagram from
  // the socket itself instead, which it drops (so does the next reader when
  // this one left before the datagram came). When that cannot be sent, the
  // reader's receive timeout (Open) ends its wait within a fifth of a second.
  if (fd_ >= 0) {
    if (passed_)
      WakeReader();
    else
      ::shutdown(fd_, SHUT_RD);
  }
  if (reader_.joinable()) reader_.join();
  std::unique_lock<std::shared_mutex> lock(fdLock_);
  // A passed socket goes back to the pool, where a restart finds it.
  if (passed_)
    PassSocket(fd_);
  else
    ::close(fd_);
  fd_ = -1;
  boundPort_ = 0;
}

bool TPosixUDPSocket::WakeReader() {
  sockaddr_in self{};
  socklen_t len = sizeof self;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &len) != 0) return false;
  if (self.sin_addr.s_addr == htonl(INADDR_ANY)) self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sendto(fd_, "", 0, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0;
}

void TPosixUDPSocket::ReadLoop() {
  std::vector<uint8_t> buffers(kReceiveBatch * kReceiveBufferSize);
  mmsghdr messages[kReceiveBatch];
  iovec parts[kReceiveBatch];
  sockaddr_in from[kReceiveBatch];
  alignas(cmsghdr) uint8_t control[kReceiveBatch][CMSG_SPACE(sizeof(timespec))];
  // Most datagrams come from an address seen just before; its text is kept.
  uint32_t lastIp = 0;
  std::string address;
  TLogRateLimiter errorLines(SystemClock());  // a peer decides how often the handlers fail
  for (size_t i = 0; i < kReceiveBatch; ++i) {
    parts[i] = {buffers.data() + i * kReceiveBufferSize, kReceiveBufferSize};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &from[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_control = control[i];
  }
  // The system shortens these two of each message it fills; the rest stays.
  auto resetLengths = [&](size_t count) {
    for (size_t i = 0; i < count; ++i) {
      messages[i].msg_hdr.msg_namelen = sizeof from[i];
      messages[i].msg_hdr.msg_controllen = sizeof control[i];
    }
  };
  resetLengths(kReceiveBatch);
  // The address a wake-up comes from (see Close).
  sockaddr_in self{};
  socklen_t selfLen = sizeof self;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &selfLen);
  if (self.sin_addr.s_addr == htonl(INADDR_ANY)) self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // One system call per wake-up: the receive itself waits for the first
  // datagram and then takes whatever else is queued without waiting. An idle
  // player's ping thus costs this call and the pong's send, nothing more.
  while (Active()) {
    const int n = recvmmsg(fd_, messages, kReceiveBatch, MSG_WAITFORONE, nullptr);
    // Errors such as ICMP port-unreachable reports of earlier sends are not
    // ours to handle; a shut socket ends the loop through Active().
    if (n <= 0 || !Active()) continue;
    timespec now{};
    ReadTime(CLOCK_REALTIME, &now);
    for (int i = 0; i < n; ++i) {
      // A receive that the shutdown ended carries no sender.
      if (messages[i].msg_hdr.msg_namelen < sizeof from[i] || from[i].sin_family != AF_INET) continue;
      const uint32_t ip = from[i].sin_addr.s_addr;
      // A wake-up that came after its reader had left, at the next start.
      if (messages[i].msg_len == 0 && ip == self.sin_addr.s_addr && from[i].sin_port == self.sin_port) continue;
      if (ip != lastIp || address.empty()) {
        address = IPv4Text(ip);
        lastIp = ip;
      }
      try {
        if (OnRead)
          OnRead({static_cast<const uint8_t*>(parts[i].iov_base), messages[i].msg_len, address,
                  ntohs(from[i].sin_port), ip, QueuedMs(messages[i].msg_hdr, now)});
      } catch (...) {
        // Nothing goes back to the peer; the reading goes on.
        LogCaughtLimited(errorLines, "UDP VOICE", "TPosixUDPSocket.OnRead");
      }
    }
    resetLengths(static_cast<size_t>(n));
    try {
      if (OnBatchEnd) OnBatchEnd();
    } catch (...) {
      LogCaughtLimited(errorLines, "UDP VOICE", "TPosixUDPSocket.OnBatchEnd");
    }
    TPacket::TrimThreadStoreEverySecond(now.tv_sec);
  }
}

void TPosixUDPSocket::SendTo(const uint8_t* data, size_t size, std::string_view address, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!ParseIPv4(address, to.sin_addr.s_addr)) throw EUDPSocket("not an IPv4 address: " + std::string(address));
  std::shared_lock<std::shared_mutex> lock(fdLock_);
  if (fd_ < 0) throw EUDPSocket("socket not active");
  if (sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
    throw EUDPSocket(SystemError("sendto"));
}

/* Batched sending.
 *
 * Up to kSendBatch datagrams go to the system in one sendmmsg call. The call
 * stops at the first datagram it cannot send: it returns how many went
 * before that one, or fails with that one's error when it was the first. So
 * the loop goes on after each partial result, and a failure costs only its
 * own datagram, which is reported and skipped.
 */
void TPosixUDPSocket::SendPrepared(mmsghdr* messages, unsigned int count, const size_t* index,
                                   std::vector<TSendFailure>& failures) {
  for (unsigned int done = 0; done < count;) {
    if (fd_ < 0) {
      for (; done < count; ++done) failures.push_back({index[done], "socket not active"});
      break;
    }
    const int sent = SendMany(fd_, messages + done, count - done, 0);
    if (sent > 0) {
      done += static_cast<unsigned int>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      failures.push_back({index[done], sent < 0 ? SystemError("sendmmsg") : "sendmmsg: nothing sent"});
      ++done;
    }
  }
}

namespace {

void PrepareMessage(mmsghdr& message, sockaddr_in& to, iovec* parts, size_t partCount, uint32_t ip, uint16_t port) {
  to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = ip;
  message = {};
  message.msg_hdr.msg_name = &to;
  message.msg_hdr.msg_namelen = sizeof to;
  message.msg_hdr.msg_iov = parts;
  message.msg_hdr.msg_iovlen = partCount;
}

}  // namespace

void TPosixUDPSocket::SendBatch(const TOutgoingDatagram* datagrams, size_t count, std::vector<TSendFailure>& failures) {
  mmsghdr messages[kSendBatch];
  iovec parts[kSendBatch];
  sockaddr_in to[kSendBatch];
  size_t index[kSendBatch];  // the position in `datagrams` of each message
  std::shared_lock<std::shared_mutex> lock(fdLock_);
  for (size_t next = 0; next < count;) {
    unsigned int prepared = 0;
    for (; next < count && prepared < kSendBatch; ++next) {
      const TOutgoingDatagram& d = datagrams[next];
      uint32_t ip = d.Ip;
      if (ip == 0 && !ParseIPv4(d.Address, ip)) {
        failures.push_back({next, "not an IPv4 address: " + std::string(d.Address)});
        continue;
      }
      parts[prepared] = {const_cast<uint8_t*>(d.Data), d.Size};
      PrepareMessage(messages[prepared], to[prepared], &parts[prepared], 1, ip, d.Port);
      index[prepared++] = next;
    }
    SendPrepared(messages, prepared, index, failures);
  }
}

// The header of each datagram is its own and the payload is the one all of
// them share: two parts per message, nothing copied.
void TPosixUDPSocket::SendVoice(const TDirectVoice& voice, std::vector<TSendFailure>& failures) {
  mmsghdr messages[kSendBatch];
  iovec parts[kSendBatch][2];
  sockaddr_in to[kSendBatch];
  size_t index[kSendBatch];
  std::shared_lock<std::shared_mutex> lock(fdLock_);
  for (size_t next = 0; next < voice.Count;) {
    unsigned int prepared = 0;
    for (; next < voice.Count && prepared < kSendBatch; ++next) {
      const TDirectVoice::TEntry& entry = voice.Entries[next];
      parts[prepared][0] = {const_cast<uint8_t*>(entry.Header), kVoiceS2CHeaderSize};
      parts[prepared][1] = {const_cast<uint8_t*>(voice.Payload), voice.PayloadSize};
      PrepareMessage(messages[prepared], to[prepared], parts[prepared], voice.PayloadSize ? 2 : 1, entry.Ip,
                     entry.Port);
      index[prepared++] = next;
    }
    SendPrepared(messages, prepared, index, failures);
  }
}
