// SwitchChannel over real UDP through our client library: the join check
// with its refusals in order, the administrator's way past it, the player
// flag that survives only between related channels, rights recomputed for
// the new family, and who hears of the move on clan and public servers.
#include <gtest/gtest.h>

#include "common/CommandCodes.h"
#include "support/CommandKit.h"

namespace {

using kit::Codes;
using kit::Drain;
using kit::Refusal;

std::vector<uint16_t> C(std::initializer_list<uint16_t> codes) { return codes; }

class SwitchChannelTest : public ::testing::Test {
 protected:
  TServerFixture f;
  void Start(uint16_t type = stClan) {
    f.Settings.ServerType = type;
    f.Settings.ServerMaxUsers = 20;
    ASSERT_TRUE(f.Start());
  }
  int Switch(TVoiceClient& c, uint32_t channel, const std::string& password = "",
             std::vector<TClientDatagram>* others = nullptr, TClientDatagram* reply = nullptr) {
    return Refusal(c, cmd::SwitchChannel, kit::Switch(channel, password), others, reply);
  }
  uint32_t ChannelOf(const TVoiceClient& c) { return kit::PlayerRecord(f, c.PlayerID).ChannelID; }
};

void ExpectSwitched(const TClientDatagram& d, uint32_t player, uint32_t from, uint32_t to, uint16_t rights) {
  ASSERT_EQ(d.Code(), cmd::PlayerSwitchedChannel);
  EXPECT_EQ(d.Size(), 38u);
  EXPECT_EQ(d.U32(24), player);
  EXPECT_EQ(d.U32(28), from);
  EXPECT_EQ(d.U32(32), to);
  EXPECT_EQ(d.U16(36), rights);
}

TEST_F(SwitchChannelTest, OnAClanServerEveryoneHearsOfTheMoveAndChannelRightsAreDropped) {
  Start(stClan);
  const uint32_t lobby = kit::AddChannel(f, kit::Channel("Lobby"));
  const uint32_t far = kit::AddChannel(f, kit::Channel("Far"));
  auto a = kit::Join(f, "a");
  auto b = kit::Join(f, "b");
  auto c = kit::Join(f, "c", {.Channel = "Far"});
  ASSERT_TRUE(a && b && c);
  ASSERT_EQ(ChannelOf(*c), far);
  for (auto* x : {a.get(), b.get(), c.get()}) Drain(*x);
  // An anonymous player's rights last only until it switches channels.
  kit::WithPlayer(f, a->PlayerID, [](TClientObject& p, TChannels&) {
    p.ChannelPrivileges = ChannelPrivileges::ChannelAdmin;
  });

  std::vector<TClientDatagram> got;
  ASSERT_EQ(Switch(*a, lobby, "", &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::PlayerSwitchedChannel, cmd::PlayerFlagsChanged}));
  ExpectSwitched(got[0], a->PlayerID, 0, lobby, 0);
  EXPECT_EQ(got[1].Size(), 32u);
  EXPECT_EQ(got[1].U32(24), a->PlayerID);
  for (TVoiceClient* other : {b.get(), c.get()}) {
    const auto seen = Drain(*other);
    ASSERT_EQ(Codes(seen), C({cmd::PlayerSwitchedChannel, cmd::PlayerFlagsChanged})) << "player " << other->PlayerID;
    ExpectSwitched(seen[0], a->PlayerID, 0, lobby, 0);
  }
  const TClientObject moved = kit::PlayerRecord(f, a->PlayerID);
  EXPECT_EQ(moved.ChannelID, lobby);
  EXPECT_EQ(moved.ChannelPrivileges, 0);
}

