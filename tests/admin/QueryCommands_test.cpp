// The query commands over real TCP on loopback, grouped by command, with
// the error texts and the edge cases that catch real faults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/CommandCodes.h"
#include "common/AuditLog.h"
#include "common/IniFile.h"
#include "support/HeldPort.h"
#include "support/LogCapture.h"
#include "support/QueryFixture.h"
#include "support/AccountCap.h"

namespace {

using testing::Contains;
using testing::StartsWith;

std::vector<std::string> Split(const std::string& line, char separator = '\t') {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = line.find(separator, start)) != std::string::npos; start = end + 1)
    fields.push_back(line.substr(start, end - start));
  fields.push_back(line.substr(start));
  return fields;
}


TEST_F(TQueryFixture, ServerListSkipsStoppedServersAndSelectionErrors) {
  auto c = Client();
  EXPECT_EQ(c->Command("sl"), Lines({Port(), "OK"}));
  EXPECT_EQ(c->Command("pl"), Lines({"ERROR, paramcount invalid"}));
  EXPECT_EQ(c->Command("pl 0"), Lines({"ERROR, invalid server port"}));
  EXPECT_EQ(c->Command("pl abc"), Lines({"ERROR, convert error"}));
  EXPECT_EQ(c->Command("cl 1"), Lines({"ERROR, serverport not found"}));
  server.Stop();
  EXPECT_EQ(c->Command("sl"), Lines({"OK"}));
  EXPECT_EQ(c->Command("si " + Port()), Lines({"ERROR, serverport not found"}));
  EXPECT_EQ(Client()->Command("sl"), Lines({"OK"}));
}

TEST_F(TQueryFixture, PlayerChannelAndServerInformationLines) {
  auto alice = TServerFixture::ConnectTo(server.Port(), "alice");
  ASSERT_TRUE(alice);
  auto c = Client();
  const auto anonymous = c->Command("pl " + Port());
  ASSERT_EQ(anonymous.size(), 2u);
  std::vector<std::string> f = Split(anonymous[0]);
  ASSERT_EQ(f.size(), 17u);  // sixteen fields, each followed by a TAB
  EXPECT_EQ(f[0], std::to_string(alice->PlayerID));
  EXPECT_EQ(f[13], "0.0.0.0");  // no addresses before login
  EXPECT_EQ(f[14], "alice");
  EXPECT_EQ(f[15], "");
  EXPECT_EQ(f[16], "");
  c->Command("login admin secret");
  f = Split(c->Command("pl " + Port())[0]);
  EXPECT_EQ(f[13], "127.0.0.1");

  const auto channels = c->Command("cl " + Port());
  ASSERT_EQ(channels.size(), 2u);
  f = Split(channels[0]);
  ASSERT_EQ(f.size(), 9u);  // no TAB after the topic
  EXPECT_EQ(f[2], "4294967295");
  EXPECT_EQ(f[7], "0");

  const auto info = c->Command("si " + Port());
  std::vector<std::string> keys;
  for (const std::string& line : info) keys.push_back(line.substr(0, line.find('=')));
  EXPECT_EQ(keys, Lines({"server_id", "server_name", "server_platform", "server_welcomemessage",
                         "server_webpost_linkurl", "server_password", "server_udpport", "server_maxusers",
                         "server_codeccelp51", "server_codeccelp63", "server_codecgsm148", "server_codecgsm164",
                         "server_codecwindowscelp52", "server_packetssend", "server_bytessend",
                         "server_packetsreceived", "server_bytesreceived", "server_uptime", "server_currentusers",
                         "server_currentchannels", "OK"}));
  EXPECT_THAT(info, Contains("server_currentusers=1"));
  EXPECT_THAT(info, Contains("server_codeccelp51=-1"));
}

TEST_F(TQueryFixture, SelectionWinsOverThePortParameter) {
  const TServerRef other = StartServer("Other");
  auto bob = TServerFixture::ConnectTo(other->BoundPort(), "bob");
  ASSERT_TRUE(bob);
  auto c = Client();
  EXPECT_EQ(c->Command("sel " + Port(other)), Lines({"OK"}));
  const auto players = c->Command("pl " + Port());
  ASSERT_EQ(players.size(), 2u);
  EXPECT_EQ(Split(players[0])[14], "bob");
  // A failed selection clears the old one.
  EXPECT_EQ(c->Command("sel 1"), Lines({"ERROR, serverport not found"}));
  EXPECT_EQ(c->Command("pl"), Lines({"ERROR, paramcount invalid"}));
}

