#include "database/Accounts.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <exception>
#include <stdexcept>

#include "common/CaughtLog.h"
#include "common/Log.h"
#include "database/FreeBase.h"
#include "database/PasswordHash.h"
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
    LogCaught("USERS", "", e);
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

std::atomic<int32_t> maxAccountsPerServer{kDefaultMaxAccountsPerServer};

size_t AccountCount(TFreeBase& db, const TFreeBase::TLock& lock, std::string_view serverId) {
  auto* users = EntryAs<TFBContainer>(db.GetEntry(lock, UsersPath(serverId), TFBEntryType::Node));
  return users ? users->ChildCount() : 0;
}

bool Full(TFreeBase& db, const TFreeBase::TLock& lock, std::string_view serverId) {
  const int32_t cap = maxAccountsPerServer.load();
  return AccountCount(db, lock, serverId) >= static_cast<size_t>(cap < 0 ? 0 : cap);
}

constexpr size_t kPasswordLength = 29;

std::string_view CutPassword(std::string_view password) { return password.substr(0, kPasswordLength); }

// Equal length and bytes, in time that does not depend on where they differ.
bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

// The value "LogInPassWord" gets from a record: a new password hashed, else
// the stored one as it was read; empty when the record carries neither.
std::string PasswordToStore(const TClientObject& record) {
  return record.Password.Empty() ? record.StoredPassword : password_hash::Hash(CutPassword(record.Password.Text()));
}

// The record with its new password already hashed, so that the database
// lock is not held for the hash; none when hashing fails.
std::optional<TClientObject> WithHashedPassword(const TClientObject& record) {
  return Guarded<std::optional<TClientObject>>([&]() -> std::optional<TClientObject> {
    TClientObject hashed = record;
    hashed.StoredPassword = PasswordToStore(record);
    hashed.Password = std::string_view();
    return hashed;
  });
}

// ---- the stored layout of a password ------------------------------------------
//
// A hash is kept under a value of its own. "LogInPassWord", the value every
// reader of accounts knows, then holds a random secret that nobody is told:
// a build that reads the password from there (and cuts it to 29 characters)
// finds a different text of full length in every account, not the hash's
// common prefix, and no password anyone types matches it. The tail beyond
// the 29 characters marks it as such a secret for us, so that an account
// whose hash was lost (a damaged file) fails closed instead of taking the
// secret for a plain password. A plain password an older build stored
// never reaches that length.
constexpr const char* kHashValue = "LogInPassHash";
constexpr const char* kPasswordValue = "LogInPassWord";
constexpr std::string_view kSecretTail = " (password kept in LogInPassHash)";
constexpr const char kSecretAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// What an account whose password cannot be checked reads as: it matches nothing.
constexpr std::string_view kNoUsablePassword = "$argon2id$";

bool IsSecret(std::string_view value) { return value.size() > kPasswordLength && value.ends_with(kSecretTail); }

std::string NewSecret() {
  unsigned char random[kPasswordLength];
  for (size_t got = 0; got < sizeof random;) {
    const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::runtime_error("no random numbers for an account secret");
    got += static_cast<size_t>(n);
  }
  std::string secret;
  for (const unsigned char r : random) secret.push_back(kSecretAlphabet[r % (sizeof kSecretAlphabet - 1)]);
  return secret.append(kSecretTail);
}

const TFBString* StringValue(TFreeBase& db, const TFreeBase::TLock& lock, const std::string& path) {
  return EntryAs<TFBString>(db.GetEntry(lock, path, TFBEntryType::String));
}

// The password as checks see it (`path` is the account's, ending in "\"): its
// hash; else what "LogInPassWord" holds (a plain password of an older build,
// or the hash an earlier build kept there); "" when the account has no
// password at all, as ever; kNoUsablePassword when the hash is gone or bad.
std::string StoredPasswordAt(TFreeBase& db, const TFreeBase::TLock& lock, const std::string& path) {
  if (const TFBString* hash = StringValue(db, lock, path + kHashValue))
    return password_hash::IsHash(hash->Value) ? hash->Value : std::string(kNoUsablePassword);
  const TFBString* plain = StringValue(db, lock, path + kPasswordValue);
  if (!plain) return "";
  return IsSecret(plain->Value) ? std::string(kNoUsablePassword) : plain->Value;
}

