// TUDPSocket: what the voice transport needs of a virtual server's UDP
// socket: send datagrams to IPv4 addresses and ports, one or a batch at a
// time, and tell whether the socket is open. The send path writes through
// it; tests put a fake in its place. TPosixUDPSocket
// (server/PosixUDPSocket.h) is the real one.
//
// Thread-safety: SendTo, SendBatch and Active may be called from any thread,
// also while another thread receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/DirectVoice.h"

// The dotted text of an IPv4 address in network byte order.
std::string IPv4Text(uint32_t ip);

// Raised by socket operations: a bind that fails, a send that fails.
class EUDPSocket : public std::runtime_error {
 public:
  // `reason`: the system's words alone ("Address already in use"), for
  // answers that name the port themselves; the message when empty.
  explicit EUDPSocket(const std::string& message, std::string reason = {})
      : std::runtime_error(message), reason_(reason.empty() ? message : std::move(reason)) {}
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

// One datagram of a batch. `Ip` is the address in network byte order; 0
// means only `Address` (dotted text) is known.
struct TOutgoingDatagram {
  const uint8_t* Data = nullptr;
  size_t Size = 0;
  uint32_t Ip = 0;
  uint16_t Port = 0;
  std::string_view Address;
};

// The datagrams of a batch that could not be sent, with the reason.
struct TSendFailure {
  size_t Index;
  std::string Reason;
};

class TUDPSocket {
 public:
  virtual ~TUDPSocket() = default;
  // Sends `size` bytes as one datagram to `address` (dotted IPv4) and `port`
  // from the bound socket. Raises EUDPSocket when that fails.
  virtual void SendTo(const uint8_t* data, size_t size, std::string_view address, uint16_t port) = 0;
  // Sends the datagrams in order. A datagram that fails does not hold up
  // the ones after it; each failure is appended to `failures` (which is
  // touched only then). Raises nothing. This one sends one at a time with
  // SendTo; the real socket hands the whole batch to the system at once.
  virtual void SendBatch(const TOutgoingDatagram* datagrams, size_t count, std::vector<TSendFailure>& failures) {
    for (size_t i = 0; i < count; ++i) {
      try {
        SendTo(datagrams[i].Data, datagrams[i].Size, datagrams[i].Address, datagrams[i].Port);
      } catch (const std::exception& error) {
        failures.push_back({i, error.what()});
      }
    }
  }
  // Sends the relay's direct voice (common/DirectVoice.h): one datagram per
  // entry, its header followed by the shared payload, with SendBatch's
  // rules for failures. This one joins the two parts and sends one at a
  // time with SendTo; the real socket hands both parts to the system as
  // they are.
  virtual void SendVoice(const TDirectVoice& voice, std::vector<TSendFailure>& failures);
  virtual bool Active() const = 0;
};
