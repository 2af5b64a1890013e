// The channel commands over real UDP through our client library, grouped
// per command: the success path, every refusal in its order, and who
// receives each notice (the requester's viewers or everyone, on clan and on
// public servers). The temporary channel's life from creation to removal,
// the moved default mark and the end of moderation have tests of their own.
#include <gtest/gtest.h>

#include "common/CommandCodes.h"
#include "database/ServerDatabase.h"
#include "database/StoredChannels.h"
#include "support/CommandKit.h"

namespace {

using kit::Codes;
using kit::Drain;
using kit::Refusal;

std::vector<uint16_t> C(std::initializer_list<uint16_t> codes) { return codes; }

// A server with three players: `a` (the requester) and `b` in the default
// channel, `c` in the top-level channel Far, a family of its own.
class ChannelCommandsTest : public ::testing::Test {
 protected:
  TServerFixture f;
  uint32_t far = 0;
  std::unique_ptr<TVoiceClient> a, b, c;

  void Start(uint16_t type = stClan) {
    f.Settings.ServerType = type;
    f.Settings.ServerMaxUsers = 20;
    ASSERT_TRUE(f.Start());
    far = kit::AddChannel(f, kit::Channel("Far", cfSubChannels));
    a = kit::Join(f, "a");
    b = kit::Join(f, "b");
    c = kit::Join(f, "c", {.Channel = "Far"});
    ASSERT_TRUE(a && b && c);
    DrainAll();
  }
  void DrainAll() {
    for (TVoiceClient* x : {a.get(), b.get(), c.get()}) Drain(*x);
  }
  // A server administrator joins `channel`; the others' news of it is read.
  std::unique_ptr<TVoiceClient> JoinAdmin(const std::string& channel = "") {
    auto admin = kit::JoinRegistered(f, "admin", PlayerPrivileges::ServerAdmin, channel);
    DrainAll();
    return admin;
  }
  // Channel rights reach the requester's own family only: `a` moves into Far
  // and is given `rights` there.
  void ModerateFar(uint16_t rights) {
    ASSERT_EQ(kit::Refusal(*a, cmd::SwitchChannel, kit::Switch(far)), 0);
    Grant(*a, rights);
    DrainAll();
  }
  void Grant(TVoiceClient& who, uint16_t rights) {
    kit::WithPlayer(f, who.PlayerID, [&](TClientObject& p, TChannels&) { p.ChannelPrivileges = rights; });
  }
  TChannelRecord Stored(uint32_t id) {
    TChannelRecord copy;
    f.WithChannels([&](TChannels& channels) {
      const TChannelRecord* r = channels.FindByID(id);
      ASSERT_NE(r, nullptr) << "channel " << id;
      copy = *r;
    });
    return copy;
  }
  int64_t DefaultChannel() {
    int64_t id = -1;
    f.WithChannels([&](TChannels& channels) { id = channels.DefaultChannelID(); });
    return id;
  }
};

void ExpectChannelDeleted(const TClientDatagram& d, uint32_t channel, uint32_t deleter) {
  ASSERT_EQ(d.Code(), cmd::ChannelDeleted);
  EXPECT_EQ(d.Size(), 30u);
  EXPECT_EQ(d.U16(24), channel);
  EXPECT_EQ(d.U32(26), deleter);
}

void ExpectFlagsChanged(const TClientDatagram& d, uint32_t channel, uint16_t flags, uint16_t codec,
                        uint32_t requester) {
  ASSERT_EQ(d.Code(), cmd::ChannelFlagsChanged);
  EXPECT_EQ(d.Size(), 36u);
  EXPECT_EQ(d.U32(24), channel);
  EXPECT_EQ(d.U16(28), flags);
  EXPECT_EQ(d.U16(30), codec);
  EXPECT_EQ(d.U32(32), requester);
}

void ExpectPrivilegeChanged(const TClientDatagram& d, uint32_t player, uint8_t act, uint8_t bit) {
  ASSERT_EQ(d.Code(), cmd::ChannelPrivilegeChanged);
  EXPECT_EQ(d.Size(), 34u);
  EXPECT_EQ(d.U32(24), player);
  EXPECT_EQ(d.U8(28), act);
  EXPECT_EQ(d.U8(29), bit);
  EXPECT_EQ(d.U32(30), 0u);
}

// ---- CreateChannel and the temporary channel ---------------------------------------------

class TemporaryChannelTest : public ChannelCommandsTest, public ::testing::WithParamInterface<uint16_t> {};

// Everyone hears of the new channel; the creator moves in as the server would
// move any switching player, and becomes its channel administrator. When it
// leaves, the empty family goes, and everyone hears of it with the leaver's id.
TEST_P(TemporaryChannelTest, CreatorMovesInBecomesAdministratorAndTheChannelGoesWhenItLeaves) {
  const bool clan = GetParam() & stClan;
  Start(GetParam());
  TChannelRecord temp = kit::Channel("Temp", cfUnregistered | cfSubChannels);
  temp.Codec = cdGSM164;
  temp.Order = 7;
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(temp), &got), 0);

  const uint32_t id = far + 1;
  ASSERT_EQ(Codes(got), C({cmd::ChannelCreated, cmd::PlayerSwitchedChannel, cmd::ChannelPrivilegeChanged}));
  const TClientDatagram& created = got[0];
  EXPECT_EQ(created.Size(), 204u);
  const TChannelEntry entry = TChannelEntry::Read(created, 24);
  EXPECT_EQ(entry.ID, id);
  EXPECT_EQ(entry.Flags, cfUnregistered | cfSubChannels);
  EXPECT_EQ(entry.Codec, cdGSM164);
  EXPECT_EQ(entry.Parent, kNoParent);
  EXPECT_EQ(entry.Name, "Temp");
  EXPECT_EQ(entry.Description, "Temp description");
  EXPECT_EQ(entry.Order, 7);
  EXPECT_EQ(entry.MaxUsers, 100);
  EXPECT_EQ(created.U32(200), a->PlayerID);
  EXPECT_EQ(got[1].U32(32), id);
  ExpectPrivilegeChanged(got[2], a->PlayerID, action::GrantedByServer, 0);
  const TClientObject creator = kit::PlayerRecord(f, a->PlayerID);
  EXPECT_EQ(creator.ChannelID, id);
  EXPECT_EQ(creator.ChannelPrivileges, ChannelPrivileges::ChannelAdmin);

  // b stays behind in the default channel, c watches from another family.
  EXPECT_EQ(Codes(Drain(*b)), clan ? C({cmd::ChannelCreated, cmd::PlayerSwitchedChannel,
                                        cmd::ChannelPrivilegeChanged})
                                   : C({cmd::ChannelCreated, cmd::PlayerLeft}));
  EXPECT_EQ(Codes(Drain(*c)), clan ? C({cmd::ChannelCreated, cmd::PlayerSwitchedChannel,
                                        cmd::ChannelPrivilegeChanged})
                                   : C({cmd::ChannelCreated}));

  got.clear();
  ASSERT_EQ(Refusal(*a, cmd::SwitchChannel, kit::Switch(0), &got), 0);
  const auto deleted = kit::Only(got, cmd::ChannelDeleted);
  ASSERT_EQ(deleted.size(), 1u);
  ExpectChannelDeleted(deleted[0], id, a->PlayerID);
  for (TVoiceClient* other : {b.get(), c.get()}) {
    const auto seen = kit::Only(Drain(*other), cmd::ChannelDeleted);
    ASSERT_EQ(seen.size(), 1u);
    ExpectChannelDeleted(seen[0], id, a->PlayerID);
  }
  EXPECT_FALSE(kit::ChannelExists(f, id));
}

