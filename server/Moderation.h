// TModeration: who may see and who may moderate whom on one virtual server.
// Players see each other when their channels share a root (everyone sees
// everyone on a clan server); channel rights are granted per family, so a
// channel administrator's or operator's reach stops at its own family, and
// only a server administrator acts elsewhere or on another server
// administrator. It decides and never sends: a refusal comes back as the
// result code the caller answers with.
//
// Callers: the listener's handlers, the notifier (who sees a notice) and
// the voice-free parts of the session; never the relay, which keeps its
// own copy of the family rule beside the frame it walks.
// Ownership: the virtual server makes it in Start, after its player list
// and channels, and drops it after the listener; it holds references only.
// Threads and locks: the listener thread, or an administrator's thread
// holding the server's machinery; either way the caller holds the client
// list's lock and then the channel lock. HoldsSuperRight also reads the
// database, which takes its own lock.
#pragma once

#include <cstdint>
#include <string>

#include "common/ClientObject.h"

class TChannels;
class TClientList;
struct TChannelRecord;
struct TServerSettings;

class TModeration {
 public:
  TModeration(const TServerSettings& settings, const std::string& serverID, TClientList& clients,
              TChannels& channels)
      : settings_(settings), serverID_(serverID), clients_(clients), channels_(channels) {}
  TModeration(const TModeration&) = delete;
  TModeration& operator=(const TModeration&) = delete;

  // Clan server: everyone sees everyone; otherwise players see each other
  // when their channels have the same root.
  bool CanSee(const TClientObject& a, const TClientObject& b) const;
  // ChannelAdmin or Operator in the channel, or ServerAdmin.
  static bool HasModeratorRights(const TClientObject& p);
  // Moderator rights that reach the channel or player a command names.
  bool MayModerateChannel(const TClientObject& requester, uint32_t channelID) const;
  bool MayModeratePlayer(const TClientObject& requester, const TClientObject& target) const;
  // The channel or player a moderator's command names, when it exists and
  // the requester's rights reach it; otherwise none, and `refusal` holds
  // the answer (-102 or -100 when it does not exist, else -1007).
  TChannelRecord* ModeratedChannel(const TClientObject& requester, uint32_t channelID, int32_t& refusal) const;
  TClientObject* ModeratedPlayer(const TClientObject& requester, uint32_t playerID, int32_t& refusal) const;
  // Whether the target holds the super administrator's right, on its record
  // or in the account it is logged in to (reads the database).
  bool HoldsSuperRight(const TClientObject& target) const;

 private:
  // Read at every call: a settings change reaches a running server under
  // the locks its callers hold.
  const TServerSettings& settings_;
  const std::string& serverID_;
  TClientList& clients_;
  TChannels& channels_;
};
