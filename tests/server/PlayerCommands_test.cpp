// Moderation over real UDP on loopback: kicking from the server and from a
// channel, status flags, voice requests and channel rights, each with its
// refusals in order and its notices to the players who see the subject.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/CommandCodes.h"
#include "support/CommandKit.h"
#include "support/ServerFixture.h"

using namespace kit;

namespace {

class PlayerCommandsTest : public ::testing::Test {
 protected:
  void StartServer(uint16_t serverType) {
    f.Settings.ServerType = serverType;
    f.Settings.ServerMaxUsers = 20;
    ASSERT_TRUE(f.Start());
    AddChannels(f);
  }
  // Channel rights that a registered login picks up in the default channel.
  void StoreDefaultRights(const std::string& login, uint16_t rights) {
    f.WithChannels([&](TChannels& channels) { channels.SetUserRights(kDefault, login, rights); });
  }
  // A new account that logs in with `rights` from the default channel and
  // enters `channel` / `sub`.
  std::unique_ptr<TVoiceClient> JoinWithRights(const std::string& login, uint16_t rights,
                                               const std::string& channel = "", const std::string& sub = "") {
    AddAccount(login, 0);
    StoreDefaultRights(login, rights);
    return Join(f, login, {.Channel = channel, .Sub = sub, .Login = login});
  }
  uint16_t StoredRights(uint32_t channel, const std::string& login) {
    uint16_t rights = 0;
    f.WithChannels([&](TChannels& channels) { rights = channels.GetUserRights(channel, login); });
    return rights;
  }

  TServerFixture f;
};

// Position of the first command with `code` in the client's inbox, or -1.
int IndexOf(const TVoiceClient& client, uint16_t code) {
  const auto& in = client.Commands;
  const auto it = std::find_if(in.begin(), in.end(), [&](const TClientDatagram& d) { return d.Code() == code; });
  return it == in.end() ? -1 : static_cast<int>(it - in.begin());
}

// ---- kicks ----------------------------------------------------------------------------

TEST_F(PlayerCommandsTest, KicksNeedAnExistingTargetFirstAndModeratorRightsSecond) {
  StartServer(stClan);
  auto a = Join(f, "a");
  auto b = Join(f, "b");
  ASSERT_TRUE(a && b);
  for (const uint16_t kick : {cmd::KickPlayer, cmd::KickFromChannel}) {
    ExpectRefused(*a, kick, PlayerAndMessage(99, "x"), rc::NoPlayer);
    ExpectRefused(*a, kick, PlayerAndMessage(b->PlayerID, "x"), rc::NeedModerator);
  }
  EXPECT_FALSE(b->Receives(cmd::PlayerLeft, 200));
  EXPECT_FALSE(b->Receives(cmd::PlayerKickedFromChannel, 0));
  EXPECT_EQ(PlayerRecord(f, b->PlayerID).ChannelID, kDefault);
  EXPECT_EQ(f.Server->CurrentUsers(), 2);
}

// Channel rights are given per family: they act on the requester's own
// family and the players in it, never elsewhere and never on a server
// administrator. A server administrator's reach is unchanged.
TEST_F(PlayerCommandsTest, ChannelRightsReachOnlyTheirOwnFamilyAndNoServerAdministrator) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  auto mod = JoinWithRights("mod", ChannelPrivileges::ChannelAdmin, "Lobby");
  auto peer = Join(f, "peer", {.Channel = "Lobby", .Sub = "Sub"});
  auto stranger = Join(f, "stranger", {.Channel = "Far"});
  auto admin = Join(f, "admin", {.Channel = "Lobby", .Login = "admin"});
  ASSERT_TRUE(mod && peer && stranger && admin);

  for (TVoiceClient* target : {stranger.get(), admin.get()}) {
    ExpectRefused(*mod, cmd::KickPlayer, PlayerAndMessage(target->PlayerID, "x"), rc::NeedModerator);
    ExpectRefused(*mod, cmd::KickFromChannel, PlayerAndMessage(target->PlayerID, "x"), rc::NeedModerator);
    ExpectRefused(*mod, cmd::SetChannelPrivilege, Privilege(target->PlayerID, action::Granted, 1),
                  rc::NeedModerator);
  }
  std::vector<uint8_t> rename = U32(kFar);
  const std::vector<uint8_t> name = Str29("Mine");
  rename.insert(rename.end(), name.begin(), name.end());
  ExpectRefused(*mod, cmd::SetChannelName, rename, rc::NeedModerator);
  EXPECT_EQ(PlayerRecord(f, stranger->PlayerID).ChannelPrivileges, 0);
  EXPECT_EQ(PlayerRecord(f, admin->PlayerID).ChannelID, kLobby);