INSTANTIATE_TEST_SUITE_P(ServerTypes, TemporaryChannelTest, ::testing::Values(uint16_t{stClan}, uint16_t{stPublic}));

// The family lives while any of its channels holds a player; the last one
// out takes it along, sub-channels first. A logout clears it up on the
// server's account (deleter 0), a switch on the leaver's.
TEST_F(ChannelCommandsTest, ATemporaryFamilyLivesUntilItsLastPlayerLeaves) {
  Start();
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("Temp", cfUnregistered | cfSubChannels))), 0);
  const uint32_t temp = far + 1;
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("Room", cfUnregistered, temp)), &got), 0);
  // A sub-channel does not move its creator, who is administrator already.
  EXPECT_EQ(Codes(got), C({cmd::ChannelCreated}));
  const uint32_t room = temp + 1;
  EXPECT_EQ(Stored(room).Flags, cfUnregistered);

  ASSERT_EQ(Refusal(*b, cmd::SwitchChannel, kit::Switch(room)), 0);
  ASSERT_EQ(Refusal(*a, cmd::SwitchChannel, kit::Switch(0)), 0);
  EXPECT_TRUE(kit::ChannelExists(f, temp)) << "b still holds the family";
  DrainAll();

  // b leaves from the sub-channel: the family is empty now.
  ASSERT_EQ(Refusal(*b, cmd::SwitchChannel, kit::Switch(far)), 0);
  auto deleted = kit::Only(Drain(*c), cmd::ChannelDeleted);
  ASSERT_EQ(deleted.size(), 2u);
  ExpectChannelDeleted(deleted[0], room, b->PlayerID);
  ExpectChannelDeleted(deleted[1], temp, b->PlayerID);
  EXPECT_FALSE(kit::ChannelExists(f, temp));
  EXPECT_FALSE(kit::ChannelExists(f, room));

  // Again, and this time the last player logs out.
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("Temp2", cfUnregistered))), 0);
  const uint32_t temp2 = room + 1;
  DrainAll();
  ASSERT_TRUE(a->SendCommand(cmd::Logout, {}));
  ASSERT_TRUE(a->WaitCommand(cmd::PlayerLeft));  // acknowledged: the connection closes
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return !kit::ChannelExists(f, temp2); }));
  for (TVoiceClient* other : {b.get(), c.get()}) {
    deleted = kit::Only(Drain(*other), cmd::ChannelDeleted);
    ASSERT_EQ(deleted.size(), 1u);
    ExpectChannelDeleted(deleted[0], temp2, 0);
  }
}

