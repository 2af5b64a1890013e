// TServerAccess: the one door through which the administration surfaces
// (the TCP query, the web interface, the web list announcement) reach a
// running virtual server. They get copied views (Snapshot), and ask for
// what changes a server (SendText, ApplySettings, Kick, Move); the packet
// buffer, the player list, the channels, their locks and the datagram
// layouts stay inside server/. With it come the two process-wide parts the
// surfaces need besides one server: the listed servers and their coming and
// going (server/ServerCatalog.h), and the last hour's load samples
// (server/TrafficHistory.h). Nothing in admin/, announce/ or app/ includes
// another header of server/ than this one and server/ServerList.h, and
// neither brings in a server's insides: the object, its packet buffer,
// player list or channels (the CTest layer_includes checks both). The
// surfaces hold a server as an opaque TServerRef, found by id or port in
// the list, and act on it only through this door.
//
// Thread-safety: any thread, none of the server's locks held by the caller.
// Snapshot, SendText, Kick and Move take HoldMachinery, then the client
// list, then the channels, in the system's order; ApplySettings takes the
// ServerList lock first (a restart needs it); RunningID and RunningPort
// hold HoldMachinery alone, Running takes no lock. Bans, AddBan and
// LiftBan hold HoldMachinery while they write the file and then the ban
// list (whose own lock is a leaf), so a restart never reads the bans
// between the two.
// Every operation answers "not running" instead of touching a server that
// stopped meanwhile. Kick and Move log the player's id; who acted, and
// from where, is in the audit record their callers write.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Clock.h"
#include "database/Bans.h"
#include "server/LoginResults.h"
#include "server/ServerCatalog.h"
#include "server/ServerRef.h"
#include "server/ServerSettings.h"
#include "server/TrafficHistory.h"

struct TBufferStatistics;

// One player as the pages and the query show it.
struct TPlayerView {
  uint32_t PlayerID = 0, ChannelID = 0;
  uint16_t ChannelPrivileges = 0, PlayerPrivileges = 0;
  uint32_t Flags = 0;
  std::string NickName, LoginName;
  std::string Address = "0.0.0.0";  // only with TSnapshotParts::Addresses, once connected
  uint32_t PacketsSent = 0, PacketsReceived = 0;
  int64_t BytesSent = 0, BytesReceived = 0;
  uint16_t Loss = 0;  // hundredths of a per cent
  int32_t Ping = 0;   // average round trip, ms
  TDateTime LoginTime = 0, LastSeen = 0;
  bool Talking = false;  // a voice frame of the player's came in the last kTalkingMs
};

// How recent a player's last voice frame must be for it to count as talking.
inline constexpr int64_t kTalkingMs = 1500;

struct TChannelView {
  uint32_t ID = 0, Parent = 0;
  uint16_t Codec = 0, Order = 0, MaxUsers = 0, Flags = 0;
  bool HasPassword = false;
  std::string Name, Topic;
};

struct TServerFigures {
  int64_t PacketsSent = 0, BytesSent = 0, PacketsReceived = 0, BytesReceived = 0;
  uint32_t UptimeSeconds = 0;
  int32_t CurrentUsers = 0, CurrentChannels = 0;
};

// The id's totals since the process first started it, for the metrics:
// unlike the figures above they go on across restarts and never go back.
struct TServerTotals {
  uint64_t DatagramsReceived = 0, BytesReceived = 0, DatagramsSent = 0, BytesSent = 0;
  uint64_t VoiceRelayed = 0, StaleVoiceDropped = 0, Resends = 0, ThrottledPasswords = 0, SendsLost = 0;
  // Logins by result, in the order of kLoginResults; the last entry counts
  // any other result.
  static constexpr auto kLoginResults = ::kLoginResults;
  std::array<uint64_t, kLoginResults.size() + 1> Logins{};
  uint64_t SendQueue = 0;  // packets queued for sending at the moment of the copy
};

// What Snapshot copies besides the settings, version and figures.
namespace TSnapshotParts {
inline constexpr unsigned PlayerViews = 1, ChannelViews = 2, Addresses = 4, Totals = 8;
}

struct TServerSnapshot {
  bool Running = false;  // false: the settings as last run, figures and lists empty
  std::string ID;
  TServerSettings Settings;
  std::string Platform;
  uint16_t VersionMajor = 0, VersionMinor = 0, VersionRelease = 0, VersionBuild = 0;
  TServerFigures Figures;
  TServerTotals Totals;  // only with TSnapshotParts::Totals
  TDateTime Now = 0;  // the server's clock when the copy was taken
  std::vector<TPlayerView> PlayerViews;
  std::vector<TChannelView> ChannelViews;
};

