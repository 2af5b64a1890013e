// Test support: the service manager's end of NOTIFY_SOCKET, to see the
// readiness, status and stopping notices of a server process.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path) : fd_(socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind " << path;
  }
  ~TNotifySocket() { close(fd_); }
  // The next notice, or "" when none comes in time.
  std::string Receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buf[1024];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_;
};