// A temporary channel that carries the default mark stays; the empty families
// behind it in the list still go when their last player leaves.
TEST_F(ChannelCommandsTest, ATemporaryDefaultChannelDoesNotHoldUpTheCleanUp) {
  Start();
  ASSERT_EQ(Refusal(*b, cmd::CreateChannel, kit::Create(kit::Channel("Older", cfUnregistered))), 0);
  const uint32_t older = far + 1;
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("Marked", cfUnregistered))), 0);
  const uint32_t marked = older + 1;
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  ASSERT_EQ(Refusal(*admin, cmd::SetChannelFlags, kit::FlagsAndCodec(marked, cfUnregistered | cfDefaultChannel, 0)),
            0);
  ASSERT_EQ(Refusal(*a, cmd::SwitchChannel, kit::Switch(far)), 0);
  EXPECT_TRUE(kit::ChannelExists(f, marked)) << "the default channel stays";
  DrainAll();
  ASSERT_TRUE(b->SendCommand(cmd::Logout, {}));
  ASSERT_TRUE(b->WaitCommand(cmd::PlayerLeft));
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return !kit::ChannelExists(f, older); }));
  auto deleted = kit::Only(Drain(*c), cmd::ChannelDeleted);
  ASSERT_EQ(deleted.size(), 1u);
  ExpectChannelDeleted(deleted[0], older, 0);
  EXPECT_TRUE(kit::ChannelExists(f, marked));
}

// Creating a second temporary channel from the first leaves the first empty:
// it goes at once. The creator keeps the rights it had, so it is not granted
// ChannelAdmin twice.
TEST_F(ChannelCommandsTest, CreatingFromATemporaryChannelRemovesTheOneLeftBehind) {
  Start();
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("One", cfUnregistered))), 0);
  DrainAll();
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("Two", cfUnregistered)), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelCreated, cmd::PlayerSwitchedChannel, cmd::ChannelDeleted}));
  ExpectChannelDeleted(got[2], far + 1, a->PlayerID);
  const TClientObject creator = kit::PlayerRecord(f, a->PlayerID);
  EXPECT_EQ(creator.ChannelID, far + 2);
  EXPECT_EQ(creator.ChannelPrivileges, ChannelPrivileges::ChannelAdmin);
}

TEST_F(ChannelCommandsTest, CreateChannelRefusalsComeInOrderAndChangeNothing) {
  f.Settings.AllowCodecGSM148 = false;
  Start();
  const uint32_t plain = kit::AddChannel(f, kit::Channel("Plain"));
  const uint32_t sub = kit::AddChannel(f, kit::Channel("Sub", 0, far));
  auto refusal = [&](const TChannelRecord& r) {
    std::vector<TClientDatagram> others;
    const int code = Refusal(*a, cmd::CreateChannel, kit::Create(r), &others);
    EXPECT_TRUE(others.empty()) << r.Name;
    return code;
  };
  TChannelRecord r = kit::Channel("New", 0);
  r.Codec = cdGSM148;
  EXPECT_EQ(refusal(r), rc::CodecNotAllowed) << "the codec comes before the rights";
  r.Codec = cdCelp51;
  EXPECT_EQ(refusal(r), rc::NeedServerAdmin) << "registered";
  r.Flags = cfUnregistered | cfDefaultChannel;
  EXPECT_EQ(refusal(r), rc::NeedServerAdmin) << "default";
  // The channel list's own refusals.
  EXPECT_EQ(refusal(kit::Channel("far", cfUnregistered)), rc::NameTaken);
  EXPECT_EQ(refusal(kit::Channel("sub", cfUnregistered)), rc::NameTaken) << "a top-level name meets sub-channels";
  EXPECT_EQ(refusal(kit::Channel("New", cfUnregistered, kit::kNoSuchChannel)), rc::NoParent);
  EXPECT_EQ(refusal(kit::Channel("New", cfUnregistered, plain)), rc::NoSubChannels);
  EXPECT_EQ(refusal(kit::Channel("New", cfUnregistered, sub)), rc::SubSubChannel);
  EXPECT_EQ(refusal(kit::Channel("New", cfUnregistered, far, "pw")), rc::SubChannelPassword);
  f.WithChannels([&](TChannels& channels) { EXPECT_EQ(channels.NextChannelID(), sub + 1); });
  EXPECT_TRUE(Drain(*b).empty());
  EXPECT_TRUE(Drain(*c).empty());
  EXPECT_EQ(kit::PlayerRecord(f, a->PlayerID).ChannelPrivileges, 0);
}

// Without the server flag that lets players create channels, a player needs
// administrator rights: the server's for a top-level channel, the channel's
// for a sub-channel.
TEST_F(ChannelCommandsTest, WithoutTheServerFlagPlayersNeedAdministratorRights) {
  f.Settings.ServerFlags = 0;
  Start();
  EXPECT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("Top", cfUnregistered))), rc::NeedServerAdmin);
  EXPECT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("S", cfUnregistered, far))),
            rc::NeedChannelAdmin);
  Grant(*a, ChannelPrivileges::Operator);
  EXPECT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("S", cfUnregistered, far))),
            rc::NeedChannelAdmin);
  Grant(*a, ChannelPrivileges::ChannelAdmin);
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::CreateChannel, kit::Create(kit::Channel("S", cfUnregistered, far)), &got), 0);
  EXPECT_EQ(Codes(got), C({cmd::ChannelCreated}));
  // A sub-channel of a registered family is registered.
  EXPECT_EQ(Stored(far + 1).Flags, 0);
  EXPECT_EQ(kit::PlayerRecord(f, a->PlayerID).ChannelID, 0u);
}

