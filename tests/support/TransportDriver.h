// Test and benchmark support: plays the client's and the listener's part
// against a packet buffer, so that tests can bring connections into a state
// the way real traffic does. Header-only, so that the benchmarks and the
// fuzz targets can use it without the test support library.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/PacketBuffer.h"
#include "common/Packets.h"

namespace transport_driver {

inline constexpr char kClientAddress[] = "127.0.0.1";
inline constexpr uint16_t kClientPort = 5000;

// A command as a client sends it: checksum set, ready for StoreReceivedPacket.
inline std::unique_ptr<TPacket> ClientCommand(uint32_t playerId, uint32_t sessionKey, uint32_t sequence,
                                              uint16_t resendCount = 0, uint16_t command = 0x0100,
                                              size_t payload = 0) {
  auto p = NewCommandPacket(command, playerId, payload);
  TCommandHeader h = p->CommandHeader();
  h.SetSessionKey(sessionKey);
  h.SetSequence(sequence);
  h.SetResendCount(resendCount);
  p->UpdateCRC();
  p->SetAddress(kClientAddress, kClientPort);
  return p;
}

// The client's acknowledgement of a command the server sent.
inline std::unique_ptr<TPacket> ClientAckOf(TPacket& command) {
  TCommandHeader h = command.CommandHeader();
  auto ack = NewAckPacket(h.SessionKey(), h.PlayerId(), h.Sequence(), h.ResendCount());
  ack->SetAddress(kClientAddress, kClientPort);
  return ack;
}

inline std::unique_ptr<TPacket> ClientVoice(uint32_t playerId, uint32_t sessionKey, uint16_t counter,
                                            size_t payload = 32) {
  auto p = NewVoiceC2SPacket(sessionKey, playerId, counter, payload);
  p->SetAddress(kClientAddress, kClientPort);
  return p;
}

inline std::unique_ptr<TPacket> ClientMaintenance(uint16_t subtype, uint32_t playerId, uint32_t sessionKey,
                                                  uint32_t sequence) {
  auto p = NewMaintenancePacket(subtype, sessionKey, playerId, sequence);
  p->UpdateCRC();
  p->SetAddress(kClientAddress, kClientPort);
  return p;
}

// Creates a connection and completes its login on the transport level: the
// end-of-lists command goes out and the client acknowledges it. Expects no
// other connection to have anything to send.
inline void Connect(TCustomPacketBuffer& buffer, uint32_t playerId, uint32_t sessionKey) {
  buffer.AddConnection(playerId, sessionKey, 1, kClientPort, kClientAddress);
  buffer.SendPacket(NewCommandPacket(kCommandListsEnd, playerId), false);
  uint32_t hint;
  std::unique_ptr<TPacket> sent = buffer.NextPacketToSend(hint);
  if (!sent || !sent->IsCommand() || sent->GetPlayerId() != playerId)
    throw std::logic_error("Connect: the end-of-lists command did not go out");
  buffer.StoreReceivedPacket(ClientAckOf(*sent));
}

}  // namespace transport_driver
