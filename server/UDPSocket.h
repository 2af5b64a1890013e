// TUDPSocket: what the voice transport needs of a virtual server's UDP
// socket: send one datagram to an IPv4 address and port, and tell whether
// the socket is open. The sender thread writes through it; tests put a fake
// in its place. TPosixUDPSocket (server/PosixUDPSocket.h) is the real one.
//
// Thread-safety: SendTo and Active may be called from any thread, also while
// another thread receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// Raised by socket operations: a bind that fails, a send that fails.
class EUDPSocket : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TUDPSocket {
 public:
  virtual ~TUDPSocket() = default;
  // Sends `size` bytes as one datagram to `address` (dotted IPv4) and `port`
  // from the bound socket. Raises EUDPSocket when that fails.
  virtual void SendTo(const uint8_t* data, size_t size, std::string_view address, uint16_t port) = 0;
  virtual bool Active() const = 0;
};