TEST_F(TQueryFixture, LoginNeedsASuperAdministratorAndIsThrottled) {
  auto c = Client();
  EXPECT_EQ(c->Command("msg " + Port() + " hi"), Lines({"ERROR, not logged in"}));
  EXPECT_EQ(c->Command("login admin secret"), Lines({"OK"}));
  EXPECT_EQ(c->Command("login admin secret extra"), Lines({"ERROR, paramcount invalid"}));
  EXPECT_EQ(c->Command("msg " + Port() + " hi"), Lines({"ERROR, not logged in"}));

  TClientObject moderator;
  moderator.LoginName = "mod";
  moderator.Password = "pw";
  moderator.PlayerPrivileges = PlayerPrivileges::ServerAdmin;
  ASSERT_TRUE(AddUser(moderator, TServerFixture::kDefaultID));
  EXPECT_EQ(c->Command("login mod pw"), Lines({"ERROR, invalid login"}));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(c->Command("login admin guess"), Lines({"ERROR, invalid login"}));
  // Blocked: even the right password is refused without being checked.
  EXPECT_EQ(c->Command("login admin secret"), Lines({"ERROR, invalid login"}));
  EXPECT_EQ(c->Command("stop " + Port()), Lines({"ERROR, not logged in"}));
}

TEST_F(TQueryFixture, SetStoresTheSettingAndRestarts) {
  auto c = Admin();
  TIniFile ini(server.IniFile());
  const std::string id = TServerFixture::kDefaultID;
  EXPECT_EQ(c->Command("set maxuser 5"), Lines({"ERROR, no server selected"}));
  EXPECT_EQ(c->Command("sel " + Port()), Lines({"OK"}));
  EXPECT_EQ(c->Command("set maxuser"), Lines({"ERROR, paramcount invalid"}));
  EXPECT_EQ(c->Command("set maxuser 70000"), Lines({"ERROR, convert error"}));
  EXPECT_EQ(ini.ReadInteger(id, "ServerMaxUsers", -1), 12);
  EXPECT_EQ(c->Command("set nosuchthing 1"), Lines({"ERROR, invalid variable"}));
  EXPECT_EQ(c->Command("SET servername My Server"), Lines({"OK"}));
  EXPECT_EQ(ini.ReadString(id, "ServerName", ""), " My Server");
  EXPECT_THAT(c->Command("si"), Contains("server_name= My Server"));
  EXPECT_EQ(c->Command("set serverpassword pw"), Lines({"OK"}));
  EXPECT_EQ(ini.ReadString(id, "ServerPassword", ""), "pw");
  EXPECT_EQ(c->Command("set serverpassword #CLEAR#"), Lines({"OK"}));
  EXPECT_EQ(ini.ReadString(id, "ServerPassword", "?"), "");
  EXPECT_TRUE(server.Server->Running());
}

// banadd, banlist and bandel act on the selected server only: another
// server's ban is neither listed nor lifted through it.
TEST_F(TQueryFixture, BansAreAddedListedAndLiftedOnTheSelectedServer) {
  const TServerRef other = StartServer("Other");
  auto c = Admin();
  EXPECT_EQ(c->Command("banlist"), Lines({"ERROR, no server selected"}));
  EXPECT_EQ(c->Command("sel " + Port(other)), Lines({"OK"}));
  EXPECT_EQ(c->Command("banadd nick troll 0"), Lines({"1", "OK"}));
  EXPECT_EQ(c->Command("sel " + Port()), Lines({"OK"}));
  EXPECT_EQ(c->Command("banadd ip 127.0.0.1"), Lines({"ERROR, paramcount invalid"}));
  EXPECT_EQ(c->Command("banadd host x 0"), Lines({"ERROR, invalid ban type"}));
  EXPECT_EQ(c->Command("banadd ip 127.0.0.300 0"), Lines({"ERROR, invalid address"}));
  EXPECT_EQ(c->Command("banadd ip 127.0.0.1 -5"), Lines({"ERROR, convert error"}));
  EXPECT_EQ(c->Command("banadd IP 127.0.0.9/8 60 kept  spamming"), Lines({"1", "OK"}));
  EXPECT_EQ(c->Command("banadd name bob 0"), Lines({"2", "OK"}));
  const auto bans = c->Command("banlist");
  ASSERT_EQ(bans.size(), 3u);
  const std::vector<std::string> first = Split(bans[0]);
  ASSERT_EQ(first.size(), 6u);
  EXPECT_EQ(first[0], "1");
  EXPECT_EQ(first[1], "ip");
  EXPECT_EQ(first[2], "127.0.0.0/8");
  EXPECT_NE(first[3], "never");
  EXPECT_EQ(first[4], "admin");
  EXPECT_EQ(first[5], "kept spamming");
  EXPECT_EQ(Split(bans[1]), Lines({"2", "name", "bob", "never", "admin", ""}));
  TLoginRequest x;
  x.NickName = "x";
  EXPECT_EQ(TVoiceClient(server.Port()).Login(x).Result, rc::BadPasswordOrNick) << "the address ban holds";

  EXPECT_EQ(c->Command("bandel 1"), Lines({"OK"}));
  EXPECT_EQ(c->Command("bandel 1"), Lines({"ERROR, ban not found"}));
  EXPECT_EQ(c->Command("bandel 2"), Lines({"OK"}));
  EXPECT_EQ(c->Command("banlist"), Lines({"OK"}));
  EXPECT_EQ(c->Command("sel " + Port(other)), Lines({"OK"}));
  EXPECT_EQ(Split(c->Command("banlist")[0])[2], "troll") << "the other server's ban stays";
}

