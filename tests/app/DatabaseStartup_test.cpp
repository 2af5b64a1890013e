// The database through the real executable: the first run's "admin"
// account, a second run, "-ADMINPW=" on listed servers, and a damaged
// server.db. Each run ends with the shutdown's 5-second pause, so there are
// few of them.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "support/ServerProcess.h"
#include "support/StoredDatabase.h"
#include "support/TempDir.h"

namespace {

constexpr int kStartMs = 30000;
constexpr int kStopMs = 60000;

// Keeps a run off the network: no web interface, TCP query, web list or
// external-address lookup, and every virtual server (the default one of a
// first run too) on a loopback port of `ports`, so runs never collide with
// each other or a real server.
std::string QuietIni(TProcessPorts& ports, const std::vector<std::string>& listed = {}) {
  std::string ini =
      "[Main Config]\nHTTPServer Enabled=0\nTCPQueryPort=0\nBoundToIp=127.0.0.1\nExternalIPDectection=0\n"
      "[WebPost]\nEnabled=0\n";
  if (!listed.empty()) ini += "[Servers]\n";
  for (size_t i = 0; i < listed.size(); ++i) ini += std::to_string(i) + "=" + listed[i] + "\n";
  std::vector<std::string> sections = listed;
  sections.push_back("server_cfg Default");
  for (const std::string& id : sections) ini += "[" + id + "]\nServerUDPPort=" + std::to_string(ports.Udp()) + "\n";
  return ini;
}

// The names in `folder` that begin with `prefix`.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* e = readdir(d))
      if (std::string_view(e->d_name).starts_with(prefix)) names.emplace_back(e->d_name);
    closedir(d);
  }
  return names;
}

// Runs the server in `dir` until start-up has finished (and `alsoWaitFor`
// is logged), then shuts it down; the log lines this run added.
std::string RunOnce(const TTempDir& dir, const TProcessPorts& ports, const std::vector<std::string>& args = {},
                    const std::string& alsoWaitFor = "Server startup finished") {
  const std::string logFile = dir.File("server.log");
  const size_t before = ReadFileText(logFile).size();
  TServerProcess run(dir.Path(), args, &ports);
  EXPECT_TRUE(run.WaitForLog("Server startup finished", std::chrono::milliseconds(kStartMs), logFile, before));
  EXPECT_TRUE(run.WaitForLog(alsoWaitFor, std::chrono::milliseconds(kStartMs), logFile, before));
  EXPECT_EQ(run.Stop(SIGTERM, std::chrono::milliseconds(kStopMs)), 0);
  return ReadFileText(logFile).substr(before);
}

TEST(DatabaseStartup, FirstRunCreatesAdminAndLogsItsPasswordOnce) {
  TTempDir dir;
  TProcessPorts ports;
  WriteFileText(dir.File("server.ini"), QuietIni(ports));
  const std::string first = RunOnce(dir, ports);
  EXPECT_NE(first.find("Default Server created"), std::string::npos);
  EXPECT_NE(first.find("Default Administrator account created"), std::string::npos);
  const std::string marker = "LoginName: admin LoginPw: ";
  const size_t at = first.find(marker);
  ASSERT_NE(at, std::string::npos) << first;
  const std::string password = first.substr(at + marker.size(), first.find("\r\n", at) - at - marker.size());
  EXPECT_EQ(password.size(), 16u);
  EXPECT_EQ(password.find_first_not_of("abcdefghijklmnopqrstuvwxyz123456789"), std::string::npos) << password;
  EXPECT_NE(ReadFileText(dir.File("server.ini")).find("0=server_cfg Default"), std::string::npos);
  {
    TStoredDatabase stored(dir.File("server.db"));
    ASSERT_TRUE(stored.db.Active());
    EXPECT_EQ(stored.db.DatabaseName(), "Parleon db");
    const auto admin = GetUser(stored.db, "admin", "server_cfg Default", false);
    ASSERT_NE(admin, nullptr);
    EXPECT_TRUE(PasswordMatches(*admin, password));
    EXPECT_EQ(admin->PlayerPrivileges, 9);
    EXPECT_EQ(admin->NickName, "admin");
    EXPECT_EQ(admin->RegisteredBy, "Server");
    EXPECT_GT(admin->Created, 0);
    // The default server stored its channel when the shutdown stopped it.
    EXPECT_EQ(stored.db.ReadString("\\Servers\\server_cfg Default\\Channels\\0\\Name", ""), "Default");
  }
  EXPECT_NE(first.find("Starting server with port: "), std::string::npos) << first;

  const std::string second = RunOnce(dir, ports);
  EXPECT_NE(second.find("Server startup finished"), std::string::npos);
  EXPECT_EQ(second.find("LoginPw"), std::string::npos);
  EXPECT_EQ(second.find("Default Server created"), std::string::npos);
  TStoredDatabase stored(dir.File("server.db"));
  EXPECT_EQ(*ListUsers(stored.db, "server_cfg Default"), std::vector<std::string>{"admin"});
  EXPECT_TRUE(PasswordMatches(*GetUser(stored.db, "admin", "server_cfg Default", false), password));
}

