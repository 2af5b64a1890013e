// TVoiceClient: our own client of the voice protocol, one UDP socket per
// client. The integration tests use its blocking helpers; the load tool
// drives many clients from one thread through Fd(), Pump() and Service().
//
// It does what a real client must: acknowledges every command it receives
// (also commands that arrive before the login reply), delivers each command
// once, sends its own commands one at a time and resends them until they are
// acknowledged, numbers its voice frames and answers nothing else.
//
// Thread-safety: none; one thread drives a client. Traffic goes to the
// address given (tests and tools use loopback).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A received datagram with little-endian field readers.
struct TClientDatagram {
  std::vector<uint8_t> Data;
  std::chrono::steady_clock::time_point Received;
  size_t Size() const { return Data.size(); }
  uint8_t U8(size_t offset) const;
  uint16_t U16(size_t offset) const;
  int16_t I16(size_t offset) const { return static_cast<int16_t>(U16(offset)); }
  uint32_t U32(size_t offset) const;
  int32_t I32(size_t offset) const { return static_cast<int32_t>(U32(offset)); }
  std::string Str(size_t offset, size_t capacity) const;  // length-prefixed slot
  uint16_t Code() const { return U16(2); }  // command code (negative: an error reply)
};

struct TLoginRequest {
  std::string ClientName = "parleon-test";
  std::string ClientPlatform = "Linux";
  uint16_t Version[4] = {2, 0, 20, 1};
  bool UniqueNick = false;
  bool WithServerPassword = false;
  std::string LoginName;
  std::string Password;
  std::string NickName = "player";
  bool ShortForm = false;  // send only the first 88 bytes
};

struct TLoginReply {
  bool Received = false;
  int32_t Result = 0;
  uint32_t PlayerID = 0;       // offset 112 (and the header's offset 8)
  uint32_t HeaderPlayerID = 0;
  uint32_t SessionKey = 0;
  std::string ServerName, Platform, WelcomeMessage;
  uint16_t Version[4] = {0, 0, 0, 0};
  uint32_t CodecMask = 0;
  uint16_t ServerType = 0, ServerFlags = 0;
  uint32_t MaxUsers = 0;
  TClientDatagram Raw;
};

// One 46-byte player record of a list or notice.
struct TPlayerEntry {
  uint32_t PlayerID = 0, ChannelID = 0;
  uint16_t ChannelPrivileges = 0, PlayerPrivileges = 0;
  uint32_t PlayerFlags = 0;
  std::string NickName;
  static TPlayerEntry Read(const TClientDatagram& d, size_t offset);
};

// The first 176 bytes of a channel record.
struct TChannelEntry {
  uint32_t ID = 0;
  uint16_t Flags = 0, Codec = 0;
  uint32_t Parent = 0;
  std::string Name, Topic, Description;
  uint16_t Order = 0, MaxUsers = 0;
  static TChannelEntry Read(const TClientDatagram& d, size_t offset);
};

class TVoiceClient {
 public:
  using Clock = std::chrono::steady_clock;

  TVoiceClient(uint16_t serverPort, std::string serverAddress = "127.0.0.1");
  ~TVoiceClient();
  TVoiceClient(const TVoiceClient&) = delete;
  TVoiceClient& operator=(const TVoiceClient&) = delete;

