// Login over real UDP on loopback: player ids, every refusal with the reply
// it gets, nicknames, registered logins, and a refused login that shares
// its player id with an accepted one.
#include <gtest/gtest.h>

#include "common/ClientObject.h"
#include "common/CommandCodes.h"
#include "database/Accounts.h"
#include "support/HeldPasswordHashes.h"
#include "support/ServerFixture.h"
#include "server/ServerAccess.h"
#include "server/ServerInternals.h"

namespace {

TLoginRequest Nick(const std::string& nick) {
  TLoginRequest r;
  r.NickName = nick;
  return r;
}

// The fields that a refusal decided before the player is built leaves zero.
void ExpectShortReply(const TLoginReply& reply) {
  EXPECT_EQ(reply.ServerName, "");
  EXPECT_EQ(reply.Platform, "");
  EXPECT_EQ(reply.CodecMask, 0u);
  EXPECT_EQ(reply.MaxUsers, 0u);
  EXPECT_EQ(reply.WelcomeMessage, "");
  EXPECT_EQ(reply.Version[0], 0);
}

void ExpectFullReply(const TLoginReply& reply, const TServerSettings& settings) {
  EXPECT_EQ(reply.ServerName, settings.ServerName);
  EXPECT_EQ(reply.Platform, "Linux");
  EXPECT_EQ(reply.Version[0], 2);
  EXPECT_EQ(reply.Version[1], 0);
  EXPECT_EQ(reply.Version[2], 18);
  EXPECT_EQ(reply.Version[3], 25);
  EXPECT_EQ(reply.CodecMask, settings.CodecMask());
  EXPECT_EQ(reply.MaxUsers, settings.ServerMaxUsers);
  EXPECT_EQ(reply.WelcomeMessage, settings.ServerWelcomeMessage);
  EXPECT_EQ(reply.Raw.Size(), 372u);
}

bool AddAccount(const std::string& loginName, const std::string& password) {
  TClientObject account;
  account.LoginName = loginName;
  account.Password = password;
  return AddUser(account, TServerFixture::kDefaultID);
}

TBan Ban(TBanKind kind, std::string value) {
  TBan ban;
  ban.Kind = kind;
  ban.Value = std::move(value);
  return ban;
}

class LoginTest : public ::testing::Test {
 protected:
  TServerFixture f;
};

TEST_F(LoginTest, IdsStartAtOneAndStartAgainOnceTheServerIsEmpty) {
  ASSERT_TRUE(f.Start());
  auto a = f.Connect("a");
  auto b = f.Connect("b");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->PlayerID, 1u);
  EXPECT_EQ(b->PlayerID, 2u);
  EXPECT_NE(a->SessionKey, b->SessionKey);
  EXPECT_LE(a->SessionKey, 16777214u);

  for (auto* c : {a.get(), b.get()}) ASSERT_TRUE(c->SendCommand(cmd::Logout, {}));
  // Each leaver's own notice closes its connection once acknowledged.
  for (auto* c : {a.get(), b.get()}) ASSERT_TRUE(c->WaitCommand(cmd::PlayerLeft).has_value());
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return f.Server->CurrentUsers() == 0; }));
  auto c = f.Connect("c");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->PlayerID, 1u);
}

TEST_F(LoginTest, RefusalsDecidedBeforeThePlayerIsBuiltGetTheShortReply) {
  f.Settings.ServerPassword = "secret";
  ASSERT_TRUE(f.Start());
  {
    TLoginRequest old = Nick("old");
    old.Version[2] = 12;
    old.Password = "secret";
    const TLoginReply reply = f.NewClient()->Login(old);
    ASSERT_TRUE(reply.Received);
    EXPECT_EQ(reply.Result, rc::VersionTooOld);
    EXPECT_EQ(reply.PlayerID, 0u);
    ExpectShortReply(reply);
  }
  {
    TLoginRequest wrong = Nick("wrong");
    wrong.Password = "guess";
    const TLoginReply reply = f.NewClient()->Login(wrong);
    ASSERT_TRUE(reply.Received);
    EXPECT_EQ(reply.Result, rc::BadPasswordOrNick);
    EXPECT_EQ(reply.PlayerID, 1u);
    EXPECT_EQ(reply.HeaderPlayerID, 1u);
    ExpectShortReply(reply);
  }
  {
    TLoginRequest right = Nick("right");
    right.Password = "secret";
    const TLoginReply reply = f.NewClient()->Login(right);
    EXPECT_EQ(reply.Result, rc::LoginOk);
    ExpectFullReply(reply, f.Settings);
  }
}