// A public server shows each player its own family: those left behind lose
// sight of the mover, the new family gains it, and the mover learns whom it
// sees now (itself excepted).
TEST_F(SwitchChannelTest, OnAPublicServerTheOldChannelSeesALeaveAndTheNewFamilyAJoin) {
  Start(stPublic);
  const uint32_t far = kit::AddChannel(f, kit::Channel("Far"));
  auto a = kit::Join(f, "a");
  auto b = kit::Join(f, "b");
  auto c = kit::Join(f, "c", {.Channel = "Far"});
  auto d = kit::Join(f, "d", {.Channel = "Far"});
  ASSERT_TRUE(a && b && c && d);
  for (auto* x : {a.get(), b.get(), c.get(), d.get()}) Drain(*x);

  std::vector<TClientDatagram> got;
  ASSERT_EQ(Switch(*a, far, "", &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::PlayerSwitchedChannel, cmd::PlayersInView, cmd::PlayerFlagsChanged}));
  ExpectSwitched(got[0], a->PlayerID, 0, far, 0);
  const TClientDatagram& inView = got[1];
  EXPECT_EQ(inView.Size(), 488u);
  ASSERT_EQ(inView.U32(24), 2u);
  EXPECT_EQ(TPlayerEntry::Read(inView, 28).PlayerID, c->PlayerID);
  EXPECT_EQ(TPlayerEntry::Read(inView, 28 + 46).PlayerID, d->PlayerID);

  const auto left = Drain(*b);
  ASSERT_EQ(Codes(left), C({cmd::PlayerLeft}));
  EXPECT_EQ(left[0].U32(24), a->PlayerID);
  EXPECT_EQ(left[0].U16(28), cmd::LeftView);
  EXPECT_EQ(left[0].U32(30), 0u);
  EXPECT_EQ(left[0].Str(34, 29), "");
  for (TVoiceClient* newFamily : {c.get(), d.get()}) {
    const auto seen = Drain(*newFamily);
    ASSERT_EQ(Codes(seen), C({cmd::PlayerJoined, cmd::PlayerFlagsChanged}));
    const TPlayerEntry joined = TPlayerEntry::Read(seen[0], 24);
    EXPECT_EQ(joined.PlayerID, a->PlayerID);
    EXPECT_EQ(joined.ChannelID, far);
  }
}

TEST_F(SwitchChannelTest, RefusalsComeInOrderAndChangeNothing) {
  Start();
  // Locked holds one player at most and guards its sub-channel with its password.
  const uint32_t locked = kit::AddChannel(f, kit::Channel("Locked", cfSubChannels, kNoParent, "secret", 1));
  const uint32_t sub = kit::AddChannel(f, kit::Channel("Sub", 0, locked));
  const uint32_t full = kit::AddChannel(f, kit::Channel("Full", 0, kNoParent, "", 0));
  auto a = kit::Join(f, "a");
  auto b = kit::Join(f, "b");
  ASSERT_TRUE(a && b);
  Drain(*a);
  Drain(*b);

  std::vector<TClientDatagram> others;
  EXPECT_EQ(Switch(*a, kit::kNoSuchChannel, "", &others), rc::NoChannel);
  EXPECT_EQ(Switch(*a, locked, "", &others), rc::PasswordRequired);
  TClientDatagram reply;
  EXPECT_EQ(Switch(*a, locked, "Secret", &others, &reply), rc::WrongPassword);  // case counts
  EXPECT_EQ(reply.Size(), 34u);
  EXPECT_EQ(reply.U16(24), cmd::SwitchChannel);
  EXPECT_EQ(reply.U32(30), locked);
  // A sub-channel asks for its parent's password.
  EXPECT_EQ(Switch(*a, sub, "", &others), rc::PasswordRequired);
  EXPECT_EQ(Switch(*a, sub, "wrong", &others, &reply), rc::WrongPassword);
  EXPECT_EQ(reply.U32(30), sub);
  EXPECT_EQ(Switch(*a, full, "", &others), rc::ChannelFull);
  EXPECT_TRUE(others.empty());
  EXPECT_TRUE(Drain(*b).empty());
  EXPECT_EQ(ChannelOf(*a), 0u);

  // The password is asked for before the room is counted.
  ASSERT_EQ(Switch(*b, locked, "secret"), 0);
  ASSERT_EQ(ChannelOf(*b), locked);
  EXPECT_EQ(Switch(*a, locked, ""), rc::PasswordRequired);
  EXPECT_EQ(Switch(*a, locked, "secret"), rc::ChannelFull);
  EXPECT_EQ(Switch(*a, sub, "secret"), 0);
  EXPECT_EQ(ChannelOf(*a), sub);
}

