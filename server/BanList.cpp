#include "server/BanList.h"

#include <algorithm>

#include "database/ServerDatabase.h"

void TBanList::Load(std::string_view serverID) {
  std::vector<TBan> loaded;
  if (TFreeBase::TLock db = LockServerDatabase()) loaded = LoadBans(*db, serverID);
  std::lock_guard<std::mutex> lock(mutex_);
  bans_ = std::move(loaded);
}

std::optional<TBan> TBanList::Find(TDateTime now, std::string_view address, std::string_view loginName,
                                   std::string_view nickName) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const TBan& ban : bans_)
    if (!ban.Expired(now) && BanMatches(ban, address, loginName, nickName)) return ban;
  return std::nullopt;
}

bool TBanList::Add(std::string_view serverID, TBan& ban) {
  {
    TFreeBase::TLock db = LockServerDatabase();
    if (!db || !StoreBan(*db, serverID, ban)) return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  bans_.push_back(ban);
  return true;
}

bool TBanList::Lift(std::string_view serverID, int32_t id, TBan* lifted) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::none_of(bans_.begin(), bans_.end(), [&](const TBan& b) { return b.ID == id; })) return false;
  }
  // The file first: a ban whose removal was not stored would come back at
  // the next start, so it stays in force and the lift is refused.
  TFreeBase::TLock db = LockServerDatabase();
  if (!db || !DeleteBan(*db, serverID, id)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(bans_.begin(), bans_.end(), [&](const TBan& b) { return b.ID == id; });
  if (it == bans_.end()) return false;
  if (lifted) *lifted = *it;
  bans_.erase(it);
  return true;
}

std::vector<TBan> TBanList::InForce(std::string_view serverID, TDateTime now) {
  std::vector<TBan> inForce, expired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const TBan& ban : bans_) (ban.Expired(now) ? expired : inForce).push_back(ban);
    std::erase_if(bans_, [&](const TBan& b) { return b.Expired(now); });
  }
  if (!expired.empty())
    if (TFreeBase::TLock db = LockServerDatabase())
      for (const TBan& ban : expired) DeleteBan(*db, serverID, ban.ID);
  return inForce;
}