TEST_F(LoginTest, RegisteredLoginsCountEvenWithAWrongPassword) {
  ASSERT_TRUE(f.Start());
  TClientObject account;
  account.LoginName = "reg";
  account.Password = "pw";
  account.NickName = "reg";
  account.PlayerPrivileges = PlayerPrivileges::ServerAdmin | PlayerPrivileges::AllowRegistration;
  ASSERT_TRUE(AddUser(account, TServerFixture::kDefaultID));
  f.WithChannels([](TChannels& channels) {
    channels.SetUserRights(static_cast<uint32_t>(channels.DefaultChannelID()), "REG",
                           ChannelPrivileges::AutoOperator | ChannelPrivileges::AutoVoice);
  });

  TLoginRequest unknown = Nick("x");
  unknown.LoginName = "nobody";
  const TLoginReply none = f.NewClient()->Login(unknown);
  EXPECT_EQ(none.Result, rc::BadAccount);
  EXPECT_EQ(none.PlayerID, 1u);
  ExpectShortReply(none);

  TLoginRequest wrong = Nick("x");
  wrong.LoginName = "reg";
  wrong.Password = "PW";  // the comparison is case-sensitive
  EXPECT_EQ(f.NewClient()->Login(wrong).Result, rc::BadAccount);
  EXPECT_EQ(GetUser("reg", TServerFixture::kDefaultID, false)->Logins, 1u);

  TLoginRequest right = Nick("regnick");
  right.LoginName = "reg";
  right.Password = "pw";
  auto client = f.Connect(right);
  ASSERT_TRUE(client);
  EXPECT_EQ(GetUser("reg", TServerFixture::kDefaultID, false)->Logins, 2u);
  ASSERT_EQ(client->Players.size(), 1u);
  EXPECT_EQ(client->Players[0].PlayerPrivileges, PlayerPrivileges::ServerAdmin | PlayerPrivileges::Registered);
  EXPECT_EQ(client->Players[0].ChannelPrivileges, ChannelPrivileges::AutoOperator | ChannelPrivileges::AutoVoice |
                                                      ChannelPrivileges::Operator | ChannelPrivileges::Voice);
}

// A login's account check runs beside the listener: while it is held back,
// another player's command is answered and other logins are served. The
// client's repeat of a login being checked makes no second player.
TEST_F(LoginTest, AccountChecksRunBesideTheListenerAndARepeatedLoginMakesNoSecondPlayer) {
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(AddAccount("reg", "pw"));
  auto a = f.Connect("a");
  ASSERT_TRUE(a);

  THeldPasswordHashes held;
  TLoginRequest reg = Nick("regnick");
  reg.LoginName = "reg";
  reg.Password = "pw";
  reg.UniqueNick = true;  // a second player would be let in under another nickname
  auto b = f.NewClient();
  b->SendLogin(reg);
  ASSERT_TRUE(held.WaitEntered(1));
  a->QueueCommand(cmd::ServerInfo, {});
  EXPECT_TRUE(a->WaitCommand(cmd::ServerInfoReply).has_value()) << "the listener waits for the hash";
  b->SendLogin(reg);
  // Logins are served in their order: this one's answer means the repeat was seen.
  auto other = f.Connect("other");
  ASSERT_TRUE(other);
  EXPECT_FALSE(b->TakeLoginReply().has_value());

  held.Release();
  std::optional<TLoginReply> reply;
  ASSERT_TRUE(TServerFixture::WaitFor([&] {
    b->Pump();
    return (reply = b->TakeLoginReply()).has_value();
  }));
  EXPECT_EQ(reply->Result, 1);
  ExpectFullReply(*reply, f.Settings);
  ASSERT_TRUE(b->Enter());
  // Checked after whatever the repeat could have started, so it is done.
  auto c = f.Connect(reg);
  ASSERT_TRUE(c);
  EXPECT_EQ(f.Server->CurrentUsers(), 4);
  EXPECT_EQ(GetUser("reg", TServerFixture::kDefaultID, false)->Logins, 2u);
}

