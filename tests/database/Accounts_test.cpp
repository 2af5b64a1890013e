// Registered accounts: add, find, update, delete and list on the database,
// with the Created/LastChanged stamps and the login counting.
#include <gtest/gtest.h>

#include <algorithm>

#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "database/FreeBaseFormat.h"
#include "database/MemoryStorage.h"
#include "database/PasswordHash.h"
#include "database/ServerDatabase.h"
#include "database/StoredChannels.h"
#include "support/AccountCap.h"
#include "support/StoredDatabase.h"

namespace {

constexpr const char* kServer = "server_cfg Default";

struct TAccountsDb {
  TMemoryStorage storage;
  TManualClock clock{45000.25};
  TFreeBase db{storage, &clock};
  TAccountsDb() {
    db.SetFileName("server.db");
    db.SetActive(true);
  }
  // What the file holds, read back by a second database.
  std::unique_ptr<TClientObject> Stored(std::string_view login, std::string_view server = kServer) {
    TStoredDatabase stored("server.db", storage);
    return GetUser(stored.db, login, server, false);
  }
};

// Turns an account of this build into the record an older build wrote:
// `plain` in "LogInPassWord" and no hash beside it.
void MakeOlderRecord(TFreeBase& db, std::string_view login, const std::string& plain) {
  const std::string path = "\\Servers\\server_cfg Default\\Users\\" + std::string(login) + "\\";
  auto lock = db.Lock();
  db.DeleteEntry(lock, db.GetEntry(lock, path + "LogInPassHash", TFBEntryType::String));
  db.WriteString(path + "LogInPassWord", plain);
}

TClientObject Account(std::string_view login, std::string_view password) {
  TClientObject a;
  a.LoginName = login;
  a.Password = password;
  a.NickName = "nick of " + std::string(login);
  a.RegisteredBy = "tester";
  a.PlayerPrivileges = PlayerPrivileges::ServerAdmin | PlayerPrivileges::Registered;
  a.Logins = 3;
  return a;
}

TEST(Accounts, AddStoresEveryFieldAndRefusesAnExistingName) {
  TAccountsDb t;
  ASSERT_TRUE(AddUser(t.db, Account("alice", "secret"), kServer));
  const auto stored = t.Stored("alice");  // flushed by AddUser
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->LoginName, "alice");
  EXPECT_TRUE(PasswordMatches(*stored, "secret"));
  EXPECT_EQ(stored->NickName, "nick of alice");
  EXPECT_EQ(stored->RegisteredBy, "tester");
  EXPECT_EQ(stored->PlayerPrivileges, 5);
  EXPECT_EQ(stored->Logins, 3u);
  EXPECT_EQ(t.db.ReadInteger("\\Servers\\server_cfg Default\\Users\\alice\\Priviliges", 0), 5);

  TClientObject other = Account("ALICE", "changed");  // names compare without case
  EXPECT_FALSE(AddUser(t.db, other, kServer));
  EXPECT_TRUE(PasswordMatches(*GetUser(t.db, "alice", kServer, false), "secret"));
  EXPECT_EQ(ListUsers(t.db, kServer)->size(), 1u);
}

TEST(Accounts, LoginNamesThatWouldAddressOtherNodesAreRefused) {
  TAccountsDb t;
  ASSERT_TRUE(AddUser(t.db, Account("bob", "pw"), kServer));
  EXPECT_FALSE(AddUser(t.db, Account("", "pw"), kServer));
  EXPECT_FALSE(AddUser(t.db, Account("bob\\evil", "pw"), kServer));
  EXPECT_FALSE(AddUser(t.db, Account("\\Servers", "pw"), kServer));
  EXPECT_EQ(GetUser(t.db, "", kServer, false), nullptr);
  EXPECT_FALSE(DeleteUser(t.db, "bob\\LogInName", kServer));
  EXPECT_EQ(*ListUsers(t.db, kServer), std::vector<std::string>{"bob"});
  EXPECT_EQ(t.db.ReadString("Servers\\server_cfg Default\\Users\\bob\\LogInName", ""), "bob");
}