  // Within its family the moderator acts, down to the sub-channels.
  ASSERT_TRUE(mod->SendCommand(cmd::SetChannelPrivilege, Privilege(peer->PlayerID, action::Granted, 1)));
  ExpectPrivilegeNotice(peer->WaitCommand(cmd::ChannelPrivilegeChanged), peer->PlayerID, action::Granted, 1,
                        mod->PlayerID);
  ASSERT_TRUE(admin->SendCommand(cmd::KickFromChannel, PlayerAndMessage(stranger->PlayerID, "x")));
  EXPECT_TRUE(TServerFixture::WaitFor([&] { return PlayerRecord(f, stranger->PlayerID).ChannelID == kDefault; }));
}

class KickTest : public PlayerCommandsTest, public ::testing::WithParamInterface<uint16_t> {};

// The kicked player's viewers hear of it with reason 2, the kicker as causer
// and the message; the player's connection then closes and it is removed.
TEST_P(KickTest, OperatorKicksAPlayerOffTheServer) {
  const bool clan = GetParam() & stClan;
  StartServer(GetParam());
  auto op = JoinWithRights("op", ChannelPrivileges::Operator, "Lobby", "Sub");
  auto victim = Join(f, "victim", {.Channel = "Lobby"});
  auto outsider = Join(f, "outsider", {.Channel = "Far"});
  ASSERT_TRUE(op && victim && outsider);

  ASSERT_TRUE(op->SendCommand(cmd::KickPlayer, PlayerAndMessage(victim->PlayerID, "behave")));
  for (TVoiceClient* c : {victim.get(), op.get()}) {
    const auto left = c->WaitCommand(cmd::PlayerLeft);
    ASSERT_TRUE(left.has_value());
    EXPECT_EQ(left->U32(24), victim->PlayerID);
    EXPECT_EQ(left->U16(28), cmd::LeftKicked);
    EXPECT_EQ(left->U32(30), op->PlayerID);
    EXPECT_EQ(left->Str(34, 29), "behave");
  }
  EXPECT_EQ(outsider->Receives(cmd::PlayerLeft, clan ? 3000 : 300), clan);
  EXPECT_TRUE(TServerFixture::WaitFor([&] { return f.Server->CurrentUsers() == 2; }));
  EXPECT_FALSE(FindPlayerRecord(f, victim->PlayerID).has_value());
  // The notice went out once: the close that follows announces nothing more.
  EXPECT_FALSE(op->Receives(cmd::PlayerLeft, 200));
}

INSTANTIATE_TEST_SUITE_P(ServerTypes, KickTest, ::testing::Values(uint16_t{stClan}, uint16_t{stPublic}));

