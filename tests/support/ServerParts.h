// Test support: the player list, channels and packet buffer of one server
// with its moderation, notifier and channel moves, wired as a server's Start
// wires them, without threads or sockets. Each player added gets a
// connection, so what the notifier queued can be read back per player
// (Drain plays the clients' side: it acknowledges each command so that the
// next one comes). The constructor takes the client list's lock and then
// the channel lock, as the listener holds them, and keeps them to the end.
// Header-only; the test thread only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/PacketBuffer.h"
#include "server/ChannelMoves.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "server/Moderation.h"
#include "server/Notifier.h"
#include "server/ServerSettings.h"

struct TServerParts {
  TManualClock Clock;
  TServerSettings Settings;
  std::string ServerID = "server_cfg Parts";
  TClientList Clients;
  TChannels Channels{ServerID, &Clock};
  TCustomPacketBuffer Buffer{&Clock};
  TModeration Moderation{Settings, ServerID, Clients, Channels};
  TNotifier Notifier{Settings, Clients, Channels, Buffer, Moderation};
  TChannelMoves Moves{Clients, Channels, Notifier};

  // A public server (players see their own family only) with its default
  // channel, id 0.
  TServerParts() {
    Settings.ServerType = stPublic;
    // No listener or sender thread runs: the buffer's shutdown waits for none.
    Buffer.ThreadFinished(0);
    Buffer.ThreadFinished(1);
    Clients.Lock();
    Channels.Lock();
    Channel("Lobby", cfDefaultChannel);
  }
  ~TServerParts() {
    Channels.Unlock();
    Clients.Unlock();
  }

  uint32_t Channel(const std::string& name, uint16_t flags = 0, uint32_t parent = kNoParent) {
    TChannelRecord r;
    r.Name = name;
    r.Flags = flags;
    r.Parent = parent;
    r.MaxUsers = 10;
    const int64_t id = Channels.AddChannel(r);
    EXPECT_GE(id, 0) << name;
    return static_cast<uint32_t>(id);
  }

  // A player that has entered `channel`, with a connection of its own.
  TClientObject& Player(const std::string& nick, uint32_t channel, uint16_t channelRights = 0,
                        uint16_t playerRights = 0) {
    auto p = std::make_unique<TClientObject>();
    p->PlayerID = nextID_++;
    p->SessionKey = 1000 + p->PlayerID;
    p->NickName = nick;
    p->ChannelID = channel;
    p->ChannelPrivileges = channelRights;
    p->PlayerPrivileges = playerRights;
    p->ListsSent = true;
    Buffer.AddConnection(p->PlayerID, p->SessionKey, 1, Port(p->PlayerID), "127.0.0.1");
    return *Clients.Add(std::move(p));
  }

  // Every command queued so far, by recipient, in the order each gets them.
  std::map<uint32_t, std::vector<std::unique_ptr<TPacket>>> Drain() {
    std::map<uint32_t, std::vector<std::unique_ptr<TPacket>>> got;
    uint32_t hint = 0;
    for (int i = 0; i < 1000; ++i) {
      std::unique_ptr<TPacket> out = Buffer.NextPacketToSend(hint);
      if (!out) break;
      if (!out->IsCommand()) continue;
      const TCommandHeader h = out->CommandHeader();
      auto ack = NewAckPacket(h.SessionKey(), h.PlayerId(), h.Sequence(), h.ResendCount());
      ack->SetAddress("127.0.0.1", Port(h.PlayerId()));
      Buffer.TryStoreReceivedPacket(std::move(ack));
      got[h.PlayerId()].push_back(std::move(out));
    }
    return got;
  }

  // The codes of `packets`, in order.
  static std::vector<uint16_t> Codes(const std::vector<std::unique_ptr<TPacket>>& packets) {
    std::vector<uint16_t> codes;
    for (const auto& p : packets) codes.push_back(p->CommandHeader().Command());
    return codes;
  }

  uint8_t StateOf(uint32_t id) {
    uint8_t state = 0xFF;
    Buffer.InspectConnection(id, [&](const TSingleConnection& c) { state = c.State; });
    return state;
  }

 private:
  static uint16_t Port(uint32_t id) { return static_cast<uint16_t>(6000 + id); }
  uint32_t nextID_ = 1;
};
