#include "server/PosixUDPSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool ParseIPv4(std::string_view text, in_addr& out) {
  char buf[INET_ADDRSTRLEN];
  if (text.size() >= sizeof buf) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  return inet_pton(AF_INET, buf, &out) == 1;
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
  if (!BoundToIp.empty() && !ParseIPv4(BoundToIp, local.sin_addr))
    throw EUDPSocket("not an IPv4 address: " + BoundToIp);

  std::unique_lock<std::shared_mutex> lock(fdLock_);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw EUDPSocket(SystemError("socket"));
  // The system's default queue holds a few hundred small datagrams: hundreds
  // of clients acknowledging a round of notices at once overflow it, and a
  // lost login request is never repeated. The system caps the size at its
  // maximum; a smaller queue is no reason to fail.
  int queueBytes = kSocketQueueBytes;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    const std::string message = SystemError("bind");
    ::close(fd);
    throw EUDPSocket(message);
  }
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  const int wake = eventfd(0, EFD_CLOEXEC);
  if (wake < 0) {
    const std::string message = SystemError("eventfd");
    ::close(fd);
    throw EUDPSocket(message);
  }
  fd_ = fd;
  wakeFd_ = wake;
  boundPort_ = ntohs(local.sin_port);
  active_.store(true, std::memory_order_release);
  reader_ = std::thread(&TPosixUDPSocket::ReadLoop, this);
}

void TPosixUDPSocket::Close() {
  active_.store(false, std::memory_order_release);
  // The reader sleeps in poll on both descriptors; the eventfd wakes it.
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // An eventfd write fails only on counter overflow; the reader is awake then anyway.
  }
  if (reader_.joinable()) reader_.join();
  std::unique_lock<std::shared_mutex> lock(fdLock_);
  ::close(fd_);
  ::close(wakeFd_);
  fd_ = wakeFd_ = -1;
  boundPort_ = 0;
}

void TPosixUDPSocket::ReadLoop() {
  uint8_t buffer[kReceiveBufferSize];
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  while (Active()) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    // Errors such as ICMP port-unreachable reports of earlier sends are not ours to handle.
    if (n < 0 || from.sin_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    const std::string address(text);
    try {
      if (OnRead) OnRead(buffer, static_cast<size_t>(n), address, ntohs(from.sin_port));
    } catch (...) {
      // The read handler drops what it cannot take; nothing goes back to the peer.
    }
  }
}

void TPosixUDPSocket::SendTo(const uint8_t* data, size_t size, std::string_view address, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (!ParseIPv4(address, to.sin_addr)) throw EUDPSocket("not an IPv4 address: " + std::string(address));
  std::shared_lock<std::shared_mutex> lock(fdLock_);
  if (fd_ < 0) throw EUDPSocket("socket not active");
  if (sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
    throw EUDPSocket(SystemError("sendto"));
}