TEST(Accounts, CreatedOnAddLastChangedOnUpdate) {
  TAccountsDb t;
  const TDateTime addedAt = t.clock.Now();
  ASSERT_TRUE(AddUser(t.db, Account("carol", "one"), kServer));
  auto user = GetUser(t.db, "carol", kServer, false);
  EXPECT_EQ(user->Created, addedAt);
  EXPECT_EQ(user->LastChanged, 0);

  t.clock.AdvanceMs(60000);
  const TDateTime updatedAt = t.clock.Now();
  user->Password = "two";
  ASSERT_TRUE(UpdateUser(t.db, *user, kServer));
  const auto stored = t.Stored("carol");
  EXPECT_TRUE(PasswordMatches(*stored, "two"));
  EXPECT_EQ(stored->Created, addedAt);
  EXPECT_EQ(stored->LastChanged, updatedAt);

  // An account without "Created" gets it on its next update, LastChanged untouched.
  t.db.WriteFloat("Servers\\server_cfg Default\\Users\\carol\\Created", 0);
  t.clock.AdvanceMs(60000);
  ASSERT_TRUE(UpdateUser(t.db, *user, kServer));
  user = GetUser(t.db, "carol", kServer, false);
  EXPECT_EQ(user->Created, t.clock.Now());
  EXPECT_EQ(user->LastChanged, updatedAt);

  EXPECT_FALSE(UpdateUser(t.db, Account("nobody", "x"), kServer));
  EXPECT_EQ(GetUser(t.db, "nobody", kServer, false), nullptr);

  // Made a super administrator after an edit's check read it: the edit of
  // one who may not touch such an account writes nothing.
  user->PlayerPrivileges = PlayerPrivileges::SuperServerAdmin;
  ASSERT_TRUE(UpdateUser(t.db, *user, kServer));
  user->PlayerPrivileges = 0;
  user->Password = "three";
  EXPECT_FALSE(UpdateUser(t.db, *user, kServer, 0, PlayerPrivileges::SuperServerAdmin));
  EXPECT_TRUE(PasswordMatches(*t.Stored("carol"), "two"));
  EXPECT_EQ(t.Stored("carol")->PlayerPrivileges, PlayerPrivileges::SuperServerAdmin);
}

TEST(Accounts, OnlyTheCountingReadCountsALogin) {
  TAccountsDb t;
  ASSERT_TRUE(AddUser(t.db, Account("dave", "pw"), kServer));
  for (int i = 0; i < 3; ++i) GetUser(t.db, "dave", kServer, false);
  EXPECT_EQ(GetUser(t.db, "dave", kServer, false)->Logins, 3u);

  t.clock.AdvanceMs(1000);
  const auto before = GetUser(t.db, "dave", kServer, true);
  EXPECT_EQ(before->Logins, 3u) << "the record shows the values before the counting";
  EXPECT_EQ(before->LastChanged, 0);
  const auto after = GetUser(t.db, "dave", kServer, false);
  EXPECT_EQ(after->Logins, 4u);
  EXPECT_EQ(after->LastChanged, t.clock.Now());
  EXPECT_EQ(t.Stored("dave")->Logins, 3u) << "counting does not flush";
  t.db.Flush();
  EXPECT_EQ(t.Stored("dave")->Logins, 4u);
}

TEST(Accounts, TextsAreCutTo29WhenRead) {
  TAccountsDb t;
  ASSERT_TRUE(AddUser(t.db, Account("erin", "pw"), kServer));
  const std::string path = "Servers\\server_cfg Default\\Users\\erin\\";
  MakeOlderRecord(t.db, "erin", std::string(40, 'p'));
  t.db.WriteString(path + "NickName", std::string(35, 'n'));
  const auto user = GetUser(t.db, "erin", kServer, false);
  EXPECT_TRUE(PasswordMatches(*user, std::string(29, 'p')));
  EXPECT_EQ(user->NickName, std::string(29, 'n'));
}

TEST(Accounts, ServersKeepSeparateAccountsUnderTheirShortId) {
  TAccountsDb t;
  const std::string longId = "server_cfg " + std::string(30, 'L');  // 41 characters
  ASSERT_TRUE(AddUser(t.db, Account("frank", "long"), longId));
  ASSERT_TRUE(AddUser(t.db, Account("frank", "default"), kServer));
  EXPECT_TRUE(PasswordMatches(*GetUser(t.db, "frank", longId.substr(0, 29), false), "long"));
  EXPECT_TRUE(PasswordMatches(*GetUser(t.db, "frank", kServer, false), "default"));
  EXPECT_NE(t.db.ReadString("Servers\\" + longId.substr(0, 29) + "\\Users\\frank\\LogInName", ""), "");
}

