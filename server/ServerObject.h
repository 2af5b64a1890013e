// TServerObject: one virtual server: its settings (its own section of
// server.ini), and while it runs the machinery that serves it: the UDP
// socket, the packet buffer, the listener and sender threads, the player
// list and the channel list. Start-up, the TCP query and the web interface
// start, save, restart and stop servers; they find running ones in
// ServerList (server/ServerList.h).
//
// Ownership: servers are held by std::shared_ptr (TServerRef). ServerList
// holds the running ones; a thread that found a server keeps its reference,
// so the object outlives any stop. A stopped server is recognisable: Running()
// is false, and its machinery (PacketBuffer, ClientList, Channels, ...) is
// none. A thread that found a server holds HoldMachinery() (or the
// ServerList lock) while it reads the settings or touches the machinery, and
// checks Running() once it holds it: Start and Stop wait for every holder
// before they change either. Lock order: ServerList, then HoldMachinery,
// then the client list, then the channels; never the ServerList lock while
// holding HoldMachinery.
// A server must be owned by a TServerRef (std::make_shared) to be started.
// Thread-safety: Start, Stop and SaveConfig run on the calling thread (main,
// a TCP query or a web thread), serialised by the ServerList lock for
// restarts and stops. UDPRead runs on the socket's reader thread. The
// settings are written only by Start and by administrators just before they
// save and restart; threads read them without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

#include "common/Clock.h"
#include "common/PacketBuffer.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "server/BanList.h"
#include "server/ServerCounters.h"
#include "server/ServerEnvironment.h"
#include "server/ServerRef.h"
#include "server/ServerSettings.h"

class TChannelMoves;
class TIniFile;
class TModeration;
class TNotifier;
class TPLUDPListener;
class TPLUDPSender;
class TPosixUDPSocket;

// What the listener and the sender reach of their server. The machinery
// (packet buffer, socket, player list, channels) is private to server/: the
// lock order and the datagram layouts live there alone, and the
// administration reaches a server through TServerAccess
// (server/ServerAccess.h). Tests and tools that drive a server from inside
// use TServerInternals (server/ServerInternals.h).
struct TServerRecord : TServerSettings {
  std::string ShortID;  // the server id cut to 29 characters: the accounts' key
  std::string Platform;
  uint16_t VersionMajor = 0, VersionMinor = 0, VersionRelease = 0, VersionBuild = 0;
  bool ModeAllowed = false;  // no setting changes it
  TDateTime StartTime = 0;
  uint32_t NextPlayerID = 1;  // wraps past 0xFFFFFFFF; ids in use are skipped

 private:
  friend class TServerObject;
  friend class TPLUDPListener;
  friend class TPLUDPSender;
  friend class TServerAccess;
  friend struct TServerInternals;

  std::unique_ptr<TCustomPacketBuffer> PacketBuffer;
  std::unique_ptr<TPosixUDPSocket> UDPServer;
  std::unique_ptr<TClientList> ClientList;
  std::unique_ptr<TChannels> Channels;
  // What the listener's handlers and the administration's kicks and moves
  // share: notices, moderation and channel moves (server/Notifier.h,
  // server/Moderation.h, server/ChannelMoves.h). Start makes them after the
  // list, channels and buffer they refer to; they go right after the
  // listener, before those.
  std::unique_ptr<TModeration> Moderation;
  std::unique_ptr<TNotifier> Notifier;
  std::unique_ptr<TChannelMoves> Moves;
  // The id's totals for the metrics: Start takes the id's block, kept after
  // a stop; a record that never started counts into one of its own.
  std::shared_ptr<TServerCounters> Counters = std::make_shared<TServerCounters>();
  // Read from the file at each Start; the login consults it.
  std::unique_ptr<TBanList> Bans = std::make_unique<TBanList>();
};

class TServerObject : public TServerRecord, public std::enable_shared_from_this<TServerObject> {
 public:
  TServerObject();
  ~TServerObject();  // stops a server that still runs
  TServerObject(const TServerObject&) = delete;
  TServerObject& operator=(const TServerObject&) = delete;

  std::string ServerID;

  // Registers the server in ServerList, reads its settings (port -1: from the
  // file, default 8767; another port is only the default), writes them back
  // complete, and starts socket, buffer, listener and sender. False (with the
  // log line) when the id is taken, the settings file cannot be opened or
  // the port cannot be bound; the server is then not in ServerList. `ini`
  // none: the server opens env.SettingsFile itself. The server keeps `env`
  // for SaveConfig and restarts.
  bool Start(const TServerEnvironment& env, const std::string& id, int32_t port, TIniFile* ini);
  // Disconnects every player (PlayerLeft reason 4), gives the sender up to
  // 350 ms to deliver, ends the threads, closes the socket, stores the
  // channels. Does not touch ServerList.
  void Stop();
  // Writes the settings to `ini`, or to the environment's file when none.
  void SaveConfig(TIniFile* ini);
  // As given to the last Start; written only by Start (under the ServerList
  // lock), so a holder of that lock or of HoldMachinery may read it.
  const TServerEnvironment& Environment() const { return environment_; }
  // Voice that waited longer than this since it reached the socket is
  // dropped and counted in the buffer's figures (see TPacket::ArrivedMs).
  static constexpr uint32_t kStaleVoiceMs = TPacket::kStaleVoiceMs;
  // The socket's receive handler: copies the datagram into a packet and
  // hands it to the packet buffer; rejections are dropped silently. Voice
  // that nothing waits ahead of is relayed and sent right here.
  void UDPRead(const std::string& address, uint16_t port, uint32_t ip, const uint8_t* data, size_t size,
               uint32_t queuedMs = 0);
  // The figures; 0 while stopped. Each holds HoldMachinery() itself: do not
  // call them while holding it.
  int32_t CurrentUsers();
  int32_t CurrentChannels();
  uint32_t UptimeSeconds() const;
  bool Running() const { return running_.load(std::memory_order_acquire); }
  // Keeps the machinery in place while held (Stop waits for it). Take it
  // before the client-list lock, never twice on one thread, and check
  // Running() once it is held.
  std::shared_lock<std::shared_mutex> HoldMachinery() const { return std::shared_lock(machinery_); }
  // The listener's run: true once it has loaded the stored channels, so
  // that a stop never stores a list that was not loaded.
  std::atomic<bool> ChannelsLoaded{false};
  // The port the socket is bound to while running (tests start servers on port 0).
  uint16_t BoundPort() const;
  // Why the last Start failed, for the operator ("udp port 8767: bind:
  // Address already in use"); empty after a successful one. Written only by
  // Start, so read it on the thread that called Start.
  const std::string& StartFault() const { return startFault_; }
  // The same in the administration's short words: "port 8767: Address
  // already in use" when the socket failed, else as StartFault.
  const std::string& StartReason() const { return startReason_.empty() ? startFault_ : startReason_; }
  TClock* Clock = nullptr;  // none: the system clock

 private:
  // The administration's door holds the machinery while it changes settings.
  friend class TServerAccess;
  // Takes down whatever Start built, threads first. Caller holds machinery_.
  void TearDown(bool storeChannels);

  TServerEnvironment environment_;
  std::unique_ptr<TPLUDPListener> listener_;
  std::unique_ptr<TPLUDPSender> sender_;
  std::atomic<bool> running_{false};
  mutable std::shared_mutex machinery_;
  std::atomic<uint16_t> boundPort_{0};
  std::string startFault_, startReason_;
};
