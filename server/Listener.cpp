#include "server/Listener.h"

#include <algorithm>

#include "common/AuditLog.h"
#include "common/CommandCodes.h"
#include "common/CaughtLog.h"
#include "common/Log.h"
#include "common/LoginThrottle.h"
#include "common/SecureRandom.h"
#include "common/TextFormat.h"
#include "common/WireFormat.h"
#include "database/Accounts.h"
#include "database/HashQueue.h"
#include "server/ChannelMoves.h"
#include "server/CommandHandlers.h"
#include "server/Moderation.h"
#include "server/Notifier.h"
#include "server/ServerObject.h"

namespace {

constexpr size_t kLoginFullSize = 180;
constexpr size_t kLoginShortSize = 88;
constexpr size_t kLoginReplySize = 372;
constexpr size_t kChannelListSize = 556;
constexpr size_t kChannelsPerList = 3;
constexpr uint32_t kMaxSessionKey = 16777214;
constexpr uint16_t kOldestRelease = 13;
// What WaitForEvent reports when the account worker handed jobs back; no
// code of the packet buffer's.
constexpr int kAccountWorkDone = -1;

// Enter (the lists, then the announcement) and Logout: the session's
// commands, served from the command table like the others (below).
void HandleEnter(THandlerContext& c, TPacket& packet);
void HandleLogout(THandlerContext& c, TPacket& packet);

}  // namespace

// Per datagram the dispatcher looks at a few dozen rows at most, whatever the
// number of players.
const TPLUDPListener::TCommandRow TPLUDPListener::kCommands[] = {
    {cmd::Enter, 116, &HandleEnter},
    {cmd::Logout, 24, &HandleLogout},
    // channel commands (server/ChannelCommands.cpp)
    {cmd::CreateChannel, 226, &HandleCreateChannel, true},
    {cmd::SetChannelPassword, 58, &HandleSetChannelPassword, true},
    {cmd::SetChannelFlags, 32, &HandleSetChannelFlags, true},
    {cmd::SetChannelName, 58, &HandleSetChannelName, true},
    {cmd::SetChannelTopic, 58, &HandleSetChannelTopic, true},
    {cmd::SetChannelDescription, 128, &HandleSetChannelDescription, true},
    {cmd::DeleteChannel, 28, &HandleDeleteChannel, true},
    {cmd::SetChannelMaxUsers, 30, &HandleSetChannelMaxUsers, true},
    {cmd::EditChannel, 230, &HandleEditChannel, true},
    {cmd::SetChannelOrder, 30, &HandleSetChannelOrder, true},
    {cmd::SwitchChannel, 58, &HandleSwitchChannel},
    // player commands (server/PlayerCommands.cpp)
    {cmd::KickPlayer, 58, &HandleKickPlayer},
    {cmd::KickFromChannel, 58, &HandleKickFromChannel},
    {cmd::SetPlayerFlags, 28, &HandleSetPlayerFlags},
    {cmd::RequestVoice, 54, &HandleRequestVoice},
    {cmd::SetChannelPrivilege, 30, &HandleSetChannelPrivilege, true},
    {cmd::SetPlayerPrivilege, 30, &HandleSetPlayerPrivilege},
    {cmd::RegisterSelf, 84, &HandleRegisterSelf},
    {cmd::RegisterUser, 85, &HandleRegisterUser},
    {cmd::PlayerInfo, 28, &HandlePlayerInfo},
    {cmd::ServerInfo, 24, &HandleServerInfo},
    {cmd::TextMessage, 288, &HandleTextMessage},
};

TPLUDPListener::TPLUDPListener(TServerObject& server)
    : server_(server),
      notify_(*server.Notifier),
      moderation_(*server.Moderation),
      moves_(*server.Moves),
      relay_{*server.ClientList, *server.Channels, *server.PacketBuffer, server} {}

TPLUDPListener::~TPLUDPListener() { WaitFor(); }

void TPLUDPListener::Start() { thread_ = std::thread(&TPLUDPListener::Execute, this); }

void TPLUDPListener::Terminate() { terminated_.store(true, std::memory_order_release); }

void TPLUDPListener::WaitFor() {
  if (thread_.joinable()) thread_.join();
}


// ---- the loop ---------------------------------------------------------------------

