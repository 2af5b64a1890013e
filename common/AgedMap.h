// TAgedMap: a map from text keys to small records that holds at most a fixed
// number of entries; when full, the entry touched longest ago makes room.
// The login throttle and the wrong-key guard remember strangers' addresses
// in it, so that a peer inventing addresses cannot grow their memory.
//
// Thread-safety: none; the owner serialises calls.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

template <typename TValue>
class TAgedMap {
 public:
  explicit TAgedMap(size_t capacity) : capacity_(capacity) {}

  // The entry of `key`, marked as touched; nullptr when absent.
  TValue* Find(std::string_view key) {
    auto it = entries_.find(std::string(key));
    if (it == entries_.end()) return nullptr;
    ages_.splice(ages_.end(), ages_, it->second.Age);
    return &it->second.Value;
  }
  // The entry of `key` without touching it; nullptr when absent.
  const TValue* Peek(std::string_view key) const {
    auto it = entries_.find(std::string(key));
    return it == entries_.end() ? nullptr : &it->second.Value;
  }
  // The entry of `key`, made (value-initialised) when absent; `made` tells which.
  TValue& Get(std::string_view key, bool* made = nullptr) {
    if (TValue* found = Find(key)) {
      if (made) *made = false;
      return *found;
    }
    if (made) *made = true;
    if (entries_.size() >= capacity_) {
      entries_.erase(ages_.front());
      ages_.pop_front();
    }
    ages_.emplace_back(key);
    TSlot& slot = entries_[ages_.back()];
    slot.Age = std::prev(ages_.end());
    return slot.Value;
  }
  void Erase(std::string_view key) {
    auto it = entries_.find(std::string(key));
    if (it == entries_.end()) return;
    ages_.erase(it->second.Age);
    entries_.erase(it);
  }
  void Clear() {
    entries_.clear();
    ages_.clear();
  }

 private:
  struct TSlot {
    TValue Value{};
    std::list<std::string>::iterator Age;
  };
  size_t capacity_;
  std::unordered_map<std::string, TSlot> entries_;
  std::list<std::string> ages_;  // front: touched longest ago
};
