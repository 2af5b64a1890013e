// minimal_relay: the yardstick for parleon-server's voice relay. One thread,
// one UDP socket: receive a datagram, and for voice send one datagram per
// listener in the speaker's channel with sendto, straight away. It keeps no
// state beyond who is in which channel: no connections, no queues, no
// resending, no time-outs. It answers just enough of the protocol (login,
// Enter with a channel name, the end-of-lists command) for parleon-bot to
// run against it unchanged. bench/relay_compare.sh runs both.
//
// Usage: minimal_relay_tool [--port N]   (0 or none: a free port)
// Prints "listening on port N" once bound; SIGINT or SIGTERM ends it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/CommandCodes.h"
#include "common/Packets.h"
#include "common/TextFormat.h"
#include "common/WireFormat.h"

namespace {

constexpr size_t kLoginReplySize = 372;
constexpr size_t kEnterSize = 116;

struct TPlayer {
  uint32_t SessionKey = 0;
  sockaddr_in Address{};
  int Channel = -1;  // -1 until Enter
};

volatile sig_atomic_t stopRequested = 0;
void OnStopSignal(int) { stopRequested = 1; }

class TMinimalRelay {
 public:
  explicit TMinimalRelay(int fd) : fd_(fd) {}

  void Handle(const uint8_t* d, size_t size, const sockaddr_in& from) {
    if (size < 16) return;
    switch (wire::GetU16(d)) {
      case kPacketMaintenance:
        if (size < kMaintenanceHeaderSize) break;
        if (wire::GetU16(d + 2) == cmd::Login) Login(from);
        if (wire::GetU16(d + 2) == cmd::Ping) Pong(d, from);
        break;
      case kPacketCommand:
        if (size >= kCommandHeaderSize) Command(d, size, from);
        break;
      case kPacketVoiceC2S:
        Voice(d, size);
        break;
      default:
        break;  // acknowledgements and anything else need no answer here
    }
  }

