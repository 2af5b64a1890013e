// Server rights and accounts over real UDP on loopback: granting and
// revoking server-wide rights with their write-back to the account (and the
// account's deletion when Registered goes), registering oneself and
// registering others, with the refusals in order.
#include <gtest/gtest.h>

#include "common/AuditLog.h"
#include "common/CommandCodes.h"
#include "support/CommandKit.h"
#include "support/HeldPasswordHashes.h"
#include "support/ServerFixture.h"
#include "support/AccountCap.h"

using namespace kit;

namespace {

class PlayerAccountsTest : public ::testing::Test {
 protected:
  void StartServer(uint16_t serverType, uint16_t serverFlags = sfUnregisteredChannels) {
    f.Settings.ServerType = serverType;
    f.Settings.ServerFlags = serverFlags;
    ASSERT_TRUE(f.Start());
    AddChannels(f);
  }
  // The account's rights, or -1 when it is gone.
  static int StoredRights(const std::string& login) {
    const auto account = Account(login);
    return account ? account->PlayerPrivileges : -1;
  }
  size_t AccountCount() {
    const auto users = ListUsers(TServerFixture::kDefaultID);
    return users ? users->size() : 0;
  }

  TServerFixture f;
};

// ---- server rights ----------------------------------------------------------------------

TEST_F(PlayerAccountsTest, PlayerPrivilegeNeedsAnExistingTargetFirstAndModeratorRightsSecond) {
  StartServer(stClan);
  auto nobody = Join(f, "nobody");
  auto target = Join(f, "target");
  ASSERT_TRUE(nobody && target);
  ExpectRefused(*nobody, cmd::SetPlayerPrivilege, Privilege(99, action::Granted, 0), rc::NoPlayer);
  ExpectRefused(*nobody, cmd::SetPlayerPrivilege, Privilege(target->PlayerID, action::Granted, 0),
                rc::NeedModerator);
  EXPECT_FALSE(target->Receives(cmd::PlayerPrivilegeChanged, 200));
  EXPECT_EQ(PlayerRecord(f, target->PlayerID).PlayerPrivileges, 0);
}

// Creating a temporary channel makes a player its administrator: a moderator,
// but not one who may hand out server rights, its own least of all.
TEST_F(PlayerAccountsTest, ModeratorRightsDoNotReachServerRights) {
  StartServer(stClan);
  auto player = Join(f, "player");
  ASSERT_TRUE(player);
  ASSERT_TRUE(player->SendCommand(cmd::CreateChannel, Create(Channel("Mine", cfUnregistered))));
  ASSERT_TRUE(player->WaitCommand(cmd::ChannelPrivilegeChanged).has_value());
  ExpectRefused(*player, cmd::SetPlayerPrivilege, Privilege(player->PlayerID, action::Granted, 0),
                rc::NeedServerAdmin);
  EXPECT_EQ(PlayerRecord(f, player->PlayerID).PlayerPrivileges, 0);
}

// The change reaches the target's viewers and its account; the new right
// takes effect at once. Each change, and a kick, is one audit record.
TEST_F(PlayerAccountsTest, ServerRightsAreWrittenBackToTheTargetsAccount) {
  StartServer(stPublic);
  SetAuditFile(f.Dir.File("server.audit"));
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("member", 0);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto member = Join(f, "member", {.Login = "member"});
  auto outsider = Join(f, "outsider", {.Channel = "Far"});
  ASSERT_TRUE(admin && member && outsider);
  const uint32_t m = member->PlayerID;

  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(m, action::Granted, 0)));
  for (TVoiceClient* c : {member.get(), admin.get()})
    ExpectPrivilegeNotice(c->WaitCommand(cmd::PlayerPrivilegeChanged), m, action::Granted, 0, admin->PlayerID);
  EXPECT_FALSE(outsider->Receives(cmd::PlayerPrivilegeChanged, 300));
  EXPECT_EQ(PlayerRecord(f, m).PlayerPrivileges, PlayerPrivileges::Registered | PlayerPrivileges::ServerAdmin);
  auto account = Account("member");
  ASSERT_TRUE(account);
  EXPECT_TRUE(account->PlayerPrivileges & PlayerPrivileges::ServerAdmin);
  EXPECT_TRUE(PasswordMatches(*account, PasswordOf("member")));
  // Now a server administrator, the member may register others.
  ASSERT_TRUE(member->SendCommand(cmd::RegisterUser, Registration("newbie", "pw", 0)));
  EXPECT_TRUE(member->WaitCommand(cmd::UserRegistered).has_value());

  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(m, action::Revoked, 0)));
  ExpectPrivilegeNotice(member->WaitCommand(cmd::PlayerPrivilegeChanged), m, action::Revoked, 0, admin->PlayerID);
  account = Account("member");
  ASSERT_TRUE(account);
  EXPECT_FALSE(account->PlayerPrivileges & PlayerPrivileges::ServerAdmin);

  // Bits past the 16 rights change nothing and announce nothing.
  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(m, action::Granted, 16)));
  EXPECT_FALSE(member->Receives(cmd::PlayerPrivilegeChanged, 300));

  ASSERT_TRUE(admin->SendCommand(cmd::KickPlayer, PlayerAndMessage(outsider->PlayerID, "behave")));
  ASSERT_TRUE(outsider->WaitCommand(cmd::PlayerLeft).has_value());
  const std::vector<TAuditRecord> trail = ReadAudit({});
  SetAuditFile("");
  ASSERT_EQ(trail.size(), 4u);
  EXPECT_EQ(trail[0].Kind, "kick");
  EXPECT_EQ(trail[0].Detail, "player " + std::to_string(outsider->PlayerID) + " outsider: behave");
  EXPECT_EQ(trail[1].Detail, "member: rights ServerAdmin+Registered -> Registered");
  EXPECT_EQ(trail[2].Kind, "account-add");
  EXPECT_EQ(trail[2].Actor, "member");
  EXPECT_EQ(trail[2].Detail, "newbie with rights none");
  EXPECT_EQ(trail[3].Kind, "account-edit");
  EXPECT_EQ(trail[3].Detail, "member: rights Registered -> ServerAdmin+Registered");
  for (const TAuditRecord& r : trail) {
    EXPECT_EQ(r.Surface, "voice");
    EXPECT_EQ(r.Address, "127.0.0.1");
    EXPECT_EQ(r.Server, TServerFixture::kDefaultID);
  }
  EXPECT_EQ(trail[3].Actor, "admin");
}

