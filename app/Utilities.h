// Small helpers of start-up and the operator interfaces: random text and
// uptime text. The text formatting helpers (ReplaceText, FormatArgs) live
// in common/TextFormat.h.
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
// "hh:mm:ss", or "<d>D hh:mm:ss" from one day on.
std::string FormatUptime(uint32_t seconds);