void TPLUDPListener::Execute() {
  TCustomPacketBuffer& buffer = *server_.PacketBuffer;
  worker_ = std::make_unique<TAccountWorker>([&buffer] { buffer.ReceiveEvent.SetEvent(); });
  worker_->Start();
  try {
    TChannelsLock lock(Channels());
    Channels().LoadChannels();
    server_.ChannelsLoaded = true;
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", error);
  }

  for (;;) {
    uint32_t connection = 0;
    uint32_t sessionKey = 0;
    std::unique_ptr<TPacket> packet;
    int result;
    try {
      result = WaitForEvent(connection, sessionKey, packet);
    } catch (const std::exception& error) {
      LogCaught("UDP Listener", error);
      continue;
    }
    // Closing is final: nothing else can be reported from here on.
    if (result == wpClosing) break;
    if (result == kAccountWorkDone) {
      FinishAccountWork();
      continue;
    }
    HandleEvent(result, connection, sessionKey, packet.get());
  }
  // Checks still queued are dropped: their peers are told the server stops
  // or never hear back, as when a login arrives just before it stops.
  worker_->Stop();
  buffer.ThreadFinished(1);
}

bool TPLUDPListener::ServeReady() {
  uint32_t connection = 0, sessionKey = 0, hint = 0;
  int result = wpClosing;
  std::unique_ptr<TPacket> packet;
  if (!server_.PacketBuffer->GetPacket(connection, sessionKey, result, packet, hint) || result == wpClosing)
    return false;
  HandleEvent(result, connection, sessionKey, packet.get());
  return true;
}

void TPLUDPListener::HandleEvent(int result, uint32_t connection, uint32_t sessionKey, TPacket* packet) {
  checkedLogin_ = {};
  try {
    if (result == wpPacket && packet && CheckLoginAccount(*packet, connection, sessionKey)) return;
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", error);
    return;
  }
  Serve(result, connection, sessionKey, packet);
}

void TPLUDPListener::Serve(int result, uint32_t connection, uint32_t sessionKey, TPacket* packet) {
  TClientListLock clients(Clients());
  TChannelsLock channels(Channels());
  currentConnection_ = connection;
  // Player ids are handed out again once the server is empty, so a lingering
  // connection (a refused login) may carry the id of a listed player: only
  // the player whose session key the connection holds is its owner.
  current_ = Clients().FindByID(connection);
  if (current_ && current_->SessionKey != sessionKey) current_ = nullptr;
  removeFlag_ = false;
  try {
    switch (result) {
      case wpPacket:
        if (current_) current_->LastSeen = Now();
        Dispatch(*packet);
        break;
      case wpTimedOut:
        EndConnection(connection, sessionKey, cmd::LeftTimedOut);
        break;
      case wpClosed:
        removeFlag_ = true;
        break;
      default:
        break;
    }
    if (removeFlag_) EndConnection(connection, sessionKey, cmd::LeftLogout);
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", error);
  }
  current_ = nullptr;
  checkedLogin_ = {};
  StoreChannelsIfDue();
}

/* Waiting for the next event.
 *
 * Besides packets, the listener waits for two deadlines: the earliest
 * connection time-out the buffer reports and a due store of the channels.
 * Time-outs are waited for kTimeoutScanMs apart at least: with thousands of
 * players the buffer's deadlines lie a millisecond or less apart (every
 * connection comes up once per time-out period, heard from or not), and
 * waking for each would cost a thread switch per player every few seconds.
 * A time-out is thus reported up to that much late, against the seconds it
 * measures.
 */
int TPLUDPListener::WaitForEvent(uint32_t& connection, uint32_t& sessionKey, std::unique_ptr<TPacket>& packet) {
  TCustomPacketBuffer& buffer = *server_.PacketBuffer;
  for (;;) {
    int code;
    uint32_t hint;
    // Done jobs come first, or a steady stream of datagrams would keep
    // their players waiting.
    if (worker_ && worker_->HasDone()) return kAccountWorkDone;
    if (buffer.GetPacket(connection, sessionKey, code, packet, hint)) return code;
    // Asked after GetPacket reset the receive event: a job done from here
    // on sets it again, so the wait below cannot sleep through it.
    if (worker_ && worker_->HasDone()) return kAccountWorkDone;
    int64_t wait = hint == TCustomPacketBuffer::kNever ? -1 : std::max<int64_t>(hint, kTimeoutScanMs) + 2;
    const int64_t store = MsUntilStore();
    if (store == 0) {
      StoreChannelsIfDue();
      continue;
    }
    if (store > 0 && (wait < 0 || store < wait)) wait = store;
    TPacket::TrimThreadStoreEverySecond(TPacket::SteadyMs() / 1000);
    buffer.ReceiveEvent.WaitFor(wait < 0 ? TWindowsEvent::INFINITE : static_cast<uint32_t>(wait));
  }
}

