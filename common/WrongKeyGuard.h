// TWrongKeyGuard: remembers which source addresses send datagrams with a
// wrong session key, so that a peer cannot guess its way into another
// player's session. Session keys are 24 bits and player ids are handed out
// in order: without a limit a peer off the path could try every key of a
// known id in minutes, and the first datagram that fits would move the
// session's replies to it.
//
// Rule: more than kFreeWrongKeys wrong keys from one address within
// kWindowMs block that address for kBlockMs. A blocked address may not move
// any session's reply address to itself (the packet buffer drops such
// datagrams); its datagrams from the address a session already uses are
// not affected. At most kMaxSources addresses are remembered; when full, the
// one heard from longest ago is forgotten.
//
// Called by the packet buffer only, with its lock held; no lock of its own.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/AgedMap.h"

class TWrongKeyGuard {
 public:
  static constexpr uint32_t kFreeWrongKeys = 32;
  static constexpr int64_t kWindowMs = 10'000;
  static constexpr int64_t kBlockMs = 60'000;
  static constexpr size_t kMaxSources = 4096;

  // A datagram from `address` carried a wrong session key.
  void Note(std::string_view address, int64_t nowMs);
  bool Blocked(std::string_view address, int64_t nowMs) const;

 private:
  struct TSource {
    int64_t WindowStartMs = 0;
    uint32_t WrongKeys = 0;
    int64_t BlockedUntilMs = 0;
  };
  TAgedMap<TSource> sources_{kMaxSources};
};
