// TPLUDPListener: the listener thread of a virtual server, the only place
// where client datagrams are interpreted. It takes each validated datagram
// (or the news that a connection timed out or closed) from the packet
// buffer, finds the player that sent it and hands it to the handler of its
// packet class and command code: login and the session's life cycle
// (server/Listener.cpp), the voice relay (server/VoiceRelay.cpp), the channel
// commands (server/ChannelCommands.cpp) and the player commands
// (server/PlayerCommands.cpp). Its notices keep every client's view of
// channels and players current.
//
// Only Start, Terminate, WaitFor and DisconnectAll are for the server
// (ServeReady for the fuzz target). The
// shared helpers are public for the handler files' own free functions; the
// handlers and the session's steps are private, reached through the command
// table. Every handler file leans on the shared helpers (server/Notices.cpp)
// and nothing leans on a handler file.
//
// Ownership: the virtual server creates it after the packet buffer and
// destroys it after the buffer shut down; the server outlives it.
// Locking: for every event the loop holds the server's ClientList lock and
// then its channel lock, and every handler and helper below runs with both
// held (DisconnectAll takes the ClientList lock itself). Handlers never touch
// the network: they queue datagrams with Send(), and the sender thread does
// the output.
// Failures: a handler that raises is logged and the loop goes on; the
// datagram is freed and both locks released on every path.
// Account work: a password check or hash never runs on this thread. A login
// that names an account and a registration go to the server's account
// worker (server/AccountWorker.h) and are finished here, under the locks,
// when the worker hands them back; meanwhile the others are served.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/ClientObject.h"
#include "common/CommandCodes.h"
#include "common/LogRateLimiter.h"
#include "common/Packets.h"
#include "server/AccountWorker.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "server/ServerObject.h"

class TPLUDPSender;
struct TDirectVoice;

// Where the relay's copies of a frame go: with `Direct`, recipients with
// nothing waiting get theirs there for the caller to send at once
// (TCustomPacketBuffer::FanOutVoice); the others are queued, and
// `WakeSender` wakes the sender thread for them (false when the caller
// sends what is due itself).
struct TRelayOutput {
  TDirectVoice* Direct;
  bool WakeSender;
};

class TPLUDPListener {
 public:
  explicit TPLUDPListener(TServerObject& server);
  ~TPLUDPListener();  // joins the thread
  TPLUDPListener(const TPLUDPListener&) = delete;
  TPLUDPListener& operator=(const TPLUDPListener&) = delete;

  void Start();
  // Asks the loop to end; it leaves once the packet buffer is closing too.
  void Terminate();
  void WaitFor();  // joins the thread
  // Handles one event the packet buffer holds now, without waiting; false
  // when there was none. For a listener that was not started: the fuzz
  // target drives it step by step. The caller loads the channels first.
  bool ServeReady();

  // The server stops: every player gets PlayerLeft reason 4 with
  // close-after-sending and is removed. Takes the ClientList lock.
  void DisconnectAll();