// Five wrong passwords from one address block its logins with a password:
// the right one is refused with -21 as well, without the account being
// looked at (its login count stands still), and the block is logged.
TEST_F(LoginTest, PasswordGuessingIsThrottled) {
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(AddAccount("admin", "right"));
  TLoginRequest guess = Nick("x");
  guess.LoginName = "admin";
  for (int n = 0; n < 5; ++n) {
    guess.Password = "guess" + std::to_string(n);
    ASSERT_EQ(f.NewClient()->Login(guess).Result, -21);
  }
  const uint32_t counted = GetUser("admin", TServerFixture::kDefaultID, false)->Logins;
  guess.Password = "right";
  EXPECT_EQ(f.NewClient()->Login(guess).Result, -21);
  EXPECT_EQ(GetUser("admin", TServerFixture::kDefaultID, false)->Logins, counted);
  EXPECT_EQ(f.NewClient()->Login(Nick("anonymous")).Result, 1) << "a login without a password is not blocked";
}

// Bans by name, nickname and address: refused with the server's own
// refusal before the account is looked at (its login count stays), kept
// across a restart, lapsed once expired, gone once lifted.
TEST_F(LoginTest, BansRefuseBeforeThePasswordOutliveARestartAndLapse) {
  TManualClock clock;
  f.Clock = &clock;
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(AddAccount("troll", "pw"));
  TBan byName = Ban(TBanKind::Name, "TROLL"), byNick = Ban(TBanKind::Nick, "Spammer");
  ASSERT_TRUE(TServerAccess(f.Server).AddBan(byName, 10));
  ASSERT_TRUE(TServerAccess(f.Server).AddBan(byNick, 0));
  EXPECT_NE(byName.ID, byNick.ID);
  TLoginRequest troll = Nick("innocent");
  troll.LoginName = "troll";
  troll.Password = "pw";
  const TLoginReply refused = f.NewClient()->Login(troll);
  EXPECT_EQ(refused.Result, rc::BadPasswordOrNick);
  ExpectShortReply(refused);
  EXPECT_EQ(GetUser("troll", TServerFixture::kDefaultID, false)->Logins, 0u) << "no account check ran";
  EXPECT_EQ(f.NewClient()->Login(Nick(" spammer")).Result, rc::BadPasswordOrNick);
  EXPECT_EQ(f.NewClient()->Login(Nick("spammer2")).Result, rc::LoginOk);

  f.Stop();
  ASSERT_TRUE(f.Start());
  EXPECT_EQ(f.NewClient()->Login(troll).Result, rc::BadPasswordOrNick);
  clock.SetNow(clock.Now() + 11.0 / (24 * 60));
  EXPECT_EQ(f.NewClient()->Login(troll).Result, rc::LoginOk);
  const auto inForce = TServerAccess(f.Server).Bans();
  ASSERT_TRUE(inForce);
  ASSERT_EQ(inForce->size(), 1u);
  EXPECT_EQ((*inForce)[0].Value, "Spammer");

  TBan byAddress = Ban(TBanKind::Address, "127.0.0.0/8");
  ASSERT_TRUE(TServerAccess(f.Server).AddBan(byAddress, 0));
  EXPECT_EQ(f.NewClient()->Login(Nick("anyone")).Result, rc::BadPasswordOrNick);
  f.Stop();
  ASSERT_TRUE(f.Start());
  EXPECT_EQ(f.NewClient()->Login(Nick("anyone")).Result, rc::BadPasswordOrNick);
  EXPECT_FALSE(TServerAccess(f.Server).LiftBan(byName.ID)) << "lapsed and dropped already";
  EXPECT_TRUE(TServerAccess(f.Server).LiftBan(byAddress.ID));
  EXPECT_EQ(f.NewClient()->Login(Nick("anyone")).Result, rc::LoginOk);
  // The server reads the test's clock: it stops before the clock goes.
  f.Stop();
  f.Clock = nullptr;
}