TEST(DatabaseStartup, AdminPasswordOptionSetsAdminOnEveryListedServer) {
  TTempDir dir;
  TProcessPorts ports;
  WriteFileText(dir.File("server.ini"), QuietIni(ports, {"server_cfg A", "server_cfg B"}));
  {
    // Server A has an "admin" of lower rights and another account; B has none.
    TFreeBase db;
    db.SetFileName(dir.File("server.db"));
    db.SetActive(true);
    TClientObject admin;
    admin.LoginName = "admin";
    admin.Password = "old";
    admin.PlayerPrivileges = PlayerPrivileges::Registered;
    ASSERT_TRUE(AddUser(db, admin, "server_cfg A"));
    admin.LoginName = "other";
    ASSERT_TRUE(AddUser(db, admin, "server_cfg A"));
    // As an older build stored it: in plain text, no hash.
    auto lock = db.Lock();
    const std::string other = "Servers\\server_cfg A\\Users\\other\\";
    db.DeleteEntry(lock, db.GetEntry(lock, other + "LogInPassHash", TFBEntryType::String));
    db.WriteString(other + "LogInPassWord", "old");
  }
  // The option wins over the environment.
  setenv("PARLEON_ADMINPW", "from-environment", 1);
  const std::string log = RunOnce(dir, ports, {"-ADMINPW= secret "}, "Stored passwords: ");
  unsetenv("PARLEON_ADMINPW");
  EXPECT_EQ(log.find("LoginPw"), std::string::npos);
  EXPECT_NE(log.find("Stored passwords: 1 plain passwords hashed"), std::string::npos) << log;
  TStoredDatabase stored(dir.File("server.db"));
  ASSERT_TRUE(stored.db.Active());
  for (const char* server : {"server_cfg A", "server_cfg B"}) {
    const auto admin = GetUser(stored.db, "admin", server, false);
    ASSERT_NE(admin, nullptr) << server;
    EXPECT_TRUE(PasswordMatches(*admin, "secret")) << server;
    EXPECT_EQ(admin->PlayerPrivileges, 9) << server;
  }
  EXPECT_TRUE(PasswordMatches(*GetUser(stored.db, "other", "server_cfg A", false), "old"));
  EXPECT_NE(stored.db.ReadString("Servers\\server_cfg A\\Users\\other\\LogInPassHash", ""), "");
  EXPECT_EQ(stored.db.ReadString("Servers\\server_cfg A\\Users\\other\\LogInPassWord", "").find("old"),
            std::string::npos);
  EXPECT_EQ(GetUser(stored.db, "admin", "server_cfg Default", false), nullptr);
}