// Revoking Registered takes ServerAdmin with it (the server's own notice
// comes first) and deletes the account.
TEST_F(PlayerAccountsTest, RevokingRegisteredDeletesTheAccount) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("member", PlayerPrivileges::ServerAdmin);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto member = Join(f, "member", {.Login = "member"});
  ASSERT_TRUE(admin && member);
  const uint32_t m = member->PlayerID;

  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(m, action::Revoked, 2)));
  for (TVoiceClient* c : {member.get(), admin.get()}) {
    ExpectPrivilegeNotice(c->WaitCommand(cmd::PlayerPrivilegeChanged), m, action::RevokedByServer, 0,
                          admin->PlayerID);
    ExpectPrivilegeNotice(c->WaitCommand(cmd::PlayerPrivilegeChanged), m, action::Revoked, 2, admin->PlayerID);
  }
  EXPECT_EQ(PlayerRecord(f, m).PlayerPrivileges, 0);
  EXPECT_EQ(Account("member"), nullptr);
  EXPECT_EQ(LoginWith(f, "member", PasswordOf("member")).second, rc::BadAccount);
  EXPECT_TRUE(Account("admin")) << "only the target's account goes";
}

// A refused RegisterSelf must not leave the asked-for name on the player,
// and a player that is not Registered owns no account: changing its rights
// neither rewrites nor deletes the account that name belongs to.
TEST_F(PlayerAccountsTest, AnUnregisteredPlayerNeverWritesTheAccountOfANameItAskedFor) {
  StartServer(stClan, sfAnyoneMayRegister);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("victim", 0);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto mallory = Join(f, "mallory");
  ASSERT_TRUE(admin && mallory);
  const uint32_t m = mallory->PlayerID;
  ExpectRefused(*mallory, cmd::RegisterSelf, Registration("victim", "mine"), rc::AccountNotStored);
  EXPECT_EQ(PlayerRecord(f, m).LoginName, "");

  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(m, action::Granted, 0)));
  ASSERT_TRUE(mallory->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  auto victim = Account("victim");
  ASSERT_TRUE(victim);
  EXPECT_TRUE(PasswordMatches(*victim, PasswordOf("victim")));
  EXPECT_EQ(victim->PlayerPrivileges, 0);

  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(m, action::Revoked, 2)));
  ASSERT_TRUE(mallory->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  ASSERT_TRUE(mallory->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  EXPECT_TRUE(Account("victim")) << "the account survives";
}

// A player whose Registered was revoked keeps its login name; an account
// made anew under that name belongs to someone else.
TEST_F(PlayerAccountsTest, ARevokedPlayerNeverWritesTheAccountMadeAnewUnderItsName) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("former", 0);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto former = Join(f, "former", {.Login = "former"});
  ASSERT_TRUE(admin && former);
  const uint32_t id = former->PlayerID;
  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(id, action::Revoked, 2)));
  ASSERT_TRUE(admin->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  ASSERT_TRUE(admin->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  ASSERT_EQ(Account("former"), nullptr);
  ASSERT_TRUE(admin->SendCommand(cmd::RegisterUser, Registration("former", "new owner", 0)));
  ASSERT_TRUE(admin->WaitCommand(cmd::UserRegistered).has_value());

  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(id, action::Granted, 0)));
  ASSERT_TRUE(admin->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(id, action::Revoked, 2)));
  ASSERT_TRUE(admin->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  ASSERT_TRUE(admin->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  const auto account = Account("former");
  ASSERT_TRUE(account) << "the new account survives";
  EXPECT_TRUE(PasswordMatches(*account, "new owner"));
  EXPECT_EQ(account->PlayerPrivileges, 0);
}

// A tenant's server administrator may not reach the super administrator's
// right: not by granting or revoking it, not by deleting the account that
// holds it, not by a write-back over what another surface stored, and not by
// a registration of a player it granted the bit to.
TEST_F(PlayerAccountsTest, OnlyASuperAdministratorGrantsRevokesOrStoresTheSuperRight) {
  StartServer(stClan, sfAnyoneMayRegister);
  const uint16_t super = PlayerPrivileges::SuperServerAdmin;
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("op", PlayerPrivileges::ServerAdmin | super);
  AddAccount("member", 0);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto op = Join(f, "op", {.Login = "op"});
  auto member = Join(f, "member", {.Login = "member"});
  auto guest = Join(f, "guest");
  ASSERT_TRUE(admin && op && member && guest);
  const uint32_t a = admin->PlayerID, o = op->PlayerID, m = member->PlayerID, g = guest->PlayerID;

  for (uint32_t target : {a, m, g})
    ExpectRefused(*admin, cmd::SetPlayerPrivilege, Privilege(target, action::Granted, 3), rc::NeedServerAdmin);
  ExpectRefused(*admin, cmd::SetPlayerPrivilege, Privilege(o, action::Revoked, 3), rc::NeedServerAdmin);
  ExpectRefused(*admin, cmd::SetPlayerPrivilege, Privilege(o, action::Revoked, 2), rc::NeedServerAdmin);
  EXPECT_EQ(PlayerRecord(f, a).PlayerPrivileges, PlayerPrivileges::Registered | PlayerPrivileges::ServerAdmin);
  EXPECT_EQ(PlayerRecord(f, g).PlayerPrivileges, 0);
  EXPECT_EQ(StoredRights("admin"), PlayerPrivileges::ServerAdmin);
  EXPECT_EQ(StoredRights("op"), PlayerPrivileges::ServerAdmin | super);
  EXPECT_FALSE(op->Receives(cmd::PlayerPrivilegeChanged, 200));

  // Granted to the member elsewhere after it logged in: a write-back of
  // another bit keeps it; taken from the op elsewhere: one does not restore it.
  auto stored = Account("member");
  ASSERT_TRUE(stored);
  stored->PlayerPrivileges = super;
  ASSERT_TRUE(UpdateUser(*stored, TServerFixture::kDefaultID));
  stored = Account("op");
  ASSERT_TRUE(stored);
  stored->PlayerPrivileges = PlayerPrivileges::ServerAdmin;
  ASSERT_TRUE(UpdateUser(*stored, TServerFixture::kDefaultID));
  ExpectRefused(*admin, cmd::SetPlayerPrivilege, Privilege(m, action::Revoked, 2), rc::NeedServerAdmin);
  for (uint32_t target : {m, o}) {
    ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(target, action::Granted, 1)));
    ASSERT_TRUE(admin->WaitCommand(cmd::PlayerPrivilegeChanged).has_value());
  }
  const uint16_t granted = PlayerPrivileges::Registered | PlayerPrivileges::AllowRegistration;
  EXPECT_EQ(StoredRights("member"), super | granted);
  EXPECT_EQ(StoredRights("op"), PlayerPrivileges::ServerAdmin | granted);

  // The guest registers: nothing the administrator asked for is stored.
  Drain(*guest);
  ASSERT_TRUE(guest->SendCommand(cmd::RegisterSelf, Registration("guest", "pw")));
  ExpectPrivilegeNotice(guest->WaitCommand(cmd::PlayerPrivilegeChanged), g, action::GrantedByServer, 2, 0);
  EXPECT_EQ(StoredRights("guest"), 0);
}

