// TServerCounters: the running totals of one virtual server id that the
// metrics scrape reports: voice frames relayed, logins by result, throttled
// password guesses, and the packet buffer's totals of earlier runs. A
// restart builds a new packet buffer, whose totals start at 0 again; the
// buffer's last totals are carried here when it goes, so that the id's
// totals never go backwards while the process runs. The same holds when an
// id is stopped and added again: ServerCountersFor keeps one block per id.
//
// Who calls: the voice relay (socket reader and listener threads), the
// listener's login, TServerObject (Carry, when its buffer goes) and
// TServerAccess (reads).
// Thread-safety: every counter is a relaxed atomic; the voice path pays one
// increment per frame and takes no lock. The socket reader's and the
// listener's counters sit in cache lines of their own, so the two threads
// never contend for one. Carry and CarriedTotals are for holders of the
// server's HoldMachinery (Carry exclusively).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/BufferStatistics.h"
#include "server/LoginResults.h"

class TServerCounters {
 public:
  static constexpr size_t kCacheLine = 64;
  // The results a login can end in (server/LoginResults.h); anything else counts as the last.
  static constexpr auto kLoginResults = ::kLoginResults;
  static constexpr size_t kOtherResult = kLoginResults.size();

  // A frame relayed to its recipients, on the socket reader's thread
  // (`onReader`) or the listener's.
  void NoteRelayed(bool onReader) {
    (onReader ? reader_.Relayed : listener_.Relayed).fetch_add(1, std::memory_order_relaxed);
  }
  // A login answered with `result` (rc::LoginOk or a refusal).
  void NoteLogin(int32_t result) {
    listener_.Logins[LoginIndex(result)].fetch_add(1, std::memory_order_relaxed);
  }
  // A password attempt refused unchecked because its sender or account was blocked.
  void NoteThrottled() { listener_.Throttled.fetch_add(1, std::memory_order_relaxed); }

  uint64_t Relayed() const {
    return reader_.Relayed.load(std::memory_order_relaxed) + listener_.Relayed.load(std::memory_order_relaxed);
  }
  uint64_t Logins(size_t index) const { return listener_.Logins[index].load(std::memory_order_relaxed); }
  uint64_t Throttled() const { return listener_.Throttled.load(std::memory_order_relaxed); }
  static size_t LoginIndex(int32_t result);

  // The totals of the buffers of earlier runs, and adding a buffer's last.
  const TBufferStatistics& CarriedTotals() const { return carried_; }
  void Carry(const TBufferStatistics& last);

 private:
  struct alignas(kCacheLine) TReaderLine {
    std::atomic<uint64_t> Relayed{0};
  };
  struct alignas(kCacheLine) TListenerLine {
    std::atomic<uint64_t> Relayed{0};
    std::atomic<uint64_t> Throttled{0};
    std::array<std::atomic<uint64_t>, kLoginResults.size() + 1> Logins{};
  };
  TReaderLine reader_;
  TListenerLine listener_;
  TBufferStatistics carried_;
};

// The counters of the server id: the same block every time the id is asked
// for while the process runs. One block per id ever started (ids come from
// the settings file and administrators, not from players).
std::shared_ptr<TServerCounters> ServerCountersFor(const std::string& id);
