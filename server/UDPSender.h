// TPLUDPSender: the sender thread of a virtual server. It takes the packets
// that the packet buffer releases, in turn across connections and already
// stamped with sequence numbers and checksums, and writes each to the UDP
// socket, addressed to its connection's current address and port. It does
// no batching and no pacing: the buffer decides what is due.
//
// Ownership: the virtual server creates it after its packet buffer and
// socket, and destroys it after the buffer has shut down; buffer and socket
// must outlive it. Destroying a sender that still runs joins its thread.
// Thread-safety: Start, Terminate and WaitFor are for the owner's thread.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "common/PacketBuffer.h"
#include "common/Packets.h"
#include "server/UDPSocket.h"

class TPLUDPSender {
 public:
  TPLUDPSender(TCustomPacketBuffer& buffer, TUDPSocket& socket) : buffer_(buffer), socket_(socket) {}
  ~TPLUDPSender();
  TPLUDPSender(const TPLUDPSender&) = delete;
  TPLUDPSender& operator=(const TPLUDPSender&) = delete;

  void Start();
  // Asks the thread to end; it leaves once the buffer is closing as well.
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  // Joins the thread.
  void WaitFor();

 private:
  void Execute();
  // Sends and destroys CurrentPacket. Raises what the socket raises.
  void SendCurrent();

  std::unique_ptr<TPacket> CurrentPacket;
  TCustomPacketBuffer& buffer_;
  TUDPSocket& socket_;
  std::atomic<bool> terminated_{false};
  std::thread thread_;
};