// An administrator's registered channel keeps the administrator where it is;
// taking the default mark tells the old default channel's viewers first. A
// codec number outside the known five is not checked.
TEST_F(ChannelCommandsTest, AnAdministratorCreatesARegisteredDefaultChannel) {
  Start();
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  TChannelRecord r = kit::Channel("Hall", cfDefaultChannel | cfSubChannels);
  r.Codec = 9;
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*admin, cmd::CreateChannel, kit::Create(r), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelFlagsChanged, cmd::ChannelCreated}));
  ExpectFlagsChanged(got[0], 0, 0, f.Settings.DefaultCodec(), admin->PlayerID);
  const uint32_t hall = far + 1;
  EXPECT_EQ(DefaultChannel(), hall);
  EXPECT_EQ(Stored(hall).Codec, 9);
  EXPECT_EQ(kit::PlayerRecord(f, admin->PlayerID).ChannelID, 0u);
  EXPECT_EQ(Codes(Drain(*c)), C({cmd::ChannelFlagsChanged, cmd::ChannelCreated}));
}

// ---- DeleteChannel -------------------------------------------------------------------------

class DeleteChannelTest : public ChannelCommandsTest, public ::testing::WithParamInterface<uint16_t> {};

// Everyone hears of each channel that goes: sub-channels last one first,
// then the channel itself.
TEST_P(DeleteChannelTest, AFamilyGoesSubChannelsFirstAndEveryoneHears) {
  Start(GetParam());
  const uint32_t top = kit::AddChannel(f, kit::Channel("Top", cfSubChannels));
  const uint32_t s1 = kit::AddChannel(f, kit::Channel("S1", 0, top));
  const uint32_t s2 = kit::AddChannel(f, kit::Channel("S2", 0, top));
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*admin, cmd::DeleteChannel, kit::ChannelOnly(top), &got), 0);
  for (const auto& seen : {got, Drain(*a), Drain(*b), Drain(*c)}) {
    ASSERT_EQ(Codes(seen), C({cmd::ChannelDeleted, cmd::ChannelDeleted, cmd::ChannelDeleted}));
    ExpectChannelDeleted(seen[0], s2, admin->PlayerID);
    ExpectChannelDeleted(seen[1], s1, admin->PlayerID);
    ExpectChannelDeleted(seen[2], top, admin->PlayerID);
  }
  EXPECT_FALSE(kit::ChannelExists(f, s1));
}

INSTANTIATE_TEST_SUITE_P(ServerTypes, DeleteChannelTest, ::testing::Values(uint16_t{stClan}, uint16_t{stPublic}));

TEST_F(ChannelCommandsTest, DeleteChannelRefusalsComeInOrder) {
  Start();
  const uint32_t held = kit::AddChannel(f, kit::Channel("Held", 0, far));
  const uint32_t empty = kit::AddChannel(f, kit::Channel("Empty", 0, far));
  ASSERT_EQ(Refusal(*c, cmd::SwitchChannel, kit::Switch(held)), 0);
  auto admin = JoinAdmin("Far");
  ASSERT_TRUE(admin);

  EXPECT_EQ(Refusal(*a, cmd::DeleteChannel, kit::ChannelOnly(kit::kNoSuchChannel)), rc::NoChannel);
  Grant(*a, ChannelPrivileges::ChannelAdmin);
  EXPECT_EQ(Refusal(*a, cmd::DeleteChannel, kit::ChannelOnly(far)), rc::NeedServerAdmin);
  Grant(*a, ChannelPrivileges::Operator);
  EXPECT_EQ(Refusal(*a, cmd::DeleteChannel, kit::ChannelOnly(empty)), rc::NeedChannelAdmin);
  Grant(*a, ChannelPrivileges::ChannelAdmin);
  EXPECT_EQ(Refusal(*a, cmd::DeleteChannel, kit::ChannelOnly(empty)), rc::NeedModerator) << "another family";
  EXPECT_TRUE(kit::ChannelExists(f, empty));
  ModerateFar(ChannelPrivileges::ChannelAdmin);
  EXPECT_EQ(Refusal(*a, cmd::DeleteChannel, kit::ChannelOnly(held)), rc::ChannelNotEmpty);
  EXPECT_EQ(Refusal(*admin, cmd::DeleteChannel, kit::ChannelOnly(far)), rc::ChannelNotEmpty)
      << "a player in a sub-channel holds the family";
  EXPECT_EQ(Refusal(*admin, cmd::DeleteChannel, kit::ChannelOnly(0)), rc::ChannelNotEmpty) << "before -117";
  for (TVoiceClient* x : {a.get(), b.get()}) ASSERT_EQ(Refusal(*x, cmd::SwitchChannel, kit::Switch(far)), 0);
  EXPECT_EQ(Refusal(*admin, cmd::DeleteChannel, kit::ChannelOnly(0)), rc::DefaultChannel);
  EXPECT_TRUE(kit::ChannelExists(f, 0));
  EXPECT_TRUE(kit::ChannelExists(f, held));

  // A channel administrator may delete an empty sub-channel.
  DrainAll();
  Grant(*a, ChannelPrivileges::ChannelAdmin);
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::DeleteChannel, kit::ChannelOnly(empty), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelDeleted}));
  ExpectChannelDeleted(got[0], empty, a->PlayerID);
}