// A super administrator logged in here grants and revokes the right; a
// player it granted the right to stores it when registering, and losing
// Registered takes the right with the account.
TEST_F(PlayerAccountsTest, ASuperAdministratorGrantsTheSuperRightAndRevokingRegisteredTakesIt) {
  StartServer(stClan, sfAnyoneMayRegister);
  const uint16_t super = PlayerPrivileges::SuperServerAdmin;
  AddAccount("op", PlayerPrivileges::ServerAdmin | super);
  AddAccount("member", 0);
  auto op = Join(f, "op", {.Login = "op"});
  auto member = Join(f, "member", {.Login = "member"});
  auto guest = Join(f, "guest");
  ASSERT_TRUE(op && member && guest);
  const uint32_t m = member->PlayerID, g = guest->PlayerID;
  for (uint32_t target : {m, g}) {
    ASSERT_TRUE(op->SendCommand(cmd::SetPlayerPrivilege, Privilege(target, action::Granted, 3)));
    ExpectPrivilegeNotice(op->WaitCommand(cmd::PlayerPrivilegeChanged), target, action::Granted, 3, op->PlayerID);
  }
  EXPECT_EQ(StoredRights("member"), PlayerPrivileges::Registered | super);
  ASSERT_TRUE(guest->SendCommand(cmd::RegisterSelf, Registration("guest", "pw")));
  ExpectPrivilegeNotice(op->WaitCommand(cmd::PlayerPrivilegeChanged), g, action::GrantedByServer, 2, 0);
  EXPECT_EQ(StoredRights("guest"), super);

  ASSERT_TRUE(op->SendCommand(cmd::SetPlayerPrivilege, Privilege(m, action::Revoked, 2)));
  ExpectPrivilegeNotice(op->WaitCommand(cmd::PlayerPrivilegeChanged), m, action::RevokedByServer, 0, op->PlayerID);
  ExpectPrivilegeNotice(op->WaitCommand(cmd::PlayerPrivilegeChanged), m, action::RevokedByServer, 3, op->PlayerID);
  ExpectPrivilegeNotice(op->WaitCommand(cmd::PlayerPrivilegeChanged), m, action::Revoked, 2, op->PlayerID);
  EXPECT_EQ(PlayerRecord(f, m).PlayerPrivileges, 0);
  EXPECT_EQ(Account("member"), nullptr);
}

