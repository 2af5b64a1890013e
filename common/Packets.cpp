#include "common/Packets.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <algorithm>

#include "common/ThreadAllocatorCache.h"

bool ParseIPv4(std::string_view text, uint32_t& ip) {
  char buf[INET_ADDRSTRLEN];
  if (text.size() >= sizeof buf) return false;
  std::memcpy(buf, text.data(), text.size());
  buf[text.size()] = '\0';
  in_addr out{};
  if (inet_pton(AF_INET, buf, &out) != 1) return false;
  ip = out.s_addr;
  return true;
}

uint32_t ParseIPv4Address(std::string_view text) {
  uint32_t ip = 0;
  return ParseIPv4(text, ip) ? ip : 0;
}

uint32_t PacketCRC32(const uint8_t* buffer, size_t length) {
  if (length == 0) return 0;
  if (length > kMaxCrcLength) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(crc32(0L, buffer, static_cast<uInt>(length)));
}

// ---- the stream ---------------------------------------------------------------

void TPacket::Reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  // Grow geometrically so that a packet written piecewise stays linear.
  const size_t newCapacity = std::max(capacity, capacity_ * 2);
  auto block = std::make_unique<uint8_t[]>(newCapacity);
  std::memcpy(block.get(), data_, size_);
  heap_ = std::move(block);
  data_ = heap_.get();
  capacity_ = newCapacity;
}

void TPacket::SetSize(size_t size) {
  if (size > size_) {
    Reserve(size);
    std::memset(data_ + size_, 0, size - size_);
  }
  size_ = size;
  if (Position > size_) Position = size_;
}

void TPacket::Write(const void* data, size_t count) {
  if (count == 0) return;
  const size_t end = Position + count;
  if (end > size_) SetSize(end);
  std::memcpy(data_ + Position, data, count);
  Position = end;
}

size_t TPacket::Read(void* data, size_t count) {
  const size_t n = Position < size_ ? std::min(count, size_ - Position) : 0;
  if (n) std::memcpy(data, data_ + Position, n);
  Position += n;
  return n;
}

void TPacket::Assign(const TPacket& other) {
  if (&other == this) {
    Position = 0;
    return;
  }
  size_ = 0;
  Reserve(other.size_);
  std::memcpy(data_, other.data_, other.size_);
  size_ = other.size_;
  Position = 0;
  Address = other.Address;
  Port = other.Port;
  PeerIp = other.PeerIp;
}

// ---- the per-thread store of freed packets ----------------------------------------

namespace {

// Plain data, so that it stays usable while the thread's other objects are
// destroyed (a packet freed then goes to the heap).
struct TPacketStore {
  void* Items[TPacket::kKeptPerThread];
  size_t Count;
  size_t LowWater;  // the fewest kept since the last trim: those were not needed
  int64_t TrimmedAt;
  bool Closed;
};
thread_local TPacketStore packetStore;

// Empties the store when its thread ends.
struct TPacketStoreCloser {
  ~TPacketStoreCloser() {
    packetStore.Closed = true;
    while (packetStore.Count) ::operator delete(packetStore.Items[--packetStore.Count]);
  }
};
thread_local TPacketStoreCloser packetStoreCloser;

}  // namespace

void* TPacket::operator new(size_t size) {
  TPacketStore& store = packetStore;
  if (size == sizeof(TPacket) && store.Count) {
    if (--store.Count < store.LowWater) store.LowWater = store.Count;
    return store.Items[store.Count];
  }
  return ::operator new(size);
}

void TPacket::TrimThreadStore(bool all) {
  TPacketStore& store = packetStore;
  size_t surplus = all ? store.Count : std::min(store.LowWater, store.Count);
  while (surplus-- > 0) ::operator delete(store.Items[--store.Count]);
  store.LowWater = store.Count;
}

void TPacket::TrimThreadStoreEverySecond(int64_t nowSeconds) {
  TPacketStore& store = packetStore;
  if (nowSeconds == store.TrimmedAt) return;
  store.TrimmedAt = nowSeconds;
  TrimThreadStore();
  ReleaseThreadAllocatorCache();
}

