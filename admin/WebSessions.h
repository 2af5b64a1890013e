// The web interface's own sessions: a name=value list per browser, found by
// the id in the session cookie. TWebInterface creates one for every request
// that carries no cookie, ends one on request (the session page, a timeout),
// and gives a session a new id when it logs in, so an id planted before the
// login is worth nothing after it.
//
// Bounds: a session lives kTimeoutMs after its last request. At most
// maxSessions exist; one address holds at most perAddress sessions that are
// not logged in. When either bound is reached, the session idle longest goes
// first, sessions that are not logged in before logged-in ones, so a flood
// of cookieless requests cannot push an administrator out. A session keeps
// at most kMaxValues values of at most kMaxValueLength characters.
//
// Thread-safety: TWebSessions is safe from any thread (one mutex for the
// table). Each TWebSession has its own mutex for its values. Lock order: the
// table, then a session; never call TWebSessions while holding a session's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/Clock.h"
#include "common/LogRateLimiter.h"

// The values of one session; names compare without regard to case.
class TSessionValues {
 public:
  static constexpr size_t kMaxValues = 32;
  static constexpr size_t kMaxNameLength = 64;
  static constexpr size_t kMaxValueLength = 1024;

  std::string Get(std::string_view name) const;  // empty when absent
  // Values are cut to kMaxValueLength; false (nothing stored) for an empty or
  // overlong name, or a new name when the list is full.
  bool Set(std::string_view name, std::string_view value);
  const std::vector<std::pair<std::string, std::string>>& List() const { return values_; }

 private:
  std::vector<std::pair<std::string, std::string>> values_;
};

class TWebSession {
 public:
  // The values under the session's lock: `f(TSessionValues&)`.
  template <typename F>
  auto With(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(values_);
  }
  std::string Get(std::string_view name) {
    return With([&](TSessionValues& v) { return v.Get(name); });
  }
  void Set(std::string_view name, std::string_view value) {
    With([&](TSessionValues& v) { return v.Set(name, value); });
  }
  std::string Id() const;
  bool LoggedIn() { return Get("loggedin") == "1"; }
  // The session's share of the audit trail: a script looping over a
  // command cannot fill the disk.
  TLockedLogRateLimiter AuditShare{nullptr, 20, 10000};

 private:
  friend class TWebSessions;
  mutable std::mutex mutex_;
  TSessionValues values_;
  std::string id_;
  std::string address_;
  std::atomic<int64_t> lastUseMs_{0};
};

using TWebSessionRef = std::shared_ptr<TWebSession>;

class TWebSessions {
 public:
  static constexpr int64_t kTimeoutMs = 3'600'000;
  static constexpr size_t kIdBytes = 16;

  explicit TWebSessions(TClock* clock = nullptr, size_t maxSessions = 4096, size_t perAddress = 32);

  // The live session with this id, its idle time restarted; none when the id
  // is unknown, ended or timed out.
  TWebSessionRef Find(std::string_view id);
  // A new session for a request from `address`, making room first.
  TWebSessionRef Create(std::string_view address);
  // Ends the session: its id is dead from now on.
  void End(const TWebSessionRef& session);
  // Gives the session a fresh id; the old one is dead from now on.
  void Renew(const TWebSessionRef& session);
  size_t Count();

 private:
  int64_t NowMs() const;
  std::string NewId();  // caller holds mutex_
  void PurgeExpired(int64_t now);  // caller holds mutex_
  // Removes the idle-longest session among those `pick` accepts, preferring
  // ones not logged in; caller holds mutex_.
  template <typename Pick>
  bool EvictOne(Pick&& pick);

  TClock* clock_;
  const size_t maxSessions_, perAddress_;
  std::mutex mutex_;
  std::unordered_map<std::string, TWebSessionRef> sessions_;
  int64_t lastPurgeMs_ = 0;
};