// The target lands in the default channel with the rights stored for it
// there, without auto rights; those who saw it in its old channel are told.
TEST_F(PlayerCommandsTest, KickFromChannelMovesToTheDefaultChannelWithItsStoredRights) {
  StartServer(stPublic);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  auto admin = Join(f, "admin", {.Channel = "Lobby", .Sub = "Sub", .Login = "admin"});
  auto target = JoinWithRights("target", ChannelPrivileges::AutoVoice, "Lobby");
  auto guest = Join(f, "guest", {.Channel = "Lobby"});
  auto watcher = Join(f, "watcher");
  ASSERT_TRUE(admin && target && guest && watcher);
  // Logged in with AutoVoice, so Voice too.
  ASSERT_EQ(PlayerRecord(f, target->PlayerID).ChannelPrivileges,
            ChannelPrivileges::AutoVoice | ChannelPrivileges::Voice);

  ASSERT_TRUE(admin->SendCommand(cmd::KickFromChannel, PlayerAndMessage(target->PlayerID, "go home")));
  for (TVoiceClient* c : {target.get(), admin.get(), guest.get()}) {
    const auto kicked = c->WaitCommand(cmd::PlayerKickedFromChannel);
    ASSERT_TRUE(kicked.has_value());
    EXPECT_EQ(kicked->Size(), 68u);
    EXPECT_EQ(kicked->U32(24), target->PlayerID);
    EXPECT_EQ(kicked->U32(28), kLobby);
    EXPECT_EQ(kicked->U32(32), kDefault);
    EXPECT_EQ(kicked->U16(36), ChannelPrivileges::AutoVoice);
    EXPECT_EQ(kicked->Str(38, 29), "go home");
  }
  EXPECT_FALSE(watcher->Receives(cmd::PlayerKickedFromChannel, 300)) << "did not see the target where it was";
  const TClientObject moved = PlayerRecord(f, target->PlayerID);
  EXPECT_EQ(moved.ChannelID, kDefault);
  EXPECT_EQ(moved.ChannelPrivileges, ChannelPrivileges::AutoVoice);

  // An anonymous target has no stored rights: it lands with none.
  ASSERT_TRUE(admin->SendCommand(cmd::KickFromChannel, PlayerAndMessage(guest->PlayerID, "")));
  const auto kicked = guest->WaitCommand(cmd::PlayerKickedFromChannel);
  ASSERT_TRUE(kicked.has_value());
  EXPECT_EQ(kicked->U16(36), 0);
  EXPECT_EQ(PlayerRecord(f, guest->PlayerID).ChannelID, kDefault);
  EXPECT_EQ(f.Server->CurrentUsers(), 4) << "nobody left the server";
}

// ---- flags and voice requests -----------------------------------------------------------

TEST_F(PlayerCommandsTest, PlayerFlagsAreStoredAsGivenAndShownToViewers) {
  StartServer(stPublic);
  auto a = Join(f, "a", {.Channel = "Lobby"});
  auto neighbour = Join(f, "neighbour", {.Channel = "Lobby", .Sub = "Sub"});
  auto outsider = Join(f, "outsider", {.Channel = "Far"});
  ASSERT_TRUE(a && neighbour && outsider);
  ASSERT_TRUE(a->SendCommand(cmd::SetPlayerFlags, U32(0x80000015)));
  for (TVoiceClient* c : {a.get(), neighbour.get()}) {
    const auto changed = c->WaitCommand(cmd::PlayerFlagsChanged);
    ASSERT_TRUE(changed.has_value());
    EXPECT_EQ(changed->Size(), 32u);
    EXPECT_EQ(changed->U32(24), a->PlayerID);
    EXPECT_EQ(changed->U32(28), 0x80000015u);
  }
  EXPECT_FALSE(outsider->Receives(cmd::PlayerFlagsChanged, 300));
  EXPECT_EQ(PlayerRecord(f, a->PlayerID).PlayerFlags, 0x80000015u);
}

TEST_F(PlayerCommandsTest, VoiceIsRequestedOnceAndOnlyInAModeratedChannel) {
  StartServer(stPublic);
  auto speaker = Join(f, "speaker", {.Channel = "Stage"});
  auto audience = Join(f, "audience", {.Channel = "Stage"});
  auto outsider = Join(f, "outsider");
  ASSERT_TRUE(speaker && audience && outsider);

  ExpectRefused(*outsider, cmd::RequestVoice, Str29("me too"), rc::NotModerated);
  ASSERT_TRUE(speaker->SendCommand(cmd::RequestVoice, Str29("may I?")));
  for (TVoiceClient* c : {speaker.get(), audience.get()}) {
    const auto requested = c->WaitCommand(cmd::VoiceRequested);
    ASSERT_TRUE(requested.has_value());
    EXPECT_EQ(requested->Size(), 58u);
    EXPECT_EQ(requested->U32(24), speaker->PlayerID);
    EXPECT_EQ(requested->Str(28, 29), "may I?");
  }
  EXPECT_FALSE(outsider->Receives(cmd::VoiceRequested, 300));
  EXPECT_EQ(PlayerRecord(f, speaker->PlayerID).PlayerFlags, 2u);
  EXPECT_EQ(PlayerRecord(f, outsider->PlayerID).PlayerFlags, 0u);

  ExpectRefused(*speaker, cmd::RequestVoice, Str29("again"), rc::VoiceAlreadyRequested);
  EXPECT_FALSE(audience->Receives(cmd::VoiceRequested, 200));
}