TEST_F(LoginTest, ServerPasswordGuessingIsThrottled) {
  f.Settings.ServerPassword = "secret";
  ASSERT_TRUE(f.Start());
  TLoginRequest guess = Nick("x");
  for (int n = 0; n < 5; ++n) {
    guess.Password = "guess" + std::to_string(n);
    ASSERT_EQ(f.NewClient()->Login(guess).Result, -1);
  }
  guess.Password = "secret";
  EXPECT_EQ(f.NewClient()->Login(guess).Result, -1);
}

// The id counter wraps without undefined behaviour and skips 0 and the ids
// of listed players: a reused id would replace a player in the list.
TEST_F(LoginTest, PlayerIdsWrapAndSkipIdsInUse) {
  ASSERT_TRUE(f.Start());
  auto first = f.Connect("first");
  ASSERT_TRUE(first);
  ASSERT_EQ(first->PlayerID, 1u);
  {
    const auto hold = f.Server->HoldMachinery();
    TClientListLock lock(*TServerInternals::ClientList(*f.Server));
    f.Server->NextPlayerID = 0xFFFFFFFFu;
  }
  auto last = f.Connect("last");
  auto wrapped = f.Connect("wrapped");
  ASSERT_TRUE(last && wrapped);
  EXPECT_EQ(last->PlayerID, 0xFFFFFFFFu);
  EXPECT_EQ(wrapped->PlayerID, 2u);
  EXPECT_EQ(f.Server->CurrentUsers(), 3);
}

TEST_F(LoginTest, ServerPasswordBindsRegisteredPlayersOnlyWhenTheyAskForIt) {
  f.Settings.ServerPassword = "secret";
  ASSERT_TRUE(f.Start());
  ASSERT_TRUE(AddAccount("reg", "pw"));

  TLoginRequest r = Nick("reg");
  r.LoginName = "reg";
  r.Password = "pw";
  r.WithServerPassword = true;
  const TLoginReply refused = f.NewClient()->Login(r);
  EXPECT_EQ(refused.Result, rc::BadPasswordOrNick);
  ExpectFullReply(refused, f.Settings);

  r.WithServerPassword = false;
  EXPECT_EQ(f.NewClient()->Login(r).Result, rc::LoginOk);
}

TEST_F(LoginTest, NicknamesInUseEmptyOrServerAreRefusedWithTheFullReply) {
  f.Settings.ServerMaxUsers = 1;
  ASSERT_TRUE(f.Start());
  auto alice = f.Connect("Alice");
  ASSERT_TRUE(alice);

  // Full, and the nickname is taken too: the nickname's code wins.
  const TLoginReply taken = f.NewClient()->Login(Nick("ALICE"));
  EXPECT_EQ(taken.Result, rc::NickInUse);
  ExpectFullReply(taken, f.Settings);
  EXPECT_EQ(f.NewClient()->Login(Nick("bob")).Result, rc::ServerFull);
  for (const char* nick : {"Server", " server ", "SERVER", "", " \t"})
    EXPECT_EQ(f.NewClient()->Login(Nick(nick)).Result, rc::BadPasswordOrNick) << "'" << nick << "'";
  EXPECT_EQ(f.Server->CurrentUsers(), 1);
}

