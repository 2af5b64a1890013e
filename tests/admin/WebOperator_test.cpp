// The operator's pages over HTTP: sessions that stop passing the check, the
// cache and character set of the pages, the account edit page for unknown
// accounts, and the commands of the Players, Settings and Servers pages with
// the rights each needs. Effects are read from the voice clients, server.ini,
// the database and the running servers.
#include "admin/WebFixture.h"
#include "common/AuditLog.h"
#include "common/CommandCodes.h"

namespace {

constexpr char kOtherID[] = "server_cfg Other";


// The (id, nick) form fields that name a player for the row actions.
httplib::Params Target(const TVoiceClient& c, const std::string& nick) {
  return {{"player", std::to_string(c.PlayerID)}, {"nick", nick}};
}

}  // namespace

class TWebOperatorFixture : public TWebFixture {
 protected:
  // A second running server, its id listed in server.ini with the first.
  uint16_t StartOther() {
    TServerSettings s;
    s.ServerUDPPort = PassedUDPPort();
    servers.WriteSettings(kOtherID, s);
    other = std::make_shared<TServerObject>();
    EXPECT_TRUE(other->Start(servers.Environment, kOtherID, -1, nullptr));
    TIniFile ini(servers.IniFile());
    ini.WriteString("Servers", "0", TServerFixture::kDefaultID);
    ini.WriteString("Servers", "1", kOtherID);
    return other->BoundPort();
  }
  bool RunningID(const std::string& id) {
    const TServerRef s = GetServerList()->FindServerByID(id);
    return s && s->Running();
  }
  TServerRef other;
};

TEST_F(TWebOperatorFixture, ASessionThatStopsPassingLandsOnTheLoginPageWithTheReason) {
  ASSERT_TRUE(LogIn("op", "oppw"));
  auto op = GetUser("op", TServerFixture::kDefaultID, false);
  op->PlayerPrivileges = 0;
  ASSERT_TRUE(UpdateUser(*op, TServerFixture::kDefaultID));
  EXPECT_EQ(browser->Command("/client_manager.html"), "login.html");
  const std::string login = browser->Page("/login.html");
  EXPECT_NE(login.find("your rights changed"), std::string::npos);
  EXPECT_EQ(browser->Page("/login.html").find("your rights changed"), std::string::npos) << "said once";
  EXPECT_EQ(browser->Command("/LOGOUT.PLCMD"), "login.html") << "not a 403";

  ASSERT_TRUE(LogIn());
  servers.Stop();
  EXPECT_EQ(browser->Command("/players.html"), "login.html");
  EXPECT_NE(browser->Page("/login.html").find("that server is not running"), std::string::npos);
  EXPECT_NE(browser->Page("/index.html").find("id=\"login\""), std::string::npos) << "the session was cleared";
}

TEST_F(TWebOperatorFixture, PagesAreUncachedInTheServersCodePageAndUnstorableTextIsRefused) {
  ASSERT_TRUE(LogIn());
  for (const char* page : {"/index.html", "/players_rows.html", "/LOGOUT.PLCMD"}) {
    if (std::string(page) == "/LOGOUT.PLCMD") {
      ASSERT_TRUE(LogIn());
    }
    const auto r = browser->Get(page);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store") << page;
  }
  ASSERT_TRUE(LogIn());
  EXPECT_NE(browser->Get("/index.html")->get_header_value("Content-Type").find("charset=windows-1252"),
            std::string::npos);
  const auto missing = browser->Get("/missing.html");
  EXPECT_EQ(missing->status, 404);
  EXPECT_NE(missing->body.find("<h1>Not Found</h1>"), std::string::npos);
  EXPECT_NE(missing->body.find("href=\"index.html\""), std::string::npos) << "the site's look and a way back";
  const std::string refused =
      browser->Command("/SETTINGS_SERVER.PLCMD", {{"SERVERNAME", "&#321;\xf3" "d&#378;"}, {"SERVERMAXUSERS", "40"}});
  EXPECT_NE(QueryValue(refused, "error_text").find("cannot store"), std::string::npos);
  EXPECT_EQ(Ini("ServerName"), "Parleon Server");
  EXPECT_EQ(Ini("ServerMaxUsers"), "12");
  // The way back carries the input, and the form shows it again.
  const std::string back = QueryValue(refused, "error_url");
  EXPECT_EQ(back.rfind("server_settings.html?", 0), 0u);
  EXPECT_NE(browser->Page("/" + back).find("value=\"40\""), std::string::npos);
}

