// Little-endian fields and length-prefixed text slots (str29, str99, str255)
// of the client protocol and the records built on it. Used by every code that
// reads or builds a datagram in the server, the packet buffer and the tools.
// The client library (client/VoiceClient.cpp) keeps its own encoder on
// purpose: tests that decode with it check the server's offsets independently.
//
// Readers never trust a length byte: a slot's text is at most its capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace wire {

// Capacities of the text slots; a slot takes one length byte more.
inline constexpr size_t kStr29 = 29;
inline constexpr size_t kStr99 = 99;
inline constexpr size_t kStr255 = 255;

inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutI32(uint8_t* p, int32_t v) { PutU32(p, static_cast<uint32_t>(v)); }
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t GetI32(const uint8_t* p) { return static_cast<int32_t>(GetU32(p)); }

// Writes `text` cut to `capacity` into the slot at `p` (1 + capacity bytes);
// the bytes past the text are zero.
inline void PutStr(uint8_t* p, size_t capacity, std::string_view text) {
  const size_t n = text.size() < capacity ? text.size() : capacity;
  p[0] = static_cast<uint8_t>(n);
  std::memcpy(p + 1, text.data(), n);
  std::memset(p + 1 + n, 0, capacity - n);
}

// Reads the slot at `p`; a length byte beyond the capacity reads as the capacity.
inline std::string GetStr(const uint8_t* p, size_t capacity) {
  size_t n = p[0];
  if (n > capacity) n = capacity;
  return std::string(reinterpret_cast<const char*>(p + 1), n);
}

// A text cut to a slot's capacity, as every record stores it.
inline std::string Cut(std::string_view text, size_t capacity) {
  return std::string(text.substr(0, capacity));
}

}  // namespace wire
