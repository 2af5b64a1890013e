#include "server/ServerObject.h"

#include <chrono>
#include <optional>
#include <thread>

#include "common/CaughtLog.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "common/LogRateLimiter.h"
#include "common/WireFormat.h"
#include "server/ChannelMoves.h"
#include "server/Listener.h"
#include "server/Moderation.h"
#include "server/Notifier.h"
#include "server/PosixUDPSocket.h"
#include "server/ServerList.h"
#include "server/ServerListLock.h"
#include "server/UDPSender.h"

namespace {

constexpr int kDrainPolls = 350;  // 1 ms each: the sender's time to deliver the farewells

}  // namespace

TServerObject::TServerObject() = default;

TServerObject::~TServerObject() {
  if (Running()) Stop();
}

uint16_t TServerObject::BoundPort() const { return boundPort_.load(std::memory_order_acquire); }

uint32_t TServerObject::UptimeSeconds() const {
  const auto hold = HoldMachinery();
  if (!Running()) return 0;
  return SecondsBetween(StartTime, Clock ? Clock->Now() : NowDateTime());
}

bool TServerObject::Start(const TServerEnvironment& env, const std::string& id, int32_t port, TIniFile* ini) {
  TServerListObject* list = GetServerList();
  const TServerRef self = weak_from_this().lock();
  startFault_.clear();
  startReason_.clear();
  if (!list || !self) {
    Log(LMTERROR, LMDALL, "SERVER", "unable to register server");
    startFault_ = "unable to register server";
    return false;
  }
  // The list stays locked until the server is fully up or down again, so no
  // find sees it half-built; readers holding a reference wait on machinery_.
  TServerListLock listLock(*list);
  std::unique_lock<std::shared_mutex> hold(machinery_);
  // A running server keeps its id; registering it again would be refused anyway.
  if (Running()) {
    Log(LMTERROR, LMDALL, "SERVER", "unable to register server");
    startFault_ = "already running";
    return false;
  }
  ServerID = id;
  // A restart passes our own environment back: copy before overwriting.
  if (&env != &environment_) environment_ = env;
  if (!list->RegisterServer(self)) {
    Log(LMTERROR, LMDALL, "SERVER", "unable to register server");
    startFault_ = "a server with this id is running";
    return false;
  }

  std::optional<TIniFile> ownFile;
  try {
    if (!ini) ini = &ownFile.emplace(environment_.SettingsFile);
  } catch (const std::exception& e) {
    Log(LMTERROR, LMDALL, "SERVER", "unable to open server config file : " + environment_.SettingsFile);
    startFault_ = std::string("settings file: ") + e.what();
    list->UnregisterServer(this);
    return false;
  }

  static_cast<TServerSettings&>(*this) = TServerSettings{};
  NextPlayerID = 1;
  StartTime = Clock ? Clock->Now() : NowDateTime();
  ShortID = wire::Cut(id, wire::kStr29);
  Platform = environment_.Platform;
  VersionMajor = environment_.VersionMajor;
  VersionMinor = environment_.VersionMinor;
  VersionRelease = environment_.VersionRelease;
  VersionBuild = environment_.VersionBuild;
  ModeAllowed = false;
  ServerUDPPort = port == -1 ? kDefaultServerUDPPort : port;
  // The port given is only a default: a "ServerUDPPort" in the file wins.
  Read(*ini, id);
  LogFmt(LMTALL, LMDINFO, "server", "Starting server with port: %1", {ServerUDPPort});
  SaveConfig(ini);
  ownFile.reset();
  // The file keeps the type as read; these bits are the server's own.
  AdjustServerType();

  ChannelsLoaded = false;
  ClientList = std::make_unique<TClientList>();
  Channels = std::make_unique<TChannels>(id, Clock);
  Channels->DefaultCodec = DefaultCodec();
  PacketBuffer = std::make_unique<TCustomPacketBuffer>(Clock);
  Counters = ServerCountersFor(id);
  Bans->Load(id);
  UDPServer = std::make_unique<TPosixUDPSocket>();
  Moderation = std::make_unique<TModeration>(*this, ServerID, *ClientList, *Channels);
  Notifier = std::make_unique<TNotifier>(*this, *ClientList, *Channels, *PacketBuffer, *Moderation);
  Moves = std::make_unique<TChannelMoves>(*ClientList, *Channels, *Notifier);
  // Listener and sender run at normal priority: raising a thread's priority
  // needs privileges on Linux that a voice server should not hold.
  listener_ = std::make_unique<TPLUDPListener>(*this);
  listener_->Start();
  sender_ = std::make_unique<TPLUDPSender>(*PacketBuffer, *UDPServer);
  sender_->Start();

  UDPServer->BoundToIp = environment_.BindAddress;
  UDPServer->OnRead = [this](const TPosixUDPSocket::TReceived& d) {
    UDPRead(d.Address, d.Port, d.Ip, d.Data, d.Size, d.AgeMs);
  };
  // What the batch's datagrams queued (acknowledgements, pongs) leaves with
  // the reader instead of waiting for the sender thread to wake.
  UDPServer->OnBatchEnd = [this] { sender_->Flush(); };
  try {
    if (ServerUDPPort < 0 || ServerUDPPort > 65535) throw EUDPSocket("port out of range");
    UDPServer->DefaultPort = static_cast<uint16_t>(ServerUDPPort);
    UDPServer->SetActive(true);
  } catch (const std::exception& e) {
    // The system's reason (port taken, address not local) is what the
    // operator needs to mend it.
    startFault_ = "udp port " + std::to_string(ServerUDPPort) + ": " + e.what();
    const auto* socketFault = dynamic_cast<const EUDPSocket*>(&e);
    startReason_ = "port " + std::to_string(ServerUDPPort) + ": " + (socketFault ? socketFault->Reason() : e.what());
    Log(LMTERROR, LMDALL, "SERVER",
        "can not initialise udp communication with port " + std::to_string(ServerUDPPort) + ": " + e.what());
    TearDown(false);
    list->UnregisterServer(this);
    return false;
  }
  boundPort_.store(UDPServer->BoundPort(), std::memory_order_release);
  running_.store(true, std::memory_order_release);
  return true;
}

