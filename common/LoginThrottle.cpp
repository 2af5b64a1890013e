#include "common/LoginThrottle.h"

#include <algorithm>

#include "common/Log.h"
#include "common/TextFormat.h"

namespace {

// Accounts are found without regard to case, so "admin" is "ADMIN" here too.
std::string NameKey(std::string_view account) { return UpperCase(account); }

}  // namespace

bool TLoginThrottle::TKnown::Has(std::string_view address) const {
  const auto end = addresses.begin() + count;
  return std::find(addresses.begin(), end, address) != end;
}

void TLoginThrottle::TKnown::Add(std::string_view address) {
  auto end = addresses.begin() + count;
  auto found = std::find(addresses.begin(), end, address);
  if (found == end) {
    if (count < addresses.size()) {
      ++count;
      ++end;
    } else {
      found = addresses.begin();  // the one that logged in longest ago goes
    }
    *found = std::string(address);
  }
  std::rotate(found, found + 1, end);  // the latest login last
}

TLoginThrottle::TLoginThrottle(TClock* clock)
    : clock_(clock ? clock : SystemClock()), warnings_(clock_, 1, 1000) {}

int64_t TLoginThrottle::NowMs() const {
  return clock_->Counter() * 1000 / clock_->Frequency();
}

bool TLoginThrottle::Blocked(TTable& table, std::string_view key, int64_t now) {
  TEntry* entry = table.Find(key);
  if (!entry) return false;
  const bool blocked = now < entry->blockedUntilMs;
  if (!blocked) table.SetKept(key, false);
  return blocked;
}

void TLoginThrottle::Fail(TTable& table, std::string_view key, int64_t now) {
  TEntry& entry = table.Get(key);
  if (entry.failures == 0 || now - entry.windowStartMs >= kWindowMs) {
    // A new window; a block long past is forgiven as well.
    if (entry.blockMs > 0 && now - entry.blockedUntilMs >= kMaxBlockMs) entry.blockMs = 0;
    entry.windowStartMs = now;
    entry.failures = 0;
  }
  ++entry.failures;
  if (entry.failures < kFreeFailures) {
    table.SetKept(key, now < entry.blockedUntilMs);
    return;
  }
  entry.blockMs = entry.blockMs == 0 ? kFirstBlockMs : std::min(entry.blockMs * 2, kMaxBlockMs);
  entry.blockedUntilMs = now + entry.blockMs;
  // One more wrong password within a minute of the block's end blocks again,
  // for twice as long.
  entry.failures = kFreeFailures - 1;
  entry.windowStartMs = entry.blockedUntilMs;
  table.SetKept(key, true);
}

bool TLoginThrottle::MayTry(std::string_view address, std::string_view account, std::string_view logSource) {
  bool blockedAddress;
  bool blocked;
  uint32_t suppressed = 0;
  bool warn = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = NowMs();
    const std::string name = NameKey(account);
    blockedAddress = Blocked(addresses_, address, now);
    blocked = blockedAddress || (Blocked(accounts_, name, now) && !KnownTo(name, address));
    if (blocked) warn = warnings_.Allow(suppressed);
  }
  if (blocked && warn) {
    std::string line = blockedAddress ? "password guessing from " + std::string(address) + ", logins refused for a while"
                                      : "password guessing on account \"" + std::string(account) +
                                            "\" (latest from " + std::string(address) + "), logins refused for a while";
    if (suppressed > 0) line += " (" + std::to_string(suppressed) + " more refusals not logged)";
    Log(LMTWARNING, LMDIMPORTANT, logSource, line);
  }
  return !blocked;
}

void TLoginThrottle::Failed(std::string_view address, std::string_view account) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = NowMs();
  Fail(addresses_, address, now);
  Fail(accounts_, NameKey(account), now);
}

void TLoginThrottle::Succeeded(std::string_view address, std::string_view account) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string name = NameKey(account);
  accounts_.Erase(name);
  known_.Get(name).Add(address);
}

void TLoginThrottle::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  addresses_.Clear();
  accounts_.Clear();
  known_.Clear();
}

bool TLoginThrottle::KnownTo(std::string_view name, std::string_view address) {
  const TKnown* known = known_.Find(name);
  return known && known->Has(address);
}

std::string AccountThrottleKey(std::string_view scope, std::string_view loginName) {
  // The length of a server id that accounts are kept under.
  constexpr size_t kScopeLength = 29;
  std::string key(scope.substr(0, kScopeLength));
  key += '\\';
  key += loginName;
  return key;
}

TLoginThrottle& ProcessLoginThrottle() {
  static TLoginThrottle throttle;
  return throttle;
}