// A change of settings: a field that is set replaces the current value.
struct TSettingsChange {
  std::optional<std::string> ServerName, ServerWelcomeMessage, ServerPassword, WebPostLinkURL;
  std::optional<uint16_t> ServerMaxUsers, ServerType;
  std::optional<bool> AnyoneMayRegister;
  std::optional<bool> AllowCodecCelp51, AllowCodecCelp63, AllowCodecGSM148, AllowCodecGSM164,
      AllowCodecWindowsCELP52;
};

// Where a text message goes.
struct TTextTarget {
  enum TKind { Player, Channel, Server } Kind = Server;
  uint32_t ID = 0;  // the player's or channel's id
};

// How ApplySettings brings a change into force. The query's "set" restarts
// the server; the web applies what it can to the running server and
// restarts it only for a change players cannot take while online.
enum class TApplySettings { Restart, LiveWherePossible };

class TServerAccess {
 public:
  explicit TServerAccess(TServerRef server) : server_(std::move(server)) {}

  // The server's id while it runs; empty once it stopped.
  std::string RunningID() const;
  // Whether the server runs at this moment; it may stop right after, and
  // every operation below checks again.
  bool Running() const;
  // The running server's UDP port as its settings name it (0 for a server
  // started on a port the system chose); none once it stopped.
  std::optional<int32_t> RunningPort() const;
  // Players and channels only when asked for (`parts`, TSnapshotParts);
  // addresses only with Addresses (they are for administrators).
  TServerSnapshot Snapshot(unsigned parts = 0) const;
  // The text as a server message (sender "SERVER") to every recipient, one
  // reliable command each, queued in one batch. False when the server is
  // not running or the player or channel does not exist.
  // To a player, with `nickName` only the player of that id and nickname:
  // a text never reaches someone who took the id of a player who left.
  bool SendText(const TTextTarget& to, std::string_view text, std::string_view nickName = {}) const;
  // Copies the settings, applies `change`, writes them to the server's
  // section of `settingsFile` (empty: the file it started from) and brings
  // them into force. False when the server is not running; a file that
  // cannot be written raises.
  // With LiveWherePossible, settings the server reads when it needs them
  // (names, texts, limits, password, registration, codecs, link) take effect
  // at once and the players stay; only a new server type restarts it
  // (`restarted` tells which happened). `before` receives the settings the
  // change was applied to, read under the same lock as the change.
  bool ApplySettings(const TSettingsChange& change, const std::string& settingsFile = "",
                     TApplySettings how = TApplySettings::Restart, bool* restarted = nullptr,
                     TServerSettings* before = nullptr) const;
  // Kicks the player from the server as the voice command does: everyone
  // who sees it learns it left (reason kicked, causer 0) and its
  // connection closes. False for an unknown player or a stopped server.
  // With `nickName`, only the player of that id and nickname.
  bool Kick(uint32_t playerID, std::string_view message, std::string_view nickName = {}) const;
  // Moves the player into the channel as a switch does, without the
  // password and capacity checks: rights are those stored for the new
  // family, the others are told, an emptied temporary family goes.
  bool Move(uint32_t playerID, uint32_t channelID, std::string_view nickName = {}) const;
  // The server's bans in force, by id; none when the server is not running.
  std::optional<std::vector<TBan>> Bans() const;
  // Stores a new ban of this server: its id and time of creation are set
  // here, `minutes` 0 is no expiry. False when the server is not running or
  // the file could not be written. The caller has checked the value.
  bool AddBan(TBan& ban, int64_t minutes) const;
  // Lifts this server's ban `id` (`lifted` receives it); false when the
  // server is not running or has no such ban, another server's included.
  bool LiftBan(int32_t id, TBan* lifted = nullptr) const;

 private:
  // Whether a change can only come into force through a restart: the type
  // decides who sees whom, and the players online were shown each other by
  // the old one.
  static bool NeedsRestart(const TSettingsChange& change, const TServerSettings& current);
  // Snapshot's copy of the totals; the caller holds the machinery of the running server.
  static void CopyTotals(const TServerObject& s, const TBufferStatistics& now, TServerTotals& out);
  // Runs act(moves, player) with the machinery and the listener's locks
  // held; false when the server stopped or the player is not (still) there,
  // or does not have `nickName` (when given).
  template <typename F>
  bool WithPlayer(uint32_t playerID, std::string_view nickName, F&& act) const;

  TServerRef server_;
};