  // ---- blocking helpers (pump the socket while they wait) ----
  // Sends a login request and waits for the reply; Received is false on time-out.
  TLoginReply Login(const TLoginRequest& request, int timeoutMs = 5000);
  // Sends Enter and waits for ListsEnd, collecting the lists into Channels and
  // Players. False on time-out.
  bool Enter(const std::string& channel = "", const std::string& subChannel = "",
             const std::string& password = "", bool mode = false, int timeoutMs = 5000);
  // Queues a command (payload = the bytes after the 24-byte header) and waits
  // until the server has acknowledged it. False on time-out.
  bool SendCommand(uint16_t code, const std::vector<uint8_t>& payload, int timeoutMs = 5000);
  // The first received command with this code (removed from the inbox), or
  // none when it does not arrive in time. Error replies have negative codes:
  // pass the code as the u16 it travels as.
  std::optional<TClientDatagram> WaitCommand(uint16_t code, int timeoutMs = 3000);
  // The first received command of any code.
  std::optional<TClientDatagram> WaitAnyCommand(int timeoutMs = 3000);
  std::optional<TClientDatagram> WaitVoice(int timeoutMs = 3000);
  // Pumps for `ms` and reports whether a command with this code arrived (it stays queued).
  bool Receives(uint16_t code, int ms);
  // Pumps the socket for `ms` milliseconds.
  void PumpFor(int ms);

  // ---- non-blocking use ----
  // The halves of Login and Enter, for a tool that keeps many logins in
  // flight: TakeLoginReply hands over the reply once it has arrived (and
  // adopts the player id and key when it is a success); ListsEnd arrives
  // among the Commands.
  void SendLogin(const TLoginRequest& request);
  std::optional<TLoginReply> TakeLoginReply();
  void SendEnter(const std::string& channel, const std::string& subChannel = "", const std::string& password = "",
                 bool mode = false);
  void QueueCommand(uint16_t code, const std::vector<uint8_t>& payload);
  // VOICEC2S: `body` is every byte from offset 16 (the voice, or for a
  // whisper the entry count, the entries and the voice).
  void SendVoice(uint8_t kind, uint8_t frame, uint16_t word, const uint8_t* body, size_t size);
  void SendPing();
  void SendRaw(const std::vector<uint8_t>& datagram);
  int Fd() const { return fd_; }
  // Reads every waiting datagram (batched) and handles it. Returns the count.
  int Pump();
  // Resends the command in flight when it is due.
  void Service(Clock::time_point now);
  bool CommandPending() const { return inFlight_.has_value() || !outbox_.empty(); }

  // ---- state ----
  uint32_t PlayerID = 0;
  uint32_t SessionKey = 0;
  std::vector<TChannelEntry> Channels;
  std::vector<TPlayerEntry> Players;
  std::deque<TClientDatagram> Commands;  // delivered commands, in arrival order
  std::deque<TClientDatagram> Voice;     // received VOICES2C datagrams
  bool KeepVoice = true;                 // false: count voice only (load tool)
  // When set, each received VOICES2C is handed here (and counted) instead of
  // being kept: the load tool reads its timestamps without copying them.
  std::function<void(const uint8_t* data, size_t size)> OnVoice;
  bool AckCommands = true;               // false: behave like a client that lost its way
  uint64_t VoiceReceived = 0;
  uint64_t CommandsReceived = 0;
  uint64_t Resends = 0;
  uint64_t Pongs = 0;
  uint32_t LastPongSequence = 0;
  int ResendMs = 100;

 private:
  void Handle(const uint8_t* data, size_t size);
  void Transmit(const std::vector<uint8_t>& datagram);
  void SendNextCommand();
  bool WaitUntil(int timeoutMs, const std::function<bool()>& done);

  int fd_ = -1;
  std::deque<std::vector<uint8_t>> outbox_;
  std::optional<std::vector<uint8_t>> inFlight_;
  Clock::time_point lastSend_{};
  uint32_t commandSeqOut_ = 0;
  uint32_t commandSeqIn_ = 1;
  uint16_t voiceCounter_ = 0;
  uint32_t maintenanceSeq_ = 1;
  std::optional<TLoginReply> loginReply_;
};

// Command payload builders: the fields after the 24-byte header.
namespace payload {
void PutU8(std::vector<uint8_t>& p, uint8_t v);
void PutU16(std::vector<uint8_t>& p, uint16_t v);
void PutU32(std::vector<uint8_t>& p, uint32_t v);
void PutStr(std::vector<uint8_t>& p, size_t capacity, const std::string& text);
}  // namespace payload
