// TChannelMoves: players entering, switching and being put out of channels
// on one virtual server, and the clean-up that goes with it: the join
// checks (password, room), moving a player with the rights its family
// stores for it, kicking a player from the server, and removing temporary
// channel families once the last player left them.
//
// Callers: the listener's session and channel commands, and the
// administration's door (TServerAccess), whose kicks and moves use the same
// steps as a moderator's command, with no state of the event being handled.
// Ownership: the virtual server makes it in Start, after its player list,
// channels and notifier, and drops it after the listener; it holds
// references only.
// Threads and locks: the listener thread, or an administrator's thread
// holding the server's machinery; the caller holds the client list's lock
// and then the channel lock. The notices it sends are queued (TNotifier),
// never written here.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/ClientObject.h"

class TChannels;
class TClientList;
class TNotifier;

class TChannelMoves {
 public:
  TChannelMoves(TClientList& clients, TChannels& channels, TNotifier& notifier)
      : clients_(clients), channels_(channels), notifier_(notifier) {}
  TChannelMoves(const TChannelMoves&) = delete;
  TChannelMoves& operator=(const TChannelMoves&) = delete;

  // 0 may join; -102, -110, -113; 1 for a wrong password (reported as -111).
  // A sub-channel is guarded by its parent's password.
  int32_t JoinCheck(uint32_t channelID, std::string_view password) const;
  // Operator and Voice follow from their auto rights.
  static void ApplyAutoRights(TClientObject& p);
  // The player goes into `channelID` with the rights stored for its
  // family; everyone concerned is told, and the family it left goes if it
  // was temporary and is now empty. A switch's checks come first (a
  // channel that does not exist is ignored).
  void SwitchPlayer(TClientObject& p, uint32_t channelID);
  // Kicks `target` from the server: PlayerLeft reason kicked to those who
  // see it, its own copy closing its connection (`causer` 0: the server).
  // The loop removes the player once the packet buffer reports the
  // connection closed.
  void KickPlayer(TClientObject& target, std::string_view message, uint32_t causer);
  // 0, or -109 when a player is in the channel or, for a top-level one,
  // in one of its sub-channels.
  int32_t ChannelInUse(uint32_t channelID) const;
  // After a player was removed: every empty temporary family goes.
  void ClearChannelUpAll();
  // After a switch or creation: the family of the channel the requester
  // left, if it is temporary and now empty.
  void ClearChannelUp(uint32_t channelID, uint32_t requesterID);

 private:
  TClientList& clients_;
  TChannels& channels_;
  TNotifier& notifier_;
};
