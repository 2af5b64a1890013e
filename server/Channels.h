// TChannels: the channels of one virtual server: an ordered list of channel
// records with lookups by id and name, the two-level add and delete rules,
// the single default channel, and per-family rights of registered accounts.
//
// Ownership: the list owns its records; pointers returned by the lookups stay
// valid until that channel is removed or the list is cleared.
// Thread-safety: every operation must run under Lock() (the listener holds it
// for each event it handles; other threads take the client-list lock first,
// then this one).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ChannelRecord.h"
#include "common/Clock.h"

class TChannels {
 public:
  explicit TChannels(std::string serverID, TClock* clock = nullptr);
  TChannels(const TChannels&) = delete;
  TChannels& operator=(const TChannels&) = delete;

  void Lock();
  void Unlock();
  bool Locked() const { return locked_; }
  std::recursive_mutex& Mutex() { return mutex_; }

  // Fills the list from the stored channels and adds the default channel when
  // none was stored. True when any channel exists.
  bool LoadChannels();
  // Stores the registered channels (replacing what was stored).
  void SaveChannels();
  void ClearChannels();

  // The new id, or a refusal (-103, -114, -115, -120, -122). On success the
  // list owns a copy of `record` with its id, flags and times settled.
  int64_t AddChannel(TChannelRecord record);
  // 0, or -102 (no such channel) / -117 (the default channel).
  int32_t RemoveChannel(uint32_t id);

  TChannelRecord* FindByID(uint32_t id) const;
  // First record in list order whose name matches without regard to case and
  // whose parent is `parent`. kNoParent (-1, the top-level marker) matches
  // every record, sub-channels included.
  TChannelRecord* FindByName(std::string_view name, uint32_t parent) const;
  int64_t DefaultChannelID() const;
  // The family's root: the channel itself when top-level, else its parent.
  uint32_t RootOf(uint32_t id) const;

  uint16_t GetUserRights(uint32_t channelID, std::string_view loginName) const;
  void SetUserRights(uint32_t channelID, std::string_view loginName, uint16_t rights);

  size_t Count() const { return records_.size(); }
  // The records in list order.
  const std::vector<std::unique_ptr<TChannelRecord>>& Records() const { return records_; }

  const std::string& ServerID() const { return serverID_; }
  // The ids that the last add or remove touched besides the new channel.
  const std::vector<uint32_t>& Affected() const { return affected_; }
  uint32_t NextChannelID() const { return nextChannelID_; }
  uint32_t DefaultCodec = 0;

 private:
  TChannelRecord* FamilyRoot(uint32_t channelID) const;
  std::vector<std::unique_ptr<TChannelRecord>>::const_iterator Position(uint32_t id) const;

  uint32_t nextChannelID_ = 0;
  // Ids grow with every add and removal keeps the order, so the list is
  // sorted by id and FindByID (once per voice datagram) is a binary search.
  std::vector<std::unique_ptr<TChannelRecord>> records_;
  std::recursive_mutex mutex_;
  bool locked_ = false;
  int lockDepth_ = 0;
  std::string serverID_;
  std::vector<uint32_t> affected_;
  TClock* clock_;
};

// Holds a TChannels lock for a scope.
class TChannelsLock {
 public:
  explicit TChannelsLock(TChannels& channels) : channels_(channels) { channels_.Lock(); }
  ~TChannelsLock() { channels_.Unlock(); }
  TChannelsLock(const TChannelsLock&) = delete;
  TChannelsLock& operator=(const TChannelsLock&) = delete;

 private:
  TChannels& channels_;
};
