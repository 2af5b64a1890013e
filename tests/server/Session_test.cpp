// A voice session over real UDP on loopback, through our client library:
// Enter with its start channel, the lists, the announcements of players
// joining and leaving (logout, silence, server stop), and input the
// listener must ignore.
#include <gtest/gtest.h>

#include <thread>

#include "common/CommandCodes.h"
#include "support/ServerFixture.h"
#include "server/ServerInternals.h"

namespace {

std::vector<uint32_t> ListCounts(const TVoiceClient& client, uint16_t code) {
  std::vector<uint32_t> counts;
  for (const auto& d : client.Commands)
    if (d.Code() == code) counts.push_back(d.U32(24));
  return counts;
}

std::vector<uint32_t> PlayerIds(const TVoiceClient& client) {
  std::vector<uint32_t> ids;
  for (const auto& p : client.Players) ids.push_back(p.PlayerID);
  return ids;
}

TEST(SessionTest, ListsComeInBatchesOfThreeChannelsAndTenPlayers) {
  TServerFixture f;
  f.Settings.ServerMaxUsers = 20;
  ASSERT_TRUE(f.Start());
  f.WithChannels([](TChannels& channels) {
    const auto lobby = channels.AddChannel(TestChannel("Lobby", cfSubChannels));
    ASSERT_GE(lobby, 0);
    for (const char* name : {"One", "Two", "Three"})
      ASSERT_GE(channels.AddChannel(TestChannel(name, 0, static_cast<uint32_t>(lobby))), 0);
    ASSERT_GE(channels.AddChannel(TestChannel("Far")), 0);
    ASSERT_GE(channels.AddChannel(TestChannel("Farther")), 0);
  });
  std::vector<std::unique_ptr<TVoiceClient>> players;
  for (int i = 0; i < 12; ++i) {
    players.push_back(f.Connect("p" + std::to_string(i)));
    ASSERT_TRUE(players.back());
  }
  const TVoiceClient& last = *players.back();
  EXPECT_EQ(ListCounts(last, cmd::ChannelList), (std::vector<uint32_t>{3, 3, 1}));
  EXPECT_EQ(ListCounts(last, cmd::PlayerList), (std::vector<uint32_t>{10, 2}));
  std::vector<std::string> names;
  for (const auto& c : last.Channels) names.push_back(c.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Default", "Lobby", "One", "Two", "Three", "Far", "Farther"}));
  const TChannelEntry& two = last.Channels[3];
  EXPECT_EQ(two.ID, 3u);
  EXPECT_EQ(two.Parent, 1u);
  EXPECT_EQ(two.Topic, "Two topic");
  EXPECT_EQ(two.Description, "Two description");
  EXPECT_EQ(two.MaxUsers, 100);
  EXPECT_EQ(last.Channels[0].Flags, cfDefaultChannel);
  EXPECT_EQ(last.Channels[0].Parent, kNoParent);
  // Everyone is listed in login order, with the record as the server keeps it.
  EXPECT_EQ(PlayerIds(last), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(last.Players[11].NickName, "p11");
  EXPECT_EQ(last.Players[11].ChannelID, 0u);
}

class AnnouncementTest : public ::testing::TestWithParam<uint16_t> {};

// A public server shows each player its own channel family only; a clan
// server shows everyone to everyone.
TEST_P(AnnouncementTest, NewcomerIsAnnouncedToThoseWhoCanSeeIt) {
  const bool clan = GetParam() & stClan;
  TServerFixture f;
  f.Settings.ServerType = GetParam();
  ASSERT_TRUE(f.Start());
  f.WithChannels([](TChannels& channels) {
    ASSERT_EQ(channels.AddChannel(TestChannel("Lobby", cfSubChannels)), 1);
    ASSERT_EQ(channels.AddChannel(TestChannel("Sub", 0, 1)), 2);
    ASSERT_EQ(channels.AddChannel(TestChannel("Far")), 3);
  });
  auto a = f.NewClient();
  auto b = f.NewClient();
  auto c = f.NewClient();
  TLoginRequest r;
  r.NickName = "a";
  ASSERT_EQ(a->Login(r).Result, rc::LoginOk);
  ASSERT_TRUE(a->Enter("lobby"));  // names match without regard to case
  r.NickName = "b";
  ASSERT_EQ(b->Login(r).Result, rc::LoginOk);
  ASSERT_TRUE(b->Enter("Far"));
  EXPECT_EQ(a->WaitCommand(cmd::PlayerJoined, clan ? 3000 : 300).has_value(), clan) << "b seen by a";
  r.NickName = "c";
  ASSERT_EQ(c->Login(r).Result, rc::LoginOk);
  ASSERT_TRUE(c->Enter("Lobby", "Sub"));

  const auto joined = a->WaitCommand(cmd::PlayerJoined);
  ASSERT_TRUE(joined.has_value());
  EXPECT_EQ(joined->Size(), 70u);
  const TPlayerEntry record = TPlayerEntry::Read(*joined, 24);
  EXPECT_EQ(record.PlayerID, c->PlayerID);
  EXPECT_EQ(record.ChannelID, 2u);
  EXPECT_EQ(record.NickName, "c");
  EXPECT_EQ(b->Receives(cmd::PlayerJoined, 300), clan);
  EXPECT_FALSE(c->Receives(cmd::PlayerJoined, 0)) << "nobody is told of itself";
  if (clan) EXPECT_EQ(PlayerIds(*c), (std::vector<uint32_t>{1, 2, 3}));
  else EXPECT_EQ(PlayerIds(*c), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(c->Players.back().ChannelID, 2u);
}

INSTANTIATE_TEST_SUITE_P(ServerTypes, AnnouncementTest, ::testing::Values(uint16_t{stClan}, uint16_t{stPublic}));

TEST(SessionTest, StartChannelNeedsItsPasswordAndRoomElseTheDefaultChannel) {
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  f.WithChannels([](TChannels& channels) {
    TChannelRecord locked = TestChannel("Locked", cfSubChannels);
    locked.Password = "pw";
    ASSERT_EQ(channels.AddChannel(locked), 1);
    ASSERT_EQ(channels.AddChannel(TestChannel("Inner", 0, 1)), 2);
    TChannelRecord tiny = TestChannel("Tiny");
    tiny.MaxUsers = 1;
    ASSERT_EQ(channels.AddChannel(tiny), 3);
  });
  struct TCase {
    std::string Channel, Sub, Password;
    uint32_t Expected;
  };
  const TCase cases[] = {
      {"Locked", "", "", 0},        {"Locked", "", "PW", 0},     {"Locked", "", "pw", 1},
      {"Locked", "Inner", "", 0},   {"Locked", "Inner", "pw", 2}, {"Missing", "", "", 0},
      {"Locked", "Missing", "pw", 0}, {"Tiny", "", "", 3},        {"Tiny", "", "", 0},
  };
  std::vector<std::unique_ptr<TVoiceClient>> clients;
  for (const TCase& t : cases) {
    clients.push_back(f.NewClient());
    TLoginRequest r;
    r.NickName = "n" + std::to_string(clients.size());
    ASSERT_EQ(clients.back()->Login(r).Result, rc::LoginOk);
    ASSERT_TRUE(clients.back()->Enter(t.Channel, t.Sub, t.Password));
    EXPECT_EQ(clients.back()->Players.back().ChannelID, t.Expected) << t.Channel << "/" << t.Sub << " " << t.Password;
  }
}

TEST(SessionTest, LogoutIsAnnouncedOnceWithReasonOne) {
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  auto a = f.Connect("a");
  auto b = f.Connect("b");
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->SendCommand(cmd::Logout, {}));
  for (TVoiceClient* c : {a.get(), b.get()}) {
    const auto left = c->WaitCommand(cmd::PlayerLeft);
    ASSERT_TRUE(left.has_value());
    EXPECT_EQ(left->Size(), 64u);
    EXPECT_EQ(left->U32(24), a->PlayerID);
    EXPECT_EQ(left->U16(28), cmd::LeftLogout);
    EXPECT_EQ(left->U32(30), 0u);
    EXPECT_EQ(left->Str(34, 29), "");
  }
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return f.Server->CurrentUsers() == 1; }));
  EXPECT_EQ(TServerInternals::PacketBuffer(*f.Server)->ConnectionCount(), 1);
  // The connection is gone: a second logout reaches nobody and says nothing.
  EXPECT_FALSE(a->SendCommand(cmd::Logout, {}, 300));
  EXPECT_FALSE(b->Receives(cmd::PlayerLeft, 200));
}