// A damaged file stops start-up and stays as it was; -REPAIR moves it aside
// and goes on with the previous good copy the saves kept.
TEST(DatabaseStartup, DamagedDatabaseStopsStartUpAndRepairTakesThePreviousGoodCopy) {
  TTempDir dir;
  TProcessPorts ports;
  WriteFileText(dir.File("server.ini"), QuietIni(ports, {"server_cfg Default"}));
  {
    TFreeBase db;
    db.SetFileName(dir.File("server.db"));
    db.SetActive(true);
    TClientObject account;
    for (const char* name : {"first", "second"}) {
      account.LoginName = name;
      account.Password = name;
      ASSERT_TRUE(AddUser(db, account, "server_cfg Default"));
    }
  }
  // Cut inside the last account, as a full disk or a crash mid-copy leaves it.
  const std::string whole = ReadFileText(dir.File("server.db"));
  const std::string damaged = whole.substr(0, whole.size() - 20);
  WriteFileText(dir.File("server.db"), damaged);
  {
    TServerProcess run(dir.Path(), {"-ADMINPW=x"}, &ports);
    EXPECT_EQ(run.WaitExit(std::chrono::milliseconds(kStartMs)), 78);  // EX_CONFIG: no restart helps
  }
  const std::string log = ReadFileText(dir.File("server.log"));
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tDatabase file " + dir.File("server.db") + ": error 5"), std::string::npos)
      << log;
  EXPECT_NE(log.find(" at byte "), std::string::npos) << log;
  EXPECT_EQ(log.find("Server startup finished"), std::string::npos) << log;
  const std::string err = ReadFileText(dir.File("stdout.txt"));
  EXPECT_NE(err.find("parleon-server: database file " + dir.File("server.db") + " is damaged ("), std::string::npos)
      << err;
  EXPECT_NE(err.find("start with -REPAIR to go on with the previous good copy " + dir.File("server.db.bak")),
            std::string::npos)
      << err;
  EXPECT_EQ(ReadFileText(dir.File("server.db")), damaged);

  const std::string repaired = RunOnce(dir, ports, {"-REPAIR", "-ADMINPW=x"});
  EXPECT_NE(repaired.find("Server shutdown finished"), std::string::npos);
  EXPECT_NE(repaired.find("was damaged ("), std::string::npos) << repaired;
  EXPECT_NE(repaired.find("going on with the previous good copy"), std::string::npos) << repaired;
  const auto aside = ListFiles(dir.Path(), "server.db.damaged-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(ReadFileText(dir.File(aside[0])), damaged);
  TStoredDatabase stored(dir.File("server.db"));
  ASSERT_TRUE(stored.db.Active());
  EXPECT_TRUE(PasswordMatches(*GetUser(stored.db, "first", "server_cfg Default", false), "first"));
  EXPECT_TRUE(PasswordMatches(*GetUser(stored.db, "second", "server_cfg Default", false), "second"));
  EXPECT_TRUE(PasswordMatches(*GetUser(stored.db, "admin", "server_cfg Default", false), "x"));
}

// Without a good copy -REPAIR goes on with what could be read: an account
// cut inside its password goes (named), and a server that lost every
// account gets its "admin" anew, as on a first run.
TEST(DatabaseStartup, RepairWithoutACopyDropsHalfReadAccountsAndRemakesLostAdmins) {
  TTempDir dir;
  TProcessPorts ports;
  WriteFileText(dir.File("server.ini"), QuietIni(ports, {"server_cfg A", "server_cfg B"}));
  {
    TFreeBase db;
    db.SetFileName(dir.File("server.db"));
    db.SetActive(true);
    TClientObject account;
    for (const auto& [server, name] : {std::pair{"server_cfg A", "first"}, std::pair{"server_cfg A", "second"},
                                       std::pair{"server_cfg B", "carol"}}) {
      account.LoginName = name;
      account.Password = name;
      account.PlayerPrivileges = PlayerPrivileges::Registered;
      ASSERT_TRUE(AddUser(db, account, server));
    }
  }
  std::remove(dir.File("server.db.bak").c_str());
  const std::string whole = ReadFileText(dir.File("server.db"));
  // Inside the hash of "second", the last account of A; B's come after.
  WriteFileText(dir.File("server.db"), whole.substr(0, whole.rfind("$argon2id$", whole.find("server_cfg B")) + 20));

  const std::string log = RunOnce(dir, ports, {"-REPAIR"});
  const std::string err = ReadFileText(dir.File("stdout.txt"));
  for (const std::string& said : {log, err}) {
    EXPECT_NE(said.find("no good copy in " + dir.File("server.db.bak")), std::string::npos) << said;
    EXPECT_NE(said.find("dropped from the damaged database: 1 (server_cfg A: second) accounts, 0 channels"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("server_cfg B lost every account with the damaged database"), std::string::npos) << said;
  }
  EXPECT_NE(err.find("; admin account of server_cfg B made anew (its password is in the log)"), std::string::npos)
      << err;
  const std::string marker = "LoginName: admin LoginPw: ";
  const size_t at = log.find(marker);
  ASSERT_NE(at, std::string::npos) << log;
  const std::string password = log.substr(at + marker.size(), log.find("\r\n", at) - at - marker.size());
  EXPECT_EQ(password.size(), 16u);
  TStoredDatabase stored(dir.File("server.db"));
  ASSERT_TRUE(stored.db.Active());
  EXPECT_EQ(*ListUsers(stored.db, "server_cfg A"), std::vector<std::string>{"first"});
  EXPECT_EQ(*ListUsers(stored.db, "server_cfg B"), std::vector<std::string>{"admin"});
  EXPECT_TRUE(PasswordMatches(*GetUser(stored.db, "admin", "server_cfg B", false), password));
}

}  // namespace
