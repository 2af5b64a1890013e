// Bans in the database: who an address prefix, a name and a nickname keep
// out, what the file keeps of them and that ids are never handed out twice,
// and that the server's channels and removal are unaffected by them.
#include <gtest/gtest.h>

#include "database/Bans.h"
#include "database/FreeBase.h"
#include "database/MemoryStorage.h"
#include "database/ServerRecords.h"
#include "database/StoredChannels.h"
#include "support/StoredDatabase.h"

namespace {

constexpr const char* kServer = "server_cfg Default";

TBan Ban(TBanKind kind, std::string value, std::string reason = "", std::string setBy = "") {
  TBan ban;
  ban.Kind = kind;
  ban.Value = std::move(value);
  ban.Reason = std::move(reason);
  ban.SetBy = std::move(setBy);
  return ban;
}

TEST(Bans, AddressesAndPrefixesAreReadStrictlyAndMatchTheirRange) {
  EXPECT_EQ(NormalBanAddress("203.0.113.77/24"), "203.0.113.0/24");
  EXPECT_EQ(NormalBanAddress("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(NormalBanAddress("10.1.2.3/32"), "10.1.2.3");
  EXPECT_EQ(NormalBanAddress("10.1.2.3/0"), "0.0.0.0/0");
  for (const char* bad : {"10.1.2", "10.1.2.3/33", "10.1.2.3/", "10.1.2.3/-1", "10.1.2.3/2x", "name", ""})
    EXPECT_FALSE(NormalBanAddress(bad)) << bad;

  const TBan range = Ban(TBanKind::Address, "203.0.113.0/24");
  EXPECT_TRUE(BanMatches(range, "203.0.113.255", "", "x"));
  EXPECT_FALSE(BanMatches(range, "203.0.114.0", "", "x"));
  EXPECT_FALSE(BanMatches(range, "not an address", "", "x"));
  EXPECT_TRUE(BanMatches(Ban(TBanKind::Address, "0.0.0.0/0"), "8.8.8.8", "", ""));

  const TBan name = Ban(TBanKind::Name, "Troll"), nick = Ban(TBanKind::Nick, "Troll");
  EXPECT_TRUE(BanMatches(name, "1.2.3.4", "TROLL", "someone"));
  EXPECT_FALSE(BanMatches(name, "1.2.3.4", "", "Troll")) << "a name ban is about accounts";
  EXPECT_TRUE(BanMatches(nick, "1.2.3.4", "", " troll "));
  EXPECT_FALSE(BanMatches(nick, "1.2.3.4", "troll", "trolls"));

  TBan lapsing = Ban(TBanKind::Nick, "x");
  lapsing.Expires = 100;
  EXPECT_FALSE(lapsing.Expired(99.9));
  EXPECT_TRUE(lapsing.Expired(100));
  EXPECT_FALSE(TBan{}.Expired(1e9)) << "no expiry";
}

TEST(Bans, StoredUnderTheServerBesideItsChannelsAndRemovedWithIt) {
  TMemoryStorage storage;
  TManualClock clock;
  TFreeBase db(storage, &clock);
  db.SetFileName("server.db");
  db.SetActive(true);
  SaveStoredChannels(db, kServer, {});
  db.WriteString("\\Servers\\server_cfg Default\\Channels\\0\\Name", "Lobby");

  TBan first = Ban(TBanKind::Address, "10.0.0.0/8", "scans", "admin");
  first.Expires = 46001.5;
  TBan second = Ban(TBanKind::Nick, "troll", "", "query");
  ASSERT_TRUE(StoreBan(db, kServer, first));
  ASSERT_TRUE(StoreBan(db, kServer, second));
  EXPECT_TRUE(DeleteBan(db, kServer, first.ID));
  EXPECT_FALSE(DeleteBan(db, kServer, first.ID));
  TBan third = Ban(TBanKind::Name, "x");
  ASSERT_TRUE(StoreBan(db, kServer, third));
  EXPECT_GT(third.ID, second.ID) << "an id is never handed out twice";
  EXPECT_TRUE(LoadBans(db, "server_cfg Other").empty());

  TStoredDatabase stored("server.db", storage);
  const std::vector<TBan> bans = LoadBans(stored.db, kServer);
  ASSERT_EQ(bans.size(), 2u);
  EXPECT_EQ(bans[0].Value, "troll");
  EXPECT_EQ(bans[0].SetBy, "query");
  EXPECT_EQ(bans[1].Kind, TBanKind::Name);
  // The channel loader walks the numbered channels only.
  auto lobby = LoadStoredChannel(stored.db, 0, kServer);
  ASSERT_TRUE(lobby);
  EXPECT_EQ(lobby->Name, "Lobby");
  EXPECT_FALSE(LoadStoredChannel(stored.db, 1, kServer));

  // A value that is no valid ban is skipped, never trusted.
  db.WriteInteger("\\Servers\\server_cfg Default\\Bans\\77\\Kind", 0);
  db.WriteString("\\Servers\\server_cfg Default\\Bans\\77\\Value", "999.1.1.1");
  EXPECT_EQ(LoadBans(db, kServer).size(), 2u);

  ASSERT_TRUE(DeleteServerRecords(db, kServer, false));
  EXPECT_TRUE(LoadBans(db, kServer).empty());
}

}  // namespace
