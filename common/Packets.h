// TPacket: one UDP datagram of the voice protocol, its peer's address and
// port, and typed in-place access to the header of each of the five packet
// classes. Everything that builds, inspects or changes a datagram goes
// through this header: the socket read handler, the packet buffer, the
// connections, the listener and the voice relay.
//
// Ownership: a packet is a plain value object; the transport moves it around
// as std::unique_ptr<TPacket>, and whoever holds the pointer owns it.
// Thread-safety: none. A packet belongs to one thread at a time (the one that
// holds it, or the packet buffer under its lock).
//
// Wire conventions: every multi-byte field is little-endian; offsets count
// from the first byte of the datagram.
#pragma once

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "common/WireFormat.h"

// Raised by packet operations on a datagram that belongs to no class.
class EPacket : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised when a header view is asked of a packet of another class: a
// programming error, never the fault of the peer.
class EAssertionFailed : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Class values at offset 0.
inline constexpr uint16_t kPacketCommand = 0xBEF0;
inline constexpr uint16_t kPacketAck = 0xBEF1;
inline constexpr uint16_t kPacketVoiceC2S = 0xBEF2;
inline constexpr uint16_t kPacketVoiceS2C = 0xBEF3;
inline constexpr uint16_t kPacketMaintenance = 0xBEF4;

// Minimum sizes (the headers). An ACK is exactly kAckSize bytes when we build it.
inline constexpr size_t kCommandHeaderSize = 24;
inline constexpr size_t kAckSize = 16;
inline constexpr size_t kVoiceC2SHeaderSize = 16;
inline constexpr size_t kVoiceS2CHeaderSize = 22;
inline constexpr size_t kMaintenanceHeaderSize = 20;
inline constexpr size_t kPongSize = 24;

// Maintenance subtypes (offset 2).
inline constexpr uint16_t kMaintenancePing = 1;
inline constexpr uint16_t kMaintenancePong = 2;
inline constexpr uint16_t kMaintenanceLoginRequest = 3;
inline constexpr uint16_t kMaintenanceLoginReply = 4;

// The server command whose acknowledgement completes a login.
inline constexpr uint16_t kCommandListsEnd = 8;

// The error text for a datagram of no class.
inline constexpr char kInvalidPacketText[] = "Invalid Packet";

// Above this length the checksum routine refuses to compute.
inline constexpr size_t kMaxCrcLength = 65521;

// Dotted IPv4 text to the address in network byte order; false for text
// that is no IPv4 address. 0.0.0.0 parses (a socket may bind to it).
bool ParseIPv4(std::string_view text, uint32_t& ip);
// The same for a peer: 0 for text that is no IPv4 address, and for 0.0.0.0,
// which is no peer either.
uint32_t ParseIPv4Address(std::string_view text);

// CRC-32 (reflected 0xEDB88320, init and final xor 0xFFFFFFFF). 0 for an
// empty buffer; 0xFFFFFFFF, without computing, above kMaxCrcLength bytes.
uint32_t PacketCRC32(const uint8_t* buffer, size_t length);

// Header views: typed read and write access to the header fields of a
// packet's bytes, in place. A view is a pointer into the packet: it is valid
// until the packet is resized or destroyed.
class TPacketView {
 public:
  explicit TPacketView(uint8_t* bytes) : p_(bytes) {}
  uint16_t ClassValue() const { return wire::GetU16(p_); }
  uint32_t SessionKey() const { return wire::GetU32(p_ + 4); }
  void SetSessionKey(uint32_t v) { wire::PutU32(p_ + 4, v); }
  uint32_t PlayerId() const { return wire::GetU32(p_ + 8); }
  void SetPlayerId(uint32_t v) { wire::PutU32(p_ + 8, v); }

 protected:
  uint8_t* p_;
};

// The classes with a 32-bit sequence number at offset 12.
class TSequencedView : public TPacketView {
 public:
  using TPacketView::TPacketView;
  uint32_t Sequence() const { return wire::GetU32(p_ + 12); }
  void SetSequence(uint32_t v) { wire::PutU32(p_ + 12, v); }
};

class TCommandHeader : public TSequencedView {
 public:
  using TSequencedView::TSequencedView;
  uint16_t Command() const { return wire::GetU16(p_ + 2); }
  void SetCommand(uint16_t v) { wire::PutU16(p_ + 2, v); }
  uint16_t ResendCount() const { return wire::GetU16(p_ + 16); }
  void SetResendCount(uint16_t v) { wire::PutU16(p_ + 16, v); }
  uint16_t Reserved() const { return wire::GetU16(p_ + 18); }
  uint32_t Crc() const { return wire::GetU32(p_ + 20); }
  void SetCrc(uint32_t v) { wire::PutU32(p_ + 20, v); }
};

