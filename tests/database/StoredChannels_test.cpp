#include <gtest/gtest.h>

#include "database/FreeBase.h"
#include "database/MemoryStorage.h"
#include "database/ServerDatabase.h"
#include "database/StoredChannels.h"
#include "server/Channels.h"

namespace {

const char* kServer = "server_cfg Test";

class StoredChannelsTest : public ::testing::Test {
 protected:
  TMemoryStorage storage;
  TManualClock clock;
  std::shared_ptr<TFreeBase> db = std::make_shared<TFreeBase>(storage, &clock);

  void SetUp() override {
    db->SetOpenFlag(TFBOpenFlag::CreateNotExists);
    db->SetFileName("server.db");
    db->SetActive(true);
    InstallServerDatabase(db);
  }
  void TearDown() override { RemoveServerDatabase(); }

  static TChannelRecord Channel(const std::string& name, uint16_t flags, uint32_t parent = kNoParent) {
    TChannelRecord r;
    r.Name = name;
    r.Topic = name + " topic";
    r.Description = name + " description";
    r.Flags = flags;
    r.Parent = parent;
    r.MaxUsers = 20;
    r.Order = 3;
    return r;
  }
  std::string Path(int index, const std::string& value) {
    return std::string("\\Servers\\") + kServer + "\\Channels\\" + std::to_string(index) + "\\" + value;
  }
};

TEST_F(StoredChannelsTest, EmptyDatabaseGivesTheDefaultChannelWhichIsSavedAtIndexZero) {
  TChannels channels(kServer, &clock);
  TChannelsLock lock(channels);
  channels.DefaultCodec = 3;
  ASSERT_TRUE(channels.LoadChannels());
  ASSERT_EQ(channels.Count(), 1u);
  const TChannelRecord& def = *channels.Records()[0];
  EXPECT_EQ(def.ID, 0u);
  EXPECT_EQ(def.Name, "Default");
  EXPECT_EQ(def.Description, "Default Channel");
  EXPECT_EQ(def.Flags, cfDefaultChannel);
  EXPECT_EQ(def.Codec, 3);
  EXPECT_EQ(def.MaxUsers, 32000);
  channels.SaveChannels();
  EXPECT_EQ(db->ReadString(Path(0, "Name"), ""), "Default");
  EXPECT_EQ(db->ReadInteger(Path(0, "Parent"), 0), -1);
  EXPECT_EQ(db->ReadFloat(Path(0, "Created"), 0), clock.Now());
}

TEST_F(StoredChannelsTest, SaveOrdersByNameSkipsTemporaryAndReloadsTheSameTree) {
  {
    TChannels channels(kServer, &clock);
    TChannelsLock lock(channels);
    channels.AddChannel(Channel("Lobby", cfDefaultChannel));
    const auto beta = channels.AddChannel(Channel("beta", cfSubChannels));
    const auto alpha = channels.AddChannel(Channel("Alpha", cfSubChannels));
    channels.AddChannel(Channel("zeta", 0, static_cast<uint32_t>(beta)));
    channels.AddChannel(Channel("Eta", 0, static_cast<uint32_t>(beta)));
    channels.AddChannel(Channel("Temp", cfUnregistered));
    const auto family = channels.AddChannel(Channel("Party", cfUnregistered | cfSubChannels));
    channels.AddChannel(Channel("Room", cfUnregistered, static_cast<uint32_t>(family)));
    channels.SetUserRights(static_cast<uint32_t>(alpha), "alice", 3);
    channels.SetUserRights(static_cast<uint32_t>(alpha), "bob", 16);
    channels.SaveChannels();
  }
  // Alpha, beta (with Eta, zeta), Lobby; the temporary ones are gone.
  EXPECT_EQ(db->ReadString(Path(0, "Name"), ""), "Alpha");
  EXPECT_EQ(db->ReadString(Path(1, "Name"), ""), "beta");
  EXPECT_EQ(db->ReadString(Path(2, "Name"), ""), "Eta");
  EXPECT_EQ(db->ReadInteger(Path(2, "Parent"), 0), 1);
  EXPECT_EQ(db->ReadString(Path(3, "Name"), ""), "zeta");
  EXPECT_EQ(db->ReadString(Path(4, "Name"), ""), "Lobby");
  EXPECT_EQ(db->ReadString(Path(5, "Name"), "none"), "none");
  EXPECT_EQ(db->ReadString(Path(0, "_UserAttribs_\\1"), ""), "bob=16");

  TChannels back(kServer, &clock);
  TChannelsLock lock(back);
  back.LoadChannels();
  ASSERT_EQ(back.Count(), 5u);
  EXPECT_EQ(back.FindByID(3)->Name, "zeta");
  EXPECT_EQ(back.FindByID(3)->Parent, 1u);
  EXPECT_EQ(back.DefaultChannelID(), 4);
  EXPECT_EQ(back.GetUserRights(0, "BOB"), 16);
  EXPECT_EQ(back.FindByID(1)->Topic, "beta topic");
  EXPECT_EQ(back.FindByID(1)->MaxUsers, 20);
}

TEST_F(StoredChannelsTest, MissingValuesTakeDefaultsAndRefusedChannelsAreDropped) {
  db->WriteInteger(Path(0, "Flags"), cfSubChannels);
  db->WriteInteger(Path(0, "Parent"), -1);
  db->WriteString(Path(1, "Name"), "orphan");
  db->WriteInteger(Path(1, "Parent"), 7);  // no such parent: refused
  db->WriteString(Path(2, "Name"), "Second");
  db->WriteInteger(Path(2, "Parent"), -1);
  db->WriteInteger(Path(2, "MaxUsers"), 70000);  // does not fit: the default
  db->WriteString(Path(4, "Name"), "after a gap");  // never read
  auto first = LoadStoredChannel(*db, 0, kServer);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Name, "***ERROR***");
  EXPECT_EQ(first->Description, "***ERROR***");
  EXPECT_EQ(first->MaxUsers, 2500);
  EXPECT_EQ(LoadStoredChannel(*db, 3, kServer), nullptr);