void TPLUDPListener::NoteChannelsChanged() {
  if (storeDue_) return;
  TClock* clock = server_.Clock ? server_.Clock : SystemClock();
  const int64_t now = clock->Counter();
  const int64_t spacing = kStoreDelayMs * clock->Frequency() / 1000;
  storeDue_ = true;
  storeAt_ = lastStore_ != 0 && now - lastStore_ < spacing ? lastStore_ + spacing : now;
}

int64_t TPLUDPListener::MsUntilStore() {
  if (!storeDue_) return -1;
  TClock* clock = server_.Clock ? server_.Clock : SystemClock();
  const int64_t left = storeAt_ - clock->Counter();
  return left <= 0 ? 0 : (left * 1000 + clock->Frequency() - 1) / clock->Frequency();
}

void TPLUDPListener::StoreChannelsIfDue() {
  if (MsUntilStore() != 0) return;
  storeDue_ = false;
  TClock* clock = server_.Clock ? server_.Clock : SystemClock();
  lastStore_ = clock->Counter();
  try {
    TChannelsLock lock(Channels());
    if (server_.ChannelsLoaded) Channels().SaveChannels();
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", error);
  }
}

TDateTime TPLUDPListener::Now() {
  // A clock given for tests is read as it stands: a test may move its wall
  // time alone, which the counter below would not notice.
  if (server_.Clock) return server_.Clock->Now();
  TClock* clock = SystemClock();
  const int64_t counter = clock->Counter();
  if (!nowValid_ || counter - nowCounter_ >= clock->Frequency() / 1000) {
    nowCache_ = clock->Now();
    nowCounter_ = counter;
    nowValid_ = true;
  }
  return nowCache_;
}

void TPLUDPListener::EndConnection(uint32_t connection, uint32_t sessionKey, uint16_t reason) {
  const bool hadPlayer = current_ != nullptr;
  if (hadPlayer) {
    notify_.AnnouncePlayerLeft(connection, reason, "", 0);
    Clients().Remove(current_);
    current_ = nullptr;
  }
  server_.PacketBuffer->RemoveConnection(connection, sessionKey);
  auditShares_.erase(connection);
  // Most ended connections are refused logins, which leave no channel empty.
  if (hadPlayer) moves_.ClearChannelUpAll();
}

bool TPLUDPListener::RunAccountJob(std::unique_ptr<TAccountJob> job) {
  if (worker_) return worker_->Submit(std::move(job));
  job->Work();
  job->Finish();
  return true;
}

void TPLUDPListener::FinishAccountWork() {
  for (std::unique_ptr<TAccountJob>& job : worker_->TakeDone()) {
    try {
      job->Finish();
    } catch (const std::exception& error) {
      LogCaught("UDP Listener", error);
    }
  }
}

void TPLUDPListener::WithPlayer(uint32_t id, uint32_t sessionKey, const std::function<void(TClientObject&)>& f) {
  TClientListLock clients(Clients());
  TChannelsLock channels(Channels());
  TClientObject* p = Clients().FindByID(id);
  if (!p || p->SessionKey != sessionKey) return;
  f(*p);
}

bool TPLUDPListener::BeginRegistration(uint32_t id, uint32_t sessionKey) {
  const std::pair<uint32_t, uint32_t> who{id, sessionKey};
  if (std::ranges::find(registrationsInFlight_, who) != registrationsInFlight_.end()) return false;
  registrationsInFlight_.push_back(who);
  return true;
}

void TPLUDPListener::EndRegistration(uint32_t id, uint32_t sessionKey) {
  std::erase(registrationsInFlight_, std::pair<uint32_t, uint32_t>{id, sessionKey});
}

void TPLUDPListener::AuditVoice(const TPacket& packet, const TClientObject& requester, const char* kind,
                                std::string detail) {
  TAuditRecord r;
  r.Surface = audit_surface::Voice;
  r.Actor = requester.LoginName.Text().empty() ? "player " + requester.NickName.Text() : requester.LoginName.Text();
  r.Address = packet.Address;
  r.Server = server_.ServerID;
  r.Kind = kind;
  r.Detail = std::move(detail);
  Audit(std::move(r), &auditShares_.try_emplace(requester.PlayerID, nullptr, 20, 10000).first->second);
}