// ChannelDeleted carries the id in 16 bits: a channel whose id does not fit
// goes without a notice.
TEST_F(ChannelCommandsTest, AChannelIdBeyondSixteenBitsIsDeletedWithoutANotice) {
  Start();
  f.WithChannels([](TChannels& channels) {
    while (channels.NextChannelID() < 0x7FFF) {
      const int64_t id = channels.AddChannel(kit::Channel("Filler"));
      ASSERT_GE(id, 0);
      ASSERT_EQ(channels.RemoveChannel(static_cast<uint32_t>(id)), 0);
    }
  });
  auto admin = kit::JoinRegistered(f, "admin", PlayerPrivileges::ServerAdmin);
  ASSERT_TRUE(admin);
  ASSERT_EQ(Refusal(*admin, cmd::CreateChannel, kit::Create(kit::Channel("Last"))), 0);
  ASSERT_EQ(Refusal(*admin, cmd::CreateChannel, kit::Create(kit::Channel("Beyond"))), 0);
  DrainAll();
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*admin, cmd::DeleteChannel, kit::ChannelOnly(0x7FFF), &got), 0);
  ASSERT_EQ(Refusal(*admin, cmd::DeleteChannel, kit::ChannelOnly(0x8000), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelDeleted}));
  ExpectChannelDeleted(got[0], 0x7FFF, admin->PlayerID);
  EXPECT_EQ(Codes(Drain(*b)), C({cmd::ChannelDeleted}));
  EXPECT_FALSE(kit::ChannelExists(f, 0x8000));
}

// ---- the setters: name, topic, description, max users, order ---------------------------------

struct TSetter {
  const char* Name;
  uint16_t Command;
  uint16_t Notice;
  size_t NoticeSize;
  std::vector<uint8_t> (*Payload)(uint32_t channel);
  // Checks the notice's value and the stored record.
  void (*Check)(const TClientDatagram& notice, const TChannelRecord& stored);
};

const std::string kLong(120, 'x');

const TSetter kSetters[] = {
    {"Name", cmd::SetChannelName, cmd::ChannelNameChanged, 62,
     [](uint32_t id) { return kit::ChannelAndText(id, 29, "Renamed"); },
     [](const TClientDatagram& d, const TChannelRecord& r) {
       EXPECT_EQ(d.Str(28, 29), "Renamed");
       EXPECT_EQ(r.Name, "Renamed");
     }},
    {"Topic", cmd::SetChannelTopic, cmd::ChannelTopicChanged, 62,
     [](uint32_t id) { return kit::ChannelAndText(id, 29, kLong); },
     [](const TClientDatagram& d, const TChannelRecord& r) {
       EXPECT_EQ(d.Str(28, 29), kLong.substr(0, 29));
       EXPECT_EQ(r.Topic, kLong.substr(0, 29));
     }},
    {"Description", cmd::SetChannelDescription, cmd::ChannelDescriptionChanged, 132,
     [](uint32_t id) { return kit::ChannelAndText(id, 99, kLong); },
     [](const TClientDatagram& d, const TChannelRecord& r) {
       EXPECT_EQ(d.Str(28, 99), kLong.substr(0, 99));
       EXPECT_EQ(r.Description, kLong.substr(0, 99));
     }},
    {"MaxUsers", cmd::SetChannelMaxUsers, cmd::ChannelMaxUsersChanged, 34,
     [](uint32_t id) { return kit::ChannelAndValue(id, 5); },
     [](const TClientDatagram& d, const TChannelRecord& r) {
       EXPECT_EQ(d.U16(28), 5);
       EXPECT_EQ(r.MaxUsers, 5);
     }},
    {"Order", cmd::SetChannelOrder, cmd::ChannelOrderChanged, 34,
     [](uint32_t id) { return kit::ChannelAndValue(id, 0xBEEF); },
     [](const TClientDatagram& d, const TChannelRecord& r) {
       EXPECT_EQ(d.U16(28), 0xBEEF);
       EXPECT_EQ(r.Order, 0xBEEF);
     }},
};

class SetterTest : public ChannelCommandsTest,
                   public ::testing::WithParamInterface<std::tuple<size_t, uint16_t>> {
 protected:
  const TSetter& Setter() const { return kSetters[std::get<0>(GetParam())]; }
};

// The notice goes to the requester's viewers: on a public server the other
// families do not hear of it.
TEST_P(SetterTest, AModeratorChangesTheValueAndItsViewersHear) {
  const TSetter& s = Setter();
  const bool clan = std::get<1>(GetParam()) & stClan;
  Start(std::get<1>(GetParam()));
  ModerateFar(ChannelPrivileges::Operator);
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, s.Command, s.Payload(far), &got), 0);
  for (const auto& seen : {got, Drain(*c)}) {
    ASSERT_EQ(Codes(seen), C({s.Notice}));
    EXPECT_EQ(seen[0].Size(), s.NoticeSize);
    EXPECT_EQ(seen[0].U32(24), far);
    EXPECT_EQ(seen[0].U32(s.NoticeSize - 4), a->PlayerID);
    s.Check(seen[0], Stored(far));
  }
  EXPECT_EQ(Codes(Drain(*b)), clan ? C({s.Notice}) : C({}));
}

TEST_P(SetterTest, RefusalsComeInOrderAndChangeNothing) {
  const TSetter& s = Setter();
  Start(std::get<1>(GetParam()));
  const TChannelRecord before = Stored(far);
  EXPECT_EQ(Refusal(*a, s.Command, s.Payload(kit::kNoSuchChannel)), rc::NoChannel);
  EXPECT_EQ(Refusal(*a, s.Command, s.Payload(far)), rc::NeedModerator);
  Grant(*a, ChannelPrivileges::Voice | ChannelPrivileges::AutoOperator);
  EXPECT_EQ(Refusal(*a, s.Command, s.Payload(far)), rc::NeedModerator) << "neither right makes a moderator";
  const TChannelRecord after = Stored(far);
  EXPECT_EQ(after.Name, before.Name);
  EXPECT_EQ(after.Topic, before.Topic);
  EXPECT_EQ(after.Description, before.Description);
  EXPECT_EQ(after.MaxUsers, before.MaxUsers);
  EXPECT_EQ(after.Order, before.Order);
  EXPECT_TRUE(Drain(*b).empty());
}

