// Test support: loopback ports no other test can take, and TCP connections
// to loopback from a chosen loopback address, which stands for a distinct
// peer.
//
// A port is found by binding port 0 and keeping the socket, never by
// binding, closing and binding again: tests run in parallel, and a port let
// go is anybody's. The listener meant to use a held port gets the socket
// itself: an in-process one from the pool of passed sockets
// (common/PassedSockets.h, see Pass), a server process through LISTEN_FDS
// (support/ServerProcess.h).
#pragma once

#include <sys/socket.h>

#include <cstdint>

// A socket of `type` bound to a loopback port of the system's choice, kept
// while the object lives (and closed then, unless passed on). Not passed, it
// makes its port busy: a server started on it fails as on a port another
// program uses.
class THeldPort {
 public:
  explicit THeldPort(int type = SOCK_DGRAM);
  ~THeldPort();
  THeldPort(const THeldPort&) = delete;
  THeldPort& operator=(const THeldPort&) = delete;
  uint16_t Port() const { return port_; }
  int Fd() const { return fd_; }
  // Hands the socket to this process's pool of passed sockets, where the
  // in-process listener configured for Port() takes it; the port.
  uint16_t Pass();
  // The socket, now the caller's (Fd() is -1 from here on).
  int Release();

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A UDP (TCP) loopback port whose socket waits in the pool of passed
// sockets for the in-process listener configured for it.
uint16_t PassedUDPPort();
uint16_t PassedTCPPort();

// A TCP connection to 127.0.0.1:port whose source address is `from` (any
// address of 127/8); the socket, or -1 when the connect fails.
int ConnectLoopback(uint16_t port, const char* from = "127.0.0.1");
