// Feeds datagram sequences to a whole virtual server in-process: its packet
// buffer and its listener, driven step by step on this thread (no socket,
// no threads), with a manual clock. The harness plays up to three clients
// well enough to get past login and Enter, so the sequences reach every
// command handler and the voice relay: it reads the login replies, keeps
// each client's key, id and sequence numbers, and acknowledges what the
// server sends.
//
// Input: a sequence of records [op u8][length u8][bytes...].
//   op & 3        the client slot 1..3 (0: a stranger, its bytes sent as they are)
//   op >> 2 & 7   0 raw bytes (checksum set when op & 32)
//                 1 login: the bytes fill the 180-byte request from offset 20
//                 2 Enter, the bytes as its record
//                 3 a command: bytes[0] picks the code, the rest is its record
//                 4 voice: bytes[0] the target kind, the rest its body
//                 5 the clock moves on by bytes[0] * 100 ms
//                 6 acknowledgement of the slot's last received command, or ping
//   op & 64       the slot does not acknowledge what it receives
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/CommandCodes.h"
#include "common/PacketBuffer.h"
#include "common/WireFormat.h"
#include "server/ChannelMoves.h"
#include "server/Listener.h"
#include "server/Moderation.h"
#include "server/Notifier.h"
#include "server/ServerObject.h"
#include "server/ServerInternals.h"

namespace {

// The command codes a record may name (the server ignores others anyway).
constexpr uint16_t kCodes[] = {
    cmd::Enter,           cmd::Logout,          cmd::CreateChannel,        cmd::SetChannelPassword,
    cmd::SetChannelFlags, cmd::SetChannelName,  cmd::SetChannelTopic,      cmd::SetChannelDescription,
    cmd::DeleteChannel,   cmd::SetChannelMaxUsers, cmd::EditChannel,       cmd::SetChannelOrder,
    cmd::SwitchChannel,   cmd::KickPlayer,      cmd::KickFromChannel,      cmd::SetPlayerFlags,
    cmd::RequestVoice,    cmd::SetChannelPrivilege, cmd::SetPlayerPrivilege, cmd::RegisterSelf,
    cmd::RegisterUser,    cmd::PlayerInfo,      cmd::ServerInfo,           cmd::TextMessage,
};

struct TSlot {
  uint32_t Id = 0, Key = 0;
  uint32_t CommandSeq = 0;  // last sent
  uint32_t MaintenanceSeq = 2;
  uint16_t VoiceCounter = 0;
  uint32_t LastReceived = 0, LastResend = 0;
  bool Deaf = false;  // does not acknowledge
  bool LoggingIn = false;
};

class THarness {
 public:
  THarness() {
    server_ = std::make_shared<TServerObject>();
    server_->Clock = &clock_;
    server_->ServerMaxUsers = 8;
    TServerInternals::ClientList(*server_) = std::make_unique<TClientList>();
    TServerInternals::Channels(*server_) = std::make_unique<TChannels>("server_cfg Fuzz", &clock_);
    TServerInternals::PacketBuffer(*server_) = std::make_unique<TCustomPacketBuffer>(&clock_);
    TServerInternals::PacketBuffer(*server_)->ThreadFinished(0);
    TServerInternals::PacketBuffer(*server_)->ThreadFinished(1);
    {
      TChannelsLock lock(*TServerInternals::Channels(*server_));
      TServerInternals::Channels(*server_)->LoadChannels();
    }
    server_->ChannelsLoaded = true;
    TServerRecord& r = *server_;
    TServerInternals::Moderation(r) = std::make_unique<TModeration>(
        r, server_->ServerID, *TServerInternals::ClientList(r), *TServerInternals::Channels(r));
    TServerInternals::Notifier(r) =
        std::make_unique<TNotifier>(r, *TServerInternals::ClientList(r), *TServerInternals::Channels(r),
                                    *TServerInternals::PacketBuffer(r), *TServerInternals::Moderation(r));
    TServerInternals::Moves(r) = std::make_unique<TChannelMoves>(
        *TServerInternals::ClientList(r), *TServerInternals::Channels(r), *TServerInternals::Notifier(r));
    listener_ = std::make_unique<TPLUDPListener>(*server_);
  }
  ~THarness() {
    listener_.reset();
    TServerInternals::PacketBuffer(*server_).reset();
  }

