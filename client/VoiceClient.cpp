#include "client/VoiceClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "common/CommandCodes.h"

namespace {

constexpr uint16_t kCommand = 0xBEF0, kAck = 0xBEF1, kVoiceC2S = 0xBEF2, kVoiceS2C = 0xBEF3,
                   kMaintenance = 0xBEF4;

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
void PutSlot(uint8_t* p, size_t capacity, const std::string& text) {
  const size_t n = std::min(text.size(), capacity);
  p[0] = static_cast<uint8_t>(n);
  std::memcpy(p + 1, text.data(), n);
}

// The checksum field is zero while the CRC-32 of the whole datagram is computed.
void StampCrc(std::vector<uint8_t>& d, size_t offset) {
  Put32(d.data() + offset, 0);
  Put32(d.data() + offset, static_cast<uint32_t>(crc32(0L, d.data(), static_cast<uInt>(d.size()))));
}

bool CrcOk(const uint8_t* data, size_t size, size_t offset) {
  if (size < offset + 4) return false;
  std::vector<uint8_t> copy(data, data + size);
  const uint32_t stored = Get32(copy.data() + offset);
  Put32(copy.data() + offset, 0);
  return stored == static_cast<uint32_t>(crc32(0L, copy.data(), static_cast<uInt>(copy.size())));
}

}  // namespace

// ---- TClientDatagram and records ---------------------------------------------

uint8_t TClientDatagram::U8(size_t offset) const { return offset < Data.size() ? Data[offset] : 0; }
uint16_t TClientDatagram::U16(size_t offset) const { return offset + 2 <= Data.size() ? Get16(&Data[offset]) : 0; }
uint32_t TClientDatagram::U32(size_t offset) const { return offset + 4 <= Data.size() ? Get32(&Data[offset]) : 0; }
std::string TClientDatagram::Str(size_t offset, size_t capacity) const {
  if (offset + 1 + capacity > Data.size()) return {};
  const size_t n = std::min<size_t>(Data[offset], capacity);
  return std::string(reinterpret_cast<const char*>(&Data[offset + 1]), n);
}

TPlayerEntry TPlayerEntry::Read(const TClientDatagram& d, size_t o) {
  TPlayerEntry e;
  e.PlayerID = d.U32(o);
  e.ChannelID = d.U32(o + 4);
  e.ChannelPrivileges = d.U16(o + 8);
  e.PlayerPrivileges = d.U16(o + 10);
  e.PlayerFlags = d.U32(o + 12);
  e.NickName = d.Str(o + 16, 29);
  return e;
}

TChannelEntry TChannelEntry::Read(const TClientDatagram& d, size_t o) {
  TChannelEntry c;
  c.ID = d.U32(o);
  c.Flags = d.U16(o + 4);
  c.Codec = d.U16(o + 6);
  c.Parent = d.U32(o + 8);
  c.Name = d.Str(o + 12, 29);
  c.Topic = d.Str(o + 42, 29);
  c.Description = d.Str(o + 72, 99);
  c.Order = d.U16(o + 172);
  c.MaxUsers = d.U16(o + 174);
  return c;
}

