// TBanList: the bans of one virtual server as the voice login consults
// them. The stored bans (database/Bans.h) are read when the server starts;
// the administration adds and lifts them through TServerAccess, which
// writes the file first and then this copy, so a login never waits on the
// disk. A ban whose expiry has passed keeps no one out and is dropped from
// the file the next time the list is read or changed.
//
// Called by the listener (Find, on its thread, with the client list and
// channels locked, or with nothing locked before an account check) and by
// TServerAccess (Load at Start, Add, Lift, InForce, holding the server's
// machinery).
// Thread-safety: any thread. The list's own mutex is a leaf: nothing else
// is taken while it is held, and the file is never written under it.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database/Bans.h"

class TBanList {
 public:
  // Replaces the copy with the server's stored bans; none while there is no database.
  void Load(std::string_view serverID);
  // The first ban in force at `now` that keeps this login out, or none.
  std::optional<TBan> Find(TDateTime now, std::string_view address, std::string_view loginName,
                           std::string_view nickName) const;
  // Stores `ban` (its id is set here) and then keeps it. False when there
  // is no database or the file could not be written.
  bool Add(std::string_view serverID, TBan& ban);
  // Removes ban `id` from the file, then from the copy; `lifted` receives
  // it. False when the server has no such ban, or when the file could not
  // be written (the ban then stays in force).
  bool Lift(std::string_view serverID, int32_t id, TBan* lifted = nullptr);
  // The bans in force at `now`, by id; expired ones are removed from the file.
  std::vector<TBan> InForce(std::string_view serverID, TDateTime now);

 private:
  mutable std::mutex mutex_;
  std::vector<TBan> bans_;
};
