#include <gtest/gtest.h>

#include "common/CommandCodes.h"
#include "support/ServerParts.h"

namespace {

// Channel rights are granted per family: an operator of one family may not
// reach another family's channels or players, nor a server administrator
// anywhere; a server administrator reaches everything.
TEST(ModerationTest, AModeratorsReachStopsAtItsOwnFamily) {
  TServerParts s;
  const uint32_t home = s.Channel("Home", cfSubChannels);
  const uint32_t homeSub = s.Channel("Den", 0, home);
  const uint32_t away = s.Channel("Away");
  TClientObject& op = s.Player("op", homeSub, ChannelPrivileges::Operator);
  TClientObject& sibling = s.Player("sibling", home);
  TClientObject& stranger = s.Player("stranger", away);
  TClientObject& admin = s.Player("admin", home, 0, PlayerPrivileges::ServerAdmin);
  TClientObject& plain = s.Player("plain", home);

  EXPECT_TRUE(s.Moderation.MayModerateChannel(op, home));
  EXPECT_TRUE(s.Moderation.MayModerateChannel(op, homeSub));
  EXPECT_FALSE(s.Moderation.MayModerateChannel(op, away));
  EXPECT_TRUE(s.Moderation.MayModeratePlayer(op, sibling));
  EXPECT_FALSE(s.Moderation.MayModeratePlayer(op, stranger));
  EXPECT_FALSE(s.Moderation.MayModeratePlayer(op, admin));
  EXPECT_FALSE(s.Moderation.MayModerateChannel(plain, home)) << "no rights, no reach, even at home";
  EXPECT_TRUE(s.Moderation.MayModerateChannel(admin, away));
  EXPECT_TRUE(s.Moderation.MayModeratePlayer(admin, stranger));

  // The refusals, in the order the clients expect: missing first.
  int32_t refusal = 0;
  EXPECT_EQ(s.Moderation.ModeratedChannel(op, home, refusal), s.Channels.FindByID(home));
  EXPECT_EQ(refusal, 0);
  EXPECT_EQ(s.Moderation.ModeratedChannel(op, away, refusal), nullptr);
  EXPECT_EQ(refusal, rc::NeedModerator);
  EXPECT_EQ(s.Moderation.ModeratedChannel(op, 999, refusal), nullptr);
  EXPECT_EQ(refusal, rc::NoChannel);
  EXPECT_EQ(s.Moderation.ModeratedPlayer(op, sibling.PlayerID, refusal), &sibling);
  EXPECT_EQ(s.Moderation.ModeratedPlayer(op, stranger.PlayerID, refusal), nullptr);
  EXPECT_EQ(refusal, rc::NeedModerator);
  EXPECT_EQ(s.Moderation.ModeratedPlayer(op, 999, refusal), nullptr);
  EXPECT_EQ(refusal, rc::NoPlayer);
}

TEST(ModerationTest, PlayersSeeTheirFamilyUnlessTheServerIsAClan) {
  TServerParts s;
  const uint32_t home = s.Channel("Home", cfSubChannels);
  TClientObject& a = s.Player("a", home);
  TClientObject& b = s.Player("b", s.Channel("Den", 0, home));
  TClientObject& c = s.Player("c", s.Channel("Away"));
  EXPECT_TRUE(s.Moderation.CanSee(a, b));
  EXPECT_FALSE(s.Moderation.CanSee(a, c));
  s.Settings.ServerType = stClan;
  EXPECT_TRUE(s.Moderation.CanSee(a, c));
}

}  // namespace