void TServerObject::Stop() {
  std::unique_lock<std::shared_mutex> hold(machinery_);
  if (!running_.exchange(false, std::memory_order_acq_rel)) return;
  try {
    listener_->Terminate();
    listener_->DisconnectAll();
    // The listener still runs and removes each connection once its farewell
    // was acknowledged; the sender gets up to 350 ms for that.
    for (int i = 0; i < kDrainPolls && PacketBuffer->ConnectionCount() > 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    TearDown(true);
  } catch (const std::exception& error) {
    LogCaught("SERVER", "TServerObject.Stop(" + ServerID + ")", error);
    // Whatever failed, no thread or socket may outlive the running state:
    // other threads hold references to this object and must find it stopped.
    try {
      TearDown(false);
    } catch (const std::exception& again) {
      LogCaught("SERVER", "TServerObject.Stop(" + ServerID + ")", again);
    }
  }
}

// The order matters: the packet buffer closes first, which ends listener and
// sender; the socket's reader, which relays through the listener and sends
// through the sender, is stopped before either goes, and before the buffer
// it feeds goes away.
void TServerObject::TearDown(bool storeChannels) {
  if (listener_) listener_->Terminate();
  if (sender_) sender_->Terminate();
  if (PacketBuffer) PacketBuffer->Shutdown();
  if (UDPServer) UDPServer->SetActive(false);
  boundPort_.store(0, std::memory_order_release);
  listener_.reset();
  Moves.reset();
  Notifier.reset();
  Moderation.reset();
  sender_.reset();
  UDPServer.reset();
  // Nothing counts in the buffer any more: its totals live on in the id's.
  if (PacketBuffer && Counters) Counters->Carry(PacketBuffer->GetStatistics());
  PacketBuffer.reset();
  if (Channels) {
    TChannelsLock lock(*Channels);
    // A list that never finished loading is not stored: it would replace
    // the stored channels with less.
    if (storeChannels && ChannelsLoaded) Channels->SaveChannels();
    Channels->ClearChannels();
  }
  Channels.reset();
  ClientList.reset();
}

void TServerObject::SaveConfig(TIniFile* ini) {
  try {
    std::optional<TIniFile> ownFile;
    if (!ini) ini = &ownFile.emplace(environment_.SettingsFile);
    Write(*ini, ServerID);
  } catch (const std::exception& e) {
    // A settings file the process may not write (read-only, or under a
    // read-only /etc) still serves: the server runs with what was read.
    LogFmt(LMTWARNING, LMDALL, "SERVER", "the settings of %1 were not written back to %2 (%3); it runs with what was read",
           {ServerID, ini ? ini->FileName() : environment_.SettingsFile, e.what()});
  }
}

void TServerObject::UDPRead(const std::string& address, uint16_t port, uint32_t ip, const uint8_t* data,
                            size_t size, uint32_t queuedMs) {
  const bool voice = size >= 2 && wire::GetU16(data) == kPacketVoiceC2S;
  try {
    TCustomPacketBuffer* buffer = PacketBuffer.get();
    if (!buffer) return;
    if (voice && queuedMs > kStaleVoiceMs) {
      buffer->NoteStaleVoice();
      return;
    }
    auto packet = std::make_unique<TPacket>(data, size);
    packet->SetPeer(address, ip, port);
    if (voice) packet->ArrivedMs = TPacket::SteadyMs() - queuedMs;
    if (buffer->Closing() || !UDPServer || !UDPServer->Active()) return;
    // A rejection is no concern of the peer's: the datagram is lost silently.
    std::unique_ptr<TPacket> relayNow;
    buffer->TryStoreReceivedPacket(std::move(packet), &relayNow);
    if (relayNow) listener_->RelayVoice(*relayNow, *sender_);
  } catch (...) {
    // The socket's reading thread is the only caller: a limiter per thread needs no lock.
    thread_local TLogRateLimiter errorLines(SystemClock());
    LogCaughtLimited(errorLines, "UDP VOICE", "TServerObject.UDPRead");
  }
}

int32_t TServerObject::CurrentUsers() {
  const auto hold = HoldMachinery();
  if (!Running()) return 0;
  TClientListLock lock(*ClientList);
  return static_cast<int32_t>(ClientList->Count());
}

int32_t TServerObject::CurrentChannels() {
  const auto hold = HoldMachinery();
  if (!Running()) return 0;
  TClientListLock clients(*ClientList);
  TChannelsLock lock(*Channels);
  return static_cast<int32_t>(Channels->Count());
}
