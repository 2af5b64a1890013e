// TAgedMap: a map from text keys to small records that holds at most a fixed
// number of entries; when full, the entry touched longest ago makes room.
// An entry can be marked kept: kept entries make room only when no other is
// left, so a flood of fresh keys cannot push them out. The login throttle
// keeps its blocks this way; it and the wrong-key guard remember strangers'
// addresses here, so that a peer inventing addresses cannot grow their memory.
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
    auto& ages = ages_[it->second.Kept];
    ages.splice(ages.end(), ages, it->second.Age);
    return &it->second.Value;
  }
  // The entry of `key` without touching it; nullptr when absent.
  const TValue* Peek(std::string_view key) const {
    auto it = entries_.find(std::string(key));
    return it == entries_.end() ? nullptr : &it->second.Value;
  }
  // The entry of `key`, made (value-initialised, not kept) when absent;
  // `made` tells which.
  TValue& Get(std::string_view key, bool* made = nullptr) {
    if (TValue* found = Find(key)) {
      if (made) *made = false;
      return *found;
    }
    if (made) *made = true;
    if (entries_.size() >= capacity_) {
      auto& oldest = ages_[0].empty() ? ages_[1] : ages_[0];
      entries_.erase(oldest.front());
      oldest.pop_front();
    }
    ages_[0].emplace_back(key);
    TSlot& slot = entries_[ages_[0].back()];
    slot.Age = std::prev(ages_[0].end());
    return slot.Value;
  }
  // Marks the entry of `key` kept or not (as the latest touched of its kind).
  void SetKept(std::string_view key, bool kept) {
    auto it = entries_.find(std::string(key));
    if (it == entries_.end() || it->second.Kept == kept) return;
    ages_[kept].splice(ages_[kept].end(), ages_[it->second.Kept], it->second.Age);
    it->second.Kept = kept;
  }
  void Erase(std::string_view key) {
    auto it = entries_.find(std::string(key));
    if (it == entries_.end()) return;
    ages_[it->second.Kept].erase(it->second.Age);
    entries_.erase(it);
  }
  void Clear() {
    entries_.clear();
    ages_[0].clear();
    ages_[1].clear();
  }
  size_t Size() const { return entries_.size(); }

 private:
  struct TSlot {
    TValue Value{};
    bool Kept = false;
    std::list<std::string>::iterator Age;
  };
  size_t capacity_;
  std::unordered_map<std::string, TSlot> entries_;
  std::list<std::string> ages_[2];  // the others, then the kept; front: touched longest ago
};