void TPLUDPListener::Dispatch(TPacket& packet) {
  if (packet.IsVoiceC2S()) {
    if (current_) HandleVoice(packet);
    return;
  }
  if (packet.IsMaintenance()) {
    if (packet.MaintenanceHeader().Subtype() == cmd::Login && packet.Size() >= kLoginShortSize) HandleLogin(packet);
    return;
  }
  if (!packet.IsCommand()) return;
  const uint16_t code = packet.CommandHeader().Command();
  const TCommandRow* row = nullptr;
  for (const TCommandRow& r : kCommands)
    if (r.Code == code) {
      row = &r;
      break;
    }
  if (!row || packet.Size() < row->Size) return;
  if (!current_) {
    // Enter from a connection that holds no player ends that connection.
    if (row->Code == cmd::Enter) removeFlag_ = true;
    return;
  }
  Command(*row, packet);
}

void TPLUDPListener::Command(const TCommandRow& row, TPacket& packet) {
  THandlerContext c{*current_, packet,      server_, Clients(), Channels(), *server_.PacketBuffer,
                    notify_,   moderation_, moves_,  *this,     Now()};
  row.Handler(c, packet);
  if (c.RemovalRequested) removeFlag_ = true;
  if (row.Stores) NoteChannelsChanged();
}

// ---- login ------------------------------------------------------------------------

uint32_t TPLUDPListener::NewSessionKey() {
  uint32_t key;
  do key = SecureRandomRange(0, kMaxSessionKey);
  while (Clients().SessionKeyInUse(key));
  return key;
}

uint32_t TPLUDPListener::NextPlayerID() {
  if (Clients().Empty()) server_.NextPlayerID = 1;
  // After a wrap the counter meets ids still listed: handing one out again
  // would replace that player in the list. 0 is no player.
  uint32_t id;
  do id = server_.NextPlayerID++;
  while (id == 0 || Clients().FindByID(id));
  return id;
}

std::string TPLUDPListener::MakeUniqueNick(std::string_view nick) {
  auto guest = [this] {
    for (int n = 1;; ++n) {
      std::string name = "Guest" + std::to_string(n);
      if (!Clients().FindByNick(name)) return name;
    }
  };
  const std::string trimmed = Trim(nick);
  if (trimmed.empty()) return guest();
  if (!Clients().FindByNick(trimmed)) return trimmed;
  for (int n = 1;; ++n) {
    std::string name = trimmed + std::to_string(n);
    // A name past the slot would be cut back to the taken one.
    if (name.size() > TStr29::Capacity) return guest();
    if (!Clients().FindByNick(name)) return name;
  }
}

namespace {

// The reply's header and the fields every reply carries; the rest stays zero
// for refusals decided before the player was built.
std::unique_ptr<TPacket> NewLoginReply(int32_t result, const TClientObject& p) {
  auto reply = NewMaintenancePacket(cmd::LoginReply, 0, p.PlayerID, 0, kLoginReplySize - kMaintenanceHeaderSize);
  uint8_t* d = reply->Memory();
  wire::PutI32(d + 88, result);
  wire::PutU32(d + 108, p.SessionKey);
  wire::PutU32(d + 112, p.PlayerID);
  return reply;
}

bool IsServerNick(std::string_view trimmed) {
  std::string lower(trimmed);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
  return lower == "server";
}

}  // namespace

bool TPLUDPListener::LoginInFlight(const TPacket& packet, std::string_view loginName) const {
  for (const TLoginInFlight& f : loginsInFlight_) {
    if (loginName.empty()) {
      if (f.Address == packet.Address && f.Port == packet.Port) return true;
    } else if (f.Address == packet.Address || SameText(f.LoginName, loginName)) {
      return true;
    }
  }
  return false;
}

