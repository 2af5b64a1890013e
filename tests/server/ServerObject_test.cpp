// Virtual servers in-process: their settings in server.ini, start failures,
// the server list's lookups, restarts and stops, references that outlive a
// stop, and the channels stored at a stop and loaded at the next start.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/IniFile.h"
#include "database/ServerDatabase.h"
#include "database/StoredChannels.h"
#include "server/ServerList.h"
#include "support/HeldPort.h"
#include "support/LogCapture.h"
#include "support/ServerFixture.h"
#include "server/ServerInternals.h"

namespace {

bool Logged(TLogCapture& log, const std::string& message) {
  for (const std::string& m : log.Messages())
    if (m == message) return true;
  return false;
}

std::vector<std::string> ListedIds() {
  std::vector<std::string> ids;
  for (const auto& entry : GetServerList()->GetServerIDList()) ids.push_back(entry.first);
  return ids;
}

TEST(ServerObjectTest, NewSectionIsWrittenCompleteWithTheGivenPort) {
  TServerFixture f;
  const uint16_t port = PassedUDPPort();
  auto server = std::make_shared<TServerObject>();
  ASSERT_TRUE(server->Start(f.Environment, "server_cfg New", port, nullptr));
  EXPECT_EQ(server->BoundPort(), port);
  TIniFile ini(f.IniFile());
  EXPECT_EQ(ini.ReadSection("server_cfg New"),
            (std::vector<std::string>{"ServerName", "ServerType", "ServerWelcomeMessage", "ServerMaxUsers",
                                      "ServerUDPPort", "ServerPassword", "ServerFlags", "AllowCodecCelp51",
                                      "AllowCodecCelp63", "AllowCodecGSM148", "AllowCodecGSM164",
                                      "AllowCodecWindowsCELP52", "WebPost_LinkURL"}));
  EXPECT_EQ(ini.ReadInteger("server_cfg New", "ServerUDPPort", 0), port);
  EXPECT_EQ(ini.ReadString("server_cfg New", "ServerName", ""), "Parleon Server");
  EXPECT_EQ(ini.ReadInteger("server_cfg New", "ServerType", 0), 1);
  EXPECT_EQ(server->ServerType, 5);
  EXPECT_EQ(server->ShortID, "server_cfg New");
  EXPECT_EQ(server->NextPlayerID, 1u);
  EXPECT_EQ(server->ModeAllowed, false);
  EXPECT_EQ(server->VersionBuild, 25);
  GetServerList()->StopServer("server_cfg New");
  EXPECT_FALSE(server->Running());
}

TEST(ServerObjectTest, PortInTheFileWinsAndTypeBitsAreAdjustedInMemoryOnly) {
  TServerFixture f;
  const std::pair<int32_t, uint16_t> types[] = {{2, 6}, {9, 5}, {70000, 4468}};
  for (const auto& [inFile, inMemory] : types) {
    const uint16_t port = PassedUDPPort();
    TIniFile ini(f.IniFile());
    ini.WriteInteger("server_cfg T", "ServerUDPPort", port);
    ini.WriteInteger("server_cfg T", "ServerType", inFile);
    auto server = std::make_shared<TServerObject>();
    ASSERT_TRUE(server->Start(f.Environment, "server_cfg T", 1, nullptr));
    EXPECT_EQ(server->BoundPort(), port);
    EXPECT_EQ(server->ServerType, inMemory) << inFile;
    EXPECT_EQ(ini.ReadInteger("server_cfg T", "ServerType", 0), inFile & 0xFFFF) << inFile;
    GetServerList()->StopServer("server_cfg T");
  }
}

TEST(ServerObjectTest, DefaultCodecIsTheLastAllowedInItsOrder) {
  struct TCase {
    bool Celp51, Celp63, GSM148, GSM164, WCelp52;
    uint32_t Codec;
  };
  const TCase cases[] = {{true, false, true, false, false, 2},
                         {true, false, false, false, true, 4},
                         {false, false, false, false, false, 0},
                         {true, true, true, true, true, 3}};
  for (const TCase& c : cases) {
    TServerFixture f;
    f.Settings.AllowCodecCelp51 = c.Celp51;
    f.Settings.AllowCodecCelp63 = c.Celp63;
    f.Settings.AllowCodecGSM148 = c.GSM148;
    f.Settings.AllowCodecGSM164 = c.GSM164;
    f.Settings.AllowCodecWindowsCELP52 = c.WCelp52;
    ASSERT_TRUE(f.Start());
    // A fresh database: the default channel is made with the default codec.
    f.WithChannels([&](TChannels& channels) {
      EXPECT_EQ(channels.DefaultCodec, c.Codec);
      EXPECT_EQ(channels.Records().at(0)->Codec, c.Codec);
    });
  }
}

TEST(ServerObjectTest, SecondServerOnAPortInUseStaysDown) {
  TLogCapture log;
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  TServerSettings same;
  same.ServerUDPPort = f.Port();
  f.WriteSettings("server_cfg Two", same);
  auto second = std::make_shared<TServerObject>();
  EXPECT_FALSE(second->Start(f.Environment, "server_cfg Two", -1, nullptr));
  EXPECT_TRUE(Logged(log, "can not initialise udp communication with port " + std::to_string(f.Port()) +
                              ": bind: Address already in use"));
  EXPECT_EQ(second->StartFault(), "udp port " + std::to_string(f.Port()) + ": bind: Address already in use");
  EXPECT_FALSE(second->Running());
  EXPECT_EQ(TServerInternals::PacketBuffer(*second), nullptr);
  EXPECT_EQ(TServerInternals::ClientList(*second), nullptr);
  EXPECT_EQ(GetServerList()->FindServerByID("server_cfg Two"), nullptr);
  EXPECT_EQ(ListedIds(), std::vector<std::string>{TServerFixture::kDefaultID});
  EXPECT_TRUE(f.Connect("still served"));

  // The same id twice: refused, the running one untouched.
  auto twin = std::make_shared<TServerObject>();
  EXPECT_FALSE(twin->Start(f.Environment, TServerFixture::kDefaultID, -1, nullptr));
  EXPECT_TRUE(Logged(log, "unable to register server"));
  EXPECT_EQ(GetServerList()->FindServerByID(TServerFixture::kDefaultID), f.Server);
  EXPECT_TRUE(f.Server->Running());
  EXPECT_EQ(f.Server->CurrentUsers(), 1);
}

TEST(ServerObjectTest, RestartReadsThePortAgainAndRestartsTheUptime) {
  TManualClock clock;
  TServerFixture f;
  f.Clock = &clock;
  const uint16_t first = PassedUDPPort();
  f.Settings.ServerUDPPort = first;
  ASSERT_TRUE(f.Start());
  EXPECT_EQ(GetServerList()->FindServerByPort(first), f.Server);
  clock.AdvanceMs(10000);
  EXPECT_EQ(f.Server->UptimeSeconds(), 10u);

  const uint16_t second = PassedUDPPort();
  TIniFile(f.IniFile()).WriteInteger(TServerFixture::kDefaultID, "ServerUDPPort", second);
  GetServerList()->RestartServer(TServerFixture::kDefaultID);
  ASSERT_TRUE(f.Server->Running());
  EXPECT_EQ(f.Server->BoundPort(), second);
  EXPECT_EQ(f.Server->UptimeSeconds(), 0u);
  EXPECT_EQ(GetServerList()->FindServerByPort(first), nullptr);
  EXPECT_EQ(GetServerList()->FindServerByPort(second), f.Server);
  EXPECT_TRUE(f.Connect("after restart"));

  GetServerList()->RestartServer("server_cfg Missing");  // not running: nothing happens
  EXPECT_EQ(f.Server->CurrentUsers(), 1);
}

TEST(ServerObjectTest, ListFindsByExactIdAndRestartsAndStopsLastToFirst) {
  TServerFixture f;
  for (const char* id : {"server_cfg A", "server_cfg B", "server_cfg C"}) {
    f.WriteSettings(id, f.Settings);
    ASSERT_TRUE(std::make_shared<TServerObject>()->Start(f.Environment, id, -1, nullptr));
  }
  TServerListObject& list = *GetServerList();
  EXPECT_EQ(list.FindServerByID("server_cfg a"), nullptr);
  const TServerRef b = list.FindServerByID("server_cfg B");
  ASSERT_NE(b, nullptr);
  list.RestartServer("");
  EXPECT_EQ(ListedIds(), (std::vector<std::string>{"server_cfg C", "server_cfg B", "server_cfg A"}));
  list.StopServer("server_cfg B");
  EXPECT_EQ(ListedIds(), (std::vector<std::string>{"server_cfg C", "server_cfg A"}));
  // A reference kept across the stop finds a stopped server, not freed memory.
  EXPECT_FALSE(b->Running());
  EXPECT_EQ(b->CurrentUsers(), 0);
  EXPECT_EQ(b->CurrentChannels(), 0);
  list.StopServer("");
  EXPECT_EQ(list.Count(), 0u);
}

// Readers on other threads hold references while servers restart under
// them; run under the thread sanitizer this shows the hand-over is clean.
TEST(ServerObjectTest, FiguresCanBeReadWhileTheServerRestarts) {
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done) {
      if (TServerRef s = GetServerList()->FindServerByID(TServerFixture::kDefaultID)) {
        EXPECT_LE(s->CurrentUsers(), 1);
        EXPECT_LE(s->CurrentChannels(), 1);
        EXPECT_LE(s->UptimeSeconds(), 60u);
        ++reads;
      }
    }
  });
  for (int i = 0; i < 5; ++i) GetServerList()->RestartServer(TServerFixture::kDefaultID);
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_TRUE(f.Server->Running());
}