TEST_F(TWebOperatorFixture, AnUnknownAccountIsNoSuchAccountAndNothingChanges) {
  ASSERT_TRUE(LogIn());
  const std::string page = browser->Page("/client_edit.html?client=ghost");
  // The account's markers stay in the page, but only the notice shows.
  EXPECT_NE(page.find("id=\"no-such-account\" >"), std::string::npos);
  EXPECT_NE(page.find("id=\"edit-account\" hidden>"), std::string::npos);
  EXPECT_EQ(QueryValue(browser->Command("/EDIT_CLIENT.PLCMD", {{"CLIENT", "ghost"}, {"CLIENTSERVERADMIN", "1"}}),
                       "error_text"),
            "no such account");
  EXPECT_FALSE(GetUser("ghost", TServerFixture::kDefaultID, false));
  // An account without a password is added only after a yes.
  const std::string ask =
      browser->Command("/ADD_CLIENT.PLCMD", {{"CLIENTLOGINNAME", "nopw"}, {"CLIENTSERVERADMIN", "1"}});
  EXPECT_NE(QueryValue(ask, "choice_text").find("without a password"), std::string::npos);
  EXPECT_FALSE(GetUser("nopw", TServerFixture::kDefaultID, false));
  EXPECT_EQ(QueryValue(browser->Command("/" + QueryValue(ask, "choice_url_yes")), "ok_text"),
            "the user nopw was added to server");
  const auto added = GetUser("nopw", TServerFixture::kDefaultID, false);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->PlayerPrivileges, PlayerPrivileges::ServerAdmin);
}