class TAckHeader : public TSequencedView {
 public:
  using TSequencedView::TSequencedView;
  uint16_t ResendCount() const { return wire::GetU16(p_ + 2); }
  void SetResendCount(uint16_t v) { wire::PutU16(p_ + 2, v); }
};

class TMaintenanceHeader : public TSequencedView {
 public:
  using TSequencedView::TSequencedView;
  uint16_t Subtype() const { return wire::GetU16(p_ + 2); }
  void SetSubtype(uint16_t v) { wire::PutU16(p_ + 2, v); }
  uint32_t Crc() const { return wire::GetU32(p_ + 16); }
  void SetCrc(uint32_t v) { wire::PutU32(p_ + 16, v); }
};

// The fields both voice directions share; the relay copies them across.
class TVoiceHeader : public TPacketView {
 public:
  using TPacketView::TPacketView;
  uint8_t Target() const { return p_[2]; }
  void SetTarget(uint8_t v) { p_[2] = v; }
  uint8_t Frame() const { return p_[3]; }
  void SetFrame(uint8_t v) { p_[3] = v; }
  uint16_t Counter() const { return wire::GetU16(p_ + 12); }
  void SetCounter(uint16_t v) { wire::PutU16(p_ + 12, v); }
  uint16_t VoiceWord() const { return wire::GetU16(p_ + 14); }
  void SetVoiceWord(uint16_t v) { wire::PutU16(p_ + 14, v); }
};

class TVoiceC2SHeader : public TVoiceHeader {
 public:
  using TVoiceHeader::TVoiceHeader;
};

class TVoiceS2CHeader : public TVoiceHeader {
 public:
  using TVoiceHeader::TVoiceHeader;
  uint32_t SpeakerId() const { return wire::GetU32(p_ + 16); }
  void SetSpeakerId(uint32_t v) { wire::PutU32(p_ + 16, v); }
  uint16_t SpeakerCounter() const { return wire::GetU16(p_ + 20); }
  void SetSpeakerCounter(uint16_t v) { wire::PutU16(p_ + 20, v); }
};

// A growable byte stream with a position (the datagram), plus the peer.
// Datagrams up to kInlineCapacity bytes live inside the object, so a typical
// voice or command packet costs exactly one allocation: the packet itself.
class TPacket {
 public:
  static constexpr size_t kInlineCapacity = 512;

  TPacket() = default;
  // `size` zero bytes.
  explicit TPacket(size_t size) { SetSize(size); }
  TPacket(const void* data, size_t size) { Write(data, size); Position = 0; }
  TPacket(const TPacket&) = delete;
  TPacket& operator=(const TPacket&) = delete;

  // ---- the stream ----
  uint8_t* Memory() { return data_; }
  const uint8_t* Memory() const { return data_; }
  size_t Size() const { return size_; }
  // New bytes are zero; the position stays where it is unless it would lie past the end.
  void SetSize(size_t size);
  // Writes at Position, growing the stream as needed, and moves Position on.
  void Write(const void* data, size_t count);
  // Reads up to `count` bytes from Position; returns how many were read.
  size_t Read(void* data, size_t count);
  size_t Position = 0;

  // ---- the peer: source of a received packet, destination of one to send ----
  std::string Address;
  uint16_t Port = 0;
  // The same address as the socket layer takes it (IPv4, network byte
  // order), so that the send path never parses text; 0 when only the text
  // is known.
  uint32_t PeerIp = 0;
  void SetAddress(std::string_view address, uint16_t port) {
    Address.assign(address);
    Port = port;
    PeerIp = 0;
  }
  // When a received voice packet reached the socket, in steady-clock
  // milliseconds (SteadyMs()); 0 when not noted. Relayed copies carry their
  // original's. Voice older than kStaleVoiceMs is dropped wherever it waits
  // (socket, listener queue, a recipient's send queue): under overload fresh
  // frames are worth more than late ones, and relaying late ones would make
  // every later frame late too. The limit is also the wait that overload
  // settles at: the queue in front of a saturated relay fills until its
  // oldest frames go, so every frame still delivered has waited about this
  // long. A client's jitter buffer hides a few tens of milliseconds; the
  // network's own delay comes on top.
  int64_t ArrivedMs = 0;
  static constexpr uint32_t kStaleVoiceMs = 30;
  bool VoiceIsStale(int64_t nowMs) const { return ArrivedMs && nowMs - ArrivedMs > kStaleVoiceMs; }
  static int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void SetPeer(std::string_view address, uint32_t ip, uint16_t port) {
    Address.assign(address);
    Port = port;
    PeerIp = ip;
  }