void TPacket::operator delete(void* memory, size_t size) noexcept {
  TPacketStore& store = packetStore;
  if (size == sizeof(TPacket) && !store.Closed && store.Count < kKeptPerThread) {
    // Touching the closer registers its destructor for this thread.
    (void)&packetStoreCloser;
    store.Items[store.Count++] = memory;
    return;
  }
  ::operator delete(memory);
}

// ---- header views -------------------------------------------------------------

void TPacket::ThrowNotOfClass(const char* className) {
  throw EAssertionFailed(std::string("Udp packet is not a ") + className + " packet");
}

// ---- checksum and identity ------------------------------------------------------

size_t TPacket::CrcOffset() const {
  if (IsCommand()) return 20;
  if (IsMaintenance()) return 16;
  if (IsAck() || IsVoiceC2S() || IsVoiceS2C()) return 0;
  throw EPacket(kInvalidPacketText);
}

void TPacket::UpdateCRC() {
  const size_t at = CrcOffset();
  if (at == 0) return;
  wire::PutU32(data_ + at, 0);
  wire::PutU32(data_ + at, PacketCRC32(data_, size_));
}

bool TPacket::CheckCRC() {
  const size_t at = CrcOffset();
  if (at == 0) return true;
  const uint32_t stored = wire::GetU32(data_ + at);
  wire::PutU32(data_ + at, 0);
  const uint32_t computed = PacketCRC32(data_, size_);
  wire::PutU32(data_ + at, stored);
  return computed == stored;
}

bool TPacket::IsValid() { return HasClass() && CheckCRC(); }

uint32_t TPacket::GetPlayerId() const {
  if (!HasClass()) throw EPacket(kInvalidPacketText);
  return wire::GetU32(data_ + 8);
}

uint32_t TPacket::GetSessionKey() const {
  if (!HasClass()) throw EPacket(kInvalidPacketText);
  return wire::GetU32(data_ + 4);
}

// ---- builders -----------------------------------------------------------------

namespace {

std::unique_ptr<TPacket> NewPacket(uint16_t classValue, size_t size, uint32_t sessionKey, uint32_t playerId) {
  auto p = std::make_unique<TPacket>(size);
  wire::PutU16(p->Memory(), classValue);
  wire::PutU32(p->Memory() + 4, sessionKey);
  wire::PutU32(p->Memory() + 8, playerId);
  return p;
}

}  // namespace

std::unique_ptr<TPacket> NewCommandPacket(uint16_t command, uint32_t playerId, size_t payloadSize) {
  auto p = NewPacket(kPacketCommand, kCommandHeaderSize + payloadSize, 0, playerId);
  wire::PutU16(p->Memory() + 2, command);
  return p;
}

std::unique_ptr<TPacket> NewAckPacket(uint32_t sessionKey, uint32_t playerId, uint32_t sequence,
                                      uint16_t resendCount) {
  auto p = NewPacket(kPacketAck, kAckSize, sessionKey, playerId);
  wire::PutU16(p->Memory() + 2, resendCount);
  wire::PutU32(p->Memory() + 12, sequence);
  return p;
}

std::unique_ptr<TPacket> NewMaintenancePacket(uint16_t subtype, uint32_t sessionKey, uint32_t playerId,
                                              uint32_t sequence, size_t payloadSize) {
  auto p = NewPacket(kPacketMaintenance, kMaintenanceHeaderSize + payloadSize, sessionKey, playerId);
  wire::PutU16(p->Memory() + 2, subtype);
  wire::PutU32(p->Memory() + 12, sequence);
  return p;
}

std::unique_ptr<TPacket> NewVoiceC2SPacket(uint32_t sessionKey, uint32_t playerId, uint16_t counter,
                                           size_t payloadSize) {
  auto p = NewPacket(kPacketVoiceC2S, kVoiceC2SHeaderSize + payloadSize, sessionKey, playerId);
  wire::PutU16(p->Memory() + 12, counter);
  return p;
}

std::unique_ptr<TPacket> NewVoiceS2CPacket(uint32_t playerId, uint32_t speakerId, size_t payloadSize) {
  auto p = NewPacket(kPacketVoiceS2C, kVoiceS2CHeaderSize + payloadSize, 0, playerId);
  wire::PutU32(p->Memory() + 16, speakerId);
  return p;
}