// ---- registering oneself ------------------------------------------------------------------

TEST_F(PlayerAccountsTest, RegisterSelfNeedsAnUnregisteredPlayerThenOpenRegistrationOrItsRight) {
  StartServer(stClan);  // registration is not open
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto alice = Join(f, "alice");
  ASSERT_TRUE(admin && alice);
  const uint32_t a = alice->PlayerID;
  ExpectRefused(*admin, cmd::RegisterSelf, Registration("other", "pw"), rc::AlreadyRegistered);
  ExpectRefused(*alice, cmd::RegisterSelf, Registration("alice", "secret"), rc::RegistrationNotAllowed);
  EXPECT_EQ(Account("alice"), nullptr);

  ASSERT_TRUE(admin->SendCommand(cmd::SetPlayerPrivilege, Privilege(a, action::Granted, 1)));
  for (TVoiceClient* c : {alice.get(), admin.get()})
    ExpectPrivilegeNotice(c->WaitCommand(cmd::PlayerPrivilegeChanged), a, action::Granted, 1, admin->PlayerID);
  ASSERT_TRUE(alice->SendCommand(cmd::RegisterSelf, Registration("alice", "secret")));
  for (TVoiceClient* c : {alice.get(), admin.get()})
    ExpectPrivilegeNotice(c->WaitCommand(cmd::PlayerPrivilegeChanged), a, action::GrantedByServer, 2, 0);
  const TClientObject record = PlayerRecord(f, a);
  EXPECT_EQ(record.PlayerPrivileges, PlayerPrivileges::Registered) << "AllowRegistration is used up";
  EXPECT_EQ(record.LoginName, "alice");
  const auto account = Account("alice");
  ASSERT_TRUE(account);
  EXPECT_TRUE(PasswordMatches(*account, "secret"));
  EXPECT_EQ(account->RegisteredBy, "alice");
  EXPECT_EQ(account->NickName, "alice");

  ExpectRefused(*alice, cmd::RegisterSelf, Registration("alice2", "pw"), rc::AlreadyRegistered);
}