  TChannels channels(kServer, &clock);
  TChannelsLock lock(channels);
  channels.LoadChannels();
  ASSERT_EQ(channels.Count(), 2u);
  EXPECT_EQ(channels.Records()[1]->Name, "Second");
  EXPECT_EQ(channels.Records()[1]->ID, 1u);  // ids count accepted channels only
  EXPECT_EQ(channels.Records()[1]->MaxUsers, 2500);
  EXPECT_EQ(channels.DefaultChannelID(), 0) << "a stored set without a default gives it to its first top-level channel";
  DeleteStoredChannels(*db, kServer);
  EXPECT_EQ(LoadStoredChannel(*db, 0, kServer), nullptr);
}

// Two stored channels of one name (a rename could make them): the second is
// refused, and the sub-channel stored after it still finds its parent.
TEST_F(StoredChannelsTest, RefusedChannelShiftsNoParentOfTheChannelsAfterIt) {
  TChannels stored(kServer, &clock);
  {
    TChannelsLock lock(stored);
    ASSERT_TRUE(stored.LoadChannels());
    const uint32_t twin = static_cast<uint32_t>(stored.AddChannel(Channel("Twin", 0)));
    const uint32_t lobby = static_cast<uint32_t>(stored.AddChannel(Channel("Lobby", cfSubChannels)));
    ASSERT_GE(stored.AddChannel(Channel("Sub", 0, lobby)), 0);
    stored.FindByID(twin)->Name = "Default";
    stored.SaveChannels();
  }
  TChannels channels(kServer, &clock);
  TChannelsLock lock(channels);
  channels.LoadChannels();
  ASSERT_EQ(channels.Count(), 3u);
  const TChannelRecord* lobby = channels.FindByName("Lobby", kNoParent);
  const TChannelRecord* sub = channels.FindByName("Sub", kNoParent);
  ASSERT_TRUE(lobby && sub);
  EXPECT_EQ(sub->Parent, lobby->ID);
}

}  // namespace