// The audit trail of the query: actor, address, server and what changed,
// a password never in words, a failed login with the name it tried.
TEST_F(TQueryFixture, EveryChangeIsOneAuditRecord) {
  SetAuditFile(server.Dir.File("server.audit"));
  auto c = Admin();
  EXPECT_EQ(c->Command("sel " + Port()), Lines({"OK"}));
  EXPECT_EQ(c->Command("adduser mod pw 0 0"), Lines({"OK"}));
  EXPECT_EQ(c->Command("changeuserrights mod 1 0"), Lines({"OK"}));
  EXPECT_EQ(c->Command("set servername Tea\tRoom"), Lines({"OK"}));
  EXPECT_EQ(c->Command("set serverpassword hunter2"), Lines({"OK"}));
  EXPECT_EQ(c->Command("banadd nick troll 5 spam"), Lines({"1", "OK"}));
  EXPECT_EQ(Client()->Command("login admin wrong"), Lines({"ERROR, invalid login"}));
  const std::vector<TAuditRecord> trail = ReadAudit({});
  TAuditQuery settingsOnly;
  settingsOnly.Kind = "SETTINGS";
  const auto settings = ReadAudit(settingsOnly);
  SetAuditFile("");
  EXPECT_EQ(settings.size(), 2u);
  ASSERT_EQ(trail.size(), 6u);
  EXPECT_EQ(trail[0].Kind, "login-failed");
  EXPECT_EQ(trail[0].Actor, "query");
  EXPECT_EQ(trail[0].Detail, "as admin");
  EXPECT_EQ(trail[1].Kind, "ban");
  EXPECT_EQ(trail[1].Detail, "ban 1: nick troll for 5 minutes, reason: spam");
  EXPECT_EQ(trail[2].Detail, "ServerPassword: changed");
  EXPECT_EQ(trail[3].Kind, "settings");
  EXPECT_EQ(trail[3].Detail, "ServerName: 'Parleon Server' -> ' Tea?Room'") << "no TAB survives";
  EXPECT_EQ(trail[4].Kind, "account-edit");
  EXPECT_EQ(trail[4].Detail, "mod: rights none -> ServerAdmin");
  EXPECT_EQ(trail[5].Kind, "account-add");
  for (const TAuditRecord& r : trail) {
    EXPECT_EQ(r.Surface, "query");
    EXPECT_EQ(r.Address, "127.0.0.1");
    EXPECT_EQ(r.Server, r.Kind == "login-failed" ? "" : TServerFixture::kDefaultID);
    EXPECT_EQ(r.Actor, r.Kind == "login-failed" ? "query" : "admin");
    EXPECT_EQ(r.Detail.find("hunter2"), std::string::npos);
  }
}

