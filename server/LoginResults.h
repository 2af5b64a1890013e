// The results a voice login can end in, in the order the metrics count
// them: the id's counters (server/ServerCounters.h) keep one total per
// result and one for anything else, and the administration's door copies
// them in this order for the metrics page.
//
// Thread-safety: constants.
#pragma once

#include <array>
#include <cstdint>

// The first is the accepted login; anything not listed counts as the last.
inline constexpr std::array<int32_t, 6> kLoginResults = {1, -1, -2, -4, -5, -21};