TEST(SessionTest, FifteenSecondsOfSilenceTimeOutWithReasonThree) {
  TManualClock clock;
  TServerFixture f;
  f.Clock = &clock;
  ASSERT_TRUE(f.Start());
  auto a = f.Connect("a");
  auto b = f.Connect("b");
  ASSERT_TRUE(a && b);
  // The last acknowledgements of both must have arrived before time moves.
  auto connected = [&](uint32_t id) {
    uint8_t state = csLogin;
    TServerInternals::PacketBuffer(*f.Server)->InspectConnection(id,
                                                                 [&](const TSingleConnection& c) { state = c.State; });
    return state == csConnected;
  };
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return connected(a->PlayerID) && connected(b->PlayerID); }));
  clock.AdvanceMs(14999);
  ASSERT_TRUE(a->SendCommand(999, {}));  // heard from: a's silence starts again
  clock.AdvanceMs(1);
  // b's command wakes the listener, which finds b silent for 15 s.
  ASSERT_TRUE(a->SendCommand(999, {}));
  const auto left = a->WaitCommand(cmd::PlayerLeft);
  ASSERT_TRUE(left.has_value());
  EXPECT_EQ(left->U32(24), b->PlayerID);
  EXPECT_EQ(left->U16(28), cmd::LeftTimedOut);
  EXPECT_EQ(f.Server->CurrentUsers(), 1);
  EXPECT_EQ(TServerInternals::PacketBuffer(*f.Server)->ConnectionCount(), 1);
}

