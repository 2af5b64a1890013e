// TServerInternals: the machinery of a virtual server (packet buffer, player
// list, channels, socket) for tests, fuzz targets and tools that drive a
// server from inside. Product code outside server/ never includes this:
// the administration goes through TServerAccess (server/ServerAccess.h).
//
// The caller keeps the server's rules: HoldMachinery while the server runs,
// then the client-list lock, then the channel lock; the references are none
// while the server is stopped.
#pragma once

#include <memory>

#include "server/ServerObject.h"

struct TServerInternals {
  static std::unique_ptr<TCustomPacketBuffer>& PacketBuffer(TServerRecord& s) { return s.PacketBuffer; }
  static std::unique_ptr<TClientList>& ClientList(TServerRecord& s) { return s.ClientList; }
  static std::unique_ptr<TChannels>& Channels(TServerRecord& s) { return s.Channels; }
  static std::unique_ptr<TPosixUDPSocket>& UDPServer(TServerRecord& s) { return s.UDPServer; }
  static std::unique_ptr<TModeration>& Moderation(TServerRecord& s) { return s.Moderation; }
  static std::unique_ptr<TNotifier>& Notifier(TServerRecord& s) { return s.Notifier; }
  static std::unique_ptr<TChannelMoves>& Moves(TServerRecord& s) { return s.Moves; }
};