// The new account is hashed and stored beside the listener: meanwhile other
// players are served, and the same player cannot start a second account.
TEST_F(PlayerAccountsTest, RegistrationIsStoredBesideTheListener) {
  StartServer(stClan, sfAnyoneMayRegister);
  auto alice = Join(f, "alice");
  auto bob = Join(f, "bob");
  ASSERT_TRUE(alice && bob);
  THeldPasswordHashes held;
  ASSERT_TRUE(alice->SendCommand(cmd::RegisterSelf, Registration("alice", "secret")));
  ASSERT_TRUE(held.WaitEntered(1));
  bob->QueueCommand(cmd::ServerInfo, {});
  EXPECT_TRUE(bob->WaitCommand(cmd::ServerInfoReply).has_value()) << "the listener waits for the hash";
  ExpectRefused(*alice, cmd::RegisterSelf, Registration("alice2", "pw"), rc::AccountNotStored);

  held.Release();
  ExpectPrivilegeNotice(alice->WaitCommand(cmd::PlayerPrivilegeChanged), alice->PlayerID, action::GrantedByServer,
                        2, 0);
  EXPECT_EQ(PlayerRecord(f, alice->PlayerID).LoginName, "alice");
  EXPECT_NE(Account("alice"), nullptr);
  EXPECT_EQ(Account("alice2"), nullptr);
}

TEST_F(PlayerAccountsTest, OpenRegistrationLetsAnyoneRegisterAndLogInWithTheAccount) {
  StartServer(stPublic, sfAnyoneMayRegister);
  auto bob = Join(f, "bob");
  auto neighbour = Join(f, "neighbour");
  auto outsider = Join(f, "outsider", {.Channel = "Far"});
  ASSERT_TRUE(bob && neighbour && outsider);
  ASSERT_TRUE(bob->SendCommand(cmd::RegisterSelf, Registration("bobby", "hunter2")));
  for (TVoiceClient* c : {bob.get(), neighbour.get()})
    ExpectPrivilegeNotice(c->WaitCommand(cmd::PlayerPrivilegeChanged), bob->PlayerID, action::GrantedByServer, 2, 0);
  EXPECT_FALSE(outsider->Receives(cmd::PlayerPrivilegeChanged, 300));

  const auto [second, result] = LoginWith(f, "bobby", "hunter2");
  ASSERT_EQ(result, 1);
  EXPECT_EQ(PlayerRecord(f, second->PlayerID).PlayerPrivileges, PlayerPrivileges::Registered);
}

// Taken names, empty names and names with the database's path separator
// address no new account: all three are refused alike and store nothing.
TEST_F(PlayerAccountsTest, RegisterSelfWithATakenEmptyOrPathLikeNameIsRefused) {
  StartServer(stClan, sfAnyoneMayRegister);
  AddAccount("taken", 0);
  auto carol = Join(f, "carol");
  ASSERT_TRUE(carol);
  const size_t before = AccountCount();
  for (const char* name : {"taken", "", "a\\b", "\\"})
    ExpectRefused(*carol, cmd::RegisterSelf, Registration(name, "pw"), rc::AccountNotStored);
  EXPECT_EQ(AccountCount(), before);
  EXPECT_EQ(Account("a"), nullptr);
  EXPECT_TRUE(PasswordMatches(*Account("taken"), PasswordOf("taken")));
  EXPECT_EQ(PlayerRecord(f, carol->PlayerID).PlayerPrivileges, 0);
  EXPECT_FALSE(carol->Receives(cmd::PlayerPrivilegeChanged, 200));
}

