// Registered accounts of the virtual servers. Each lives in the database as
// the node "\Servers\<ShortID>\Users\<login name>" with the values
// "LogInName", "LogInPassWord", "NickName", "Priviliges", "RegisteredBy",
// "Logins", "LastChanged", "Created" and "LogInPassHash" (below); in memory
// it is a TClientObject of which only the account fields are used. This is
// the only code that reads or writes account nodes. Callers: start-up (the
// "admin" account), the UDP login and player commands, the TCP query and the
// web interface.
//
// The server argument is the virtual server's id; accounts are kept under
// its first 29 characters (its ShortID).
// Thread-safety: each operation holds the database lock from its first read
// to its flush, so it is atomic against every other use of the database. The
// forms without a database use the process-wide one and fail (none, false)
// while there is none.
// Passwords are stored as salted Argon2id hashes (PasswordHash.h) under a
// value of their own, "LogInPassHash"; "LogInPassWord" then holds a random
// secret of more than 29 characters that no one is told, so that a reader
// which takes the password from there (an older build, cutting it to 29)
// lets no known text in. A record an older build wrote holds the plain text
// in "LogInPassWord" and is checked as before until start-up
// (UpgradeStoredPasswords) or its first successful login replaces it by the
// hash; a hash an earlier build kept in "LogInPassWord" is read as a hash.
// An account whose hash is missing or no hash matches no password. A new password travels
// in the record's Password field and is hashed before the database lock is
// taken (the forms with a database, used at start-up, hash under it); a
// record with neither Password nor StoredPassword leaves the stored one.
// Failures: an exception inside is logged (source "USERS") and the operation
// returns none or false; what was written before stays.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ClientObject.h"

class TFreeBase;

inline constexpr size_t kShortIdLength = 29;

// A login name addresses one node only when it is not empty and holds no "\".
bool ValidLoginName(std::string_view loginName);

// The "LogInName" of every account node in node order; no list at all when
// the server has no "Users" node.
std::optional<std::vector<std::string>> ListUsers(TFreeBase& db, std::string_view serverId);
// A new record filled from the account (texts cut to 29), or none. With
// `countLogin` (the UDP login only) "Logins" goes up by one and
// "LastChanged" becomes now, unflushed; the record shows the values before.
std::unique_ptr<TClientObject> GetUser(TFreeBase& db, std::string_view loginName, std::string_view serverId,
                                       bool countLogin);
// Rewrites the account named by record.LoginName and flushes; false when it
// does not exist. Stamps "Created" if it has none, else "LastChanged". The
// rights bits in `keepStoredRights` keep their stored value whatever the
// record says (a requester's word that may not reach them). An account
// that holds any bit of `refuseIfStored` when the lock is taken is left as
// it is and false returned: a check of its rights made before, by a
// requester who may not touch such an account, still holds at the write.
bool UpdateUser(TFreeBase& db, const TClientObject& record, std::string_view serverId,
                uint16_t keepStoredRights = 0, uint16_t refuseIfStored = 0);
// Creates the account and flushes; false when the name exists or is not a
// valid login name, or when the server holds AccountCap() accounts. A new
// account has "Created" = now and no "LastChanged".
bool AddUser(TFreeBase& db, const TClientObject& record, std::string_view serverId);
// Removes the account with all its values and flushes; false when it does not exist.
bool DeleteUser(TFreeBase& db, std::string_view loginName, std::string_view serverId);

// ---- the cap on accounts per virtual server ----------------------------------
// AddUser refuses a new account once a server holds this many, so that no
// tenant fills the shared database. Set from "MaxAccountsPerServer" ("Main
// Config") at start-up; any thread may read it.
inline constexpr int32_t kDefaultMaxAccountsPerServer = 5000;
void SetAccountCap(int32_t cap);
int32_t AccountCap();
// Whether the server holds as many accounts as the cap allows; the surfaces
// ask first to tell that refusal apart from a taken name.
bool AccountsFull(TFreeBase& db, std::string_view serverId);
// The text every surface shows for that refusal.
std::string AccountsFullMessage();

// ---- passwords: the one check of every surface (voice, query, web) ----------
// Whether `given` is the account's password (both cut to 29 characters, as
// every password is): against its hash, or against the plain text an older
// build stored. Slow for a hash: call it without holding any lock.
bool PasswordMatches(const TClientObject& account, std::string_view given);
// Whether the account's stored password is still `stamp`, a StoredPassword
// read earlier (after a successful check); equal bytes, in time that does
// not depend on where they differ. Lets a checked login be re-confirmed
// without paying for a hash again; a new password or a new hash changes it.
bool SameStoredPassword(const TClientObject& account, std::string_view stamp);
// The login: the account if it exists, holds one of `neededRights` (0: no
// right needed; checked before the slow hash) and `password` is its
// password; else none. `countLogin` counts it as GetUser does, right or
// wrong. A plain password an older build stored is replaced by its hash.
// The database lock is held only to read and to write, never for the hash.
std::unique_ptr<TClientObject> LoginAccount(std::string_view loginName, std::string_view serverId,
                                            std::string_view password, bool countLogin, uint16_t neededRights = 0);

// ---- start-up --------------------------------------------------------------------
// After a damaged file was read in part: removes every account of every
// server that lacks a value it needs (its login name, its rights, a password
// that can be checked), without flushing. "<server id>: <login name>" for each.
std::vector<std::string> DropIncompleteAccounts(TFreeBase& db);

struct TPasswordUpgradeCount {
  int Hashed = 0;  // plain passwords (or none at all) replaced by their hash
  int Moved = 0;   // hashes an earlier build kept in "LogInPassWord", moved to their own value
  int Left = 0;    // plain ones not reached before `stop`
};
// Brings every account of every server to this build's layout. Holds the
// database lock only to read and to write, never for a hash, so it may run
// on a thread of its own beside everything else; `stop` ends it between two
// accounts (the rest are done at the next start or login).
TPasswordUpgradeCount UpgradeStoredPasswords(TFreeBase& db, const std::atomic<bool>& stop);

// The same on the process-wide database.
std::optional<std::vector<std::string>> ListUsers(std::string_view serverId);
std::unique_ptr<TClientObject> GetUser(std::string_view loginName, std::string_view serverId, bool countLogin);
bool UpdateUser(const TClientObject& record, std::string_view serverId, uint16_t keepStoredRights = 0,
                uint16_t refuseIfStored = 0);
bool AddUser(const TClientObject& record, std::string_view serverId);
bool DeleteUser(std::string_view loginName, std::string_view serverId);
bool AccountsFull(std::string_view serverId);