bool TPLUDPListener::CheckLoginAccount(TPacket& packet, uint32_t connection, uint32_t sessionKey) {
  // The same packets, in the same form, as Dispatch and HandleLogin read.
  if (packet.IsVoiceC2S() || !packet.IsMaintenance() || packet.MaintenanceHeader().Subtype() != cmd::Login ||
      packet.Size() < kLoginShortSize)
    return false;
  // A client repeats its login until the reply comes: the reply to the one
  // being checked answers the repeat too, and serving both would make two
  // players of one peer.
  if (LoginInFlight(packet, "")) return true;
  const uint8_t* d = packet.Memory();
  if (packet.Size() != kLoginFullSize || wire::GetU16(d + 84) < kOldestRelease) return false;
  const std::string loginName = wire::GetStr(d + 90, wire::kStr29);
  if (loginName.empty()) return false;
  // A banned player is refused in HandleLogin without its password being looked at.
  if (BanFor(packet)) return false;
  // One check at a time per address and per account: each is then judged
  // by the throttle with the outcome of the one before, as when they ran
  // here one after the other. The repeat is dropped; its client retries.
  if (LoginInFlight(packet, loginName)) return true;
  checkedLogin_.Checked = true;
  TLoginThrottle& throttle = ProcessLoginThrottle();
  // A guesser blocked for now is refused without the password being looked
  // at, so the answer tells it nothing, and costs no hash.
  const std::string throttleKey = AccountThrottleKey(server_.ServerID, loginName);
  if (!throttle.MayTry(packet.Address, throttleKey, "UDP Listener")) {
    server_.Counters->NoteThrottled();
    return false;
  }

  struct TCheck {
    std::string LoginName, Password, Address, ServerID, ThrottleKey;
    std::unique_ptr<TClientObject> Account;
    bool Busy = false;  // another hash of the address or account was pending
  };
  auto check = std::make_shared<TCheck>();
  check->LoginName = loginName;
  check->Password = wire::GetStr(d + 120, wire::kStr29);
  check->Address = packet.Address;
  check->ServerID = server_.ServerID;
  check->ThrottleKey = throttleKey;
  auto job = std::make_unique<TAccountJob>();
  job->Work = [check] {
    const THashClaim claim(check->Address, check->ThrottleKey);
    if (!claim.Held()) {
      check->Busy = true;
      return;
    }
    // Counts the login before the password is compared: a wrong one counts too.
    check->Account = LoginAccount(check->LoginName, check->ServerID, check->Password, true);
    if (check->Account)
      ProcessLoginThrottle().Succeeded(check->Address, check->ThrottleKey);
    else
      ProcessLoginThrottle().Failed(check->Address, check->ThrottleKey);
  };
  if (!worker_) {
    job->Work();
    checkedLogin_.Account = std::move(check->Account);
    return check->Busy;
  }
  auto request = CopyOfRequest(packet);
  job->Finish = [this, check, request, connection, sessionKey] {
    std::erase_if(loginsInFlight_, [&](const TLoginInFlight& f) {
      return f.Address == request->Address && f.Port == request->Port;
    });
    // Dropped rather than refused, like a login the full queue turns away.
    if (check->Busy) return;
    checkedLogin_ = {true, std::move(check->Account)};
    Serve(wpPacket, connection, sessionKey, request.get());
  };
  if (!RunAccountJob(std::move(job))) {
    // Dropped rather than refused: the client retries in a moment, and a
    // flood with forged sources gets no reply to bounce off a stranger.
    uint32_t held = 0;
    if (droppedLogins_.Allow(held))
      LogFmt(LMTWARNING, LMDALL, "UDP Listener",
             "Login from %1 dropped: the account checks are queued full (%2 such lines held back before)",
             {packet.Address, std::to_string(held)});
    return true;
  }
  loginsInFlight_.push_back({packet.Address, packet.Port, loginName});
  return true;
}

std::optional<TBan> TPLUDPListener::BanFor(const TPacket& packet) {
  const uint8_t* d = packet.Memory();
  const bool full = packet.Size() == kLoginFullSize;
  return server_.Bans->Find(Now(), packet.Address, full ? wire::GetStr(d + 90, wire::kStr29) : std::string(),
                            full ? wire::GetStr(d + 150, wire::kStr29) : std::string());
}