TEST_F(SwitchChannelTest, AServerAdministratorEntersFullAndLockedChannelsWithoutChecks) {
  Start();
  const uint32_t locked = kit::AddChannel(f, kit::Channel("Locked", 0, kNoParent, "secret", 0));
  auto admin = kit::JoinRegistered(f, "admin", PlayerPrivileges::ServerAdmin);
  ASSERT_TRUE(admin);
  EXPECT_EQ(Switch(*admin, kit::kNoSuchChannel), rc::NoChannel);
  EXPECT_EQ(Switch(*admin, locked, ""), 0);
  EXPECT_EQ(ChannelOf(*admin), locked);
}

// The PlayerFlags bit of value 1 survives a switch between related channels
// (parent and child, siblings, two top-level channels) and is cleared
// between families; a voice request (bit 2) never survives.
TEST_F(SwitchChannelTest, FlagBitOneSurvivesOnlyBetweenRelatedChannels) {
  Start();
  const uint32_t a = kit::AddChannel(f, kit::Channel("A", cfSubChannels));
  const uint32_t a1 = kit::AddChannel(f, kit::Channel("A1", 0, a));
  const uint32_t a2 = kit::AddChannel(f, kit::Channel("A2", 0, a));
  const uint32_t b = kit::AddChannel(f, kit::Channel("B", cfSubChannels));
  const uint32_t b1 = kit::AddChannel(f, kit::Channel("B1", 0, b));
  auto p = kit::Join(f, "p");
  ASSERT_TRUE(p);
  Drain(*p);

  struct TStep {
    uint32_t Target;
    bool Kept;
    const char* What;
  };
  const TStep steps[] = {
      {a, true, "top-level to top-level"}, {a1, true, "parent to child"},   {a2, true, "sibling to sibling"},
      {a, true, "child to parent"},        {b1, false, "across families"}, {a, false, "sub-channel to another top"},
      {0, true, "top-level back to the default channel"},
  };
  for (const TStep& step : steps) {
    kit::WithPlayer(f, p->PlayerID, [](TClientObject& q, TChannels&) { q.PlayerFlags |= 1 | 2 | 8; });
    std::vector<TClientDatagram> got;
    ASSERT_EQ(Switch(*p, step.Target, "", &got), 0) << step.What;
    const auto flags = kit::Only(got, cmd::PlayerFlagsChanged);
    ASSERT_EQ(flags.size(), 1u) << step.What;
    const uint32_t expected = step.Kept ? (1 | 8) : 8;
    EXPECT_EQ(flags[0].U32(28), expected) << step.What;
    EXPECT_EQ(kit::PlayerRecord(f, p->PlayerID).PlayerFlags, expected) << step.What;
  }
}

TEST_F(SwitchChannelTest, ARegisteredPlayerTakesTheRightsStoredForTheNewFamily) {
  Start();
  const uint32_t lobby = kit::AddChannel(f, kit::Channel("Lobby", cfSubChannels));
  const uint32_t room = kit::AddChannel(f, kit::Channel("Room", 0, lobby));
  f.WithChannels([&](TChannels& channels) {
    channels.SetUserRights(lobby, "reg", ChannelPrivileges::AutoOperator | ChannelPrivileges::AutoVoice);
  });
  auto reg = kit::JoinRegistered(f, "reg", 0);
  ASSERT_TRUE(reg);
  Drain(*reg);

  std::vector<TClientDatagram> got;
  ASSERT_EQ(Switch(*reg, room, "", &got), 0);
  const uint16_t rights = ChannelPrivileges::AutoOperator | ChannelPrivileges::AutoVoice |
                          ChannelPrivileges::Operator | ChannelPrivileges::Voice;
  ASSERT_FALSE(got.empty());
  ExpectSwitched(got[0], reg->PlayerID, 0, room, rights);
  EXPECT_EQ(kit::PlayerRecord(f, reg->PlayerID).ChannelPrivileges, rights);

  got.clear();
  ASSERT_EQ(Switch(*reg, 0, "", &got), 0);
  ExpectSwitched(got[0], reg->PlayerID, room, 0, 0);
}

}  // namespace