  // ---- shared helpers (server/Notices.cpp; ClientList and channel locks held) ----
  TServerObject& Server() { return server_; }
  TClientList& Clients() { return *server_.ClientList; }
  TChannels& Channels() { return *server_.Channels; }
  TCustomPacketBuffer& Buffer() { return *server_.PacketBuffer; }
  TClientObject* FindPlayerByID(uint32_t id) { return Clients().FindByID(id); }
  TClientObject* FindPlayerByNick(std::string_view nick) { return Clients().FindByNick(nick); }
  // Clan server: everyone sees everyone; otherwise players see each other
  // when their channels have the same root.
  bool CanSee(const TClientObject& a, const TClientObject& b);
  // ChannelAdmin or Operator in the channel, or ServerAdmin.
  static bool HasModeratorRights(const TClientObject& p);
  // Moderator rights that reach the channel or player a command names.
  // Channel rights are granted per family, so they act only on the
  // requester's own family (channels, and players whose channel is in it);
  // only a server administrator acts elsewhere, or on a server
  // administrator.
  bool MayModerateChannel(const TClientObject& requester, uint32_t channelID);
  bool MayModeratePlayer(const TClientObject& requester, const TClientObject& target);
  // The channel (id at offset 24) or player (id at offset 24) a moderator's
  // command names, when it exists and the current player's moderator rights
  // reach it; otherwise none, with the refusal sent (-102 or -100 first,
  // then -1007).
  TChannelRecord* ModeratedChannel(TPacket& packet);
  TClientObject* ModeratedPlayer(TPacket& packet);
  // Whether the target holds the super administrator's right, on its record
  // or in the account it is logged in to (reads the database).
  bool HoldsSuperRight(const TClientObject& target);
  // One record of the audit trail for what the requester did by voice,
  // held to the requester's share (a few lines a second per player).
  void AuditVoice(const TPacket& packet, const TClientObject& requester, const char* kind, std::string detail);
  // A COMMAND of `size` bytes (header included) addressed to `to`: class,
  // code, its SessionKey and PlayerID set, the rest zero.
  static std::unique_ptr<TPacket> NewCommand(uint16_t code, size_t size, const TClientObject& to);
  // A TextMessage (314 bytes) for `to`: the text cut to 255, `value` and
  // the sender's name cut to 29.
  static std::unique_ptr<TPacket> NewTextMessage(const TClientObject& to, std::string_view text, uint32_t value,
                                                 std::string_view from);
  // Queues a packet for its player; a vanished connection or a full queue
  // loses it (a notice to a player that is gone is skipped).
  void Send(std::unique_ptr<TPacket> packet, bool closeAfter = false);
  // One copy of a notice to every player that can see `about` (itself
  // included); `fill(uint8_t* datagram)` writes the payload of each copy.
  // The notice is held once for all of them (SendNotice).
  template <typename Fill>
  void ToViewers(const TClientObject& about, uint16_t code, size_t size, const Fill& fill) {
    uint8_t datagram[kCommandHeaderSize + TNoticeLog::kMaxPayload] = {};
    const bool shared = size >= kCommandHeaderSize && size <= sizeof datagram;
    if (shared) fill(datagram);
    std::vector<uint32_t> to;
    for (TClientObject* q : Clients().Items()) {
      if (!CanSee(about, *q)) continue;
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
  // Queues one command (`payload` after the header, at most
  // TNoticeLog::kMaxPayload bytes) for every player id of `to`; the packet
  // buffer holds it once and builds each copy when its turn comes. Players
  // gone or beyond reach are skipped, as by Send.
  void SendNotice(uint16_t code, const uint8_t* payload, size_t size, const std::vector<uint32_t>& to);
  // ErrorReply to the current player for `request`: 30 bytes, 34 with the
  // channel id for -111.
  void SendErrorReply(int32_t code, TPacket& request, uint32_t channelID = 0);
  void AnnouncePlayerLeft(uint32_t id, uint16_t reason, std::string_view message, uint32_t causer);
  // PlayerLeft (64 bytes) about player `id` for `to`; the message is cut to 29.
  std::unique_ptr<TPacket> NewPlayerLeft(const TClientObject& to, uint32_t id, uint16_t reason, uint32_t causer,
                                         std::string_view message);
  void AnnounceNewPlayer(uint32_t id);
  // PlayerJoined about `p` to the players of `to`.
  void AnnounceNewPlayer(const TClientObject& p, const std::vector<uint32_t>& to);
  // A PlayerList-shaped datagram series (code 7 or 108) of `players` to `to`,
  // ten records per datagram.
  void SendPlayerRecords(uint16_t code, const TClientObject& to, const std::vector<TClientObject*>& players);
  static void WritePlayerRecord(uint8_t* dst, const TClientObject& p);  // 46 bytes

  // ---- operations shared by the session and the commands (server/Notices.cpp) ----
  // 0 may join; -102, -110, -113; 1 for a wrong password (reported as -111).
  int32_t JoinCheck(uint32_t channelID, std::string_view password);
  void ApplyAutoRights(TClientObject& p);
  void AnnounceSwitch(TClientObject& p, uint32_t oldChannel, uint32_t newChannel);
  // SwitchPlayer and KickPlayer also serve an administrator's thread
  // (TServerAccess), which holds both locks as the loop does: they use no
  // state of the event being handled.
  // The player goes into `channelID` (which exists) with the rights stored
  // for its family; everyone concerned is told, and the family it left goes
  // if it was temporary and is now empty. A switch's checks come first.
  void SwitchPlayer(TClientObject& p, uint32_t channelID);
  // Kicks `target` from the server: PlayerLeft reason kicked to those who
  // see it, its own copy closing its connection (`causer` 0: the server).
  void KickPlayer(TClientObject& target, std::string_view message, uint32_t causer);
  void NotifyChannelFlags(uint32_t channelID, TClientObject& requester);
  void NotifyPlayerFlags(TClientObject& p);
  void NotifyChannelPrivilege(TClientObject& p, uint32_t causer, uint8_t action, uint8_t bit);
  void NotifyPlayerPrivilege(TClientObject& p, uint32_t causer, uint8_t action, uint8_t bit);
  void NotifyChannelDeleted(uint32_t channelID, uint32_t deleter);
  int32_t ChannelInUse(uint32_t channelID);
  // After a player was removed: every empty temporary family goes.
  void ClearChannelUpAll();
  // After a switch or creation: the family of the channel the requester
  // left, if it is temporary and now empty.
  void ClearChannelUp(uint32_t channelID, uint32_t requesterID);

  // The socket reader's way in: relays a voice datagram the packet buffer
  // accepted and handed back (it had nothing queued ahead of it), on the
  // calling thread, and sends the result through `sender` at once (the
  // copies for recipients with nothing waiting without queuing them, see
  // TPLUDPSender::TryHold), then whatever else is due. Takes the
  // ClientList and channel locks itself; the caller holds no lock and
  // keeps `packet` alive. Raises nothing.
  void RelayVoice(TPacket& packet, TPLUDPSender& sender);

  // ---- the event being handled ----
  TClientObject* Current() { return current_; }
  // Ends the current player's connection at the end of this event.
  void RequestRemoval() { removeFlag_ = true; }

 private:
  // A row of the command table: a datagram shorter than the record its
  // handler reads is ignored.
  struct TCommandRow {
    uint16_t Code;
    uint16_t Size;
    void (TPLUDPListener::*Handler)(TPacket&);
    bool Stores = false;  // may change what is stored of the channels
  };
  static const TCommandRow kCommands[];

  void Execute();
  // One event: a login that names an account goes to the account worker
  // first (CheckLoginAccount); everything else is served at once.
  void HandleEvent(int result, uint32_t connection, uint32_t sessionKey, TPacket* packet);
  // One event with the ClientList and channel locks held for it.
  void Serve(int result, uint32_t connection, uint32_t sessionKey, TPacket* packet);
  // WaitForPacket of the packet buffer, which also stores the channels when
  // a store falls due while nothing arrives.
  int WaitForEvent(uint32_t& connection, uint32_t& sessionKey, std::unique_ptr<TPacket>& packet);
  void Dispatch(TPacket& packet);
  // Registered channels and channel rights reach the database within
  // kStoreDelayMs of a change, so a crash loses little; changes in between
  // share one save. Called with the channel lock held or free (it takes it).
  void NoteChannelsChanged();
  void StoreChannelsIfDue();
  // Milliseconds until the store falls due (0: due), or -1 when none is.
  int64_t MsUntilStore();
  // The connection has ended: its player (if it still owns one) is
  // announced with `reason` and removed, the connection goes, and empty
  // temporary channels with it.
  void EndConnection(uint32_t connection, uint32_t sessionKey, uint16_t reason);
  // The wall-clock time, read at most once per millisecond: the local-time
  // conversion costs about half a microsecond under a process-wide lock, and
  // every datagram stamps its player's LastSeen. Caller holds the ClientList
  // lock (the cache is shared by the listener and the socket reader).
  TDateTime Now();

  // ---- account work (server/Listener.cpp) ----
  // Runs `job` on the account worker, or here at once (Work, then Finish)
  // when the listener was not started (the fuzz target). False when the
  // worker's queue is full: the job is dropped.
  bool RunAccountJob(std::unique_ptr<TAccountJob> job);
  // A request kept for a job's Finish, which answers it.
  static std::shared_ptr<TPacket> CopyOfPacket(const TPacket& packet);
  // Finishes what the worker handed back; no lock held.
  void FinishAccountWork();
  // Runs `f` with both locks held and the player `id` (with `sessionKey`) as
  // the current one, when it is still logged in. For a job's Finish.
  void WithPlayer(uint32_t id, uint32_t sessionKey, const std::function<void(TClientObject&)>& f);

  // ---- the session (server/Listener.cpp) ----
  // The account part of a login packet, before any lock is taken: the
  // throttle here, the database and the password hash on the account
  // worker, whose outcome comes back into Serve through checkedLogin_.
  // True when the packet was handed to the worker or dropped (a second
  // login of the same peer or account while one is checked, or a full
  // queue); false when it is served now (anonymous, or refused unhashed).
  bool CheckLoginAccount(TPacket& packet, uint32_t connection, uint32_t sessionKey);
  // The ban in force that keeps the login in `packet` out (by its address,
  // login name or nickname), or none. Looked at before any password.
  std::optional<TBan> BanFor(const TPacket& packet);
  bool LoginInFlight(const TPacket& packet, std::string_view loginName) const;
  void HandleLogin(TPacket& packet);
  void HandleEnter(TPacket& packet);
  void HandleLogout(TPacket& packet);
  void SendChannelList();
  // The current player's lists: the players it sees (itself included) and,
  // after ListsEnd, the announcement to the others of them.
  void SendPlayerList(const std::vector<TClientObject*>& visible);
  void SendListsEnd(const std::vector<uint32_t>& others);
  uint32_t NewSessionKey();
  uint32_t NextPlayerID();
  std::string MakeUniqueNick(std::string_view nick);

  // ---- voice relay (server/VoiceRelay.cpp) ----
  void HandleVoice(TPacket& packet);
  // The relay of HandleVoice and RelayVoice (see TRelayOutput).
  void Relay(TPacket& packet, const TClientObject& speaker, const TRelayOutput& out);

  // ---- channel commands (server/ChannelCommands.cpp) ----
  void HandleSwitchChannel(TPacket& packet);
  void HandleCreateChannel(TPacket& packet);
  void HandleDeleteChannel(TPacket& packet);
  void HandleSetChannelPassword(TPacket& packet);
  void HandleSetChannelFlags(TPacket& packet);
  void HandleSetChannelName(TPacket& packet);
  void HandleSetChannelTopic(TPacket& packet);
  void HandleSetChannelDescription(TPacket& packet);
  void HandleSetChannelMaxUsers(TPacket& packet);
  void HandleEditChannel(TPacket& packet);
  void HandleSetChannelOrder(TPacket& packet);

  // ---- player commands (server/PlayerCommands.cpp) ----
  void HandleKickPlayer(TPacket& packet);
  void HandleKickFromChannel(TPacket& packet);
  void HandleSetPlayerFlags(TPacket& packet);
  void HandleRequestVoice(TPacket& packet);
  void HandleSetChannelPrivilege(TPacket& packet);
  void HandleSetPlayerPrivilege(TPacket& packet);
  void HandleRegisterSelf(TPacket& packet);
  void HandleRegisterUser(TPacket& packet);
  void HandlePlayerInfo(TPacket& packet);
  void HandleServerInfo(TPacket& packet);
  void HandleTextMessage(TPacket& packet);

  static constexpr int64_t kStoreDelayMs = 1000;
  static constexpr int64_t kTimeoutScanMs = 50;

  TServerObject& server_;
  std::thread thread_;
  bool storeDue_ = false;
  int64_t storeAt_ = 0;    // clock count at which the store falls due
  int64_t lastStore_ = 0;  // clock count of the last store; 0: none yet
  std::atomic<bool> terminated_{false};
  TClientObject* current_ = nullptr;
  uint32_t currentConnection_ = 0;
  bool removeFlag_ = false;
  struct TCheckedLogin {
    bool Checked = false;  // the packet names an account that was checked
    std::unique_ptr<TClientObject> Account;  // none: refused (blocked or wrong)
  } checkedLogin_;
  std::unique_ptr<TAccountWorker> worker_;
  // Logins whose account is being checked (listener thread only).
  struct TLoginInFlight {
    std::string Address;
    uint16_t Port;
    std::string LoginName;
  };
  std::vector<TLoginInFlight> loginsInFlight_;
  // Players whose self-registration is being stored: id and session key.
  std::vector<std::pair<uint32_t, uint32_t>> registrationsInFlight_;
  TLogRateLimiter droppedLogins_{nullptr};
  TLogRateLimiter bannedLogins_{nullptr};
  // The audit share of each player that acted as an administrator, by
  // player id; a player's goes when its connection ends.
  std::unordered_map<uint32_t, TLogRateLimiter> auditShares_;
  TDateTime nowCache_ = 0;
  int64_t nowCounter_ = 0;
  bool nowValid_ = false;
};