TEST_F(TWebOperatorFixture, PlayerActionsReachTheirPlayerOnTheOwnServerOnly) {
  const uint16_t otherPort = StartOther();
  auto ann = TServerFixture::ConnectTo(servers.Port(), "ann");
  ASSERT_TRUE(ann);
  auto bob = TServerFixture::ConnectTo(servers.Port(), "bob");
  ASSERT_TRUE(bob);
  auto far = TServerFixture::ConnectTo(otherPort, "far");
  ASSERT_TRUE(far);
  ASSERT_TRUE(LogIn("op", "oppw"));
  const std::string rows = browser->Page("/players_rows.html");
  EXPECT_NE(rows.find(">ann<"), std::string::npos);
  EXPECT_NE(rows.find("127.0.0.1"), std::string::npos);
  EXPECT_EQ(rows.find(">far<"), std::string::npos);
  const std::string json = browser->Page("/PLAYERS_LIST.PLCMD?q=BO");
  EXPECT_NE(json.find("\"online\":2,\"matched\":1"), std::string::npos) << json;
  EXPECT_NE(json.find("\"bob\""), std::string::npos);
  // Its time in the pages' format (dd-mm-yyyy hh:nn:ss), not the browser's.
  ASSERT_EQ(json.rfind("{\"time\":\"", 0), 0u) << json;
  EXPECT_EQ(json.substr(9, 21).find_first_not_of("0123456789-: "), 19u) << json;
  EXPECT_EQ(json.substr(11, 1) + json.substr(14, 1) + json.substr(22, 1), "--:") << json;
  // Generated pages go out gzipped where offered, never with the library's
  // slow Brotli.
  httplib::Client raw("127.0.0.1", web->Port());
  raw.set_decompress(false);
  const std::string cookie = std::string(TWebInterface::kCookieName) + "=" + browser->Cookie;
  const auto gz = raw.Get("/players.html", {{"Cookie", cookie}, {"Accept-Encoding", "gzip, deflate, br"}});
  ASSERT_TRUE(gz);
  EXPECT_EQ(gz->get_header_value("Content-Encoding"), "gzip");
  const auto br = raw.Get("/players_rows.html", {{"Cookie", cookie}, {"Accept-Encoding", "br"}});
  ASSERT_TRUE(br);
  EXPECT_EQ(br->get_header_value("Content-Encoding"), "");
  EXPECT_NE(br->body.find(">bob<"), std::string::npos);

  // far's id names ann on this server: the nickname tells them apart.
  auto form = Target(*far, "far");
  form.emplace("text", "hi far");
  EXPECT_EQ(QueryValue(browser->Command("/MESSAGE_PLAYER.PLCMD", form), "error_text"),
            "that player is not online on this server");
  form = Target(*bob, "bob");
  form.emplace("text", "hi bob");
  EXPECT_EQ(QueryValue(browser->Command("/MESSAGE_PLAYER.PLCMD", form), "ok_text"), "the message was sent to bob");
  const auto text = bob->WaitCommand(130);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->Str(24, 255), "hi bob");
  EXPECT_EQ(text->Str(284, 29), "SERVER");
  EXPECT_FALSE(far->Receives(130, 200));
  // Everyone of this server, and nobody of the other.
  EXPECT_EQ(QueryValue(browser->Command("/MESSAGE_ALL.PLCMD", {{"text", "hi all"}}), "ok_text"),
            "the message was sent to the 2 players online");
  for (TVoiceClient* c : {ann.get(), bob.get()}) {
    const auto all = c->WaitCommand(130);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->Str(24, 255), "hi all");
  }
  EXPECT_FALSE(far->Receives(130, 200));

  form = Target(*ann, "ann");
  form.emplace("channel", "424242");
  EXPECT_EQ(QueryValue(browser->Command("/MOVE_PLAYER.PLCMD", form), "error_text"), "there is no such channel");
  // To the channel the player is in: said, and nothing sent.
  uint32_t annChannel = 0;
  for (const TPlayerView& p : TServerAccess(Running()).Snapshot(TSnapshotParts::PlayerViews).PlayerViews)
    if (p.PlayerID == ann->PlayerID) annChannel = p.ChannelID;
  form = Target(*ann, "ann");
  form.emplace("channel", std::to_string(annChannel));
  EXPECT_NE(QueryValue(browser->Command("/MOVE_PLAYER.PLCMD", form), "ok_text").find("ann is already in"),
            std::string::npos);
  EXPECT_FALSE(bob->Receives(cmd::PlayerSwitchedChannel, 200));

  EXPECT_EQ(QueryValue(browser->Command("/ASK_KICK_PLAYER.PLCMD", {{"player", "1"}, {"nick", "a%2b"}}), "choice_text"),
            "you really want to kick a%2b");
  form = Target(*ann, "ann");
  form.emplace("reason", "flooding");
  const std::string ask = browser->Command("/ASK_KICK_PLAYER.PLCMD", form);
  EXPECT_EQ(QueryValue(ask, "choice_text"), "you really want to kick ann");
  EXPECT_EQ(QueryValue(browser->Command("/" + QueryValue(ask, "choice_url_yes")), "ok_text"),
            "ann was kicked from the server");
  const auto told = ann->WaitCommand(101);
  ASSERT_TRUE(told) << "the kicked player is told too";
  EXPECT_EQ(told->Str(34, 29), "flooding");
  const auto left = bob->WaitCommand(101);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->U32(24), ann->PlayerID);
  EXPECT_EQ(left->U16(28), 2);
  EXPECT_TRUE(TServerFixture::WaitFor([&] { return servers.Server->CurrentUsers() == 1; }));
  EXPECT_EQ(other->CurrentUsers(), 1);
}

