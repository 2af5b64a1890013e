// Test support: a UDP port on loopback that nothing uses at the moment of
// asking, so that servers started by tests never collide with each other or
// with a server running on the machine; and TCP connections to loopback
// from a chosen loopback address, which stands for a distinct peer.
#pragma once

#include <cstdint>

uint16_t FreeUDPPort();
uint16_t FreeTCPPort();  // for a program that must be told its port before it starts

// A UDP port on loopback held by a socket of the test's own while it
// lives: a server started on it fails as on a port another program uses.
class THeldUDPPort {
 public:
  THeldUDPPort();
  ~THeldUDPPort();
  THeldUDPPort(const THeldUDPPort&) = delete;
  THeldUDPPort& operator=(const THeldUDPPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A TCP connection to 127.0.0.1:port whose source address is `from` (any
// address of 127/8); the socket, or -1 when the connect fails.
int ConnectLoopback(uint16_t port, const char* from = "127.0.0.1");