TEST_F(TQueryFixture, MessagesReachEveryPlayer) {
  const TServerRef other = StartServer("Other");
  auto alice = TServerFixture::ConnectTo(server.Port(), "alice");
  ASSERT_TRUE(alice);
  auto bob = TServerFixture::ConnectTo(other->BoundPort(), "bob");
  ASSERT_TRUE(bob);
  auto c = Admin();
  // One "OK" per server and one for the whole, then nothing more.
  EXPECT_EQ(c->Command("msgall hello  there"), Lines({"OK"}));
  EXPECT_EQ(c->ReadRawLine(), "OK\r\n");
  EXPECT_EQ(c->ReadRawLine(), "OK\r\n");
  EXPECT_EQ(c->Command("ver"), Lines({"2.0.18.25 Linux", "OK"}));
  for (TVoiceClient* player : {alice.get(), bob.get()}) {
    const auto message = player->WaitCommand(cmd::TextMessageOut);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Size(), 314u);
    EXPECT_EQ(message->Str(24, 255), "hello there");
    EXPECT_EQ(message->U32(280), 255u);
    EXPECT_EQ(message->Str(284, 29), "SERVER");
  }
  // Selected by port, the port is part of the text.
  EXPECT_EQ(c->Command("msg " + Port() + " hi"), Lines({"OK"}));
  const auto message = alice->WaitCommand(cmd::TextMessageOut);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->Str(24, 255), Port() + " hi");
}

TEST_F(TQueryFixture, StoppedServerIsOutOfReachOfEveryConnection) {
  const TServerRef other = StartServer("Other");
  auto a = Admin(), b = Admin();
  EXPECT_EQ(b->Command("sel " + Port(other)), Lines({"OK"}));
  EXPECT_EQ(a->Command("stop " + Port(other)), Lines({"OK"}));
  EXPECT_FALSE(other->Running());
  EXPECT_EQ(b->Command("set maxuser 3"), Lines({"ERROR, no server selected"}));
  EXPECT_EQ(b->Command("pl " + Port(other)), Lines({"ERROR, serverport not found"}));
  EXPECT_EQ(b->Command("sl"), Lines({Port(), "OK"}));
  // One "OK" for the server still running, one for the whole.
  EXPECT_EQ(b->Command("msgall hi"), Lines({"OK"}));
  EXPECT_EQ(b->ReadRawLine(), "OK\r\n");
  EXPECT_EQ(b->Command("ver"), Lines({"2.0.18.25 Linux", "OK"}));

  // A failed selection makes "restart" a "start", which fails the same way.
  EXPECT_EQ(a->Command("restart 1"), Lines({"ERROR, serverport not found"}));
  EXPECT_EQ(a->ReadRawLine(), "ERROR, serverport not found\r\n");
  EXPECT_EQ(a->Command("ver"), Lines({"2.0.18.25 Linux", "OK"}));
  EXPECT_EQ(a->Command("restart " + Port()), Lines({"OK"}));
  EXPECT_TRUE(server.Server->Running());
  EXPECT_EQ(a->Command("start " + Port()), Lines({"OK"}));
}

TEST_F(TQueryFixture, AddServerTakesTheLowestFreeKeyAndServes) {
  {
    TIniFile ini(server.IniFile());
    ini.WriteString("Servers", "0", TServerFixture::kDefaultID);
    ini.WriteString("Servers", "2", "server_cfg Later");
  }
  auto earlier = Client();
  auto c = Admin();
  const std::string port = std::to_string(PassedUDPPort());
  EXPECT_EQ(c->Command("addserver New"), Lines({"ERROR, paramcount invalid"}));
  EXPECT_EQ(c->Command("addserver New x"), Lines({"ERROR, parameters invalid"}));
  EXPECT_EQ(c->Command("addserver Bad]Name " + port), Lines({"ERROR, parameters invalid"}));
  EXPECT_EQ(c->Command("addserver New " + Port()), Lines({"ERROR, serverport already running"}));
  EXPECT_EQ(c->Command("addserver New " + port), Lines({"OK"}));
  EXPECT_EQ(TIniFile(server.IniFile()).ReadString("Servers", "1", ""), "server_cfg New");
  EXPECT_EQ(c->Command("sl"), Lines({Port(), port, "OK"}));
  EXPECT_THAT(c->Command("si"), Contains("server_id=server_cfg New"));
  EXPECT_EQ(earlier->Command("sl"), Lines({Port(), "OK"}));
  TVoiceClient player(static_cast<uint16_t>(std::stoi(port)));
  const TLoginReply reply = player.Login(TLoginRequest{});
  EXPECT_EQ(reply.Result, 1);
  EXPECT_EQ(reply.ServerName, "New") << "the name given is the name shown";

  // The web's rules: the same names, the same refusals, and why.
  THeldPort held;
  EXPECT_EQ(c->Command("addserver Shop " + std::to_string(held.Port())),
            Lines({"ERROR, unable to initialize server: port " + std::to_string(held.Port()) +
                   ": Address already in use"}));
  EXPECT_FALSE(TIniFile(server.IniFile()).SectionExists("server_cfg Shop"));
  EXPECT_EQ(c->Command("addserver new " + std::to_string(PassedUDPPort())),
            Lines({"ERROR, unable to initialize server: it would share its accounts with server_cfg New: names "
                   "must differ in their first 18 characters, letter case aside"}));
  EXPECT_EQ(c->Command("addserver " + std::string(30, 'x') + " " + std::to_string(PassedUDPPort())),
            Lines({"ERROR, parameters invalid"}));
  EXPECT_EQ(c->Command("sl"), Lines({Port(), port, "OK"}));
}

