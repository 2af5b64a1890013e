// THandlerContext: what one command handler of the listener gets for the
// datagram it serves: the requester, its request and the answer to it (an
// ErrorReply), the request to end its connection, and the objects that do
// the work (notices, moderation, channel moves). Handlers reach nothing of
// the listener beyond this: the loop, the dispatch and the session's state
// stay its own.
//
// The listener builds one per command on its stack, with the client list's
// lock and then the channel lock held, and reads RemovalRequested when the
// handler returns. A context lives only for that call: work finished later
// (an account job's Finish) keeps the long-lived references it needs, never
// the context.
//
// TListenerServices is what a handler may ask of the listener itself: the
// account worker and the per-player audit shares. The listener implements
// it; calls come on the listener thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/ClientObject.h"
#include "common/Clock.h"
#include "common/Packets.h"
#include "common/WireFormat.h"
#include "server/AccountWorker.h"
#include "server/Moderation.h"
#include "server/Notifier.h"

class TChannelMoves;
class TChannels;
class TClientList;
class TCustomPacketBuffer;
class TModeration;
class TServerObject;

class TListenerServices {
 public:
  // Runs `job` on the account worker, or here at once (Work, then Finish)
  // when the listener was not started (the fuzz target). False when the
  // worker's queue is full: the job is dropped.
  virtual bool RunAccountJob(std::unique_ptr<TAccountJob> job) = 0;
  // Runs `f` with both locks held on player `id` with `sessionKey`, when it
  // is still logged in. For a job's Finish, which runs with no lock held.
  virtual void WithPlayer(uint32_t id, uint32_t sessionKey, const std::function<void(TClientObject&)>& f) = 0;
  // One record of the audit trail for what the requester did by voice,
  // held to the requester's share (a few lines a second per player).
  virtual void AuditVoice(const TPacket& packet, const TClientObject& requester, const char* kind,
                          std::string detail) = 0;
  // One registration of a player (id and session key) is stored at a time:
  // false while another is; EndRegistration once it is done or dropped.
  virtual bool BeginRegistration(uint32_t id, uint32_t sessionKey) = 0;
  virtual void EndRegistration(uint32_t id, uint32_t sessionKey) = 0;

 protected:
  ~TListenerServices() = default;
};

struct THandlerContext {
  TClientObject& Player;  // the requester, logged in
  TPacket& Request;
  // The server's settings, read only; its machinery through the references
  // below.
  const TServerObject& Server;
  TClientList& Clients;
  TChannels& Channels;
  // The connections' figures (PlayerInfo, ServerInfo); packets are sent
  // through Notify.
  TCustomPacketBuffer& Buffer;
  TNotifier& Notify;
  TModeration& Moderation;
  TChannelMoves& Moves;
  TListenerServices& Services;
  TDateTime Now;  // when the event is served
  bool RemovalRequested = false;

  // The requester's ErrorReply to this request.
  void Reply(int32_t code, uint32_t channelID = 0) { Notify.SendErrorReply(code, Player, Request, channelID); }
  // Ends the requester's connection once the handler returned.
  void RequestRemoval() { RemovalRequested = true; }
  // The channel or player (id at offset 24) a moderator's command names,
  // when it exists and the requester's rights reach it; otherwise none,
  // with the refusal sent.
  TChannelRecord* ModeratedChannel() {
    int32_t refusal = 0;
    TChannelRecord* channel = Moderation.ModeratedChannel(Player, wire::GetU32(Request.Memory() + 24), refusal);
    if (!channel) Reply(refusal);
    return channel;
  }
  TClientObject* ModeratedPlayer() {
    int32_t refusal = 0;
    TClientObject* target = Moderation.ModeratedPlayer(Player, wire::GetU32(Request.Memory() + 24), refusal);
    if (!target) Reply(refusal);
    return target;
  }
};

// A request kept for later work (an account job's Finish), which answers it.
inline std::shared_ptr<TPacket> CopyOfRequest(const TPacket& packet) {
  auto copy = std::make_shared<TPacket>(packet.Memory(), packet.Size());
  copy->SetAddress(packet.Address, packet.Port);
  return copy;
}