TEST_F(LoginTest, UniqueNickMakesGuestNamesAndNumberedNicknames) {
  ASSERT_TRUE(f.Start());
  auto unique = [](const std::string& nick) {
    TLoginRequest r = Nick(nick);
    r.UniqueNick = true;
    return r;
  };
  auto g1 = f.Connect(unique(""));
  auto g2 = f.Connect(unique("  "));
  auto bob = f.Connect(unique(" bob "));
  auto bob1 = f.Connect(unique("BOB"));
  const std::string longNick(29, 'n');
  auto longOne = f.Connect(unique(longNick));
  auto longTwo = f.Connect(unique(longNick));
  ASSERT_TRUE(g1 && g2 && bob && bob1 && longOne && longTwo);
  std::vector<std::string> nicks;
  for (const auto& p : longTwo->Players) nicks.push_back(p.NickName);
  // A numbered name that would not fit the slot becomes a guest name.
  EXPECT_EQ(nicks, (std::vector<std::string>{"Guest1", "Guest2", "bob", "BOB1", longNick, "Guest3"}));
}

TEST_F(LoginTest, ShortLoginIsReadInItsShortFormAndShorterOnesAreIgnored) {
  ASSERT_TRUE(f.Start());
  // Shorter than the short form: ignored, so it gets no connection. The
  // listener works in order: once the next login is answered, the short one
  // has been dealt with.
  auto client = f.NewClient();
  std::vector<uint8_t> tiny(60, 0);
  tiny[0] = 0xF4;
  tiny[1] = 0xBE;
  tiny[2] = 3;
  client->SendRaw(tiny);

  TLoginRequest shortForm = Nick("ignored");
  shortForm.ShortForm = true;
  const TLoginReply empty = client->Login(shortForm);
  EXPECT_EQ(empty.Result, rc::BadPasswordOrNick);  // no nickname in the first 88 bytes
  ExpectFullReply(empty, f.Settings);
  EXPECT_EQ(TServerInternals::PacketBuffer(*f.Server)->ConnectionCount(), 1);

  shortForm.Version[2] = 12;
  EXPECT_EQ(f.NewClient()->Login(shortForm).Result, rc::VersionTooOld);
}

TEST_F(LoginTest, ARefusedLoginThatTimesOutLeavesThePlayerWithItsIdAlone) {
  f.Settings.ServerPassword = "secret";
  ASSERT_TRUE(f.Start());
  TLoginRequest refused = Nick("refused");
  refused.Password = "wrong";
  auto stranger = f.NewClient();
  const TLoginReply no = stranger->Login(refused);
  ASSERT_EQ(no.Result, rc::BadPasswordOrNick);
  ASSERT_EQ(no.PlayerID, 1u);

  // Within the refused connection's two seconds the id is handed out again.
  TLoginRequest accepted = Nick("player");
  accepted.Password = "secret";
  auto player = f.Connect(accepted);
  ASSERT_TRUE(player);
  ASSERT_EQ(player->PlayerID, 1u);

  // The refused connection times out; the player keeps talking meanwhile.
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(player->SendCommand(999, {}));
    player->PumpFor(500);
  }
  EXPECT_FALSE(player->Receives(cmd::PlayerLeft, 100));
  EXPECT_EQ(f.Server->CurrentUsers(), 1);
  EXPECT_EQ(TServerInternals::PacketBuffer(*f.Server)->ConnectionCount(), 1);
  // Still served: its logout is answered.
  ASSERT_TRUE(player->SendCommand(cmd::Logout, {}));
  const auto left = player->WaitCommand(cmd::PlayerLeft);
  ASSERT_TRUE(left.has_value());
  EXPECT_EQ(left->U32(24), 1u);
  EXPECT_EQ(left->U16(28), cmd::LeftLogout);
}

}  // namespace
