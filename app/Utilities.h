// Small helpers of start-up and the operator interfaces: random text. The
// text formatting helpers (ReplaceText, FormatArgs, FormatUptime) live in
// common/TextFormat.h.
//
// Thread-safety: pure functions (RandomString reads the OS random source).
#pragma once

#include <cstdint>
#include <string>

#include "common/Clock.h"
#include "common/TextFormat.h"

// `length` characters of "abcdefghijklmnopqrstuvwxyz123456789" (never "0"),
// drawn from the operating system's secure random source.
std::string RandomString(int length);
