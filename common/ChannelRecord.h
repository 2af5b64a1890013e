// TChannelRecord: one channel as the protocol carries it and the database
// stores it: id, flags, codec, parent, texts cut to their slots, order, user
// limit, password, times and the per-account rights lines. TChannels
// (server/Channels.h) keeps the live ones; database/StoredChannels.h loads
// and stores them; commands and notices copy them to and from the wire.
//
// A plain value: no locking of its own; whoever holds a record guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Clock.h"

enum TChannelFlag : uint16_t {
  cfUnregistered = 1,
  cfModerated = 2,
  cfHasPassword = 4,
  cfSubChannels = 8,
  cfDefaultChannel = 16,
};

inline constexpr uint32_t kNoParent = 0xFFFFFFFFu;

struct TChannelRecord {
  static constexpr size_t kWireSize = 206;   // commands and notices
  static constexpr size_t kListSize = 176;   // channel lists (no password)

  uint32_t ID = 0;
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  uint32_t Parent = kNoParent;
  std::string Name;         // str29
  std::string Topic;        // str29
  std::string Description;  // str99
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;
  std::string Password;  // str29
  TDateTime Created = 0;
  TDateTime LastChanged = 0;
  std::vector<std::string> UserAttribs;  // "login name=rights" lines

  bool IsTopLevel() const { return Parent == kNoParent; }
  // Writes the first `size` bytes (176 or 206) of the wire layout to `dst`.
  void ToWire(uint8_t* dst, size_t size = kWireSize) const;
  // Reads the 206-byte wire layout; texts are cut to their slots.
  static TChannelRecord FromWire(const uint8_t* src);
};