// A server holding its most accounts refuses every registration by voice,
// and stores nothing.
TEST_F(PlayerAccountsTest, AFullServerRefusesRegistrations) {
  StartServer(stClan, sfAnyoneMayRegister);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto carol = Join(f, "carol");
  ASSERT_TRUE(admin && carol);
  const size_t before = AccountCount();
  TAccountCapGuard cap(static_cast<int32_t>(before));
  ExpectRefused(*carol, cmd::RegisterSelf, Registration("carol", "pw"), rc::AccountNotStored);
  ExpectRefused(*admin, cmd::RegisterUser, Registration("dave", "pw", 0), rc::AccountNotStored);
  EXPECT_EQ(AccountCount(), before);
  EXPECT_EQ(PlayerRecord(f, carol->PlayerID).PlayerPrivileges, 0);
}

// ---- registering others ------------------------------------------------------------------

TEST_F(PlayerAccountsTest, RegisterUserIsForServerAdministratorsAndStoresTheGivenRights) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  AddAccount("chief", 0);
  f.WithChannels([](TChannels& channels) { channels.SetUserRights(kDefault, "chief", ChannelPrivileges::ChannelAdmin); });
  auto admin = Join(f, "admin", {.Login = "admin"});
  auto chief = Join(f, "chief", {.Login = "chief"});
  auto guest = Join(f, "guest");
  ASSERT_TRUE(admin && chief && guest);
  ExpectRefused(*guest, cmd::RegisterUser, Registration("x", "pw", 0), rc::NeedServerAdmin);
  ExpectRefused(*chief, cmd::RegisterUser, Registration("x", "pw", 1), rc::NeedServerAdmin);
  EXPECT_EQ(Account("x"), nullptr);

  ASSERT_TRUE(admin->SendCommand(cmd::RegisterUser, Registration("dave", "d-pw", 7)));
  const auto registered = admin->WaitCommand(cmd::UserRegistered);
  ASSERT_TRUE(registered.has_value());
  EXPECT_EQ(registered->Size(), 24u);
  ASSERT_TRUE(admin->SendCommand(cmd::RegisterUser, Registration("erin", "e-pw", 0)));
  ASSERT_TRUE(admin->WaitCommand(cmd::UserRegistered).has_value());
  EXPECT_FALSE(guest->Receives(cmd::UserRegistered, 200)) << "the reply is the requester's alone";

  const auto dave = Account("dave");
  const auto erin = Account("erin");
  ASSERT_TRUE(dave && erin);
  EXPECT_TRUE(PasswordMatches(*dave, "d-pw"));
  EXPECT_EQ(dave->PlayerPrivileges, PlayerPrivileges::ServerAdmin);
  EXPECT_EQ(dave->RegisteredBy, "admin");
  EXPECT_EQ(erin->PlayerPrivileges, 0);

  const auto [client, result] = LoginWith(f, "dave", "d-pw");
  ASSERT_EQ(result, 1);
  EXPECT_EQ(PlayerRecord(f, client->PlayerID).PlayerPrivileges,
            PlayerPrivileges::Registered | PlayerPrivileges::ServerAdmin);
}

TEST_F(PlayerAccountsTest, RegisterUserWithATakenEmptyOrPathLikeNameIsRefused) {
  StartServer(stClan);
  AddAccount("admin", PlayerPrivileges::ServerAdmin);
  auto admin = Join(f, "admin", {.Login = "admin"});
  ASSERT_TRUE(admin);
  const size_t before = AccountCount();
  for (const char* name : {"admin", "", "Users\\admin"})
    ExpectRefused(*admin, cmd::RegisterUser, Registration(name, "pw", 1), rc::AccountNotStored);
  EXPECT_FALSE(admin->Receives(cmd::UserRegistered, 200));
  EXPECT_EQ(AccountCount(), before);
  EXPECT_TRUE(PasswordMatches(*Account("admin"), PasswordOf("admin")));
}

}  // namespace
