#include "database/Accounts.h"

#include <exception>

#include "common/Log.h"
#include "database/FreeBase.h"
#include "database/ServerDatabase.h"

namespace {

std::string UsersPath(std::string_view serverId) {
  std::string path = "\\Servers\\";
  path.append(serverId.substr(0, kShortIdLength));
  path.append("\\Users");
  return path;
}

std::string AccountPath(std::string_view serverId, std::string_view loginName) {
  std::string path = UsersPath(serverId);
  path.push_back('\\');
  path.append(loginName);
  return path;
}

// Runs `body`; an exception is logged and turns into an empty result (none,
// nullopt, false). The empty result is made only on failure: built up front and
// copied, GCC 12 takes the optional vector for uninitialized at -O2.
template <class R, class F>
R Guarded(F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    Log(LMTERROR, LMDALL, "USERS", std::string(" Exception: ") + e.what());
    return R{};
  }
}

// The account's node, or none; only valid login names are looked up, so a
// name can never reach a node that is not an account.
TFBEntry* AccountNode(TFreeBase& db, const TFreeBase::TLock& lock, std::string_view serverId,
                      std::string_view loginName) {
  if (!ValidLoginName(loginName)) return nullptr;
  return db.GetEntry(lock, AccountPath(serverId, loginName), TFBEntryType::Node);
}

}  // namespace

bool ValidLoginName(std::string_view loginName) {
  return !loginName.empty() && loginName.find('\\') == std::string_view::npos;
}

std::optional<std::vector<std::string>> ListUsers(TFreeBase& db, std::string_view serverId) {
  using TResult = std::optional<std::vector<std::string>>;
  return Guarded<TResult>([&]() -> TResult {
    const auto lock = db.Lock();
    auto* users = EntryAs<TFBContainer>(db.GetEntry(lock, UsersPath(serverId), TFBEntryType::Node));
    if (!users) return std::nullopt;
    std::vector<std::string> names;
    names.reserve(users->ChildCount());
    for (TFBEntry* e = users->FirstChild(); e; e = e->Next()) {
      auto* account = EntryAs<TFBNode>(e);
      if (!account) continue;
      // Read from the node itself: its name need not be a usable path.
      const auto* name = EntryAs<TFBString>(account->FindChild("LogInName", TFBEntryType::String));
      names.push_back(name ? name->Value : std::string());
    }
    return names;
  });
}

std::unique_ptr<TClientObject> GetUser(TFreeBase& db, std::string_view loginName, std::string_view serverId,
                                       bool countLogin) {
  return Guarded<std::unique_ptr<TClientObject>>([&]() -> std::unique_ptr<TClientObject> {
    const auto lock = db.Lock();
    if (!AccountNode(db, lock, serverId, loginName)) return nullptr;
    const std::string path = AccountPath(serverId, loginName) + "\\";
    auto user = std::make_unique<TClientObject>();
    user->LoginName = db.ReadString(path + "LogInName", "");
    user->Password = db.ReadString(path + "LogInPassWord", "");
    user->NickName = db.ReadString(path + "NickName", "");
    user->PlayerPrivileges = static_cast<uint16_t>(db.ReadInteger(path + "Priviliges", 0));
    user->RegisteredBy = db.ReadString(path + "RegisteredBy", "");
    user->Logins = static_cast<uint32_t>(db.ReadInteger(path + "Logins", 0));
    user->LastChanged = db.ReadFloat(path + "LastChanged", 0);
    user->Created = db.ReadFloat(path + "Created", 0);
    if (countLogin) {
      // Reaches the file with the next flush, whoever makes it.
      db.WriteInteger(path + "Logins", static_cast<int32_t>(user->Logins + 1));
      db.WriteFloat(path + "LastChanged", db.Clock().Now());
    }
    return user;
  });
}

bool UpdateUser(TFreeBase& db, const TClientObject& record, std::string_view serverId) {
  return Guarded<bool>([&] {
    const auto lock = db.Lock();
    const std::string& loginName = record.LoginName;
    if (!AccountNode(db, lock, serverId, loginName)) return false;
    const std::string path = AccountPath(serverId, loginName) + "\\";
    db.WriteString(path + "LogInName", record.LoginName.Text());
    db.WriteString(path + "LogInPassWord", record.Password.Text());
    db.WriteString(path + "NickName", record.NickName.Text());
    db.WriteInteger(path + "Priviliges", record.PlayerPrivileges);
    db.WriteString(path + "RegisteredBy", record.RegisteredBy.Text());
    db.WriteInteger(path + "Logins", static_cast<int32_t>(record.Logins));
    const TDateTime now = db.Clock().Now();
    if (db.ReadFloat(path + "Created", 0) == 0) {
      db.WriteFloat(path + "Created", now);
    } else {
      db.WriteFloat(path + "LastChanged", now);
    }
    db.Flush();
    return true;
  });
}

bool AddUser(TFreeBase& db, const TClientObject& record, std::string_view serverId) {
  return Guarded<bool>([&] {
    const auto lock = db.Lock();
    const std::string& loginName = record.LoginName;
    if (!ValidLoginName(loginName) || AccountNode(db, lock, serverId, loginName)) return false;
    db.CreateNode(AccountPath(serverId, loginName));
    return UpdateUser(db, record, serverId);
  });
}

bool DeleteUser(TFreeBase& db, std::string_view loginName, std::string_view serverId) {
  return Guarded<bool>([&] {
    const auto lock = db.Lock();
    TFBEntry* node = AccountNode(db, lock, serverId, loginName);
    if (!node) return false;
    db.DeleteEntry(lock, node);
    db.Flush();
    return true;
  });
}

// ---- on the process-wide database ----------------------------------------------

std::optional<std::vector<std::string>> ListUsers(std::string_view serverId) {
  const auto db = LockServerDatabase();
  if (!db) return std::nullopt;
  return ListUsers(*db, serverId);
}

std::unique_ptr<TClientObject> GetUser(std::string_view loginName, std::string_view serverId, bool countLogin) {
  const auto db = LockServerDatabase();
  return db ? GetUser(*db, loginName, serverId, countLogin) : nullptr;
}

bool UpdateUser(const TClientObject& record, std::string_view serverId) {
  const auto db = LockServerDatabase();
  return db && UpdateUser(*db, record, serverId);
}

bool AddUser(const TClientObject& record, std::string_view serverId) {
  const auto db = LockServerDatabase();
  return db && AddUser(*db, record, serverId);
}

bool DeleteUser(std::string_view loginName, std::string_view serverId) {
  const auto db = LockServerDatabase();
  return db && DeleteUser(*db, loginName, serverId);
}
