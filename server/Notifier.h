// TNotifier: what a virtual server tells its players: commands to one
// player, one notice to every player that can see another, and the
// announcements that keep each client's view of channels and players
// current (joining, leaving, switching, flags and rights, deleted
// channels), with the builders of their datagrams. It decides nothing
// about rights; whom a notice reaches comes from TModeration::CanSee.
//
// Callers: the listener's session and handlers, the channel moves, and
// the administration's door (TServerAccess), which builds its text
// messages with the static NewTextMessage.
// Ownership: the virtual server makes it in Start, after its player list,
// channels and packet buffer, and drops it after the listener; it holds
// references only and no state of its own.
// Threads and locks: the listener thread, or an administrator's thread
// holding the server's machinery; the caller holds the client list's lock
// and then the channel lock. Nothing here waits on the network: packets
// are queued in the packet buffer, whose lock is innermost, and the sender
// thread writes them. The static builders need no lock.
// Delivery: a packet for a connection that vanished or whose queue is full
// is lost, and the player is beyond reach; the caller is not told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "common/ClientObject.h"
#include "common/NoticeLog.h"
#include "common/Packets.h"
#include "server/ClientList.h"
#include "server/Moderation.h"

class TChannels;
class TCustomPacketBuffer;
struct TServerSettings;

class TNotifier {
 public:
  TNotifier(const TServerSettings& settings, TClientList& clients, TChannels& channels, TCustomPacketBuffer& buffer,
            const TModeration& moderation)
      : settings_(settings), clients_(clients), channels_(channels), buffer_(buffer), moderation_(moderation) {}
  TNotifier(const TNotifier&) = delete;
  TNotifier& operator=(const TNotifier&) = delete;

  // ---- builders (no lock) ----
  // A COMMAND of `size` bytes (header included) addressed to `to`: class,
  // code, its SessionKey and PlayerID set, the rest zero.
  static std::unique_ptr<TPacket> NewCommand(uint16_t code, size_t size, const TClientObject& to);
  // A TextMessage (314 bytes) for `to`: the text cut to 255, `value` and
  // the sender's name cut to 29.
  static std::unique_ptr<TPacket> NewTextMessage(const TClientObject& to, std::string_view text, uint32_t value,
                                                 std::string_view from);
  // PlayerLeft (64 bytes) about player `id` for `to`; the message is cut to 29.
  static std::unique_ptr<TPacket> NewPlayerLeft(const TClientObject& to, uint32_t id, uint16_t reason,
                                                uint32_t causer, std::string_view message);
  static void WritePlayerRecord(uint8_t* dst, const TClientObject& p);  // 46 bytes

  // ---- sending ----
  // Queues a packet for its player (see Delivery above); `closeAfter` ends
  // the connection once the packet is delivered.
  void Send(std::unique_ptr<TPacket> packet, bool closeAfter = false);
  // Queues one command (`payload` after the header, at most
  // TNoticeLog::kMaxPayload bytes) for every player id of `to`; the packet
  // buffer holds it once and builds each copy when its turn comes.
  void SendNotice(uint16_t code, const uint8_t* payload, size_t size, const std::vector<uint32_t>& to);
  // One copy of a notice to every player that can see `about` (itself
  // included); `fill(uint8_t* datagram)` writes the payload of each copy.
  // A notice that fits is held once for all of them (SendNotice).
  template <typename Fill>
  void ToViewers(const TClientObject& about, uint16_t code, size_t size, const Fill& fill) {
    uint8_t datagram[kCommandHeaderSize + TNoticeLog::kMaxPayload] = {};
    const bool shared = size >= kCommandHeaderSize && size <= sizeof datagram;
    if (shared) fill(datagram);
    std::vector<uint32_t> to;
    for (TClientObject* q : clients_.Items()) {
      if (!moderation_.CanSee(about, *q)) continue;
      if (shared) {
        to.push_back(q->PlayerID);
        continue;
      }
      auto notice = NewCommand(code, size, *q);
      fill(notice->Memory());
      Send(std::move(notice));
    }
    if (shared) SendNotice(code, datagram + kCommandHeaderSize, size - kCommandHeaderSize, to);
  }
  // ErrorReply to `to` for its `request` (a command; anything else gets
  // none): 30 bytes, 34 with the channel id for -111.
  void SendErrorReply(int32_t code, const TClientObject& to, TPacket& request, uint32_t channelID = 0);
  // A PlayerList-shaped datagram series (code 7 or 108) of `players` to `to`,
  // ten records per datagram.
  void SendPlayerRecords(uint16_t code, const TClientObject& to, const std::vector<TClientObject*>& players);

  // ---- announcements ----
  // PlayerLeft about player `id` to everyone who sees it, once: its own copy
  // closes its connection, and the player is marked as announced.
  void AnnouncePlayerLeft(uint32_t id, uint16_t reason, std::string_view message, uint32_t causer);
  // PlayerJoined about player `id` to the others that see it.
  void AnnounceNewPlayer(uint32_t id);
  // PlayerJoined about `p` to the players of `to`.
  void AnnounceNewPlayer(const TClientObject& p, const std::vector<uint32_t>& to);
  // `p` moved from `oldChannel` to `newChannel`: on a public server those
  // left behind lose sight of it, its new family gains it and it learns
  // whom it sees now; elsewhere everyone hears of the switch.
  void AnnounceSwitch(TClientObject& p, uint32_t oldChannel, uint32_t newChannel);
  // ChannelFlagsChanged to the requester's viewers. A channel that is no
  // longer moderated also takes back its members' voice requests and their
  // Operator and Voice rights, with their notices.
  void NotifyChannelFlags(uint32_t channelID, TClientObject& requester);
  void NotifyPlayerFlags(TClientObject& p);
  void NotifyChannelPrivilege(TClientObject& p, uint32_t causer, uint8_t action, uint8_t bit);
  void NotifyPlayerPrivilege(TClientObject& p, uint32_t causer, uint8_t action, uint8_t bit);
  // ChannelDeleted to everyone; ids past 16 bits cannot be announced.
  void NotifyChannelDeleted(uint32_t channelID, uint32_t deleter);

 private:
  const TServerSettings& settings_;
  TClientList& clients_;
  TChannels& channels_;
  TCustomPacketBuffer& buffer_;
  const TModeration& moderation_;
};
