#include <gtest/gtest.h>

#include <algorithm>

#include "common/CommandCodes.h"
#include "common/WireFormat.h"
#include "support/ServerParts.h"

namespace {

// The PlayerLeft about the kicked player reaches exactly those who see it,
// the target's own copy closing its connection; a second kick of a player
// on its way out sends nothing.
TEST(ChannelMovesTest, AKickTellsExactlyTheViewersAndClosesTheTarget) {
  TServerParts s;
  const uint32_t home = s.Channel("Home", cfSubChannels);
  TClientObject& target = s.Player("target", home);
  TClientObject& viewer = s.Player("viewer", s.Channel("Den", 0, home));
  TClientObject& outsider = s.Player("outsider", s.Channel("Away"));

  s.Moves.KickPlayer(target, "bye", 7);
  auto got = s.Drain();
  EXPECT_EQ(got.count(outsider.PlayerID), 0u);
  for (const TClientObject* p : {&target, &viewer}) {
    ASSERT_EQ(TServerParts::Codes(got[p->PlayerID]), std::vector<uint16_t>{cmd::PlayerLeft}) << p->NickName.Text();
    const uint8_t* d = got[p->PlayerID][0]->Memory();
    EXPECT_EQ(wire::GetU32(d + 24), target.PlayerID);
    EXPECT_EQ(wire::GetU16(d + 28), cmd::LeftKicked);
    EXPECT_EQ(wire::GetU32(d + 30), 7u);
    EXPECT_EQ(wire::GetStr(d + 34, wire::kStr29), "bye");
  }
  EXPECT_GE(s.StateOf(target.PlayerID), csDraining);
  EXPECT_LT(s.StateOf(viewer.PlayerID), csDraining);
  EXPECT_TRUE(target.LeaveAnnounced);

  s.Moves.KickPlayer(target, "again", 7);
  EXPECT_TRUE(s.Drain().empty());
}

// A switch out of a temporary family that leaves it empty removes the
// family, sub-channels first or not, and everyone hears of each channel;
// an emptied registered channel stays.
TEST(ChannelMovesTest, ASwitchClearsAnEmptiedTemporaryFamily) {
  TServerParts s;
  const uint32_t temp = s.Channel("Temp", cfUnregistered | cfSubChannels);
  const uint32_t tempSub = s.Channel("TempSub", cfUnregistered, temp);
  const uint32_t kept = s.Channel("Kept");
  TClientObject& mover = s.Player("mover", tempSub, ChannelPrivileges::Operator);
  TClientObject& other = s.Player("other", 0);

  s.Moves.SwitchPlayer(mover, 999);  // no such channel: nothing happens
  EXPECT_EQ(mover.ChannelID, tempSub);
  EXPECT_TRUE(s.Drain().empty());

  s.Moves.SwitchPlayer(mover, kept);
  EXPECT_EQ(mover.ChannelID, kept);
  EXPECT_EQ(mover.ChannelPrivileges, 0) << "rights follow the family";
  EXPECT_EQ(s.Channels.FindByID(temp), nullptr);
  EXPECT_EQ(s.Channels.FindByID(tempSub), nullptr);
  auto got = s.Drain();
  for (const TClientObject* p : {&mover, &other}) {
    std::vector<uint32_t> deleted;
    for (const auto& packet : got[p->PlayerID]) {
      if (packet->CommandHeader().Command() != cmd::ChannelDeleted) continue;
      deleted.push_back(wire::GetU16(packet->Memory() + 24));
      EXPECT_EQ(wire::GetU32(packet->Memory() + 26), mover.PlayerID);
    }
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(deleted, (std::vector<uint32_t>{temp, tempSub})) << p->NickName.Text();
  }

  // Out of a registered channel: it stays, though empty.
  s.Moves.SwitchPlayer(mover, 0);
  EXPECT_NE(s.Channels.FindByID(kept), nullptr);
}

}  // namespace
