#include "support/HeldPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <stdexcept>

#include "common/PassedSockets.h"

THeldPort::THeldPort(int type) {
  fd_ = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof local;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    close(fd_);
    throw std::runtime_error("bind");
  }
  port_ = ntohs(local.sin_port);
}

THeldPort::~THeldPort() {
  if (fd_ >= 0) close(fd_);
}

uint16_t THeldPort::Pass() {
  PassSocket(Release());
  return port_;
}

int THeldPort::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

uint16_t PassedUDPPort() { return THeldPort(SOCK_DGRAM).Pass(); }

uint16_t PassedTCPPort() { return THeldPort(SOCK_STREAM).Pass(); }

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
