// Who may hash a password, and in which order. A hash costs tens of
// milliseconds of one core, so a flood of logins must neither starve one
// caller nor let one peer queue many: TFairTurns hands out a few turns
// strictly first come, first served, and THashClaim lets an address and an
// account have at most one hash pending at a time.
//
// Callers: PasswordHash.cpp takes a turn around every hash and check; the
// login paths (voice, query, web) claim their address and account before
// asking for one.
//
// Thread-safety: every member may be called from any thread; each class
// guards itself with one mutex, held only for its own bookkeeping.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

class TFairTurns {
 public:
  explicit TFairTurns(size_t turns) : turns_(turns) {}
  // Waits until every caller that came earlier has had its turn and one is
  // free, then holds it.
  void Acquire();
  void Release();
  // How many callers wait for a turn now (tests and figures).
  size_t Waiting() const;

 private:
  const size_t turns_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  uint64_t nextTicket_ = 0;  // the ticket the next caller draws
  uint64_t serving_ = 0;     // the lowest ticket not yet served
  size_t running_ = 0;
};

// Holds one turn of `turns` for its life.
class TTurn {
 public:
  explicit TTurn(TFairTurns& turns) : turns_(turns) { turns_.Acquire(); }
  ~TTurn() { turns_.Release(); }
  TTurn(const TTurn&) = delete;
  TTurn& operator=(const TTurn&) = delete;

 private:
  TFairTurns& turns_;
};

// The claim of one address and one account (a throttle key) on a pending
// hash, process-wide. Held() is false when either already has one pending:
// the caller then asks for no hash and answers as busy.
class THashClaim {
 public:
  THashClaim(std::string_view address, std::string_view account);
  ~THashClaim();
  THashClaim(const THashClaim&) = delete;
  THashClaim& operator=(const THashClaim&) = delete;
  bool Held() const { return held_; }

 private:
  std::string address_, account_;
  bool held_ = false;
};