// The audit trail of the web: a failed login, an account edit, a settings
// change (the password never in words) and a kick with a ban, each naming
// the session's account, its address and the server.
TEST_F(TWebOperatorFixture, EveryChangeIsOneAuditRecordAndKickAndBanKeepsThePlayerOut) {
  SetAuditFile(servers.Dir.File("server.audit"));
  auto ann = TServerFixture::ConnectTo(servers.Port(), "ann");
  ASSERT_TRUE(ann);
  EXPECT_FALSE(LogIn("admin", "wrong"));
  ASSERT_TRUE(LogIn());
  browser->Command("/EDIT_CLIENT.PLCMD", {{"CLIENT", "op"}, {"CLIENTPW1", "n3w"}, {"CLIENTPW2", "n3w"}});
  browser->Command("/SETTINGS_SERVER.PLCMD", {{"SERVERNAME", "Renamed"}, {"SERVERPASSWORD", "hunter2"},
                                              {"SERVERMAXUSERS", "12"}, {"CODECCelp51", "1"}, {"CODECCelp63", "1"},
                                              {"CODECGSM148", "1"}, {"CODECGSM164", "1"}, {"CODECWindowsCELP52", "1"},
                                              {"SERVERTYPE", "1"}});
  httplib::Params form = Target(*ann, "ann");
  form.emplace("reason", "spam");
  form.emplace("ban", "address");
  form.emplace("minutes", "30");
  const std::string ask = browser->Command("/ASK_KICK_PLAYER.PLCMD", form);
  EXPECT_EQ(QueryValue(browser->Command("/" + QueryValue(ask, "choice_url_yes")), "ok_text"), "ann was kicked and banned");
  const std::vector<TAuditRecord> trail = ReadAudit({});
  SetAuditFile("");
  ASSERT_EQ(trail.size(), 5u);
  EXPECT_EQ(trail[0].Kind, "kick");
  EXPECT_EQ(trail[1].Kind, "ban");
  EXPECT_EQ(trail[1].Detail, "ban 1: ip 127.0.0.1 for 30 minutes, reason: spam");
  EXPECT_EQ(trail[2].Kind, "settings");
  EXPECT_EQ(trail[2].Detail.rfind("ServerName: 'Parleon Server' -> 'Renamed'; ", 0), 0u) << trail[2].Detail;
  EXPECT_NE(trail[2].Detail.find("; ServerPassword: changed"), std::string::npos);
  EXPECT_EQ(trail[2].Detail.find("ServerMaxUsers"), std::string::npos) << "an unchanged key is not named";
  EXPECT_EQ(trail[3].Kind, "account-edit");
  EXPECT_EQ(trail[3].Detail, "op: rights ServerAdmin -> none, password changed");
  EXPECT_EQ(trail[4].Kind, "login-failed");
  EXPECT_EQ(trail[4].Actor, "web");
  EXPECT_EQ(trail[4].Server, "");
  for (const TAuditRecord& r : trail) {
    EXPECT_EQ(r.Surface, "web");
    EXPECT_EQ(r.Address, "127.0.0.1");
    if (r.Kind != "login-failed") {
      EXPECT_EQ(r.Actor, "admin");
      EXPECT_EQ(r.Server, TServerFixture::kDefaultID);
    }
    EXPECT_EQ(r.Detail.find("hunter2"), std::string::npos);
  }
  TLoginRequest again;
  again.NickName = "ann2";
  EXPECT_EQ(TVoiceClient(servers.Port()).Login(again).Result, rc::BadPasswordOrNick) << "banned";
}

// A server administrator's Bans and Log pages hold their own server's bans
// and records only; another server's ban is neither listed nor lifted.
TEST_F(TWebOperatorFixture, BansAndLogShowAServerAdministratorItsOwnServerOnly) {
  StartOther();
  SetAuditFile(servers.Dir.File("server.audit"));
  TBan own, theirs, theirsToo;
  own.Kind = theirs.Kind = theirsToo.Kind = TBanKind::Nick;
  own.Value = "ownTroll";
  theirs.Value = "rivalTroll";
  theirsToo.Value = "rivalTroll2";
  ASSERT_TRUE(TServerAccess(servers.Server).AddBan(own, 0));
  ASSERT_TRUE(TServerAccess(other).AddBan(theirs, 0));
  ASSERT_TRUE(TServerAccess(other).AddBan(theirsToo, 60));
  TAuditRecord rival;
  rival.Surface = "web";
  rival.Actor = "rival";
  rival.Address = "198.51.100.7";
  rival.Server = kOtherID;
  rival.Kind = "kick";
  Audit(rival);

  ASSERT_TRUE(LogIn("op", "oppw"));
  const std::string nav = browser->Page("/index.html");
  EXPECT_NE(nav.find("nav-bans"), std::string::npos);
  EXPECT_NE(nav.find("nav-log"), std::string::npos);
  const std::string bans = browser->Page("/bans.html");
  EXPECT_NE(bans.find("ownTroll"), std::string::npos);
  EXPECT_EQ(bans.find("rivalTroll"), std::string::npos);
  EXPECT_EQ(QueryValue(browser->Command("/LIFT_BAN.PLCMD", {{"ban", std::to_string(theirsToo.ID)}}), "error_text"),
            "there is no such ban on this server");
  EXPECT_EQ(TServerAccess(other).Bans()->size(), 2u);
  EXPECT_EQ(QueryValue(browser->Command("/LIFT_BAN.PLCMD", {{"ban", std::to_string(own.ID)}}), "ok_text"),
            "the ban of ownTroll was lifted");
  EXPECT_TRUE(TServerAccess(servers.Server).Bans()->empty());

  for (const std::string query : {"", "?server=server_cfg%20Other", "?actor=rival"}) {
    const std::string page = browser->Page("/log.html" + query);
    const size_t list = page.find("id=\"log-list\"");
    ASSERT_NE(list, std::string::npos);
    const std::string log = page.substr(list);  // the filter form shows what was typed
    EXPECT_EQ(log.find("198.51.100.7"), std::string::npos) << query;
    EXPECT_EQ(log.find("rival"), std::string::npos) << query;
  }
  EXPECT_NE(browser->Page("/log.html?kind=lift").find("ban 1: nick ownTroll"), std::string::npos);

  ASSERT_EQ(browser->Command("/LOGOUT.PLCMD"), "login.html");
  ASSERT_TRUE(LogIn());
  EXPECT_NE(browser->Page("/log.html?server=server_cfg%20Other").find("198.51.100.7"), std::string::npos)
      << "a super administrator reads every server's records";
  SetAuditFile("");
}