TEST(Accounts, ListAndDelete) {
  TAccountsDb t;
  EXPECT_FALSE(ListUsers(t.db, kServer).has_value()) << "no list at all, not an empty one";
  for (const char* name : {"zed", "amy", "Mo"}) ASSERT_TRUE(AddUser(t.db, Account(name, "pw"), kServer));
  EXPECT_EQ(*ListUsers(t.db, kServer), (std::vector<std::string>{"zed", "amy", "Mo"}));
  EXPECT_FALSE(ListUsers(t.db, "server_cfg Other").has_value());

  EXPECT_TRUE(DeleteUser(t.db, "AMY", kServer));
  EXPECT_FALSE(DeleteUser(t.db, "amy", kServer));
  EXPECT_EQ(*ListUsers(t.db, kServer), (std::vector<std::string>{"zed", "Mo"}));
  EXPECT_EQ(t.Stored("amy"), nullptr) << "deletion is flushed";
  EXPECT_EQ(t.db.ReadString("Servers\\server_cfg Default\\Users\\amy\\LogInName", "gone"), "gone");
  EXPECT_TRUE(DeleteUser(t.db, "zed", kServer));
  EXPECT_TRUE(DeleteUser(t.db, "Mo", kServer));
  EXPECT_TRUE(ListUsers(t.db, kServer)->empty()) << "the Users node remains";
}

// Each server may hold only so many accounts; the count is the server's own.
TEST(Accounts, TheCapRefusesAccountsBeyondItOnEachServer) {
  TAccountsDb t;
  TAccountCapGuard cap(2);
  EXPECT_FALSE(AccountsFull(t.db, kServer));
  for (const char* name : {"amy", "bob"}) ASSERT_TRUE(AddUser(t.db, Account(name, "pw"), kServer));
  EXPECT_TRUE(AccountsFull(t.db, kServer));
  EXPECT_FALSE(AddUser(t.db, Account("carl", "pw"), kServer));
  EXPECT_EQ(t.Stored("carl"), nullptr);
  EXPECT_TRUE(AddUser(t.db, Account("carl", "pw"), "server_cfg Other"));
  ASSERT_TRUE(DeleteUser(t.db, "amy", kServer));
  EXPECT_TRUE(AddUser(t.db, Account("carl", "pw"), kServer));
  EXPECT_EQ(AccountsFullMessage(), "at most 2 accounts");
}

TEST(Accounts, ProcessWideFormsFailWithoutADatabase) {
  ASSERT_EQ(RemoveServerDatabase(), nullptr);
  EXPECT_FALSE(AddUser(Account("gina", "pw"), kServer));
  EXPECT_EQ(GetUser("gina", kServer, true), nullptr);
  EXPECT_FALSE(ListUsers(kServer).has_value());

  TMemoryStorage storage;  // outlives every holder of the database below
  auto db = std::make_shared<TFreeBase>(storage);
  db->SetFileName("server.db");
  db->SetActive(true);
  InstallServerDatabase(db);
  EXPECT_TRUE(AddUser(Account("gina", "pw"), kServer));
  auto held = LockServerDatabase();  // a user that got the database before shutdown
  EXPECT_EQ(RemoveServerDatabase(), db);
  EXPECT_EQ(GetUser("gina", kServer, false), nullptr);
  EXPECT_NE(GetUser(*held, "gina", kServer, false), nullptr);
}

