#include "admin/WebSessions.h"

#include "common/SecureRandom.h"
#include "common/TextFormat.h"

namespace {
constexpr int64_t kPurgeIntervalMs = 60'000;
}

std::string TSessionValues::Get(std::string_view name) const {
  for (const auto& [n, v] : values_)
    if (SameText(n, name)) return v;
  return "";
}

bool TSessionValues::Set(std::string_view name, std::string_view value) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  value = value.substr(0, kMaxValueLength);
  for (auto& [n, v] : values_)
    if (SameText(n, name)) {
      v.assign(value);
      return true;
    }
  if (values_.size() >= kMaxValues) return false;
  values_.emplace_back(std::string(name), std::string(value));
  return true;
}

std::string TWebSession::Id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return id_;
}

TWebSessions::TWebSessions(TClock* clock, size_t maxSessions, size_t perAddress)
    : clock_(clock ? clock : SystemClock()), maxSessions_(maxSessions), perAddress_(perAddress) {}

int64_t TWebSessions::NowMs() const { return clock_->Counter() / (clock_->Frequency() / 1000); }

std::string TWebSessions::NewId() {
  static const char kHex[] = "0123456789abcdef";
  for (;;) {
    unsigned char bytes[kIdBytes];
    SecureRandomBytes(bytes, sizeof bytes);
    std::string id;
    for (unsigned char b : bytes) {
      id += kHex[b >> 4];
      id += kHex[b & 15];
    }
    if (!sessions_.count(id)) return id;
  }
}

void TWebSessions::PurgeExpired(int64_t now) {
  if (now - lastPurgeMs_ < kPurgeIntervalMs) return;
  lastPurgeMs_ = now;
  for (auto it = sessions_.begin(); it != sessions_.end();)
    it = now - it->second->lastUseMs_.load() >= kTimeoutMs ? sessions_.erase(it) : std::next(it);
}

TWebSessionRef TWebSessions::Find(std::string_view id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = NowMs();
  PurgeExpired(now);
  const auto it = sessions_.find(std::string(id));
  if (it == sessions_.end()) return nullptr;
  if (now - it->second->lastUseMs_.load() >= kTimeoutMs) {
    sessions_.erase(it);
    return nullptr;
  }
  it->second->lastUseMs_.store(now);
  return it->second;
}

template <typename Pick>
bool TWebSessions::EvictOne(Pick&& pick) {
  auto oldest = sessions_.end();
  bool oldestLoggedIn = true;
  for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
    if (!pick(*it->second)) continue;
    const bool loggedIn = it->second->LoggedIn();
    const bool better = oldest == sessions_.end() || (oldestLoggedIn && !loggedIn) ||
                        (loggedIn == oldestLoggedIn &&
                         it->second->lastUseMs_.load() < oldest->second->lastUseMs_.load());
    if (better) {
      oldest = it;
      oldestLoggedIn = loggedIn;
    }
  }
  if (oldest == sessions_.end()) return false;
  sessions_.erase(oldest);
  return true;
}

TWebSessionRef TWebSessions::Create(std::string_view address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t now = NowMs();
  PurgeExpired(now);
  size_t fromAddress = 0;
  for (const auto& [id, s] : sessions_)
    if (s->address_ == address && !s->LoggedIn()) ++fromAddress;
  if (fromAddress >= perAddress_)
    EvictOne([&](TWebSession& s) { return s.address_ == address && !s.LoggedIn(); });
  while (sessions_.size() >= maxSessions_ && EvictOne([](TWebSession&) { return true; })) {
  }
  auto session = std::make_shared<TWebSession>();
  session->id_ = NewId();
  session->address_.assign(address);
  session->lastUseMs_.store(now);
  sessions_.emplace(session->id_, session);
  return session;
}

void TWebSessions::End(const TWebSessionRef& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(session->Id());
  if (it != sessions_.end() && it->second == session) sessions_.erase(it);
}

void TWebSessions::Renew(const TWebSessionRef& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = sessions_.find(session->Id());
  if (it == sessions_.end() || it->second != session) return;
  sessions_.erase(it);
  const std::string id = NewId();
  {
    std::lock_guard<std::mutex> sessionLock(session->mutex_);
    session->id_ = id;
  }
  sessions_.emplace(id, session);
}

size_t TWebSessions::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}
