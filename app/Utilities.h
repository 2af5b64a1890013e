// Small helpers that the rest of the server shares: random text, uptime
// text and whole seconds between two timestamps. The text formatting
// helpers (ReplaceText, FormatArgs) live in common/TextFormat.h.
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
// Whole seconds from `earlier` to `later`, rounded half to even; 0 when
// negative or beyond 32 bits.
uint32_t SecondsBetween(TDateTime earlier, TDateTime later);