TEST(Accounts, PasswordsAreStoredHashedAndAnOlderPlainRecordIsRehashedAtItsFirstLogin) {
  TMemoryStorage storage;
  auto db = std::make_shared<TFreeBase>(storage);
  db->SetFileName("server.db");
  db->SetActive(true);
  InstallServerDatabase(db);
  const std::string value = "\\Servers\\server_cfg Default\\Users\\hank\\LogInPassWord";
  ASSERT_TRUE(AddUser(Account("hank", "hank-secret-pw"), kServer));
  const std::string hashValue = "\\Servers\\server_cfg Default\\Users\\hank\\LogInPassHash";
  const std::string hashed = db->ReadString(hashValue, "");
  EXPECT_EQ(hashed.rfind("$argon2id$", 0), 0u) << hashed;
  EXPECT_EQ(hashed.find("hank-secret-pw"), std::string::npos);
  EXPECT_EQ(LoginAccount("HANK", kServer, "wrong", false), nullptr);
  EXPECT_NE(LoginAccount("HANK", kServer, "hank-secret-pw", false), nullptr);
  // Rights are asked for before the password; a record without a password
  // (a player's) leaves the stored one as it is.
  EXPECT_EQ(LoginAccount("hank", kServer, "hank-secret-pw", false, PlayerPrivileges::SuperServerAdmin), nullptr);
  TClientObject player = Account("hank", "");
  ASSERT_TRUE(UpdateUser(player, kServer));
  EXPECT_EQ(db->ReadString(hashValue, ""), hashed);

  // Written by an older build: checked as plain text, hashed at the first right login.
  MakeOlderRecord(*db, "hank", "old pw");
  EXPECT_EQ(LoginAccount("hank", kServer, "old", true), nullptr);
  EXPECT_EQ(db->ReadString(value, ""), "old pw");
  const auto account = LoginAccount("hank", kServer, "old pw", true);
  ASSERT_NE(account, nullptr);
  const std::string rehashed = db->ReadString(hashValue, "");
  EXPECT_EQ(rehashed.rfind("$argon2id$", 0), 0u) << rehashed;
  EXPECT_EQ(db->ReadString(value, "").find("old pw"), std::string::npos);
  EXPECT_TRUE(SameStoredPassword(*account, rehashed));
  EXPECT_FALSE(SameStoredPassword(*account, hashed));
  EXPECT_NE(LoginAccount("hank", kServer, "old pw", false), nullptr);
  EXPECT_EQ(GetUser("hank", kServer, false)->Logins, 5u);  // both counted, right or wrong
  EXPECT_EQ(RemoveServerDatabase(), db);
}

// A file this build wrote, read by the older accounts code, which takes the
// password from "LogInPassWord" and compares it cut to 29 characters: no
// known text (the hash's common prefix, the real password, nothing) logs
// in, and no two accounts share what it finds there.
TEST(Accounts, AReaderThatCutsThePasswordTo29FindsNoTextThatLogsIn) {
  TAccountsDb t;
  const std::vector<std::string> names = {"admin", "amy", "bob"};
  for (const std::string& name : names) ASSERT_TRUE(AddUser(t.db, Account(name, "pw-" + name), kServer));
  TStoredDatabase file("server.db", t.storage);
  ASSERT_TRUE(file.db.Active());
  std::vector<std::string> seen;
  for (const std::string& name : names) {
    const std::string path = "Servers\\server_cfg Default\\Users\\" + name + "\\LogInPassWord";
    const std::string older = file.db.ReadString(path, "").substr(0, 29);
    EXPECT_EQ(older.size(), 29u) << name;
    EXPECT_NE(older.rfind("$argon2id$", 0), 0u) << older;
    for (const std::string& given : {"pw-" + name, std::string("$argon2id$v=19$m=19456,t=2,p="), std::string(),
                                     std::string("$argon2id$v=19$m=8,t=1,p=1$")})
      EXPECT_NE(given.substr(0, 29), older) << name;
    EXPECT_EQ(std::find(seen.begin(), seen.end(), older), seen.end()) << name;
    seen.push_back(older);
    // This build finds the hash and lets no one in with the secret.
    const auto user = GetUser(file.db, name, kServer, false);
    EXPECT_TRUE(PasswordMatches(*user, "pw-" + name));
    EXPECT_FALSE(PasswordMatches(*user, older));
    EXPECT_FALSE(PasswordMatches(*user, file.db.ReadString(path, "")));
  }
  // An account whose hash was lost (a damaged copy) fails closed instead of
  // taking the secret for a plain password; a bad hash does as well.
  const std::string amy = "Servers\\server_cfg Default\\Users\\amy\\";
  const std::string secret = t.db.ReadString(amy + "LogInPassWord", "");
  {
    auto lock = t.db.Lock();
    t.db.DeleteEntry(lock, t.db.GetEntry(lock, amy + "LogInPassHash", TFBEntryType::String));
  }
  for (const std::string& given : {secret, secret.substr(0, 29), std::string(), std::string("pw-amy")})
    EXPECT_FALSE(PasswordMatches(*GetUser(t.db, "amy", kServer, false), given));
  t.db.WriteString(amy + "LogInPassHash", "");
  EXPECT_FALSE(PasswordMatches(*GetUser(t.db, "amy", kServer, false), ""));
}