INSTANTIATE_TEST_SUITE_P(Setters, SetterTest,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kSetters)),
                                            ::testing::Values(uint16_t{stClan}, uint16_t{stPublic})),
                         [](const auto& param) {
                           return std::string(kSetters[std::get<0>(param.param)].Name) +
                                  (std::get<1>(param.param) & stClan ? "Clan" : "Public");
                         });

// Two channels of one name would not both come back from storage: a rename
// to a name in use is refused as creation is.
TEST_F(ChannelCommandsTest, RenameToANameInUseIsRefused) {
  Start();
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  EXPECT_EQ(Refusal(*admin, cmd::SetChannelName, kit::ChannelAndText(far, 29, "DEFAULT")), rc::NameTaken);
  TChannelRecord edit = Stored(far);
  edit.Name = "default";
  EXPECT_EQ(Refusal(*admin, cmd::EditChannel, kit::Edit(edit)), rc::NameTaken);
  EXPECT_EQ(Stored(far).Name, "Far");
  EXPECT_EQ(Refusal(*admin, cmd::SetChannelName, kit::ChannelAndText(far, 29, "far")), 0) << "its own name";
}

// A crash must not lose the channels: they are stored within a second of a
// change, while the server runs.
TEST_F(ChannelCommandsTest, ChangesAreStoredWhileTheServerRuns) {
  Start();
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  ASSERT_EQ(Refusal(*admin, cmd::CreateChannel, kit::Create(kit::Channel("Kept", 0))), 0);
  auto stored = [&] {
    TFreeBase::TLock db = LockServerDatabase();
    for (int index = 0; db; ++index) {
      auto record = LoadStoredChannel(*db, index, TServerFixture::kDefaultID);
      if (!record) break;
      if (record->Name == "Kept") return true;
    }
    return false;
  };
  EXPECT_TRUE(TServerFixture::WaitFor(stored)) << "not stored while running";
}

// ---- SetChannelPassword ----------------------------------------------------------------------

TEST_F(ChannelCommandsTest, SetChannelPasswordTellsTheRequesterThenTheViewers) {
  Start(stPublic);
  ModerateFar(ChannelPrivileges::ChannelAdmin);
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::SetChannelPassword, kit::ChannelAndText(far, 29, "pw"), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelPasswordSet, cmd::ChannelFlagsChanged}));
  EXPECT_EQ(got[0].Size(), 28u);
  EXPECT_EQ(got[0].U32(24), far);
  ExpectFlagsChanged(got[1], far, cfSubChannels | cfHasPassword, 0, a->PlayerID);
  EXPECT_EQ(Codes(Drain(*c)), C({cmd::ChannelFlagsChanged}));
  EXPECT_TRUE(Drain(*b).empty()) << "another family on a public server";
  EXPECT_EQ(Stored(far).Password, "pw");

  got.clear();
  ASSERT_EQ(Refusal(*a, cmd::SetChannelPassword, kit::ChannelAndText(far, 29, ""), &got), 0);
  ExpectFlagsChanged(got.at(1), far, cfSubChannels, 0, a->PlayerID);
  EXPECT_EQ(Stored(far).Password, "");
}

TEST_F(ChannelCommandsTest, SetChannelPasswordRefusalsComeInOrder) {
  Start();
  const uint32_t sub = kit::AddChannel(f, kit::Channel("Sub", 0, far));
  ModerateFar(0);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelPassword, kit::ChannelAndText(kit::kNoSuchChannel, 29, "pw")),
            rc::NoChannel);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelPassword, kit::ChannelAndText(sub, 29, "pw")), rc::NeedModerator);
  Grant(*a, ChannelPrivileges::Operator);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelPassword, kit::ChannelAndText(sub, 29, "pw")), rc::SubChannelPassword);
  EXPECT_TRUE(Drain(*b).empty());
  // Clearing a sub-channel's password is no harm.
  EXPECT_EQ(Refusal(*a, cmd::SetChannelPassword, kit::ChannelAndText(sub, 29, "")), 0);
}

// ---- SetChannelFlags ---------------------------------------------------------------------------

TEST_F(ChannelCommandsTest, SetChannelFlagsStoresFlagsAndCodecAsGiven) {
  Start(stPublic);
  ModerateFar(ChannelPrivileges::Operator);
  std::vector<TClientDatagram> got;
  // HasPassword without a password, and a codec no server knows: kept as they are.
  const uint16_t flags = cfModerated | cfHasPassword;
  ASSERT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(far, flags, 9), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelFlagsChanged}));
  ExpectFlagsChanged(got[0], far, flags, 9, a->PlayerID);
  EXPECT_EQ(Codes(Drain(*c)), C({cmd::ChannelFlagsChanged}));
  EXPECT_TRUE(Drain(*b).empty());
  const TChannelRecord stored = Stored(far);
  EXPECT_EQ(stored.Flags, flags);
  EXPECT_EQ(stored.Codec, 9);
}

