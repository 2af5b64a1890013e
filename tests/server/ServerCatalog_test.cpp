#include "server/ServerCatalog.h"

#include <gtest/gtest.h>

#include "common/IniFile.h"
#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "database/MemoryStorage.h"
#include "database/ServerRecords.h"
#include "database/StoredChannels.h"
#include "server/ServerList.h"
#include "support/HeldPort.h"
#include "support/LogCapture.h"
#include "support/ServerFixture.h"
#include "support/TempDir.h"

TEST(ServerCatalog, ListAndUnlistKeepTheKeysContiguous) {
  TTempDir dir;
  TIniFile ini(dir.File("server.ini"));
  for (const char* id : {"server_cfg A", "server_cfg B", "server_cfg C", "server_cfg B"}) ListServer(ini, id);
  EXPECT_EQ(ListedServers(ini), (std::vector<std::string>{"server_cfg A", "server_cfg B", "server_cfg C"}));
  EXPECT_TRUE(UnlistServer(ini, "server_cfg A"));
  EXPECT_FALSE(UnlistServer(ini, "server_cfg A"));
  EXPECT_EQ(ini.ReadString(kServersSection, "0", ""), "server_cfg B");
  EXPECT_EQ(ini.ReadString(kServersSection, "1", ""), "server_cfg C");
  EXPECT_FALSE(ini.ValueExists(kServersSection, "2"));
  EXPECT_FALSE(ValidServerName(""));
  EXPECT_FALSE(ValidServerName("a]b"));
  EXPECT_TRUE(ValidServerName("Clan Room 2"));
  EXPECT_TRUE(ValidServerName(std::string(29, 'a')));
  EXPECT_EQ(ServerNameFault(std::string(30, 'a')), "the name must have 1 to 29 characters");
  for (const char* name : {" Lead", "Trail ", "semi;colon", "eq=ual", "caf\xe9"}) EXPECT_FALSE(ValidServerName(name)) << name;
}

// Accounts are kept under the id's first 29 characters, settings under the
// whole id without regard to case.
TEST(ServerCatalog, IdsShareStorageWhenTheirFirst29CharactersAgreeLetterCaseAside) {
  EXPECT_TRUE(ShareStorage("server_cfg hosting-customer-00001", "server_cfg hosting-customer-00002"));
  EXPECT_TRUE(ShareStorage("server_cfg Weekend Tournament EU", "server_cfg Weekend Tournament US"));
  EXPECT_TRUE(ShareStorage("server_cfg default", "server_cfg Default"));
  EXPECT_FALSE(ShareStorage("server_cfg hosting-customer-1", "server_cfg hosting-customer-2"));
  EXPECT_FALSE(ShareStorage("server_cfg New", "server_cfg New2"));
}

TEST(ServerCatalog, AddRefusesSharedAccountsAndTakenPortsAndAFailedAddLeavesNothing) {
  TServerFixture f;
  f.Settings.ServerUDPPort = PassedUDPPort();
  ASSERT_TRUE(f.Start());
  TIniFile ini(f.IniFile());
  ListServer(ini, TServerFixture::kDefaultID);
  const uint16_t parked = PassedUDPPort();
  ini.WriteInteger("server_cfg Parked", "ServerUDPPort", parked);
  ListServer(ini, "server_cfg Parked");
  const std::vector<std::string> before = ListedServers(ini);

  THeldPort held;
  TCatalogAnswer added = AddServer(f.Environment, "Shop", held.Port());
  EXPECT_EQ(added.Refusal, TCatalogRefusal::StartFailed);
  EXPECT_EQ(added.Reason, "port " + std::to_string(held.Port()) + ": Address already in use");
  EXPECT_FALSE(ini.SectionExists("server_cfg Shop"));
  EXPECT_EQ(ListedServers(ini), before);
  added = AddServer(f.Environment, "Other", parked);
  EXPECT_EQ(added.Refusal, TCatalogRefusal::PortListed);
  EXPECT_EQ(added.Reason, "port " + std::to_string(parked) + " belongs to the stopped server server_cfg Parked");
  EXPECT_EQ(AddServer(f.Environment, "Other", f.Settings.ServerUDPPort).Refusal, TCatalogRefusal::PortRunning);
  EXPECT_EQ(AddServer(f.Environment, "default", PassedUDPPort()).Refusal, TCatalogRefusal::NameTaken);
  EXPECT_EQ(AddServer(f.Environment, "Longer than twenty-nine letters", PassedUDPPort()).Refusal,
            TCatalogRefusal::BadName);
  EXPECT_EQ(ListedServers(ini), before);

  ASSERT_TRUE(AddServer(f.Environment, "hosting-customer-00001", PassedUDPPort()).Done());
  added = AddServer(f.Environment, "hosting-customer-00002", PassedUDPPort());
  EXPECT_EQ(added.Refusal, TCatalogRefusal::NameTaken);
  EXPECT_EQ(added.Reason,
            "it would share its accounts with server_cfg hosting-customer-00001: names must differ in their first "
            "18 characters, letter case aside");
  EXPECT_FALSE(GetServerList()->FindServerByID("server_cfg hosting-customer-00002"));

  // The name refused for its port is free, and takes the port now given.
  const uint16_t port = PassedUDPPort();
  added = AddServer(f.Environment, "Shop", port);
  ASSERT_TRUE(added.Done()) << added.Reason;
  EXPECT_EQ(added.ID, "server_cfg Shop");
  const TServerRef shop = GetServerList()->FindServerByID("server_cfg Shop");
  ASSERT_TRUE(shop);
  EXPECT_EQ(shop->BoundPort(), port);
  EXPECT_EQ(shop->ServerName, "Shop");
  EXPECT_EQ(ini.ReadString("server_cfg Shop", "ServerName", ""), "Shop");
  EXPECT_EQ(ListedServers(ini).back(), "server_cfg Shop");
  GetServerList()->StopServer("");
}