TEST(SessionTest, StoppingServerSaysGoodbyeWithReasonFour) {
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  std::vector<std::unique_ptr<TVoiceClient>> players;
  for (const char* nick : {"a", "b", "c"}) {
    players.push_back(f.Connect(nick));
    ASSERT_TRUE(players.back());
  }
  std::thread stopper([&] { f.Stop(); });
  for (auto& p : players) {
    const auto left = p->WaitCommand(cmd::PlayerLeft);
    ASSERT_TRUE(left.has_value());
    EXPECT_EQ(left->U32(24), p->PlayerID) << "each is told of itself only";
    EXPECT_EQ(left->U16(28), cmd::LeftServerStops);
  }
  stopper.join();
  for (auto& p : players) EXPECT_FALSE(p->Receives(cmd::PlayerLeft, 0));
  EXPECT_FALSE(f.Server->Running());
  EXPECT_EQ(TServerInternals::PacketBuffer(*f.Server), nullptr);
  EXPECT_EQ(TServerInternals::ClientList(*f.Server), nullptr);
  EXPECT_EQ(TServerInternals::Channels(*f.Server), nullptr);
  EXPECT_EQ(TServerInternals::UDPServer(*f.Server), nullptr);
  EXPECT_EQ(f.Server->CurrentUsers(), 0);
}

TEST(SessionTest, MalformedAndUntimelyInputIsIgnored) {
  TManualClock clock;  // no time-out interferes
  TServerFixture f;
  f.Clock = &clock;
  f.Settings.ServerPassword = "secret";
  ASSERT_TRUE(f.Start());
  auto client = f.NewClient();
  client->SendRaw({0x01, 0x02, 0x03});
  client->SendRaw(std::vector<uint8_t>(600, 0xF0));
  TLoginRequest r;
  r.NickName = "me";
  r.Password = "secret";
  ASSERT_EQ(client->Login(r).Result, rc::LoginOk);
  // A short Enter and a command the table does not know change nothing.
  client->QueueCommand(cmd::Enter, std::vector<uint8_t>(50, 0));
  ASSERT_TRUE(client->SendCommand(999, {}));
  EXPECT_FALSE(client->Receives(cmd::ListsEnd, 200));
  EXPECT_TRUE(client->Commands.empty());
  ASSERT_TRUE(client->Enter());
  EXPECT_EQ(client->Players.size(), 1u);

  // Enter from a refused login's connection ends that connection at once.
  auto refused = f.NewClient();
  r.NickName = "x";
  r.Password = "wrong";
  const TLoginReply reply = refused->Login(r);
  ASSERT_EQ(reply.Result, rc::BadPasswordOrNick);
  EXPECT_EQ(TServerInternals::PacketBuffer(*f.Server)->ConnectionCount(), 2);
  refused->PlayerID = reply.PlayerID;
  refused->SessionKey = reply.SessionKey;
  refused->Enter("", "", "", false, 300);
  EXPECT_TRUE(
      TServerFixture::WaitFor([&] { return TServerInternals::PacketBuffer(*f.Server)->ConnectionCount() == 1; }));
  EXPECT_EQ(f.Server->CurrentUsers(), 1);
  // A second Enter from an entered player is not answered again.
  client->Commands.clear();
  EXPECT_FALSE(client->Enter("", "", "", false, 300));
}

}  // namespace
