#include <gtest/gtest.h>

#include "server/ClientList.h"

namespace {

std::unique_ptr<TClientObject> Player(uint32_t id, uint32_t key, uint32_t channel, const std::string& nick) {
  auto p = std::make_unique<TClientObject>();
  p->PlayerID = id;
  p->SessionKey = key;
  p->ChannelID = channel;
  p->NickName = nick;
  return p;
}

std::vector<uint32_t> Ids(const std::vector<TClientObject*>& players) {
  std::vector<uint32_t> ids;
  for (auto* p : players) ids.push_back(p->PlayerID);
  return ids;
}

TEST(ClientListTest, IndexesFollowAddsMovesAndRemovals) {
  TClientList list;
  TClientListLock lock(list);
  list.Add(Player(1, 100, 0, "Alice"));
  TClientObject* bob = list.Add(Player(2, 200, 5, "Bob"));
  list.Add(Player(3, 300, 0, "Carol"));
  EXPECT_EQ(Ids(list.InChannel(0)), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(list.FindByNick("aLiCe")->PlayerID, 1u);
  EXPECT_EQ(list.FindByID(0), nullptr);
  EXPECT_TRUE(list.SessionKeyInUse(200));

  // A member that comes back keeps its place in list order.
  list.MovePlayer(bob, 0);
  EXPECT_EQ(Ids(list.InChannel(0)), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(list.CountInChannel(5), 0u);
  EXPECT_EQ(bob->ChannelID, 0u);

  auto removed = list.Remove(list.FindByID(1));
  ASSERT_NE(removed, nullptr);
  EXPECT_EQ(Ids(list.Items()), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(Ids(list.InChannel(0)), (std::vector<uint32_t>{2, 3}));
  EXPECT_FALSE(list.SessionKeyInUse(100));
  EXPECT_EQ(list.FindByNick("alice"), nullptr) << "a removed player is still found by its nickname";
  EXPECT_EQ(list.Remove(removed.get()), nullptr);  // not listed any more
  // Names alike but for case: the first listed is found, the other once it goes.
  list.Add(Player(4, 400, 0, "CAROL"));
  EXPECT_EQ(list.FindByNick("carol")->PlayerID, 3u);
  list.Remove(list.FindByID(3));
  EXPECT_EQ(list.FindByNick("carol")->PlayerID, 4u);
  // A record added under a listed id replaces that player, nickname included.
  list.Add(Player(4, 401, 0, "Dave"));
  EXPECT_EQ(list.FindByNick("carol"), nullptr);
  EXPECT_EQ(list.FindByNick("DAVE")->PlayerID, 4u);
  list.Clear();
  EXPECT_TRUE(list.Empty());
  EXPECT_TRUE(list.InChannel(0).empty());
}

}  // namespace