  void Record(uint8_t op, const uint8_t* d, size_t n) {
    const unsigned who = op & 3;
    TSlot& s = slots_[who];
    s.Deaf = (op & 64) != 0;
    std::unique_ptr<TPacket> p;
    switch ((op >> 2) & 7) {
      case 0:
        p = std::make_unique<TPacket>(d, n);
        if ((op & 32) && p->HasClass()) p->UpdateCRC();
        break;
      case 1: {
        p = NewMaintenancePacket(cmd::Login, 0, 0, 1, 160);
        std::memcpy(p->Memory() + 20, d, n < 160 ? n : 160);
        p->UpdateCRC();
        s.LoggingIn = who != 0;
        break;
      }
      case 3:
        if (n == 0) return;
        p = Command(s, kCodes[d[0] % std::size(kCodes)], d + 1, n - 1);
        break;
      case 2:
        p = Command(s, cmd::Enter, d, n);
        break;
      case 4: {
        p = NewVoiceC2SPacket(s.Key, s.Id, ++s.VoiceCounter, n > 0 ? n - 1 : 0);
        if (n > 0) {
          p->Memory()[2] = d[0];
          std::memcpy(p->Memory() + kVoiceC2SHeaderSize, d + 1, n - 1);
        }
        p->UpdateCRC();
        break;
      }
      case 5:
        clock_.AdvanceMs(100 * (n ? d[0] : 1));
        break;
      case 6:
        p = s.LastReceived ? NewAckPacket(s.Key, s.Id, s.LastReceived, static_cast<uint16_t>(s.LastResend))
                           : NewMaintenancePacket(cmd::Ping, s.Key, s.Id, ++s.MaintenanceSeq);
        p->UpdateCRC();
        break;
      default:
        return;
    }
    if (p) {
      p->SetAddress("127.0.0.1", static_cast<uint16_t>(5000 + who));
      TServerInternals::PacketBuffer(*server_)->TryStoreReceivedPacket(std::move(p));
    }
    Settle();
  }

 private:
  std::unique_ptr<TPacket> Command(TSlot& s, uint16_t code, const uint8_t* d, size_t n) {
    auto p = NewCommandPacket(code, s.Id, n);
    if (n) std::memcpy(p->Memory() + kCommandHeaderSize, d, n);
    TCommandHeader h = p->CommandHeader();
    h.SetSessionKey(s.Key);
    h.SetSequence(++s.CommandSeq);
    p->UpdateCRC();
    return p;
  }

  // Lets the listener handle everything and plays the clients' side of what
  // the server sends, until nothing moves.
  void Settle() {
    for (int round = 0; round < 64; ++round) {
      bool moved = false;
      while (listener_->ServeReady()) moved = true;
      uint32_t hint;
      while (std::unique_ptr<TPacket> out = TServerInternals::PacketBuffer(*server_)->NextPacketToSend(hint)) {
        moved = true;
        Receive(*out);
      }
      if (!moved) return;
    }
  }

  void Receive(TPacket& out) {
    TSlot* s = nullptr;
    for (TSlot& candidate : slots_)
      if (&candidate != &slots_[0] && out.Port == 5000 + (&candidate - slots_)) s = &candidate;
    if (!s) return;
    if (out.IsMaintenance() && out.MaintenanceHeader().Subtype() == cmd::LoginReply && out.Size() >= 116 &&
        s->LoggingIn) {
      s->Key = wire::GetU32(out.Memory() + 108);
      s->Id = wire::GetU32(out.Memory() + 112);
      s->CommandSeq = 0;
      s->LastReceived = 0;
      s->LoggingIn = false;
      return;
    }
    if (!out.IsCommand()) return;
    const TCommandHeader h = out.CommandHeader();
    s->LastReceived = h.Sequence();
    s->LastResend = h.ResendCount();
    if (s->Deaf) return;
    auto ack = NewAckPacket(h.SessionKey(), h.PlayerId(), h.Sequence(), h.ResendCount());
    ack->SetAddress(out.Address, out.Port);
    TServerInternals::PacketBuffer(*server_)->TryStoreReceivedPacket(std::move(ack));
  }

  TManualClock clock_;
  std::shared_ptr<TServerObject> server_;
  std::unique_ptr<TPLUDPListener> listener_;
  TSlot slots_[4];
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  THarness harness;
  while (size >= 2) {
    const uint8_t op = data[0];
    const size_t length = data[1] < size - 2 ? data[1] : size - 2;
    harness.Record(op, data + 2, length);
    data += 2 + length;
    size -= 2 + length;
  }
  return 0;
}
