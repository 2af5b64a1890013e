#include "common/ChannelRecord.h"

#include <algorithm>
#include <cstring>

#include "common/WireFormat.h"

void TChannelRecord::ToWire(uint8_t* dst, size_t size) const {
  uint8_t buf[kWireSize];
  wire::PutU32(buf + 0, ID);
  wire::PutU16(buf + 4, Flags);
  wire::PutU16(buf + 6, Codec);
  wire::PutU32(buf + 8, Parent);
  wire::PutStr(buf + 12, wire::kStr29, Name);
  wire::PutStr(buf + 42, wire::kStr29, Topic);
  wire::PutStr(buf + 72, wire::kStr99, Description);
  wire::PutU16(buf + 172, Order);
  wire::PutU16(buf + 174, MaxUsers);
  wire::PutStr(buf + 176, wire::kStr29, Password);
  std::memcpy(dst, buf, std::min(size, kWireSize));
}

TChannelRecord TChannelRecord::FromWire(const uint8_t* src) {
  TChannelRecord r;
  r.ID = wire::GetU32(src + 0);
  r.Flags = wire::GetU16(src + 4);
  r.Codec = wire::GetU16(src + 6);
  r.Parent = wire::GetU32(src + 8);
  r.Name = wire::GetStr(src + 12, wire::kStr29);
  r.Topic = wire::GetStr(src + 42, wire::kStr29);
  r.Description = wire::GetStr(src + 72, wire::kStr99);
  r.Order = wire::GetU16(src + 172);
  r.MaxUsers = wire::GetU16(src + 174);
  r.Password = wire::GetStr(src + 176, wire::kStr29);
  return r;
}