// Stores `value` (a hash, or a plain password of an older build's record)
// in the layout above. The value that matches nothing is never written.
void WriteStoredPassword(TFreeBase& db, const TFreeBase::TLock& lock, const std::string& path,
                         const std::string& value) {
  if (value == kNoUsablePassword) return;
  if (!password_hash::IsHash(value)) {
    db.WriteString(path + kPasswordValue, value);
    return;
  }
  const TFBString* plain = StringValue(db, lock, path + kPasswordValue);
  if (!plain || !IsSecret(plain->Value)) db.WriteString(path + kPasswordValue, NewSecret());
  db.WriteString(path + kHashValue, value);
}

// Replaces the stored password `before` by `after`, unless it changed in
// the meantime (a password set elsewhere wins).
bool ReplaceStoredPassword(TFreeBase& db, std::string_view loginName, std::string_view serverId,
                           std::string_view before, const std::string& after) {
  return Guarded<bool>([&] {
    const auto lock = db.Lock();
    if (!AccountNode(db, lock, serverId, loginName)) return false;
    const std::string path = AccountPath(serverId, loginName) + "\\";
    if (StoredPasswordAt(db, lock, path) != before) return false;
    WriteStoredPassword(db, lock, path, after);
    db.Flush();
    return true;
  });
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
    user->StoredPassword = StoredPasswordAt(db, lock, path);
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

bool UpdateUser(TFreeBase& db, const TClientObject& record, std::string_view serverId, uint16_t keepStoredRights,
                uint16_t refuseIfStored) {
  return Guarded<bool>([&] {
    const auto lock = db.Lock();
    const std::string& loginName = record.LoginName;
    if (!AccountNode(db, lock, serverId, loginName)) return false;
    const std::string path = AccountPath(serverId, loginName) + "\\";
    const auto stored = static_cast<uint16_t>(db.ReadInteger(path + "Priviliges", 0));
    if (stored & refuseIfStored) return false;
    db.WriteString(path + "LogInName", record.LoginName.Text());
    // A record without any password (a player's) leaves the stored one.
    const std::string password = PasswordToStore(record);
    if (!password.empty()) WriteStoredPassword(db, lock, path, password);
    db.WriteString(path + "NickName", record.NickName.Text());
    db.WriteInteger(path + "Priviliges", (record.PlayerPrivileges & ~keepStoredRights) | (stored & keepStoredRights));
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
    if (!ValidLoginName(loginName) || AccountNode(db, lock, serverId, loginName) || Full(db, lock, serverId))
      return false;
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

void SetAccountCap(int32_t cap) { maxAccountsPerServer = cap; }

int32_t AccountCap() { return maxAccountsPerServer.load(); }

bool AccountsFull(TFreeBase& db, std::string_view serverId) {
  return Guarded<bool>([&] {
    const auto lock = db.Lock();
    return Full(db, lock, serverId);
  });
}

std::string AccountsFullMessage() {
  // Short enough for a query error line whatever the cap.
  return "at most " + std::to_string(AccountCap()) + " accounts";
}

// ---- passwords ----------------------------------------------------------------

bool PasswordMatches(const TClientObject& account, std::string_view given) {
  const std::string& stored = account.StoredPassword;
  if (stored == kNoUsablePassword) return false;
  if (password_hash::IsHash(stored)) return password_hash::Verify(stored, CutPassword(given));
  return SameBytes(CutPassword(stored), CutPassword(given));
}

bool SameStoredPassword(const TClientObject& account, std::string_view stamp) {
  return SameBytes(account.StoredPassword, stamp);
}

std::unique_ptr<TClientObject> LoginAccount(std::string_view loginName, std::string_view serverId,
                                            std::string_view password, bool countLogin, uint16_t neededRights) {
  std::unique_ptr<TClientObject> account = GetUser(loginName, serverId, countLogin);
  if (!account || (neededRights != 0 && !(account->PlayerPrivileges & neededRights))) return nullptr;
  if (!PasswordMatches(*account, password)) return nullptr;
  if (!password_hash::IsHash(account->StoredPassword)) {
    // Written by an older build: from now on only the hash is kept. The
    // login stands even when the rewrite fails; the next one tries again.
    try {
      const std::string hash = password_hash::Hash(CutPassword(password));
      const auto db = LockServerDatabase();
      if (db && ReplaceStoredPassword(*db, loginName, serverId, account->StoredPassword, hash))
        account->StoredPassword = hash;
    } catch (const std::exception& e) {
      LogCaught("USERS", "", e);
    }
  }
  return account;
}

// ---- start-up ---------------------------------------------------------------------

namespace {

// Calls `visit(serverId, loginName, accountNode)` for every account node of
// every server whose name can be looked up; the caller holds `lock`.
template <class F>
void ForEachAccount(TFreeBase& db, const TFreeBase::TLock& lock, F&& visit) {
  auto* servers = EntryAs<TFBContainer>(db.GetEntry(lock, "Servers", TFBEntryType::Node));
  for (TFBEntry* server = servers ? servers->FirstChild() : nullptr; server; server = server->Next()) {
    auto* serverNode = EntryAs<TFBContainer>(server);
    auto* users = serverNode ? EntryAs<TFBContainer>(serverNode->FindChild("Users", TFBEntryType::Node)) : nullptr;
    for (TFBEntry* e = users ? users->FirstChild() : nullptr; e;) {
      TFBEntry* next = e->Next();  // the visit may remove `e`
      if (auto* account = EntryAs<TFBContainer>(e)) visit(server->Name(), account);
      e = next;
    }
  }
}

}  // namespace

std::vector<std::string> DropIncompleteAccounts(TFreeBase& db) {
  return Guarded<std::vector<std::string>>([&] {
    std::vector<std::string> dropped;
    const auto lock = db.Lock();
    ForEachAccount(db, lock, [&](const std::string& serverId, TFBContainer* account) {
      const std::string path = AccountPath(serverId, account->Name()) + "\\";
      const auto* name = EntryAs<TFBString>(account->FindChild("LogInName", TFBEntryType::String));
      const bool complete = ValidLoginName(account->Name()) && name && !name->Value.empty() &&
                            account->FindChild("Priviliges", TFBEntryType::Integer) &&
                            (account->FindChild(kHashValue, TFBEntryType::String) ||
                             account->FindChild(kPasswordValue, TFBEntryType::String)) &&
                            StoredPasswordAt(db, lock, path) != kNoUsablePassword;
      if (complete) return;
      dropped.push_back(serverId + ": " + account->Name());
      db.DeleteEntry(lock, account);
    });
    return dropped;
  });
}

TPasswordUpgradeCount UpgradeStoredPasswords(TFreeBase& db, const std::atomic<bool>& stop) {
  TPasswordUpgradeCount count;
  struct TPlain {
    std::string ServerId, LoginName, Stored;
  };
  std::vector<TPlain> plain;
  // A hash an earlier build kept in "LogInPassWord" only moves: no hashing,
  // all under one lock and one flush.
  Guarded<bool>([&] {
    const auto lock = db.Lock();
    ForEachAccount(db, lock, [&](const std::string& serverId, TFBContainer* account) {
      if (!ValidLoginName(account->Name()) || account->FindChild(kHashValue, TFBEntryType::String)) return;
      const std::string path = AccountPath(serverId, account->Name()) + "\\";
      std::string stored = StoredPasswordAt(db, lock, path);
      if (stored == kNoUsablePassword) return;
      if (password_hash::IsHash(stored)) {
        WriteStoredPassword(db, lock, path, stored);
        ++count.Moved;
      } else {
        plain.push_back({serverId, account->Name(), std::move(stored)});
      }
    });
    if (count.Moved > 0) db.Flush();
    return true;
  });
  // Each plain one is hashed without the lock and written only if it is
  // still the same (a password set meanwhile wins).
  for (const TPlain& p : plain) {
    if (stop.load()) {
      ++count.Left;
      continue;
    }
    const std::optional<std::string> hash = Guarded<std::optional<std::string>>(
        [&] { return std::optional<std::string>(password_hash::Hash(CutPassword(p.Stored))); });
    if (hash && ReplaceStoredPassword(db, p.LoginName, p.ServerId, p.Stored, *hash)) ++count.Hashed;
  }
  return count;
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

bool UpdateUser(const TClientObject& record, std::string_view serverId, uint16_t keepStoredRights,
                uint16_t refuseIfStored) {
  const std::optional<TClientObject> hashed = WithHashedPassword(record);
  if (!hashed) return false;
  const auto db = LockServerDatabase();
  return db && UpdateUser(*db, *hashed, serverId, keepStoredRights, refuseIfStored);
}

bool AccountsFull(std::string_view serverId) {
  const auto db = LockServerDatabase();
  return db && AccountsFull(*db, serverId);
}

bool AddUser(const TClientObject& record, std::string_view serverId) {
  const std::optional<TClientObject> hashed = WithHashedPassword(record);
  if (!hashed) return false;
  const auto db = LockServerDatabase();
  return db && AddUser(*db, *hashed, serverId);
}

bool DeleteUser(std::string_view loginName, std::string_view serverId) {
  const auto db = LockServerDatabase();
  return db && DeleteUser(*db, loginName, serverId);
}