namespace payload {
void PutU8(std::vector<uint8_t>& p, uint8_t v) { p.push_back(v); }
void PutU16(std::vector<uint8_t>& p, uint16_t v) {
  p.push_back(static_cast<uint8_t>(v));
  p.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(std::vector<uint8_t>& p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutStr(std::vector<uint8_t>& p, size_t capacity, const std::string& text) {
  const size_t at = p.size();
  p.resize(at + 1 + capacity, 0);
  PutSlot(&p[at], capacity, text);
}
}  // namespace payload

// ---- TVoiceClient ---------------------------------------------------------------

TVoiceClient::TVoiceClient(uint16_t serverPort, std::string serverAddress) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("client socket");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(serverPort);
  if (inet_pton(AF_INET, serverAddress.c_str(), &server.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    close(fd_);
    throw std::runtime_error("client socket setup");
  }
  // Load runs burst many datagrams at once; a larger buffer keeps them.
  int size = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

TVoiceClient::~TVoiceClient() {
  if (fd_ >= 0) close(fd_);
}

void TVoiceClient::Transmit(const std::vector<uint8_t>& datagram) {
  // A refused or full socket loses the datagram, as the network would.
  (void)send(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT);
}

void TVoiceClient::SendRaw(const std::vector<uint8_t>& datagram) { Transmit(datagram); }

TLoginReply TVoiceClient::Login(const TLoginRequest& r, int timeoutMs) {
  SendLogin(r);
  WaitUntil(timeoutMs, [this] { return loginReply_.has_value(); });
  return TakeLoginReply().value_or(TLoginReply{});
}

void TVoiceClient::SendLogin(const TLoginRequest& r) {
  std::vector<uint8_t> d(r.ShortForm ? 88 : 180, 0);
  Put16(&d[0], kMaintenance);
  Put16(&d[2], cmd::Login);
  Put32(&d[12], maintenanceSeq_);
  // The server expects this client's next maintenance number two above the login's.
  maintenanceSeq_ += 2;
  PutSlot(&d[20], 29, r.ClientName);
  PutSlot(&d[50], 29, r.ClientPlatform);
  for (int i = 0; i < 4; ++i) Put16(&d[80 + 2 * i], r.Version[i]);
  if (!r.ShortForm) {
    d[88] = r.UniqueNick ? 1 : 0;
    d[89] = r.WithServerPassword ? 1 : 0;
    PutSlot(&d[90], 29, r.LoginName);
    PutSlot(&d[120], 29, r.Password);
    PutSlot(&d[150], 29, r.NickName);
  }
  StampCrc(d, 16);
  loginReply_.reset();
  Transmit(d);
}

std::optional<TLoginReply> TVoiceClient::TakeLoginReply() {
  std::optional<TLoginReply> reply = std::move(loginReply_);
  loginReply_.reset();
  if (reply && reply->Result == 1) {
    PlayerID = reply->PlayerID;
    SessionKey = reply->SessionKey;
  }
  return reply;
}

bool TVoiceClient::Enter(const std::string& channel, const std::string& subChannel, const std::string& password,
                         bool mode, int timeoutMs) {
  SendEnter(channel, subChannel, password, mode);
  return WaitCommand(cmd::ListsEnd, timeoutMs).has_value();
}

void TVoiceClient::SendEnter(const std::string& channel, const std::string& subChannel, const std::string& password,
                             bool mode) {
  std::vector<uint8_t> p;
  payload::PutU8(p, 0);
  payload::PutU8(p, mode ? 1 : 0);
  payload::PutStr(p, 29, channel);
  payload::PutStr(p, 29, subChannel);
  payload::PutStr(p, 29, password);
  Channels.clear();
  Players.clear();
  QueueCommand(cmd::Enter, p);
}

void TVoiceClient::QueueCommand(uint16_t code, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> d(24 + body.size(), 0);
  Put16(&d[0], kCommand);
  Put16(&d[2], code);
  std::copy(body.begin(), body.end(), d.begin() + 24);
  outbox_.push_back(std::move(d));
  if (!inFlight_) SendNextCommand();
}

void TVoiceClient::SendNextCommand() {
  if (inFlight_ || outbox_.empty()) return;
  inFlight_ = std::move(outbox_.front());
  outbox_.pop_front();
  std::vector<uint8_t>& d = *inFlight_;
  Put32(&d[4], SessionKey);
  Put32(&d[8], PlayerID);
  Put32(&d[12], ++commandSeqOut_);
  Put16(&d[16], 0);
  StampCrc(d, 20);
  lastSend_ = Clock::now();
  Transmit(d);
}

void TVoiceClient::Service(Clock::time_point now) {
  if (!inFlight_ || now - lastSend_ < std::chrono::milliseconds(ResendMs)) return;
  std::vector<uint8_t>& d = *inFlight_;
  Put16(&d[16], static_cast<uint16_t>(Get16(&d[16]) + 1));
  StampCrc(d, 20);
  lastSend_ = now;
  ++Resends;
  Transmit(d);
}

bool TVoiceClient::SendCommand(uint16_t code, const std::vector<uint8_t>& body, int timeoutMs) {
  QueueCommand(code, body);
  return WaitUntil(timeoutMs, [this] { return !CommandPending(); });
}

void TVoiceClient::SendVoice(uint8_t kind, uint8_t frame, uint16_t word, const uint8_t* body, size_t size) {
  std::vector<uint8_t> d(16 + size);
  Put16(&d[0], kVoiceC2S);
  d[2] = kind;
  d[3] = frame;
  Put32(&d[4], SessionKey);
  Put32(&d[8], PlayerID);
  Put16(&d[12], ++voiceCounter_);
  Put16(&d[14], word);
  if (size) std::memcpy(&d[16], body, size);
  Transmit(d);
}

void TVoiceClient::SendPing() {
  std::vector<uint8_t> d(20, 0);
  Put16(&d[0], kMaintenance);
  Put16(&d[2], cmd::Ping);
  Put32(&d[4], SessionKey);
  Put32(&d[8], PlayerID);
  Put32(&d[12], maintenanceSeq_++);
  StampCrc(d, 16);
  Transmit(d);
}

int TVoiceClient::Pump() {
  constexpr int kBatch = 32;
  static thread_local uint8_t buffers[kBatch][2048];
  int total = 0;
  for (;;) {
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    for (int i = 0; i < kBatch; ++i) {
      iov[i] = {buffers[i], sizeof buffers[i]};
      msgs[i] = {};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(fd_, msgs, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) Handle(buffers[i], msgs[i].msg_len);
    total += n;
    if (n < kBatch) break;
  }
  return total;
}

void TVoiceClient::Handle(const uint8_t* data, size_t size) {
  if (size < 16) return;
  const uint16_t cls = Get16(data);
  if (cls == kAck) {
    if (inFlight_ && Get32(data + 12) == Get32(inFlight_->data() + 12)) {
      inFlight_.reset();
      SendNextCommand();
    }
    return;
  }
  if (cls == kVoiceS2C && size >= 22) {
    ++VoiceReceived;
    if (OnVoice) OnVoice(data, size);
    else if (KeepVoice) Voice.push_back(TClientDatagram{std::vector<uint8_t>(data, data + size), Clock::now()});
    return;
  }
  if (cls == kCommand && size >= 24) {
    if (!CrcOk(data, size, 20) || !AckCommands) return;
    // The acknowledgement echoes the command's own key and id, so commands
    // that overtake the login reply are acknowledged too.
    std::vector<uint8_t> ack(16, 0);
    Put16(&ack[0], kAck);
    Put16(&ack[2], Get16(data + 16));
    Put32(&ack[4], Get32(data + 4));
    Put32(&ack[8], Get32(data + 8));
    Put32(&ack[12], Get32(data + 12));
    Transmit(ack);
    if (Get32(data + 12) != commandSeqIn_) return;  // a repeat: acknowledged, not delivered
    ++commandSeqIn_;
    ++CommandsReceived;
    TClientDatagram d{std::vector<uint8_t>(data, data + size), Clock::now()};
    if (d.Code() == cmd::ChannelList) {
      const uint32_t count = std::min<uint32_t>(d.U32(24), 3);
      for (uint32_t i = 0; i < count; ++i) Channels.push_back(TChannelEntry::Read(d, 28 + 176 * i));
    } else if (d.Code() == cmd::PlayerList) {
      const uint32_t count = std::min<uint32_t>(d.U32(24), 10);
      for (uint32_t i = 0; i < count; ++i) Players.push_back(TPlayerEntry::Read(d, 28 + 46 * i));
    }
    Commands.push_back(std::move(d));
    return;
  }
  if (cls == kMaintenance && size >= 20 && CrcOk(data, size, 16)) {
    const uint16_t subtype = Get16(data + 2);
    if (subtype == cmd::LoginReply && size >= 116) {
      TClientDatagram d{std::vector<uint8_t>(data, data + size), Clock::now()};
      TLoginReply r;
      r.Received = true;
      r.HeaderPlayerID = d.U32(8);
      r.ServerName = d.Str(20, 29);
      r.Platform = d.Str(50, 29);
      for (int i = 0; i < 4; ++i) r.Version[i] = d.U16(80 + 2 * i);
      r.Result = d.I32(88);
      r.CodecMask = d.U32(92);
      r.ServerType = d.U16(100);
      r.ServerFlags = d.U16(102);
      r.MaxUsers = d.U32(104);
      r.SessionKey = d.U32(108);
      r.PlayerID = d.U32(112);
      r.WelcomeMessage = d.Str(116, 255);
      r.Raw = std::move(d);
      loginReply_ = std::move(r);
    } else if (subtype == cmd::Pong && size >= 24) {
      ++Pongs;
      LastPongSequence = Get32(data + 20);
    }
  }
}

bool TVoiceClient::WaitUntil(int timeoutMs, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Pump();
    Service(Clock::now());
    if (done()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    pollfd p{fd_, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    poll(&p, 1, static_cast<int>(std::min<long long>(left, 10)) + 1);
  }
}

void TVoiceClient::PumpFor(int ms) {
  WaitUntil(ms, [] { return false; });
}

std::optional<TClientDatagram> TVoiceClient::WaitCommand(uint16_t code, int timeoutMs) {
  std::optional<TClientDatagram> found;
  WaitUntil(timeoutMs, [&] {
    for (auto it = Commands.begin(); it != Commands.end(); ++it) {
      if (it->Code() == code) {
        found = std::move(*it);
        Commands.erase(it);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<TClientDatagram> TVoiceClient::WaitAnyCommand(int timeoutMs) {
  std::optional<TClientDatagram> found;
  WaitUntil(timeoutMs, [&] {
    if (Commands.empty()) return false;
    found = std::move(Commands.front());
    Commands.pop_front();
    return true;
  });
  return found;
}

std::optional<TClientDatagram> TVoiceClient::WaitVoice(int timeoutMs) {
  std::optional<TClientDatagram> found;
  WaitUntil(timeoutMs, [&] {
    if (Voice.empty()) return false;
    found = std::move(Voice.front());
    Voice.pop_front();
    return true;
  });
  return found;
}

bool TVoiceClient::Receives(uint16_t code, int ms) {
  bool seen = false;
  WaitUntil(ms, [&] {
    for (const auto& c : Commands)
      if (c.Code() == code) seen = true;
    return seen;
  });
  return seen;
}
