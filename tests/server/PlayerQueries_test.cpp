// Information and text over real UDP on loopback: PlayerInfo (the address
// and port for server administrators only), ServerInfo, and text messages to
// everyone or to the members of one channel.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/CommandCodes.h"
#include "support/CommandKit.h"
#include "support/ServerFixture.h"

using namespace kit;

namespace {

class PlayerQueriesTest : public ::testing::Test {
 protected:
  void StartServer(uint16_t serverType) {
    f.Settings.ServerType = serverType;
    ASSERT_TRUE(f.Start());
    AddChannels(f);
  }
  // Moves the manual clock's wall time on, and its counter by no more than a
  // millisecond: enough for the listener to read the wall time again, far
  // too little for any connection to time out.
  void Later(double seconds) {
    clock.SetNow(clock.Now() + seconds / 86400.0);
    clock.AdvanceMs(1);
  }

  TManualClock clock;
  TServerFixture f;
};

uint16_t LocalPort(const TVoiceClient& client) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(client.Fd(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// ---- PlayerInfo ---------------------------------------------------------------------------

TEST_F(PlayerQueriesTest, PlayerInfoShowsTheAddressToServerAdministratorsOnly) {
  f.Clock = &clock;
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto guest = Join(f, "guest");
  ASSERT_TRUE(admin && guest);
  TLoginRequest request;
  request.NickName = "target";
  request.ClientPlatform = "TestOS";
  request.Version[0] = 3;
  request.Version[1] = 1;
  request.Version[2] = 21;
  request.Version[3] = 7;
  auto target = f.NewClient();
  ASSERT_EQ(target->Login(request).Result, rc::LoginOk);
  ASSERT_TRUE(target->Enter("Far"));
  const uint32_t t = target->PlayerID;

  // Logged in 120 s ago, last heard from 30 s ago.
  Later(90);
  ASSERT_TRUE(target->SendCommand(cmd::SetPlayerFlags, U32(0)));
  ASSERT_TRUE(admin->WaitCommand(cmd::PlayerFlagsChanged).has_value());
  Later(30);

  ExpectRefused(*guest, cmd::PlayerInfo, U32(99), rc::NoPlayer);
  for (TVoiceClient* asker : {admin.get(), guest.get()}) {
    ASSERT_TRUE(asker->SendCommand(cmd::PlayerInfo, U32(t)));
    const auto info = asker->WaitCommand(cmd::PlayerInfoReply);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->Size(), 164u);
    EXPECT_EQ(info->U32(24), t);
    EXPECT_EQ(info->U32(28), 120u);
    EXPECT_EQ(info->U32(36), 30u);
    EXPECT_EQ(info->U16(40), 3);
    EXPECT_EQ(info->U16(42), 1);
    EXPECT_EQ(info->U16(44), 21);
    EXPECT_EQ(info->U16(46), 7);
    // Since its connection exists, the target sent Enter, a command and
    // acknowledgements; it was sent its login reply, the lists and notices.
    EXPECT_GE(info->U32(48), 3u);
    EXPECT_GE(info->U32(52), 372u + 556u);
    EXPECT_GE(info->U32(56), 2u);
    EXPECT_GE(info->U32(60), 116u + 28u);
    EXPECT_LT(info->U32(48), info->U32(52)) << "packets before bytes";
    EXPECT_LT(info->U32(56), info->U32(60));
    if (asker == admin.get()) {
      EXPECT_EQ(info->Str(64, 29), "127.0.0.1");
      EXPECT_EQ(info->U16(94), LocalPort(*target));
    } else {
      EXPECT_EQ(info->Str(64, 29), "");
      EXPECT_EQ(info->U16(94), 0);
    }
    EXPECT_EQ(info->Str(96, 29), "");
    EXPECT_EQ(info->U32(126), kFar);
    EXPECT_EQ(info->U16(130), 0);
    EXPECT_EQ(info->U16(132), 0);
    EXPECT_EQ(info->Str(134, 29), "TestOS");
  }
  EXPECT_FALSE(target->Receives(cmd::PlayerInfoReply, 200)) << "the reply is the asker's alone";

  // A registered player shows its login name and rights.
  ASSERT_TRUE(guest->SendCommand(cmd::PlayerInfo, U32(admin->PlayerID)));
  const auto info = guest->WaitCommand(cmd::PlayerInfoReply);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->Str(96, 29), "admin");
  EXPECT_EQ(info->U16(132), PlayerPrivileges::Registered | PlayerPrivileges::ServerAdmin);
  EXPECT_EQ(info->Str(64, 29), "");
}

// ---- ServerInfo ---------------------------------------------------------------------------

TEST_F(PlayerQueriesTest, ServerInfoReportsUptimeVersionTypeAndTotals) {
  f.Clock = &clock;
  f.Settings.ServerFlags = sfAnyoneMayRegister | sfUnregisteredChannels;
  StartServer(stPublic);
  auto a = Join(f, "a");
  ASSERT_TRUE(a);
  Later(3725);
  ASSERT_TRUE(a->SendCommand(cmd::ServerInfo, {}));
  const auto info = a->WaitCommand(cmd::ServerInfoReply);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->Size(), 56u);
  EXPECT_EQ(info->U32(24), 3725u);
  EXPECT_EQ(info->U16(28), 2);
  EXPECT_EQ(info->U16(30), 0);
  EXPECT_EQ(info->U16(32), 18);
  EXPECT_EQ(info->U16(34), 25);
  EXPECT_EQ(info->U16(36), f.Server->ServerType);
  EXPECT_TRUE(info->U16(36) & stPublic);
  EXPECT_EQ(info->U16(38), sfAnyoneMayRegister | sfUnregisteredChannels);
  // Packets and bytes each way: the login, Enter and this request came in;
  // the login reply, the lists and more went out.
  EXPECT_GE(info->U32(40), 3u);
  EXPECT_GE(info->U32(44), 372u + 556u);
  EXPECT_GE(info->U32(48), 3u);
  EXPECT_GE(info->U32(52), 180u + 116u + 24u);
  EXPECT_LT(info->U32(40), info->U32(44)) << "packets before bytes";
  EXPECT_LT(info->U32(48), info->U32(52));
}

