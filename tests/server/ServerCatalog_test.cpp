#include "server/ServerCatalog.h"

#include <gtest/gtest.h>

#include "common/IniFile.h"
#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "database/MemoryStorage.h"
#include "database/ServerRecords.h"
#include "database/StoredChannels.h"
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