// What start-up does with the listed servers, and the Servers page's Start.
TEST(ServerCatalog, OfTwoListedServersSharingAccountsOnlyTheFirstStarts) {
  TLogCapture log;
  TServerFixture f;
  TIniFile ini(f.IniFile());
  const std::string eu = "server_cfg Weekend Tournament EU", us = "server_cfg Weekend Tournament US";
  for (const std::string& id : {eu, us}) {
    ini.WriteInteger(id, "ServerUDPPort", PassedUDPPort());
    ListServer(ini, id);
  }
  EXPECT_TRUE(StartServer(f.Environment, eu, &ini).Done());
  const TCatalogAnswer second = StartServer(f.Environment, us, &ini);
  EXPECT_EQ(second.Refusal, TCatalogRefusal::NameTaken);
  EXPECT_EQ(second.StartFault, second.Reason);
  const std::string reason = "it would share its accounts with " + eu +
                             ": names must differ in their first 18 characters, letter case aside";
  EXPECT_EQ(second.Reason, reason);
  bool logged = false;
  for (const std::string& m : log.Messages()) logged = logged || m == "server " + us + " not started: " + reason;
  EXPECT_TRUE(logged);
  EXPECT_FALSE(GetServerList()->FindServerByID(us));
  // Stopping the first does not hand its accounts to the second.
  EXPECT_TRUE(StopServer(eu).Done());
  EXPECT_EQ(StartServer(f.Environment, us).Refusal, TCatalogRefusal::NameTaken);
  EXPECT_EQ(StopServer(eu).Refusal, TCatalogRefusal::NotRunning);
}

// A loop of restarts: past a few a minute each is refused, leaves the server
// as it is and writes nothing to the log.
TEST(ServerCatalog, ARestartLoopIsHeldToAFewActionsAMinute) {
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  const std::string id = TServerFixture::kDefaultID;
  for (size_t i = 0; i < kLifeActionsPerMinute; ++i) ASSERT_TRUE(RestartServer(id).Done()) << i;
  TLogCapture log;
  EXPECT_EQ(RestartServer(id).Refusal, TCatalogRefusal::TooOften);
  const TCatalogAnswer stop = StopServer(id);
  EXPECT_EQ(stop.Refusal, TCatalogRefusal::TooOften);
  EXPECT_NE(stop.Reason.find("try again in a minute"), std::string::npos);
  EXPECT_TRUE(log.Messages().empty());
  EXPECT_TRUE(GetServerList()->FindServerByID(id)->Running());
}

TEST(ServerRecords, RemovingAServerTakesItsChannelsAndAccountsOnly) {
  TMemoryStorage storage;
  TFreeBase db(storage);
  db.SetOpenFlag(TFBOpenFlag::CreateNotExists);
  db.SetFileName("server.db");
  db.SetActive(true);
  TClientObject account;
  account.LoginName = "ann";
  for (const char* id : {"server_cfg Gone", "server_cfg Kept"}) {
    ASSERT_TRUE(AddUser(db, account, id));
    db.WriteString(std::string("\\Servers\\") + id + "\\Channels\\0\\Name", "Lobby");
  }
  EXPECT_TRUE(DeleteServerRecords(db, "server_cfg Gone", true));
  EXPECT_FALSE(GetUser(db, "ann", "server_cfg Gone", false));
  EXPECT_FALSE(LoadStoredChannel(db, 0, "server_cfg Gone"));
  EXPECT_TRUE(GetUser(db, "ann", "server_cfg Kept", false));
  EXPECT_TRUE(LoadStoredChannel(db, 0, "server_cfg Kept"));
  EXPECT_FALSE(DeleteServerRecords(db, "server_cfg Gone", true)) << "nothing left to delete";
}
