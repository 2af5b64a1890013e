#include <gtest/gtest.h>

#include "common/CommandCodes.h"
#include "server/Channels.h"

namespace {

TChannelRecord Channel(const std::string& name, uint16_t flags = 0, uint32_t parent = kNoParent,
                       const std::string& password = "") {
  TChannelRecord r;
  r.Name = name;
  r.Flags = flags;
  r.Parent = parent;
  r.Password = password;
  r.Codec = 3;
  r.MaxUsers = 10;
  return r;
}

class ChannelsTest : public ::testing::Test {
 protected:
  TManualClock clock;
  TChannels channels{"server_cfg Test", &clock};
  void SetUp() override { channels.Lock(); }
  void TearDown() override { channels.Unlock(); }
};

TEST_F(ChannelsTest, IdsGrowAndAreNeverReused) {
  EXPECT_EQ(channels.AddChannel(Channel("A", cfDefaultChannel)), 0);
  EXPECT_EQ(channels.AddChannel(Channel("B")), 1);
  EXPECT_EQ(channels.RemoveChannel(1), 0);
  EXPECT_EQ(channels.AddChannel(Channel("C")), 2);
  EXPECT_EQ(channels.FindByID(1), nullptr);
  ASSERT_NE(channels.FindByID(2), nullptr);
  EXPECT_EQ(channels.FindByID(2)->Name, "C");
  EXPECT_EQ(channels.FindByID(2)->Created, clock.Now());
}

TEST_F(ChannelsTest, NameClashes) {
  const auto top = channels.AddChannel(Channel("Top", cfSubChannels));
  const auto other = channels.AddChannel(Channel("Other", cfSubChannels));
  ASSERT_EQ(channels.AddChannel(Channel("Sub", 0, static_cast<uint32_t>(top))), 2);
  // A top-level name is compared with every channel, sub-channels included.
  EXPECT_EQ(channels.AddChannel(Channel("sUB")), rc::NameTaken);
  EXPECT_EQ(channels.AddChannel(Channel("top")), rc::NameTaken);
  // A sub-channel only with its siblings.
  EXPECT_EQ(channels.AddChannel(Channel("SUB", 0, static_cast<uint32_t>(top))), rc::NameTaken);
  EXPECT_GE(channels.AddChannel(Channel("sub", 0, static_cast<uint32_t>(other))), 0);
}

TEST_F(ChannelsTest, SubChannelRules) {
  const auto plain = channels.AddChannel(Channel("Plain"));
  const auto family = channels.AddChannel(Channel("Family", cfSubChannels));
  auto withPassword = Channel("S", 0, static_cast<uint32_t>(family), "pw");
  EXPECT_EQ(channels.AddChannel(withPassword), rc::SubChannelPassword);
  EXPECT_EQ(channels.AddChannel(Channel("S", 0, 99)), rc::NoParent);
  EXPECT_EQ(channels.AddChannel(Channel("S", 0, static_cast<uint32_t>(plain))), rc::NoSubChannels);
  const auto sub = channels.AddChannel(Channel("S", cfSubChannels | cfUnregistered, static_cast<uint32_t>(family)));
  ASSERT_GE(sub, 0);
  EXPECT_EQ(channels.AddChannel(Channel("SS", 0, static_cast<uint32_t>(sub))), rc::SubSubChannel);
  const TChannelRecord* s = channels.FindByID(static_cast<uint32_t>(sub));
  // Under a registered parent the sub-channel becomes registered, never has
  // sub-channels of its own, and takes the parent's codec.
  EXPECT_EQ(s->Flags & (cfSubChannels | cfUnregistered), 0);
  channels.FindByID(static_cast<uint32_t>(family))->Codec = 1;
  const auto sub2 = channels.AddChannel(Channel("T", cfUnregistered, static_cast<uint32_t>(family)));
  EXPECT_EQ(channels.FindByID(static_cast<uint32_t>(sub2))->Codec, 1);
  EXPECT_EQ(channels.RootOf(static_cast<uint32_t>(sub2)), static_cast<uint32_t>(family));
  EXPECT_EQ(channels.RootOf(static_cast<uint32_t>(family)), static_cast<uint32_t>(family));
}

TEST_F(ChannelsTest, PasswordFlagFollowsThePassword) {
  const auto a = channels.AddChannel(Channel("A", 0, kNoParent, "secret"));
  const auto b = channels.AddChannel(Channel("B", cfHasPassword));
  EXPECT_TRUE(channels.FindByID(static_cast<uint32_t>(a))->Flags & cfHasPassword);
  EXPECT_FALSE(channels.FindByID(static_cast<uint32_t>(b))->Flags & cfHasPassword);
}

TEST_F(ChannelsTest, DefaultMarkMovesAndIsProtected) {
  channels.AddChannel(Channel("First", cfDefaultChannel));
  EXPECT_EQ(channels.DefaultChannelID(), 0);
  EXPECT_EQ(channels.RemoveChannel(0), rc::DefaultChannel);
  EXPECT_EQ(channels.AddChannel(Channel("Second", cfDefaultChannel)), 1);
  EXPECT_EQ(channels.Affected(), std::vector<uint32_t>{0});
  EXPECT_EQ(channels.DefaultChannelID(), 1);
  EXPECT_FALSE(channels.FindByID(0)->Flags & cfDefaultChannel);
  EXPECT_EQ(channels.RemoveChannel(42), rc::NoChannel);
  EXPECT_TRUE(channels.Affected().empty());
}

TEST_F(ChannelsTest, RemovingAFamilyListsSubChannelsLastFirst) {
  const auto top = channels.AddChannel(Channel("Top", cfSubChannels));
  const auto s1 = channels.AddChannel(Channel("S1", 0, static_cast<uint32_t>(top)));
  const auto keep = channels.AddChannel(Channel("Keep"));
  const auto s2 = channels.AddChannel(Channel("S2", 0, static_cast<uint32_t>(top)));
  ASSERT_EQ(channels.RemoveChannel(static_cast<uint32_t>(top)), 0);
  EXPECT_EQ(channels.Affected(),
            (std::vector<uint32_t>{static_cast<uint32_t>(s2), static_cast<uint32_t>(s1), static_cast<uint32_t>(top)}));
  ASSERT_EQ(channels.Count(), 1u);
  EXPECT_EQ(channels.Records()[0]->ID, static_cast<uint32_t>(keep));
  const auto lone = channels.AddChannel(Channel("Lone", cfSubChannels));
  const auto sub = channels.AddChannel(Channel("Sub", 0, static_cast<uint32_t>(lone)));
  ASSERT_EQ(channels.RemoveChannel(static_cast<uint32_t>(sub)), 0);
  EXPECT_EQ(channels.Affected(), std::vector<uint32_t>{static_cast<uint32_t>(sub)});
}

TEST_F(ChannelsTest, RightsArePerFamilyAndCaseInsensitive) {
  const auto top = channels.AddChannel(Channel("Top", cfSubChannels));
  const auto sub = channels.AddChannel(Channel("Sub", 0, static_cast<uint32_t>(top)));
  channels.SetUserRights(static_cast<uint32_t>(sub), "Alice", 9);
  EXPECT_EQ(channels.GetUserRights(static_cast<uint32_t>(top), "alice"), 9);
  channels.SetUserRights(static_cast<uint32_t>(top), "ALICE", 2);
  EXPECT_EQ(channels.FindByID(static_cast<uint32_t>(top))->UserAttribs, std::vector<std::string>{"ALICE=2"});
  EXPECT_EQ(channels.GetUserRights(static_cast<uint32_t>(sub), "Alice"), 2);
  EXPECT_EQ(channels.GetUserRights(static_cast<uint32_t>(top), "bob"), 0);
  EXPECT_EQ(channels.GetUserRights(77, "Alice"), 0);
  channels.SetUserRights(77, "Alice", 1);  // no such channel: nothing changes
}

TEST(ChannelRecordTest, WireLayoutRoundTripAndCuts) {
  TChannelRecord r;
  r.ID = 0x01020304;
  r.Flags = cfModerated | cfHasPassword;
  r.Codec = 4;
  r.Parent = kNoParent;
  r.Name = std::string(40, 'n');
  r.Topic = "topic";
  r.Description = std::string(120, 'd');
  r.Order = 7;
  r.MaxUsers = 32000;
  r.Password = "pw";
  uint8_t buf[TChannelRecord::kWireSize];
  r.ToWire(buf);
  EXPECT_EQ(buf[0], 0x04);
  EXPECT_EQ(buf[3], 0x01);
  EXPECT_EQ(buf[8], 0xFF);
  EXPECT_EQ(buf[12], 29);
  EXPECT_EQ(buf[72], 99);
  EXPECT_EQ(buf[172], 7);
  EXPECT_EQ(buf[174] | (buf[175] << 8), 32000);
  EXPECT_EQ(buf[176], 2);
  const TChannelRecord back = TChannelRecord::FromWire(buf);
  EXPECT_EQ(back.Name, std::string(29, 'n'));
  EXPECT_EQ(back.Description, std::string(99, 'd'));
  EXPECT_EQ(back.Password, "pw");
  EXPECT_EQ(back.Parent, kNoParent);
  buf[12] = 200;  // a hostile length byte reads as the slot's capacity
  EXPECT_EQ(TChannelRecord::FromWire(buf).Name.size(), 29u);
}

}  // namespace