// ---- text messages ------------------------------------------------------------------------

void ExpectText(const std::optional<TClientDatagram>& message, const std::string& text, uint32_t value,
                const std::string& sender) {
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->Size(), 314u);
  EXPECT_EQ(message->Str(24, 255), text);
  EXPECT_EQ(message->U32(280), value);
  EXPECT_EQ(message->Str(284, 29), sender);
}

// Everyone means every player on the server, beyond visibility, the sender
// included.
TEST_F(PlayerQueriesTest, TextMessageToAllReachesEveryoneAndTheSender) {
  StartServer(stPublic);
  auto sender = Join(f, "sender", {.Channel = "Lobby"});
  auto neighbour = Join(f, "neighbour", {.Channel = "Lobby", .Sub = "Sub"});
  auto outsider = Join(f, "outsider", {.Channel = "Far"});
  ASSERT_TRUE(sender && neighbour && outsider);
  const std::string text(255, 'x');
  ASSERT_TRUE(sender->SendCommand(cmd::TextMessage, Text(text, 0xCAFE0001, -1)));
  for (TVoiceClient* c : {sender.get(), neighbour.get(), outsider.get()})
    ExpectText(c->WaitCommand(cmd::TextMessageOut), text, 0xCAFE0001, "sender");
  EXPECT_FALSE(sender->Receives(cmd::TextMessageOut, 200)) << "one copy each";
}

TEST_F(PlayerQueriesTest, TextMessageToAChannelReachesItsMembersOnly) {
  StartServer(stClan);
  auto sender = Join(f, "sender");
  auto member = Join(f, "member", {.Channel = "Lobby"});
  auto subMember = Join(f, "sub member", {.Channel = "Lobby", .Sub = "Sub"});
  auto outsider = Join(f, "outsider", {.Channel = "Far"});
  ASSERT_TRUE(sender && member && subMember && outsider);

  ASSERT_TRUE(sender->SendCommand(cmd::TextMessage, Text("to the lobby", 7, static_cast<int32_t>(kLobby))));
  ExpectText(member->WaitCommand(cmd::TextMessageOut), "to the lobby", 7, "sender");
  ASSERT_TRUE(sender->SendCommand(cmd::TextMessage, Text("to the sub-channel", 8, static_cast<int32_t>(kSub))));
  ExpectText(subMember->WaitCommand(cmd::TextMessageOut), "to the sub-channel", 8, "sender");
  // Nobody is on the Stage: nobody hears, and the sender gets no refusal either.
  ASSERT_TRUE(sender->SendCommand(cmd::TextMessage, Text("anyone?", 9, static_cast<int32_t>(kStage))));
  ExpectRefused(*sender, cmd::TextMessage, Text("nowhere", 0, 77), rc::NoChannel);

  EXPECT_FALSE(outsider->Receives(cmd::TextMessageOut, 200));
  EXPECT_FALSE(sender->Receives(cmd::TextMessageOut, 0)) << "the sender is in none of these channels";
  EXPECT_FALSE(member->Receives(cmd::TextMessageOut, 0)) << "a sub-channel's message stays there";
  EXPECT_FALSE(subMember->Receives(cmd::TextMessageOut, 0)) << "a parent's message stays there";
}

// A datagram shorter than the command's record is not read at all.
TEST_F(PlayerQueriesTest, ShortTextMessageIsIgnored) {
  StartServer(stClan);
  auto sender = Join(f, "sender");
  ASSERT_TRUE(sender);
  std::vector<uint8_t> payload = Text("cut short", 1, -1);
  payload.pop_back();
  sender->Commands.clear();
  ASSERT_TRUE(sender->SendCommand(cmd::TextMessage, payload));
  EXPECT_FALSE(sender->Receives(cmd::TextMessageOut, 300));
  EXPECT_TRUE(sender->Commands.empty()) << "no refusal either";
}

}  // namespace