void TPLUDPListener::HandleLogin(TPacket& packet) {
  const uint8_t* d = packet.Memory();
  // Any other length than the full request is read in its short form.
  const bool full = packet.Size() == kLoginFullSize;
  const TDateTime now = Now();

  auto p = std::make_unique<TClientObject>();
  p->SessionKey = NewSessionKey();
  p->ClientName = wire::GetStr(d + 20, wire::kStr29);
  p->ClientPlatform = wire::GetStr(d + 50, wire::kStr29);
  for (int i = 0; i < 4; ++i) p->ClientVersion[i] = wire::GetU16(d + 80 + 2 * i);
  const bool uniqueNick = full && d[88] != 0;
  const bool withServerPassword = full && d[89] == 1;
  const std::string password = full ? wire::GetStr(d + 120, wire::kStr29) : std::string();

  int32_t result = 0;
  if (p->ClientVersion[2] < kOldestRelease) result = rc::VersionTooOld;
  // The same refusal as a wrong server password: the client tells its
  // player that this server does not let it in, and blames no account.
  const std::optional<TBan> ban = result == 0 ? BanFor(packet) : std::nullopt;
  if (ban) {
    result = rc::BadPasswordOrNick;
    uint32_t held = 0;
    if (bannedLogins_.Allow(held))
      LogFmt(LMTALL, LMDINFO, "UDP Listener", "Login from %1 refused on %2: banned (%3 %4, ban %5: %6)%7",
             {packet.Address, server_.ServerID, BanKindWord(ban->Kind), ban->Value, std::to_string(ban->ID),
              ban->Reason, held ? " (" + std::to_string(held) + " such lines held back before)" : ""});
  }
  if (result == 0) {
    p->LoginName = full ? wire::GetStr(d + 90, wire::kStr29) : std::string();
    p->NickName = full ? wire::GetStr(d + 150, wire::kStr29) : std::string();
    p->LastSeen = p->LoginTime = now;
    p->ChannelID = static_cast<uint32_t>(Channels().DefaultChannelID());
    p->ChannelPrivileges = p->PlayerPrivileges = 0;
    p->PlayerFlags = 0;
    if (checkedLogin_.Checked) {
      const std::unique_ptr<TClientObject>& account = checkedLogin_.Account;
      if (!account) {
        result = rc::BadAccount;
      } else {
        p->PlayerPrivileges = static_cast<uint16_t>(
            (account->PlayerPrivileges | PlayerPrivileges::Registered) & ~PlayerPrivileges::AllowRegistration);
        p->RegisteredBy = account->RegisteredBy;
        p->Created = account->Created;
        p->LastChanged = account->LastChanged;
        p->Logins = account->Logins;
        p->ChannelPrivileges = Channels().GetUserRights(p->ChannelID, p->LoginName.Text());
        TChannelMoves::ApplyAutoRights(*p);
      }
    }
    p->PlayerID = NextPlayerID();
    if (uniqueNick) p->NickName = MakeUniqueNick(p->NickName.Text());
  }

  if (!ban && !(p->PlayerPrivileges & PlayerPrivileges::Registered) && !server_.ServerPassword.empty()) {
    // The server password is guessed like an account's. It is counted per
    // address only: counted as one name, a few wrong guesses from anywhere
    // would lock every newcomer out. A right one clears nothing, or knowing
    // it would wipe the count of an address that guesses accounts.
    TLoginThrottle& throttle = ProcessLoginThrottle();
    const std::string guessed = "server password, " + packet.Address;
    if (!throttle.MayTry(packet.Address, guessed, "UDP Listener")) {
      result = rc::BadPasswordOrNick;
      server_.Counters->NoteThrottled();
    } else if (password != server_.ServerPassword) {
      result = rc::BadPasswordOrNick;
      throttle.Failed(packet.Address, guessed);
    }
  }
  // Refused this early, the reply carries nothing about the server.
  const bool bare = result != 0;
  if (!bare) {
    if (Clients().Count() >= server_.ServerMaxUsers) result = rc::ServerFull;
    if (result == 0 && withServerPassword && !server_.ServerPassword.empty() && server_.ServerPassword != password)
      result = rc::BadPasswordOrNick;
    if (result == 0) result = rc::LoginOk;
    if (Clients().FindByNick(p->NickName.Text())) result = rc::NickInUse;
    const std::string trimmed = Trim(p->NickName.Text());
    if (trimmed.empty()) result = rc::BadPasswordOrNick;
    if (IsServerNick(trimmed)) result = rc::BadPasswordOrNick;
  }

  server_.Counters->NoteLogin(result);
  // Refused logins get a connection too, for their reply; the packet buffer
  // keeps it for the login time-out at most.
  server_.PacketBuffer->AddConnection(p->PlayerID, p->SessionKey, 1, packet.Port, packet.Address,
                                      result != rc::LoginOk);
  if (bare) {
    notify_.Send(NewLoginReply(result, *p));
    return;
  }

  auto reply = NewLoginReply(result, *p);
  uint8_t* r = reply->Memory();
  wire::PutStr(r + 20, wire::kStr29, server_.ServerName);
  wire::PutStr(r + 50, wire::kStr29, server_.Platform);
  wire::PutU16(r + 80, server_.VersionMajor);
  wire::PutU16(r + 82, server_.VersionMinor);
  wire::PutU16(r + 84, server_.VersionRelease);
  wire::PutU16(r + 86, server_.VersionBuild);
  wire::PutU32(r + 92, server_.CodecMask());
  wire::PutU16(r + 100, server_.ServerType);
  wire::PutU16(r + 102, server_.ServerFlags);
  wire::PutU32(r + 104, server_.ServerMaxUsers);
  wire::PutStr(r + 116, wire::kStr255, server_.ServerWelcomeMessage);
  notify_.Send(std::move(reply));
  // The accepted player waits with ListsSent false until it sends Enter.
  if (result == rc::LoginOk) Clients().Add(std::move(p));
}