// Start-up's pass over older records: plain passwords (or none at all) get
// their hash, a hash an earlier build kept in "LogInPassWord" moves, and
// each still lets in exactly the password it did.
TEST(Accounts, StartUpPassHashesPlainRecordsAndMovesEarlierHashes) {
  TAccountsDb t;
  for (const char* name : {"plain", "earlier", "none", "current"})
    ASSERT_TRUE(AddUser(t.db, Account(name, "x"), kServer));
  MakeOlderRecord(t.db, "plain", "plain pw");
  MakeOlderRecord(t.db, "earlier", password_hash::Hash("earlier pw"));
  MakeOlderRecord(t.db, "none", "");
  {
    auto lock = t.db.Lock();
    t.db.DeleteEntry(lock, t.db.GetEntry(lock, "Servers\\server_cfg Default\\Users\\none\\LogInPassWord",
                                         TFBEntryType::String));
  }
  std::atomic<bool> stop{true};
  TPasswordUpgradeCount count = UpgradeStoredPasswords(t.db, stop);
  EXPECT_EQ(count.Moved, 1);  // moving needs no hash: done even when told to stop
  EXPECT_EQ(count.Hashed, 0);
  EXPECT_EQ(count.Left, 2);
  stop = false;
  count = UpgradeStoredPasswords(t.db, stop);
  EXPECT_EQ(count.Hashed, 2);
  EXPECT_EQ(count.Moved + count.Left, 0);
  for (const auto& [name, password] : std::vector<std::pair<std::string, std::string>>{
           {"plain", "plain pw"}, {"earlier", "earlier pw"}, {"none", ""}, {"current", "x"}}) {
    const auto stored = t.Stored(name);  // flushed
    ASSERT_NE(stored, nullptr) << name;
    EXPECT_TRUE(password_hash::IsHash(stored->StoredPassword)) << name;
    EXPECT_TRUE(PasswordMatches(*stored, password)) << name;
    EXPECT_FALSE(PasswordMatches(*stored, "wrong")) << name;
    EXPECT_GT(t.db.ReadString("Servers\\server_cfg Default\\Users\\" + name + "\\LogInPassWord", "").size(), 29u);
  }
  count = UpgradeStoredPasswords(t.db, stop);
  EXPECT_EQ(count.Hashed + count.Moved + count.Left, 0);
}

// A salvaged file: an account or channel cut short by the damage goes, so
// that no account opens without its password; the rest stay.
TEST(Accounts, RecordsCutShortByDamageAreDroppedAndNamed) {
  TAccountsDb t;
  for (const char* name : {"first", "second"}) ASSERT_TRUE(AddUser(t.db, Account(name, name), kServer));
  const std::string image = t.storage.Files()["server.db"];
  // Cut inside the hash of the second account.
  const size_t cut = image.rfind("$argon2id$") + 20;
  TMemoryStorage damaged;
  damaged.Files()["server.db"] = image.substr(0, cut);
  TFreeBase db(damaged);
  db.SetFileName("server.db");
  db.SetSalvage(true);
  db.SetActive(true);
  ASSERT_TRUE(db.Active());
  ASSERT_NE(GetUser(db, "second", kServer, false), nullptr);
  // A channel without its password and one whole; an account without rights.
  db.WriteString("Servers\\server_cfg Default\\Channels\\0\\Name", "open");
  TChannelRecord whole;
  whole.Name = "whole";
  db.WriteString("Servers\\server_cfg Other\\Users\\norights\\LogInName", "norights");
  db.WriteString("Servers\\server_cfg Other\\Users\\norights\\LogInPassWord", "pw");
  std::vector<std::unique_ptr<TChannelRecord>> records;
  records.push_back(std::make_unique<TChannelRecord>(whole));
  SaveStoredChannels(db, "server_cfg Other", records);
  EXPECT_EQ(DropIncompleteAccounts(db),
            (std::vector<std::string>{"server_cfg Default: second", "server_cfg Other: norights"}));
  EXPECT_EQ(DropIncompleteChannels(db), std::vector<std::string>{"server_cfg Default: channel 0"});
  EXPECT_EQ(GetUser(db, "second", kServer, false), nullptr);
  EXPECT_TRUE(PasswordMatches(*GetUser(db, "first", kServer, false), "first"));
  EXPECT_NE(LoadStoredChannel(db, 0, "server_cfg Other"), nullptr);
  EXPECT_TRUE(DropIncompleteAccounts(db).empty());
}

}  // namespace
