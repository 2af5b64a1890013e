#include "database/ServerRecords.h"

#include <string>

#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "database/ServerDatabase.h"

bool DeleteServerRecords(TFreeBase& db, std::string_view serverId, bool accountsToo) {
  if (serverId.empty() || serverId.find('\\') != std::string_view::npos) return false;
  auto lock = db.Lock();
  bool deleted = false;
  const auto drop = [&](std::string_view name) {
    if (TFBEntry* node = db.GetEntry(lock, "\\Servers\\" + std::string(name), TFBEntryType::Node))
      deleted = db.DeleteEntry(lock, node) || deleted;
  };
  drop(serverId);
  if (accountsToo && serverId.size() > kShortIdLength) drop(serverId.substr(0, kShortIdLength));
  return deleted && db.Flush();
}

bool DeleteServerRecords(std::string_view serverId, bool accountsToo) {
  TFreeBase::TLock db = LockServerDatabase();
  return db && DeleteServerRecords(*db, serverId, accountsToo);
}
