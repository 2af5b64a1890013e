// TClientList: the logged-in players of one virtual server, in login order,
// with the indexes the hot paths need: by player id, by session key, by
// nickname (a login looks its nickname up, so a burst of n logins must not
// cost n walks of the list) and by channel. The voice relay walks only the
// members of one channel, so the cost of a voice datagram grows with the
// channel, not with the server.
//
// Ownership: the list owns its records. Pointers stay valid until the record
// is removed.
// Thread-safety: every operation must run under Lock(). Lock order:
// ServerList, then the server's HoldMachinery, then this lock, then the
// server's channel lock.
// A player's channel changes only through MovePlayer(), which keeps the
// channel index right; never assign TClientObject::ChannelID of a listed
// player directly. A listed player's NickName never changes (the nickname
// index files it as it was added).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/ClientObject.h"

class TClientList {
 public:
  TClientList() = default;
  TClientList(const TClientList&) = delete;
  TClientList& operator=(const TClientList&) = delete;

  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }
  std::recursive_mutex& Mutex() { return mutex_; }

  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  // The players in list (login) order.
  const std::vector<TClientObject*>& Items() const { return items_; }

  // Appends a player; its ChannelID as it stands files it in the channel index.
  TClientObject* Add(std::unique_ptr<TClientObject> player);
  // Takes the player out of the list; the caller owns the record then.
  std::unique_ptr<TClientObject> Remove(TClientObject* player);
  // Removes and frees every player.
  void Clear();

  TClientObject* FindByID(uint32_t playerID) const;  // id 0: none
  TClientObject* FindByNick(std::string_view nick) const;  // letter case ignored
  bool SessionKeyInUse(uint32_t sessionKey) const { return keys_.count(sessionKey) != 0; }

  void MovePlayer(TClientObject* player, uint32_t channelID);
  // The players in a channel, in list order.
  const std::vector<TClientObject*>& InChannel(uint32_t channelID) const;
  size_t CountInChannel(uint32_t channelID) const { return InChannel(channelID).size(); }

 private:
  struct TEntry {
    std::unique_ptr<TClientObject> Player;
    uint64_t Sequence;  // login order, for keeping channel members in list order
  };
  void FileInChannel(TClientObject* player);
  void DropFromChannel(TClientObject* player);

  std::recursive_mutex mutex_;
  std::vector<TClientObject*> items_;
  std::unordered_map<uint32_t, TEntry> byID_;
  std::unordered_set<uint32_t> keys_;
  std::unordered_multimap<std::string, TClientObject*> byNick_;  // by the nickname in upper case
  std::unordered_map<uint32_t, std::vector<TClientObject*>> byChannel_;
  uint64_t nextSequence_ = 0;
};

// Holds a TClientList lock for a scope.
class TClientListLock {
 public:
  explicit TClientListLock(TClientList& list) : list_(list) { list_.Lock(); }
  ~TClientListLock() { list_.Unlock(); }
  TClientListLock(const TClientListLock&) = delete;
  TClientListLock& operator=(const TClientListLock&) = delete;

 private:
  TClientList& list_;
};