TEST_F(TWebOperatorFixture, SettingsApplyLiveAndOnlyATypeChangeRestarts) {
  auto ann = TServerFixture::ConnectTo(servers.Port(), "ann");
  ASSERT_TRUE(ann);
  ASSERT_TRUE(LogIn());
  const std::string ok = browser->Command(
      "/SETTINGS_SERVER.PLCMD", {{"SERVERNAME", "Live"}, {"SERVERWELCOMEMESSAGE", "hi"}, {"SERVERMAXUSERS", "30"},
                                 {"SERVERTYPE", "1"}, {"SERVERREGISTERTYPE", "2"}, {"CODECGSM148", "1"}});
  EXPECT_EQ(QueryValue(ok, "ok_text"), "server config was changed; players stay connected");
  EXPECT_EQ(QueryValue(ok, "ok_url"), "server_settings.html");
  EXPECT_EQ(Ini("ServerName"), "Live");
  EXPECT_EQ(servers.Server->CurrentUsers(), 1);
  EXPECT_FALSE(ann->Receives(101, 300)) << "nobody was disconnected";
  TLoginRequest late;
  late.NickName = "late";
  const TLoginReply reply = TVoiceClient(servers.Port()).Login(late);
  EXPECT_EQ(reply.ServerName, "Live");
  EXPECT_EQ(reply.WelcomeMessage, "hi");
  EXPECT_EQ(reply.MaxUsers, 30u);
  EXPECT_EQ(reply.CodecMask, 1u << 2);
  EXPECT_EQ(reply.ServerFlags & 1, 1);
  // A maximum below the players online warns that newcomers are kept out.
  EXPECT_NE(QueryValue(browser->Command("/SETTINGS_SERVER.PLCMD", {{"SERVERNAME", "Live"}, {"SERVERMAXUSERS", "1"},
                                                                   {"SERVERTYPE", "1"}}),
                       "ok_text")
                .find("the maximum of 1 is below the 2 players online"),
            std::string::npos);

  const std::string restarted =
      browser->Command("/SETTINGS_SERVER.PLCMD", {{"SERVERNAME", "Live"}, {"SERVERTYPE", "2"}});
  EXPECT_EQ(QueryValue(restarted, "ok_text").rfind("server config was changed and will be restarted now", 0), 0u);
  const auto gone = ann->WaitCommand(101);
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->U16(28), 4);

  // The restart of its own, for a server administrator too.
  auto bob = TServerFixture::ConnectTo(servers.Port(), "bob");
  ASSERT_TRUE(bob);
  ASSERT_TRUE(LogIn("op", "oppw"));
  // Asked first, with the players it throws off; a yes never asked for does nothing.
  EXPECT_NE(QueryValue(browser->Command("/RESTART_SERVER.PLCMD"), "error_text").find("nothing was restarted"),
            std::string::npos);
  const std::string ask = browser->Command("/ASK_RESTART_SERVER.PLCMD");
  EXPECT_EQ(QueryValue(ask, "choice_text"), "restart " + std::string(TServerFixture::kDefaultID) + "? The 1 player online will be disconnected.");
  EXPECT_FALSE(bob->Receives(101, 200));
  EXPECT_EQ(QueryValue(browser->Command("/" + QueryValue(ask, "choice_url_yes")), "ok_url"), "server_settings.html");
  const auto told = bob->WaitCommand(101);
  ASSERT_TRUE(told);
  EXPECT_EQ(told->U16(28), 4);
}