TEST(ServerObjectTest, RegisteredChannelsAreStoredAtStopAndComeBackAsTheSameTree) {
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  f.WithChannels([](TChannels& c) {
    ASSERT_EQ(c.AddChannel(TestChannel("beta")), 1);
    ASSERT_EQ(c.AddChannel(TestChannel("Alpha", cfSubChannels)), 2);
    ASSERT_EQ(c.AddChannel(TestChannel("zed", 0, 2)), 3);
    ASSERT_EQ(c.AddChannel(TestChannel("Ann", cfUnregistered, 2)), 4);  // registered parent: registered
    ASSERT_EQ(c.AddChannel(TestChannel("temp", cfUnregistered | cfSubChannels)), 5);
    ASSERT_EQ(c.AddChannel(TestChannel("tempsub", cfUnregistered, 5)), 6);
    c.SetUserRights(3, "reg", 24);
  });
  f.Stop();

  // Top-level channels by name, each followed by its sub-channels by name;
  // the temporary family is gone.
  struct TStored {
    std::string Name;
    int32_t Parent;
  };
  const std::vector<TStored> expected = {{"Alpha", -1}, {"Ann", 0}, {"zed", 0}, {"beta", -1}, {"Default", -1}};
  {
    TFreeBase::TLock db = LockServerDatabase();
    ASSERT_TRUE(db);
    for (size_t i = 0; i < expected.size(); ++i) {
      const std::string path = "\\Servers\\server_cfg Default\\Channels\\" + std::to_string(i);
      EXPECT_EQ(db->ReadString(path + "\\Name", ""), expected[i].Name) << i;
      EXPECT_EQ(db->ReadInteger(path + "\\Parent", 99), expected[i].Parent) << i;
    }
    EXPECT_EQ(LoadStoredChannel(*db, static_cast<int>(expected.size()), TServerFixture::kDefaultID), nullptr);
    EXPECT_EQ(db->ReadString("\\Servers\\server_cfg Default\\Channels\\0\\_UserAttribs_\\0", ""), "reg=24");
  }

  ASSERT_TRUE(f.Start());
  auto client = f.Connect("looker");
  ASSERT_TRUE(client);
  ASSERT_EQ(client->Channels.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(client->Channels[i].ID, i);
    EXPECT_EQ(client->Channels[i].Name, expected[i].Name);
    EXPECT_EQ(client->Channels[i].Parent, expected[i].Parent < 0 ? kNoParent : uint32_t(expected[i].Parent));
  }
  EXPECT_EQ(client->Channels[2].Topic, "zed topic");
  EXPECT_EQ(client->Channels[2].Order, 7);
  EXPECT_EQ(client->Channels[2].MaxUsers, 100);
  EXPECT_EQ(client->Channels[4].Flags, cfDefaultChannel);
  EXPECT_EQ(client->Players.at(0).ChannelID, 4u) << "players arrive in the default channel";
  f.WithChannels([](TChannels& c) { EXPECT_EQ(c.GetUserRights(2, "REG"), 24); });
}

}  // namespace