TEST_F(ChannelCommandsTest, SetChannelFlagsMovesTheDefaultMarkAndNeverDropsIt) {
  Start();
  const uint32_t sub = kit::AddChannel(f, kit::Channel("Sub", 0, far));
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(kit::kNoSuchChannel, 0, 0)), rc::NoChannel);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(sub, 0, 0)), rc::SubChannelFlags)
      << "before the rights";
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(far, 0, 0)), rc::NeedModerator);
  Grant(*a, ChannelPrivileges::ChannelAdmin);
  // Where players arrive and which channels are stored is the server
  // administrator's business, whatever rights a channel gives.
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(0, 0, 0)), rc::NeedServerAdmin);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(0, cfDefaultChannel | cfUnregistered, 0)),
            rc::NeedServerAdmin);
  ModerateFar(ChannelPrivileges::ChannelAdmin);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(far, cfDefaultChannel, 1)), rc::NeedServerAdmin);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(far, cfUnregistered, 1)), rc::NeedServerAdmin);
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  // Players arrive in the default channel: its mark may move, not vanish.
  EXPECT_EQ(Refusal(*admin, cmd::SetChannelFlags, kit::FlagsAndCodec(0, 0, 0)), rc::DefaultChannel);
  EXPECT_EQ(DefaultChannel(), 0);
  EXPECT_TRUE(Drain(*b).empty());

  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*admin, cmd::SetChannelFlags, kit::FlagsAndCodec(far, cfDefaultChannel, 1), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelFlagsChanged, cmd::ChannelFlagsChanged}));
  ExpectFlagsChanged(got[0], 0, 0, f.Settings.DefaultCodec(), admin->PlayerID);
  ExpectFlagsChanged(got[1], far, cfDefaultChannel, 1, admin->PlayerID);
  EXPECT_EQ(DefaultChannel(), far);
  // Setting the mark where it is already tells of that channel only.
  got.clear();
  ASSERT_EQ(Refusal(*admin, cmd::SetChannelFlags, kit::FlagsAndCodec(far, cfDefaultChannel, 1), &got), 0);
  EXPECT_EQ(Codes(got), C({cmd::ChannelFlagsChanged}));
}

// Without moderation, voice requests and the rights to speak lose their point:
// the players in the channel lose them, and their viewers hear of each.
TEST_F(ChannelCommandsTest, EndingModerationTakesVoiceRightsAndRequests) {
  Start();
  const uint32_t stage = kit::AddChannel(f, kit::Channel("Stage", cfModerated));
  ASSERT_EQ(Refusal(*b, cmd::SwitchChannel, kit::Switch(stage)), 0);
  kit::WithPlayer(f, b->PlayerID, [](TClientObject& p, TChannels&) {
    p.ChannelPrivileges = ChannelPrivileges::Operator | ChannelPrivileges::Voice | ChannelPrivileges::AutoVoice;
    p.PlayerFlags = 1 | 2;
  });
  // c keeps its rights: it is not in the channel.
  Grant(*c, ChannelPrivileges::Operator | ChannelPrivileges::Voice);
  // From another family only a server administrator ends the moderation.
  Grant(*a, ChannelPrivileges::Operator);
  EXPECT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(stage, 0, 0)), rc::NeedModerator);
  kit::WithPlayer(f, a->PlayerID, [](TClientObject& p, TChannels&) { p.PlayerPrivileges = PlayerPrivileges::ServerAdmin; });
  DrainAll();

  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(stage, 0, 0), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelFlagsChanged, cmd::PlayerFlagsChanged, cmd::ChannelPrivilegeChanged,
                           cmd::ChannelPrivilegeChanged}));
  EXPECT_EQ(got[1].U32(24), b->PlayerID);
  EXPECT_EQ(got[1].U32(28), 1u);
  ExpectPrivilegeChanged(got[2], b->PlayerID, action::RevokedByServer, 1);
  ExpectPrivilegeChanged(got[3], b->PlayerID, action::RevokedByServer, 2);
  EXPECT_EQ(Codes(Drain(*b)), Codes(got));
  // Each viewer hears of the flags in its turn, after the players listed before it.
  EXPECT_EQ(Codes(Drain(*c)), C({cmd::PlayerFlagsChanged, cmd::ChannelPrivilegeChanged,
                                 cmd::ChannelPrivilegeChanged, cmd::ChannelFlagsChanged}));
  const TClientObject player = kit::PlayerRecord(f, b->PlayerID);
  EXPECT_EQ(player.ChannelPrivileges, ChannelPrivileges::AutoVoice);
  EXPECT_EQ(player.PlayerFlags, 1u);
  EXPECT_EQ(kit::PlayerRecord(f, c->PlayerID).ChannelPrivileges, ChannelPrivileges::Operator | ChannelPrivileges::Voice);
  EXPECT_EQ(kit::PlayerRecord(f, a->PlayerID).ChannelPrivileges, ChannelPrivileges::Operator);

  // Moderating again takes nothing.
  got.clear();
  ASSERT_EQ(Refusal(*a, cmd::SetChannelFlags, kit::FlagsAndCodec(stage, cfModerated, 0), &got), 0);
  EXPECT_EQ(Codes(got), C({cmd::ChannelFlagsChanged}));
}

// ---- EditChannel -------------------------------------------------------------------------------