TEST_F(TWebOperatorFixture, OnlyASuperAdminManagesServersAndTheyFollowTheQueryPortsRules) {
  StartOther();
  ASSERT_TRUE(LogIn("op", "oppw"));
  const std::string refusedPage = browser->Page("/servers.html");
  EXPECT_EQ(refusedPage.find("servers-table"), std::string::npos);
  EXPECT_NE(refusedPage.find("<!--\n<div class=\"card\">"), std::string::npos) << "the add form is hidden";
  EXPECT_NE(refusedPage.find("id=\"servers-refused\""), std::string::npos);
  EXPECT_EQ(refusedPage.find("nav-servers"), std::string::npos) << "the navigation leaves out what it may not see";
  EXPECT_NE(refusedPage.find("id=\"nav-players\""), std::string::npos);
  for (const char* command : {"/SERVERS_ASK_STOP.PLCMD", "/SERVERS_STOP.PLCMD", "/SERVERS_ASK_RESTART.PLCMD",
                              "/SERVERS_ASK_REMOVE.PLCMD"})
    EXPECT_EQ(QueryValue(browser->Command(command, {{"server", kOtherID}}), "error_text"),
              "only a super server administrator may manage servers")
        << command;
  EXPECT_EQ(QueryValue(browser->Command("/SERVERS_ADD.PLCMD", {{"NEWSERVERNAME", "X"}, {"NEWSERVERPORT", "1"}}),
                       "error_title"),
            "error occured");
  EXPECT_TRUE(RunningID(kOtherID));

  ASSERT_TRUE(LogIn());
  const std::string nav = browser->Page("/servers.html");
  EXPECT_LT(nav.find("id=\"nav-accounts\""), nav.find("id=\"nav-servers\""));
  // Stop and Restart ask first and say whom they disconnect.
  EXPECT_NE(QueryValue(browser->Command("/SERVERS_STOP.PLCMD", {{"server", kOtherID}}), "error_text")
                .find("no server was waiting"),
            std::string::npos);
  EXPECT_TRUE(RunningID(kOtherID));
  auto far = TServerFixture::ConnectTo(other->BoundPort(), "far");
  ASSERT_TRUE(far);
  EXPECT_EQ(QueryValue(browser->Command("/SERVERS_ASK_RESTART.PLCMD", {{"server", kOtherID}}), "choice_text"),
            "restart server_cfg Other? The 1 player online will be disconnected.");
  const std::string askStop = browser->Command("/SERVERS_ASK_STOP.PLCMD", {{"server", kOtherID}});
  EXPECT_EQ(QueryValue(askStop, "choice_text"), "stop server_cfg Other? The 1 player online will be disconnected.");
  EXPECT_TRUE(RunningID(kOtherID));
  EXPECT_EQ(QueryValue(browser->Command("/" + QueryValue(askStop, "choice_url_yes")), "ok_url"), "servers.html");
  EXPECT_FALSE(RunningID(kOtherID));
  const std::string list = browser->Page("/servers.html");
  const size_t row = list.find("data-server=\"server_cfg Other\"");
  ASSERT_NE(row, std::string::npos) << "a stopped server stays listed";
  EXPECT_NE(list.find("stopped", row), std::string::npos);
  browser->Command("/SERVERS_START.PLCMD", {{"server", kOtherID}});
  EXPECT_TRUE(RunningID(kOtherID));

  const uint16_t port = PassedUDPPort();
  EXPECT_NE(QueryValue(browser->Command("/SERVERS_ADD.PLCMD", {{"NEWSERVERNAME", "Bad]"}, {"NEWSERVERPORT", "5"}}),
                       "error_url")
                .find("NEWSERVERNAME=Bad%5D"),
            std::string::npos)
      << "the refused input travels back";
  {
    THeldPort held;
    EXPECT_EQ(QueryValue(browser->Command("/SERVERS_ADD.PLCMD", {{"NEWSERVERNAME", "New"},
                                                                 {"NEWSERVERPORT", std::to_string(held.Port())}}),
                         "error_text"),
              "port " + std::to_string(held.Port()) + ": Address already in use");
    EXPECT_FALSE(TIniFile(servers.IniFile()).SectionExists("server_cfg New")) << "a failed add changes nothing";
  }
  browser->Command("/SERVERS_ADD.PLCMD", {{"NEWSERVERNAME", "New"}, {"NEWSERVERPORT", std::to_string(port)}});
  ASSERT_TRUE(RunningID("server_cfg New"));
  EXPECT_NE(browser->Page("/servers.html").find("<td data-label=\"Name\" class=\"name\">New</td>"), std::string::npos)
      << "the name given is the name shown";
  // The stopped server keeps its port, and a name that would share its accounts is refused.
  ASSERT_TRUE(StopServer(kOtherID).Done());
  const std::string otherPort = std::to_string(TIniFile(servers.IniFile()).ReadInteger(kOtherID, "ServerUDPPort", 0));
  EXPECT_EQ(QueryValue(browser->Command("/SERVERS_ADD.PLCMD", {{"NEWSERVERNAME", "Third"}, {"NEWSERVERPORT", otherPort}}),
                       "error_text"),
            "port " + otherPort + " belongs to the stopped server " + kOtherID);
  EXPECT_EQ(QueryValue(browser->Command("/SERVERS_ADD.PLCMD",
                                        {{"NEWSERVERNAME", "NEW"}, {"NEWSERVERPORT", std::to_string(PassedUDPPort())}}),
                       "error_text"),
            "it would share its accounts with server_cfg New: names must differ in their first 18 characters, "
            "letter case aside");
  EXPECT_EQ(TIniFile(servers.IniFile()).ReadString("Servers", "2", ""), "server_cfg New");
  AddAccount("doomed", "pw", 0, "server_cfg New");
  const std::string ask = browser->Command("/SERVERS_ASK_REMOVE.PLCMD", {{"server", "server_cfg New"}});
  EXPECT_EQ(QueryValue(browser->Command("/" + QueryValue(ask, "choice_url_yes")), "ok_text"),
            "server server_cfg New was removed");
  EXPECT_FALSE(RunningID("server_cfg New"));
  TIniFile ini(servers.IniFile());
  EXPECT_FALSE(ini.ValueExists("Servers", "2"));
  EXPECT_FALSE(ini.SectionExists("server_cfg New"));
  EXPECT_FALSE(GetUser("doomed", "server_cfg New", false));
}