// Granting Voice answers the request: the flag notice comes first, then the
// rights notice.
TEST_F(PlayerCommandsTest, GrantingVoiceClearsAPendingRequest) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  auto admin = Join(f, "admin", {.Channel = "Stage", .Login = "admin"});
  auto speaker = Join(f, "speaker", {.Channel = "Stage"});
  ASSERT_TRUE(admin && speaker);
  ASSERT_TRUE(speaker->SendCommand(cmd::SetPlayerFlags, U32(1)));
  ASSERT_TRUE(speaker->SendCommand(cmd::RequestVoice, Str29("")));
  ASSERT_TRUE(speaker->WaitCommand(cmd::VoiceRequested).has_value());
  speaker->Commands.clear();

  ASSERT_TRUE(admin->SendCommand(cmd::SetChannelPrivilege, Privilege(speaker->PlayerID, action::Granted, 2)));
  ASSERT_TRUE(speaker->Receives(cmd::ChannelPrivilegeChanged, 3000));
  const int flags = IndexOf(*speaker, cmd::PlayerFlagsChanged);
  ASSERT_GE(flags, 0);
  EXPECT_LT(flags, IndexOf(*speaker, cmd::ChannelPrivilegeChanged));
  EXPECT_EQ(speaker->Commands[static_cast<size_t>(flags)].U32(28), 1u) << "only the request bit is cleared";
  const TClientObject record = PlayerRecord(f, speaker->PlayerID);
  EXPECT_EQ(record.PlayerFlags, 1u);
  EXPECT_EQ(record.ChannelPrivileges, ChannelPrivileges::Voice);
}

// ---- channel rights ------------------------------------------------------------------------

TEST_F(PlayerCommandsTest, ChannelPrivilegeRefusalsComeInTheirOrder) {
  StartServer(stClan);
  auto chief = JoinWithRights("chief", ChannelPrivileges::ChannelAdmin);
  auto nobody = Join(f, "nobody");
  auto target = Join(f, "target");
  ASSERT_TRUE(chief && nobody && target);
  const uint32_t t = target->PlayerID;

  ExpectRefused(*nobody, cmd::SetChannelPrivilege, Privilege(99, action::Granted, 1), rc::NoPlayer);
  ExpectRefused(*nobody, cmd::SetChannelPrivilege, Privilege(chief->PlayerID, action::Granted, 0),
                rc::NeedModerator);
  ExpectRefused(*chief, cmd::SetChannelPrivilege, Privilege(chief->PlayerID, action::Granted, 0),
                rc::AlreadyChannelAdmin);
  for (const uint8_t bit : {1, 2}) {
    ASSERT_TRUE(chief->SendCommand(cmd::SetChannelPrivilege, Privilege(t, action::Granted, bit)));
    ExpectRefused(*chief, cmd::SetChannelPrivilege, Privilege(t, action::Granted, bit),
                  bit == 1 ? rc::AlreadyOperator : rc::AlreadyVoice);
  }
  // Auto rights belong to accounts: refused for an anonymous target, whatever the action.
  ExpectRefused(*chief, cmd::SetChannelPrivilege, Privilege(t, action::Granted, 3), rc::AutoRightsNeedRegistered);
  ExpectRefused(*chief, cmd::SetChannelPrivilege, Privilege(t, action::Revoked, 4), rc::AutoRightsNeedRegistered);
  EXPECT_EQ(PlayerRecord(f, t).ChannelPrivileges, ChannelPrivileges::Operator | ChannelPrivileges::Voice);
  EXPECT_EQ(PlayerRecord(f, chief->PlayerID).ChannelPrivileges, ChannelPrivileges::ChannelAdmin);
}