TEST_F(ChannelCommandsTest, EditChannelAnnouncesEachChangedFieldThenTheFlagsOnce) {
  Start(stPublic);
  ModerateFar(ChannelPrivileges::Operator);
  TChannelRecord edit = Stored(far);
  edit.Parent = 1234;  // not used
  edit.Flags = cfSubChannels | cfModerated;
  edit.Codec = 2;
  edit.Name = "New name";
  edit.Topic = "New topic";
  edit.Description = "New description";
  edit.MaxUsers = 3;
  edit.Order = 4;
  edit.Password = "pw";
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit), &got), 0);
  const auto all = C({cmd::ChannelNameChanged, cmd::ChannelDescriptionChanged, cmd::ChannelMaxUsersChanged,
                      cmd::ChannelOrderChanged, cmd::ChannelTopicChanged, cmd::ChannelFlagsChanged});
  ASSERT_EQ(Codes(got), all);
  EXPECT_EQ(got[0].Str(28, 29), "New name");
  EXPECT_EQ(got[1].Str(28, 99), "New description");
  EXPECT_EQ(got[2].U16(28), 3);
  EXPECT_EQ(got[3].U16(28), 4);
  EXPECT_EQ(got[4].Str(28, 29), "New topic");
  ExpectFlagsChanged(got[5], far, cfSubChannels | cfModerated | cfHasPassword, 2, a->PlayerID);
  EXPECT_EQ(Codes(Drain(*c)), all);
  EXPECT_TRUE(Drain(*b).empty()) << "another family on a public server";
  const TChannelRecord stored = Stored(far);
  EXPECT_EQ(stored.Parent, kNoParent);
  EXPECT_EQ(stored.Name, "New name");
  EXPECT_EQ(stored.Password, "pw");

  // Nothing differs: nothing is said. One field differs: that one alone.
  edit = stored;
  got.clear();
  ASSERT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit), &got), 0);
  EXPECT_TRUE(got.empty());
  edit.Topic = "Other";
  ASSERT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit), &got), 0);
  EXPECT_EQ(Codes(got), C({cmd::ChannelTopicChanged}));
}

// A client that shows a protected channel without its password sends the
// flag with an empty text: the password stays. Without the flag an empty
// text clears it.
TEST_F(ChannelCommandsTest, EditChannelKeepsAPasswordTheClientDidNotKnow) {
  Start();
  ModerateFar(ChannelPrivileges::ChannelAdmin);
  ASSERT_EQ(Refusal(*a, cmd::SetChannelPassword, kit::ChannelAndText(far, 29, "secret")), 0);
  DrainAll();
  TChannelRecord edit = Stored(far);
  edit.Password = "";
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit), &got), 0);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(Stored(far).Password, "secret");

  edit.Flags = cfSubChannels;
  ASSERT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelFlagsChanged}));
  ExpectFlagsChanged(got[0], far, cfSubChannels, 0, a->PlayerID);
  EXPECT_EQ(Stored(far).Password, "");
}

TEST_F(ChannelCommandsTest, EditChannelRefusalsComeInOrder) {
  Start();
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  TChannelRecord missing = Stored(far);
  missing.ID = kit::kNoSuchChannel;
  EXPECT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(missing)), rc::NoChannel);
  TChannelRecord lobby = Stored(0);
  lobby.Flags = 0;
  EXPECT_EQ(Refusal(*admin, cmd::EditChannel, kit::Edit(lobby)), rc::DefaultChannel) << "even for an administrator";
  EXPECT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(lobby)), rc::DefaultChannel) << "before the rights";
  Grant(*a, ChannelPrivileges::ChannelAdmin);
  lobby = Stored(0);
  lobby.Topic = "Other";
  EXPECT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(lobby)), rc::NeedServerAdmin) << "the default channel";
  TChannelRecord edit = Stored(far);
  edit.Flags |= cfDefaultChannel;
  EXPECT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit)), rc::NeedServerAdmin) << "the mark";
  edit = Stored(far);
  edit.Flags |= cfUnregistered;
  EXPECT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit)), rc::NeedServerAdmin) << "registration";
  Grant(*a, ChannelPrivileges::Voice);
  edit = Stored(far);
  edit.Name = "Other";
  EXPECT_EQ(Refusal(*a, cmd::EditChannel, kit::Edit(edit)), rc::NeedModerator);
  EXPECT_EQ(Stored(far).Name, "Far");
  EXPECT_EQ(Stored(0).Topic, "Default");
  EXPECT_TRUE(Drain(*b).empty());
}

TEST_F(ChannelCommandsTest, EditChannelMovesTheDefaultMark) {
  Start();
  auto admin = JoinAdmin();
  ASSERT_TRUE(admin);
  TChannelRecord edit = Stored(far);
  edit.Flags |= cfDefaultChannel;
  std::vector<TClientDatagram> got;
  ASSERT_EQ(Refusal(*admin, cmd::EditChannel, kit::Edit(edit), &got), 0);
  ASSERT_EQ(Codes(got), C({cmd::ChannelFlagsChanged, cmd::ChannelFlagsChanged}));
  ExpectFlagsChanged(got[0], 0, 0, f.Settings.DefaultCodec(), admin->PlayerID);
  ExpectFlagsChanged(got[1], far, cfSubChannels | cfDefaultChannel, 0, admin->PlayerID);
  EXPECT_EQ(DefaultChannel(), far);
}

}  // namespace
