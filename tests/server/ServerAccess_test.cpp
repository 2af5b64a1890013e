// The administration's door into a running server over real UDP: kicks and
// moves reach the players as the voice commands' notices do, texts reach
// exactly their recipients, and the copied view lists players and channels.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/CommandCodes.h"
#include "server/ServerAccess.h"
#include "support/CommandKit.h"
#include "support/LogCapture.h"

using namespace kit;

namespace {

class ServerAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.Settings.ServerType = stClan;
    f.Settings.ServerMaxUsers = 20;
    ASSERT_TRUE(f.Start());
    AddChannels(f);
  }
  bool Logged(const std::string& text) {
    const auto lines = log.Messages();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
  }

  TLogCapture log;
  TServerFixture f;
};

TEST_F(ServerAccessTest, KickTellsEveryoneWithTheServerAsCauserAndRemovesThePlayer) {
  auto victim = Join(f, "victim", {.Channel = "Lobby"});
  auto watcher = Join(f, "watcher");
  ASSERT_TRUE(victim && watcher);
  const TServerAccess access(f.Server);
  EXPECT_FALSE(access.Kick(999, "x"));
  ASSERT_TRUE(access.Kick(victim->PlayerID, "behave"));
  for (TVoiceClient* c : {victim.get(), watcher.get()}) {
    const auto left = c->WaitCommand(cmd::PlayerLeft);
    ASSERT_TRUE(left.has_value());
    EXPECT_EQ(left->U32(24), victim->PlayerID);
    EXPECT_EQ(left->U16(28), cmd::LeftKicked);
    EXPECT_EQ(left->U32(30), 0u);
    EXPECT_EQ(left->Str(34, 29), "behave");
  }
  EXPECT_TRUE(TServerFixture::WaitFor([&] { return f.Server->CurrentUsers() == 1; }));
  EXPECT_FALSE(access.Kick(victim->PlayerID, "again"));
  EXPECT_TRUE(Logged("kicked player " + std::to_string(victim->PlayerID)));
}

TEST_F(ServerAccessTest, MoveSwitchesThePlayerWithItsNoticesAndRefusesUnknownTargets) {
  auto mover = Join(f, "mover");
  auto watcher = Join(f, "watcher");
  ASSERT_TRUE(mover && watcher);
  const TServerAccess access(f.Server);
  EXPECT_FALSE(access.Move(mover->PlayerID, 77));
  EXPECT_FALSE(access.Move(999, kLobby));
  // The checks of a switch do not apply: a full or locked channel takes it too.
  WithPlayer(f, watcher->PlayerID, [](TClientObject&, TChannels& channels) { channels.FindByID(kFar)->MaxUsers = 0; });
  ASSERT_TRUE(access.Move(mover->PlayerID, kFar));
  for (TVoiceClient* c : {mover.get(), watcher.get()}) {
    const auto switched = c->WaitCommand(cmd::PlayerSwitchedChannel);
    ASSERT_TRUE(switched.has_value());
    EXPECT_EQ(switched->U32(24), mover->PlayerID);
    EXPECT_EQ(switched->U32(28), kDefault);
    EXPECT_EQ(switched->U32(32), kFar);
  }
  EXPECT_EQ(PlayerRecord(f, mover->PlayerID).ChannelID, kFar);
  EXPECT_TRUE(Logged("moved player " + std::to_string(mover->PlayerID)));
}

TEST_F(ServerAccessTest, TextsReachTheirRecipientsAndTheViewListsPlayersAndChannels) {
  auto lobby = Join(f, "in lobby", {.Channel = "Lobby"});
  auto far = Join(f, "far away", {.Channel = "Far"});
  ASSERT_TRUE(lobby && far);
  const TServerAccess access(f.Server);
  EXPECT_FALSE(access.SendText({TTextTarget::Channel, 77}, "nowhere"));
  EXPECT_FALSE(access.SendText({TTextTarget::Player, 999}, "nobody"));
  ASSERT_TRUE(access.SendText({TTextTarget::Channel, kLobby}, "lobby only"));
  ASSERT_TRUE(access.SendText({TTextTarget::Player, far->PlayerID}, "just you"));
  ASSERT_TRUE(access.SendText({TTextTarget::Server}, "everyone"));
  for (const auto& [client, first] : {std::pair{lobby.get(), "lobby only"}, std::pair{far.get(), "just you"}}) {
    for (const std::string text : {first, "everyone"}) {
      const auto message = client->WaitCommand(cmd::TextMessageOut);
      ASSERT_TRUE(message.has_value());
      EXPECT_EQ(message->Size(), 314u);
      EXPECT_EQ(message->Str(24, 255), text);
      EXPECT_EQ(message->U32(280), 255u);
      EXPECT_EQ(message->Str(284, 29), "SERVER");
    }
    EXPECT_FALSE(client->Receives(cmd::TextMessageOut, 100));
  }

  const TServerSnapshot view = access.Snapshot(TSnapshotParts::PlayerViews | TSnapshotParts::ChannelViews);
  ASSERT_TRUE(view.Running);
  EXPECT_EQ(view.Figures.CurrentUsers, 2);
  ASSERT_EQ(view.PlayerViews.size(), 2u);
  EXPECT_EQ(view.PlayerViews[1].NickName, "far away");
  EXPECT_EQ(view.PlayerViews[1].ChannelID, kFar);
  EXPECT_EQ(view.PlayerViews[1].Address, "0.0.0.0") << "addresses only when asked for";
  const TServerSnapshot withAddresses = access.Snapshot(TSnapshotParts::PlayerViews | TSnapshotParts::Addresses);
  EXPECT_EQ(withAddresses.PlayerViews[1].Address, "127.0.0.1");
  const auto sub = std::find_if(view.ChannelViews.begin(), view.ChannelViews.end(),
                                [](const TChannelView& c) { return c.ID == kSub; });
  ASSERT_NE(sub, view.ChannelViews.end());
  EXPECT_EQ(sub->Parent, kLobby);
  EXPECT_TRUE(access.Running());
  EXPECT_EQ(access.RunningPort(), f.Settings.ServerUDPPort);
  f.Stop();
  EXPECT_FALSE(access.Snapshot().Running);
  EXPECT_FALSE(access.Kick(lobby->PlayerID, "x"));
  EXPECT_FALSE(access.Running());
  EXPECT_EQ(access.RunningPort(), std::nullopt);
  EXPECT_EQ(access.RunningID(), "");
}

}  // namespace