TEST_F(PlayerCommandsTest, ChannelPrivilegeIsGrantedAndRevokedBeforeTheTargetsViewers) {
  StartServer(stPublic);
  auto chief = JoinWithRights("chief", ChannelPrivileges::ChannelAdmin);
  auto target = Join(f, "target");
  auto outsider = Join(f, "outsider", {.Channel = "Far"});
  ASSERT_TRUE(chief && target && outsider);
  const uint32_t t = target->PlayerID;

  ASSERT_TRUE(chief->SendCommand(cmd::SetChannelPrivilege, Privilege(t, action::Granted, 1)));
  for (TVoiceClient* c : {target.get(), chief.get()})
    ExpectPrivilegeNotice(c->WaitCommand(cmd::ChannelPrivilegeChanged), t, action::Granted, 1, chief->PlayerID);
  EXPECT_EQ(PlayerRecord(f, t).ChannelPrivileges, ChannelPrivileges::Operator);
  // Rights of an anonymous player are not stored anywhere.
  EXPECT_EQ(StoredRights(kDefault, ""), 0);

  ASSERT_TRUE(chief->SendCommand(cmd::SetChannelPrivilege, Privilege(t, action::Revoked, 1)));
  ExpectPrivilegeNotice(target->WaitCommand(cmd::ChannelPrivilegeChanged), t, action::Revoked, 1, chief->PlayerID);
  EXPECT_EQ(PlayerRecord(f, t).ChannelPrivileges, 0);

  // The server's own action codes and bits past the 16 rights change nothing.
  ASSERT_TRUE(chief->SendCommand(cmd::SetChannelPrivilege, Privilege(t, action::GrantedByServer, 1)));
  ASSERT_TRUE(target->WaitCommand(cmd::ChannelPrivilegeChanged).has_value());
  EXPECT_EQ(PlayerRecord(f, t).ChannelPrivileges, 0);
  for (const uint8_t bit : {16, 31, 200})
    ASSERT_TRUE(chief->SendCommand(cmd::SetChannelPrivilege, Privilege(t, action::Granted, bit)));
  EXPECT_FALSE(target->Receives(cmd::ChannelPrivilegeChanged, 300));
  EXPECT_EQ(PlayerRecord(f, t).ChannelPrivileges, 0);
  EXPECT_FALSE(outsider->Receives(cmd::ChannelPrivilegeChanged, 0)) << "the outsider cannot see the target";
}

// A registered target's rights are stored for its login name on the family
// it is in, so they come back with the next login there.
TEST_F(PlayerCommandsTest, RegisteredTargetsRightsAreStoredForItsFamily) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("member", 0);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto member = Join(f, "member", {.Channel = "Lobby", .Sub = "Sub", .Login = "member"});
  ASSERT_TRUE(admin && member);
  ASSERT_TRUE(admin->SendCommand(cmd::SetChannelPrivilege, Privilege(member->PlayerID, action::Granted, 0)));
  ASSERT_TRUE(member->WaitCommand(cmd::ChannelPrivilegeChanged).has_value());
  EXPECT_EQ(StoredRights(kLobby, "member"), ChannelPrivileges::ChannelAdmin);
  EXPECT_EQ(StoredRights(kDefault, "member"), 0);
}

// Granting an auto right also grants what it stands for, with a second
// notice from the server itself; what is stored is the auto right alone.
TEST_F(PlayerCommandsTest, AutoRightsBringTheirRightWithASecondNotice) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("op", 0);
  AddAccount("speaker", 0);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto op = Join(f, "op", {.Login = "op"});
  auto speaker = Join(f, "speaker", {.Login = "speaker"});
  ASSERT_TRUE(admin && op && speaker);

  struct TCase {
    TVoiceClient* Target;
    uint8_t AutoBit, RightBit;
    uint16_t Rights;
  };
  for (const TCase& c : {TCase{op.get(), 3, 1, ChannelPrivileges::AutoOperator | ChannelPrivileges::Operator},
                         TCase{speaker.get(), 4, 2, ChannelPrivileges::AutoVoice | ChannelPrivileges::Voice}}) {
    const uint32_t t = c.Target->PlayerID;
    ASSERT_TRUE(admin->SendCommand(cmd::SetChannelPrivilege, Privilege(t, action::Granted, c.AutoBit)));
    // On a clan server every player sees the target.
    for (TVoiceClient* viewer : {op.get(), speaker.get(), admin.get()}) {
      ExpectPrivilegeNotice(viewer->WaitCommand(cmd::ChannelPrivilegeChanged), t, action::Granted, c.AutoBit,
                            admin->PlayerID);
      ExpectPrivilegeNotice(viewer->WaitCommand(cmd::ChannelPrivilegeChanged), t, action::GrantedByServer,
                            c.RightBit, 0);
    }
    EXPECT_EQ(PlayerRecord(f, t).ChannelPrivileges, c.Rights);
    EXPECT_EQ(StoredRights(kDefault, c.Target == op.get() ? "op" : "speaker"), 1u << c.AutoBit);
  }
}

}  // namespace