// ---- entering -----------------------------------------------------------------------

namespace {

void SendChannelList(THandlerContext& c) {
  std::unique_ptr<TPacket> list;
  uint32_t count = 0;
  for (const auto& channel : c.Channels.Records()) {
    if (!list) list = TNotifier::NewCommand(cmd::ChannelList, kChannelListSize, c.Player);
    channel->ToWire(list->Memory() + 28 + TChannelRecord::kListSize * count, TChannelRecord::kListSize);
    wire::PutU32(list->Memory() + 24, ++count);
    if (count == kChannelsPerList) {
      c.Notify.Send(std::move(list));
      count = 0;
    }
  }
  if (list) c.Notify.Send(std::move(list));
}

// Its acknowledgement completes the login on the transport level; the
// others hear of the player after it.
void SendListsEnd(THandlerContext& c, const std::vector<uint32_t>& others) {
  c.Notify.Send(TNotifier::NewCommand(cmd::ListsEnd, kCommandHeaderSize, c.Player));
  c.Notify.AnnounceNewPlayer(c.Player, others);
  c.Player.ListsSent = true;
}

void HandleEnter(THandlerContext& c, TPacket& packet) {
  TClientObject& p = c.Player;
  // A second Enter would announce the player twice and move it without notice.
  if (p.ListsSent) return;
  const uint8_t* d = packet.Memory();
  p.ModeRequested = d[25] == 1;
  if (p.ModeRequested && !c.Server.ModeAllowed) {
    c.RequestRemoval();
    return;
  }
  const std::string channelName = wire::GetStr(d + 26, wire::kStr29);
  const std::string subName = wire::GetStr(d + 56, wire::kStr29);
  const std::string password = wire::GetStr(d + 86, wire::kStr29);
  // Every failure keeps the default channel, silently.
  if (!channelName.empty()) {
    TChannelRecord* target = c.Channels.FindByName(channelName, kNoParent);
    if (target && !subName.empty()) target = c.Channels.FindByName(subName, target->ID);
    if (target && c.Moves.JoinCheck(target->ID, password) == 0) c.Clients.MovePlayer(&p, target->ID);
  }
  // One walk over the players serves both the list this player gets and the
  // announcement of it to the others: visibility is mutual.
  std::vector<TClientObject*> visible;
  std::vector<uint32_t> others;
  for (TClientObject* q : c.Clients.Items()) {
    if (!c.Moderation.CanSee(p, *q)) continue;
    visible.push_back(q);
    if (q != &p) others.push_back(q->PlayerID);
  }
  SendChannelList(c);
  c.Notify.SendPlayerRecords(cmd::PlayerList, p, visible);
  SendListsEnd(c, others);
}

void HandleLogout(THandlerContext& c, TPacket&) {
  c.Notify.AnnouncePlayerLeft(c.Player.PlayerID, cmd::LeftLogout, "", 0);
}

}  // namespace

// ---- stop --------------------------------------------------------------------------

void TPLUDPListener::DisconnectAll() {
  TClientListLock lock(Clients());
  const std::vector<TClientObject*> players = Clients().Items();
  for (auto it = players.rbegin(); it != players.rend(); ++it) {
    TClientObject* p = *it;
    p->LeaveAnnounced = true;
    notify_.Send(TNotifier::NewPlayerLeft(*p, p->PlayerID, cmd::LeftServerStops, 0, ""), true);
    Clients().Remove(p);
  }
}