TEST_F(TQueryFixture, AccountCommandsChangeTheDatabase) {
  const std::string id = TServerFixture::kDefaultID;
  auto c = Admin();
  EXPECT_EQ(c->Command("listuser"), Lines({"ERROR, no server selected"}));
  EXPECT_EQ(c->Command("sel " + Port()), Lines({"OK"}));
  EXPECT_EQ(c->Command("adduser bob pw 0"), Lines({"ERROR, paramcount invalid"}));
  EXPECT_EQ(c->Command("adduser bob pw 0 1"), Lines({"OK"}));
  EXPECT_EQ(c->Command("adduser bob other 1 1"), Lines({"ERROR, duplicate user"}));
  {
    TAccountCapGuard cap(static_cast<int32_t>(ListUsers(id)->size()));
    EXPECT_EQ(c->Command("adduser carl pw 0 0"), Lines({"ERROR, " + AccountsFullMessage()}));
    EXPECT_EQ(GetUser("carl", id, false), nullptr);
  }
  auto bob = GetUser("bob", id, false);
  ASSERT_TRUE(bob);
  EXPECT_TRUE(PasswordMatches(*bob, "pw"));
  EXPECT_EQ(bob->PlayerPrivileges, PlayerPrivileges::SuperServerAdmin);
  EXPECT_EQ(bob->RegisteredBy, "Server");

  EXPECT_EQ(c->Command("changeuserpw bob a b"), Lines({"ERROR, password dont match"}));
  EXPECT_EQ(c->Command("changeuserpw nobody a a"), Lines({"ERROR, user not found"}));
  EXPECT_EQ(c->Command("changeuserpw bob new new"), Lines({"OK"}));
  EXPECT_EQ(c->Command("changeuserrights bob 1 0"), Lines({"OK"}));
  bob = GetUser("bob", id, false);
  EXPECT_TRUE(PasswordMatches(*bob, "new"));
  EXPECT_EQ(bob->PlayerPrivileges, PlayerPrivileges::ServerAdmin);

  EXPECT_EQ(c->Command("listuser"), Lines({"admin", "bob", "OK"}));
  EXPECT_EQ(c->Command("deluser bob"), Lines({"OK"}));
  EXPECT_FALSE(GetUser("bob", id, false));
  EXPECT_EQ(c->Command("deluser bob"), Lines({"ERROR, user not found"}));

  const TServerRef other = StartServer("Other");
  auto d = Admin();
  EXPECT_EQ(d->Command("sel " + Port(other)), Lines({"OK"}));
  EXPECT_EQ(d->Command("listuser"), Lines({"ERROR, no users avaible"}));
}

TEST_F(TQueryFixture, FailureInsideACommandAnswersOneErrorLineAndGoesOn) {
  query.reset();
  TTCPQueryOptions options = Options();
  options.Environment.SettingsFile = server.Dir.Path();  // a folder: saving settings there fails
  query = std::make_unique<TTCPQuery>(options);
  TLogCapture log;
  auto c = Admin();
  EXPECT_EQ(c->Command("sel " + Port()), Lines({"OK"}));
  const auto answer = c->Command("set maxuser 5");
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_THAT(answer[0], StartsWith("ERROR, "));
  EXPECT_LE(answer[0].size(), 36u);
  EXPECT_THAT(log.Messages(), Contains(StartsWith("TTCPQuery.set Exception: ")));
  EXPECT_EQ(c->Command("help").back(), "OK");
  // The query's thread logs the disconnection: it ends before the capture does.
  c.reset();
  query.reset();
}

}  // namespace