 private:
  void SendTo(const uint8_t* d, size_t size, const sockaddr_in& to) {
    (void)sendto(fd_, d, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

  TPlayer* Find(const uint8_t* d) {
    const uint32_t id = wire::GetU32(d + 8);
    if (id == 0 || id >= players_.size()) return nullptr;
    TPlayer& p = players_[id];
    return p.SessionKey == wire::GetU32(d + 4) ? &p : nullptr;
  }

  void Login(const sockaddr_in& from) {
    if (players_.empty()) players_.emplace_back();  // id 0 is nobody
    const uint32_t id = static_cast<uint32_t>(players_.size());
    TPlayer p;
    p.SessionKey = id * 2654435761u % 16777213u + 1;
    p.Address = from;
    players_.push_back(p);

    uint8_t r[kLoginReplySize] = {};
    wire::PutU16(r, kPacketMaintenance);
    wire::PutU16(r + 2, cmd::LoginReply);
    wire::PutU32(r + 8, id);
    wire::PutStr(r + 20, 29, "minimal relay");
    wire::PutI32(r + 88, 1);
    wire::PutU32(r + 104, 0xFFFF);
    wire::PutU32(r + 108, p.SessionKey);
    wire::PutU32(r + 112, id);
    wire::PutU32(r + 16, PacketCRC32(r, sizeof r));
    SendTo(r, sizeof r, from);
  }

  // The keep-alive answer, so that idle players cost what they cost a
  // relay that answers each ping at once and does nothing else
  // (bench/idle_players.py --relay minimal).
  void Pong(const uint8_t* d, const sockaddr_in& from) {
    if (!Find(d)) return;
    uint8_t r[kPongSize] = {};
    wire::PutU16(r, kPacketMaintenance);
    wire::PutU16(r + 2, cmd::Pong);
    std::memcpy(r + 4, d + 4, 8);  // session key and player id
    wire::PutU32(r + 12, pongSequence_++);
    wire::PutU32(r + 20, wire::GetU32(d + 12));
    wire::PutU32(r + 16, PacketCRC32(r, sizeof r));
    SendTo(r, sizeof r, from);
  }

  void Command(const uint8_t* d, size_t size, const sockaddr_in& from) {
    TPlayer* p = Find(d);
    if (!p) return;
    uint8_t ack[kAckSize] = {};
    wire::PutU16(ack, kPacketAck);
    wire::PutU16(ack + 2, wire::GetU16(d + 16));
    std::memcpy(ack + 4, d + 4, 12);  // session key, player id, sequence
    SendTo(ack, sizeof ack, from);
    if (wire::GetU16(d + 2) == cmd::Logout) Leave(*p, wire::GetU32(d + 8));
    if (wire::GetU16(d + 2) != cmd::Enter || size < kEnterSize) return;

    // Channels are made on first mention; the default channel is the empty name.
    const std::string name = UpperCase(wire::GetStr(d + 26, 29));
    auto [it, added] = channelByName_.try_emplace(name, static_cast<int>(members_.size()));
    if (added) members_.emplace_back();
    if (p->Channel < 0) {
      p->Channel = it->second;
      members_[static_cast<size_t>(p->Channel)].push_back(wire::GetU32(d + 8));
    }
    // The end of the lists; a repeated Enter repeats it under the same number.
    uint8_t end[kCommandHeaderSize] = {};
    wire::PutU16(end, kPacketCommand);
    wire::PutU16(end + 2, cmd::ListsEnd);
    std::memcpy(end + 4, d + 4, 8);
    wire::PutU32(end + 12, 1);
    wire::PutU32(end + 20, PacketCRC32(end, sizeof end));
    SendTo(end, sizeof end, from);
  }

  void Leave(TPlayer& p, uint32_t id) {
    if (p.Channel < 0) return;
    auto& members = members_[static_cast<size_t>(p.Channel)];
    members.erase(std::remove(members.begin(), members.end(), id), members.end());
    p.Channel = -1;
    p.SessionKey = 0;  // nothing more is taken from it
  }

  // The whole relay: one VOICES2C per listener, the payload copied into the
  // shared outgoing buffer once, the recipient's key and id rewritten each time.
  void Voice(const uint8_t* d, size_t size) {
    TPlayer* speaker = Find(d);
    if (!speaker || speaker->Channel < 0) return;
    const uint32_t speakerId = wire::GetU32(d + 8);
    const size_t payload = size - kVoiceC2SHeaderSize;
    if (kVoiceS2CHeaderSize + payload > sizeof out_) return;
    wire::PutU16(out_, kPacketVoiceS2C);
    out_[2] = d[2];
    out_[3] = d[3];
    std::memcpy(out_ + 12, d + 12, 4);  // counter and voice word
    wire::PutU32(out_ + 16, speakerId);
    std::memcpy(out_ + 20, d + 12, 2);
    std::memcpy(out_ + kVoiceS2CHeaderSize, d + kVoiceC2SHeaderSize, payload);
    for (uint32_t id : members_[static_cast<size_t>(speaker->Channel)]) {
      if (id == speakerId) continue;
      const TPlayer& to = players_[id];
      wire::PutU32(out_ + 4, to.SessionKey);
      wire::PutU32(out_ + 8, id);
      SendTo(out_, kVoiceS2CHeaderSize + payload, to.Address);
    }
  }

  int fd_;
  std::vector<TPlayer> players_;
  uint32_t pongSequence_ = 1;
  std::unordered_map<std::string, int> channelByName_;
  std::vector<std::vector<uint32_t>> members_;
  uint8_t out_[8192];
};

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--port N]\n", argv[0]);
      return 2;
    }
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::perror("minimal_relay: bind");
    return 1;
  }
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  // A blocked recvfrom must return on the signal so the loop can end.
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::printf("listening on port %u\n", ntohs(local.sin_port));
  std::fflush(stdout);

  TMinimalRelay relay(fd);
  uint8_t buffer[8192];
  while (!stopRequested) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n > 0) relay.Handle(buffer, static_cast<size_t>(n), from);
  }
  close(fd);
  return 0;
}
