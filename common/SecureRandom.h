// Draws from the operating system's secure random source (getrandom). Used
// wherever a guessable value would let a stranger in: passwords, session keys.
//
// Thread-safety: safe from any thread.
#pragma once

#include <cstdint>

// Uniform integer in [low, high] without modulo bias.
uint32_t SecureRandomRange(uint32_t low, uint32_t high);
void SecureRandomBytes(void* buffer, unsigned size);
