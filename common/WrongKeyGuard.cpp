#include "common/WrongKeyGuard.h"

void TWrongKeyGuard::Note(std::string_view address, int64_t nowMs) {
  std::string key(address);
  auto it = sources_.find(key);
  if (it == sources_.end()) {
    if (sources_.size() >= kMaxSources) {
      sources_.erase(ages_.front());
      ages_.pop_front();
    }
    ages_.push_back(key);
    it = sources_.emplace(std::move(key), TSource{}).first;
    it->second.Age = std::prev(ages_.end());
    it->second.WindowStartMs = nowMs;
  } else {
    ages_.splice(ages_.end(), ages_, it->second.Age);
  }
  TSource& s = it->second;
  if (nowMs - s.WindowStartMs >= kWindowMs) {
    s.WindowStartMs = nowMs;
    s.WrongKeys = 0;
  }
  if (++s.WrongKeys > kFreeWrongKeys) s.BlockedUntilMs = nowMs + kBlockMs;
}

bool TWrongKeyGuard::Blocked(std::string_view address, int64_t nowMs) const {
  auto it = sources_.find(std::string(address));
  return it != sources_.end() && nowMs < it->second.BlockedUntilMs;
}
