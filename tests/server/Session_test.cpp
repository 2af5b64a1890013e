// A voice session over real UDP on loopback, through our client library:
// login, Enter and the lists, announcements, logout and time-outs.
#include <gtest/gtest.h>

#include "common/CommandCodes.h"
#include "support/ServerFixture.h"

namespace {

TEST(SessionTest, FirstPlayerGetsIdOneAndTheLists) {
  TServerFixture f;
  ASSERT_TRUE(f.Start());
  auto client = f.NewClient();
  TLoginRequest request;
  request.NickName = "alice";
  const TLoginReply reply = client->Login(request);
  ASSERT_TRUE(reply.Received);
  EXPECT_EQ(reply.Result, 1);
  EXPECT_EQ(reply.PlayerID, 1u);
  EXPECT_EQ(reply.HeaderPlayerID, 1u);
  ASSERT_TRUE(client->Enter());
  ASSERT_EQ(client->Channels.size(), 1u);
  EXPECT_EQ(client->Channels[0].Name, "Default");
  ASSERT_EQ(client->Players.size(), 1u);
  EXPECT_EQ(client->Players[0].NickName, "alice");
  EXPECT_EQ(f.Server->CurrentUsers(), 1);
}

}  // namespace