TEST_F(TWebOperatorFixture, ASuperAdminSwitchesTheServerOfEveryPageAndSeesThemAll) {
  const uint16_t otherPort = StartOther();
  auto far = TServerFixture::ConnectTo(otherPort, "far");
  ASSERT_TRUE(far);
  ASSERT_TRUE(LogIn("op", "oppw"));
  EXPECT_EQ(browser->Page("/index.html").find("server-switch"), std::string::npos);
  EXPECT_EQ(browser->Page("/all_servers.html").find("id=\"all-servers\""), std::string::npos);
  EXPECT_EQ(QueryValue(browser->Command("/SELECT_SERVER.PLCMD", {{"server", kOtherID}}), "error_text"),
            "only a super server administrator may manage servers");
  EXPECT_EQ(browser->Page("/players_rows.html").find(">far<"), std::string::npos) << "op stays on its own server";

  ASSERT_TRUE(LogIn());
  EXPECT_NE(browser->Page("/index.html").find("id=\"server-switch\""), std::string::npos);
  const std::string all = browser->Page("/all_servers.html");
  const size_t row = all.find("data-server=\"server_cfg Other\"");
  ASSERT_NE(row, std::string::npos);
  EXPECT_NE(all.find(">1 of ", row), std::string::npos) << "players online of the maximum";
  EXPECT_NE(all.find("data-server=\"" + std::string(TServerFixture::kDefaultID) + "\" class=\"selected\""),
            std::string::npos);
  EXPECT_EQ(browser->Command("/SELECT_SERVER.PLCMD", {{"server", kOtherID}, {"page", "players.html"}}),
            "players.html");
  EXPECT_NE(browser->Page("/players_rows.html").find(">far<"), std::string::npos);
  // A command acts on the chosen server too, and a stopped one cannot be chosen.
  EXPECT_EQ(QueryValue(browser->Command("/MESSAGE_ALL.PLCMD", {{"text", "to far"}}), "ok_text"),
            "the message was sent to the 1 player online");
  ASSERT_TRUE(far->WaitCommand(130));
  EXPECT_NE(QueryValue(browser->Command("/SELECT_SERVER.PLCMD", {{"server", "server_cfg None"}}), "error_text")
                .find("not running"),
            std::string::npos);
  EXPECT_EQ(browser->Command("/SELECT_SERVER.PLCMD", {{"server", TServerFixture::kDefaultID}, {"page", "//evil"}}),
            "index.html");
  EXPECT_EQ(browser->Page("/players_rows.html").find(">far<"), std::string::npos);
}
