// TLoginThrottle: slows password guessing down to a crawl. Every place that
// checks a password (the voice login, the query "login", the web LOGIN
// command) asks it first and reports the outcome; the process shares one
// instance, ProcessLoginThrottle(), so a guesser gains nothing by switching
// between them.
//
// Rule: after kFreeFailures wrong passwords from one address within
// kWindowMs, that address is blocked for kFirstBlockMs; each further wrong
// password while the failures are remembered doubles the wait, up to
// kMaxBlockMs. The same rule applies per account name (without regard to
// case, as accounts are found), so guessing one account from many addresses
// is slowed down as well; but a blocked name still lets in the addresses
// that logged in to it before (up to kKnownPerAccount each), so guessers
// cannot lock its owner out. A blocked attempt is refused without checking
// the password (the caller answers as for a wrong one) and does not lengthen
// the wait. A correct password clears the account's record only: an
// address's failures stand, or one right login would wipe a guesser's count.
//
// Names are keys made by AccountThrottleKey: accounts are kept per virtual
// server, so the same login name on two servers is two names here, and one
// tenant's login to its own account clears nothing of another's.
//
// Memory is bounded: at most kMaxEntries addresses, as many names and
// kMaxKnownAccounts names with known addresses are remembered; when full,
// the entry that was touched longest ago is forgotten, but one that is
// blocked only when nothing unblocked is left: a flood of fresh addresses or
// names cannot lift a block before its time.
//
// Thread-safety: every member may be called from any thread (one mutex,
// held only for map work; it is innermost and never held while logging).
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "common/AgedMap.h"
#include "common/Clock.h"
#include "common/LogRateLimiter.h"

class TLoginThrottle {
 public:
  static constexpr uint32_t kFreeFailures = 5;
  static constexpr int64_t kWindowMs = 60'000;
  static constexpr int64_t kFirstBlockMs = 60'000;
  static constexpr int64_t kMaxBlockMs = 300'000;
  static constexpr size_t kMaxEntries = 65'536;
  static constexpr size_t kKnownPerAccount = 8;
  static constexpr size_t kMaxKnownAccounts = 8'192;

  explicit TLoginThrottle(TClock* clock = nullptr);

  // Whether a password from `address` for `account` may be checked now.
  // False while either is blocked; the first refusal for a blocked address
  // within a second writes one warning line (source `logSource`).
  bool MayTry(std::string_view address, std::string_view account, std::string_view logSource = "LoginThrottle");

  // A password was checked and was wrong.
  void Failed(std::string_view address, std::string_view account);

  // A password was checked and was right: the account's record is cleared
  // and `address` is known to it from now on.
  void Succeeded(std::string_view address, std::string_view account);

  // Forgets everything (tests and a fresh start).
  void Clear();

 private:
  struct TEntry {
    int64_t windowStartMs = 0;  // first failure of the current window
    uint32_t failures = 0;      // failures in the window
    int64_t blockedUntilMs = 0;
    int64_t blockMs = 0;        // length of the last block; 0 when never blocked
  };
  using TTable = TAgedMap<TEntry>;
  // The addresses that logged in to one account, the latest last.
  struct TKnown {
    std::array<std::string, kKnownPerAccount> addresses;
    size_t count = 0;
    bool Has(std::string_view address) const;
    void Add(std::string_view address);
  };

  int64_t NowMs() const;
  bool Blocked(TTable& table, std::string_view key, int64_t now);
  void Fail(TTable& table, std::string_view key, int64_t now);
  bool KnownTo(std::string_view name, std::string_view address);

  TClock* clock_;
  std::mutex mutex_;
  TTable addresses_{kMaxEntries};
  TTable accounts_{kMaxEntries};
  TAgedMap<TKnown> known_{kMaxKnownAccounts};
  TLogRateLimiter warnings_;
};

// The one throttle the whole process shares.
TLoginThrottle& ProcessLoginThrottle();

// The throttle's name for `loginName` in `scope`: the virtual server's id
// for its accounts (cut as accounts are keyed), or a surface's own word for
// logins that look across servers ("query", "web port 14534"). Login names
// hold no "\", so the keys of the different scopes never meet, and a key
// without one (the server password's, the metrics scrape's) is out of
// reach of every login.
std::string AccountThrottleKey(std::string_view scope, std::string_view loginName);
