#include "support/FreePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

// A socket of `type` bound to a port of the system's choice on loopback.
int BoundLoopbackSocket(int type, uint16_t& port) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof local;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    close(fd);
    throw std::runtime_error("bind");
  }
  port = ntohs(local.sin_port);
  return fd;
}

}  // namespace

THeldUDPPort::THeldUDPPort() { fd_ = BoundLoopbackSocket(SOCK_DGRAM, port_); }

THeldUDPPort::~THeldUDPPort() { close(fd_); }

// The system picks a port that is free now; it stays free until someone
// else asks, which tests sharing the machine do rarely enough.
uint16_t FreeUDPPort() { return THeldUDPPort().Port(); }

uint16_t FreeTCPPort() {
  uint16_t port = 0;
  close(BoundLoopbackSocket(SOCK_STREAM, port));
  return port;
}

int ConnectLoopback(uint16_t port, const char* from) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{}, to{};
  local.sin_family = to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}
