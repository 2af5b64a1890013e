// TPLUDPListener: the listener thread of a virtual server, the only place
// where client datagrams are interpreted. It takes each validated datagram
// (or the news that a connection timed out or closed) from the packet
// buffer, finds the player that sent it and hands it on: login and the
// session's life cycle are its own (server/Listener.cpp), as is the voice
// relay (server/VoiceRelay.cpp); a command goes through the command table
// to its handler (server/CommandHandlers.h) with a context for the
// requester (server/HandlerContext.h). The work behind the handlers lies
// in three objects of the server: the notices (TNotifier), who may see and
// moderate what (TModeration) and the channel moves (TChannelMoves).
//
// Only Start, Terminate, WaitFor and DisconnectAll are for the server
// (ServeReady for the fuzz target); RelayVoice is the socket reader's.
//
// Ownership: the virtual server creates it after the packet buffer and the
// three objects above, and destroys it after the buffer shut down and
// before the objects; the server outlives it.
// Locking: for every event the loop holds the server's ClientList lock and
// then its channel lock, and every handler runs with both held
// (DisconnectAll takes the ClientList lock itself). Handlers never touch
// the network: they queue datagrams through the notifier, and the sender
// thread does the output.
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
#include "server/HandlerContext.h"
#include "server/ServerObject.h"

class TChannelMoves;
class TModeration;
class TNotifier;
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

// What the relay reaches of its server (server/VoiceRelay.cpp): the
// listener's own references, gathered once so that a frame builds nothing.
// The settings are read as they stand at each frame.
struct TRelayScope {
  TClientList& Clients;
  TChannels& Channels;
  TCustomPacketBuffer& Buffer;
  const TServerSettings& Settings;
};

class TPLUDPListener final : private TListenerServices {
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

  // The socket reader's way in: relays a voice datagram the packet buffer
  // accepted and handed back (it had nothing queued ahead of it), on the
  // calling thread, and sends the result through `sender` at once (the
  // copies for recipients with nothing waiting without queuing them, see
  // TPLUDPSender::TryHold), then whatever else is due. Takes the
  // ClientList and channel locks itself; the caller holds no lock and
  // keeps `packet` alive. Raises nothing.
  void RelayVoice(TPacket& packet, TPLUDPSender& sender);

 private:
  // A row of the command table: a datagram shorter than the record its
  // handler reads is ignored.
  struct TCommandRow {
    uint16_t Code;
    uint16_t Size;
    void (*Handler)(THandlerContext&, TPacket&);
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
  // The command of `row` from the current player, served with a context.
  void Command(const TCommandRow& row, TPacket& packet);
  TClientList& Clients() { return *server_.ClientList; }
  TChannels& Channels() { return *server_.Channels; }
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
  // Finishes what the worker handed back; no lock held.
  void FinishAccountWork();
  // What the handlers ask of the listener (server/HandlerContext.h).
  bool RunAccountJob(std::unique_ptr<TAccountJob> job) override;
  void WithPlayer(uint32_t id, uint32_t sessionKey, const std::function<void(TClientObject&)>& f) override;
  void AuditVoice(const TPacket& packet, const TClientObject& requester, const char* kind,
                  std::string detail) override;
  bool BeginRegistration(uint32_t id, uint32_t sessionKey) override;
  void EndRegistration(uint32_t id, uint32_t sessionKey) override;

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
  uint32_t NewSessionKey();
  uint32_t NextPlayerID();
  std::string MakeUniqueNick(std::string_view nick);

  // ---- voice relay (server/VoiceRelay.cpp) ----
  void HandleVoice(TPacket& packet);
  // The relay of HandleVoice and RelayVoice (see TRelayOutput).
  void Relay(TPacket& packet, const TClientObject& speaker, const TRelayOutput& out);

  static constexpr int64_t kStoreDelayMs = 1000;
  static constexpr int64_t kTimeoutScanMs = 50;

  TServerObject& server_;
  TNotifier& notify_;
  TModeration& moderation_;
  TChannelMoves& moves_;
  const TRelayScope relay_;
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