  // ---- classes: true when the size reaches the class's minimum and offset 0 matches ----
  uint16_t ClassValue() const { return size_ >= 2 ? wire::GetU16(data_) : 0; }
  bool IsCommand() const { return size_ >= kCommandHeaderSize && ClassValue() == kPacketCommand; }
  bool IsAck() const { return size_ >= kAckSize && ClassValue() == kPacketAck; }
  bool IsVoiceC2S() const { return size_ >= kVoiceC2SHeaderSize && ClassValue() == kPacketVoiceC2S; }
  bool IsVoiceS2C() const { return size_ >= kVoiceS2CHeaderSize && ClassValue() == kPacketVoiceS2C; }
  bool IsMaintenance() const { return size_ >= kMaintenanceHeaderSize && ClassValue() == kPacketMaintenance; }
  bool HasClass() const { return IsCommand() || IsAck() || IsVoiceC2S() || IsVoiceS2C() || IsMaintenance(); }

  // ---- header views; EAssertionFailed when the packet is of another class ----
  TCommandHeader CommandHeader() { return View<TCommandHeader>(IsCommand(), "COMMAND"); }
  TAckHeader AckHeader() { return View<TAckHeader>(IsAck(), "ACK"); }
  TVoiceC2SHeader VoiceC2SHeader() { return View<TVoiceC2SHeader>(IsVoiceC2S(), "VOICEC2S"); }
  TVoiceS2CHeader VoiceS2CHeader() { return View<TVoiceS2CHeader>(IsVoiceS2C(), "VOICES2C"); }
  TMaintenanceHeader MaintenanceHeader() { return View<TMaintenanceHeader>(IsMaintenance(), "MAINTENANCE"); }

  // ---- checksum and identity; EPacket "Invalid Packet" for a packet of no class ----
  // Stores the checksum of COMMAND and MAINTENANCE packets; others are left alone.
  void UpdateCRC();
  // Compares the stored checksum with the computed one; the bytes end unchanged.
  bool CheckCRC();
  // A packet of a class whose checksum (where it has one) holds. Never raises.
  bool IsValid();
  uint32_t GetPlayerId() const;
  uint32_t GetSessionKey() const;

  // Makes this packet a copy of `other`: bytes, Address and Port; Position 0.
  void Assign(const TPacket& other);

  // The voice path makes and frees a packet per datagram, hundreds of
  // thousands per second: each thread keeps up to kKeptPerThread freed
  // packets and makes new ones from them before it asks the heap. A packet
  // may be freed on another thread than the one that made it; it then joins
  // that thread's store.
  static constexpr size_t kKeptPerThread = 512;
  static void* operator new(size_t size);
  static void operator delete(void* memory, size_t size) noexcept;
  // A store filled by a burst would keep its packets (a third of a megabyte
  // per thread) for good. Each thread's loop calls this now and then: the
  // packets its store kept unused since the last call go back to the heap,
  // so a busy store keeps what it cycles through and an idle one empties.
  // With `all`, every kept packet goes (a thread about to sleep for long).
  static void TrimThreadStore(bool all = false);
  // TrimThreadStore at most once per second of `nowSeconds` (any clock),
  // and the allocator's cache of this thread with it
  // (ReleaseThreadAllocatorCache).
  static void TrimThreadStoreEverySecond(int64_t nowSeconds);

 private:
  template <typename TView>
  TView View(bool ofClass, const char* className) {
    if (!ofClass) ThrowNotOfClass(className);
    return TView(data_);
  }
  [[noreturn]] static void ThrowNotOfClass(const char* className);
  void Reserve(size_t capacity);
  // Offset of the checksum field, or 0 for classes without one.
  size_t CrcOffset() const;

  uint8_t inline_[kInlineCapacity];
  std::unique_ptr<uint8_t[]> heap_;
  uint8_t* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = kInlineCapacity;
};

// Builders used by the transport and by whoever composes datagrams. Fields
// that the transport owns (sequence numbers, counters, resend count, the
// session key of queued packets, the checksum) are left 0; they are stamped
// when the packet is sent.
std::unique_ptr<TPacket> NewCommandPacket(uint16_t command, uint32_t playerId, size_t payloadSize = 0);
std::unique_ptr<TPacket> NewAckPacket(uint32_t sessionKey, uint32_t playerId, uint32_t sequence,
                                      uint16_t resendCount);
std::unique_ptr<TPacket> NewMaintenancePacket(uint16_t subtype, uint32_t sessionKey, uint32_t playerId,
                                              uint32_t sequence, size_t payloadSize = 0);
std::unique_ptr<TPacket> NewVoiceC2SPacket(uint32_t sessionKey, uint32_t playerId, uint16_t counter,
                                           size_t payloadSize);
std::unique_ptr<TPacket> NewVoiceS2CPacket(uint32_t playerId, uint32_t speakerId, size_t payloadSize);
