// The commands of the web pages: each one's redirect, texts and effect on
// server.ini, the database and the running server.
#include "admin/WebFixture.h"
#include "support/AccountCap.h"

TEST_F(TWebFixture, SettingsGoToTheFileAndTheServerRestartsWithThem) {
  ASSERT_TRUE(LogIn());
  const httplib::Params form = {{"SERVERNAME", "Renamed & Co"}, {"SERVERWELCOMEMESSAGE", "welcome"},
                                {"SERVERMAXUSERS", "40"},       {"SERVERPASSWORD", "  newpw  "},
                                {"SERVERTYPE", "2"},            {"SERVERREGISTERTYPE", "2"},
                                {"CODECCelp51", "1"},           {"CODECGSM164", "1"},
                                {"SERVERWEBPOSTLINKURL", " http://x/ "}};
  const std::string ok = browser->Command("/settings_server.plcmd", form);
  EXPECT_EQ(ok.rfind("ok_box.html?", 0), 0u);
  EXPECT_EQ(QueryValue(ok, "ok_title"), "operation successfully");
  // A new server type restarts the server; the box says so, and why.
  EXPECT_EQ(QueryValue(ok, "ok_text").rfind("server config was changed and will be restarted now", 0), 0u);
  EXPECT_EQ(QueryValue(ok, "ok_url"), "server_settings.html");
  EXPECT_EQ(Ini("ServerName"), "Renamed & Co");
  EXPECT_EQ(Ini("ServerMaxUsers"), "40");
  EXPECT_EQ(Ini("ServerPassword"), "newpw");
  EXPECT_EQ(Ini("ServerType"), "6");
  EXPECT_EQ(Ini("ServerFlags"), "3");
  EXPECT_EQ(Ini("AllowCodecCelp51") + Ini("AllowCodecCelp63") + Ini("AllowCodecGSM164"), "101");
  EXPECT_EQ(Ini("WebPost_LinkURL"), "http://x/");
  const TServerRef running = Running();
  ASSERT_TRUE(running);
  {
    const auto hold = running->HoldMachinery();
    EXPECT_EQ(running->ServerName, "Renamed & Co");
    EXPECT_EQ(running->ServerMaxUsers, 40);
  }
  // An empty password and an out-of-range maximum keep what was there.
  browser->Command("/SETTINGS_SERVER.PLCMD",
                   {{"SERVERNAME", "Again"}, {"SERVERMAXUSERS", "70000"}, {"SERVERPASSWORD", " "}, {"SERVERTYPE", "1"},
                    {"SERVERREGISTERTYPE", "1"}});
  EXPECT_EQ(Ini("ServerMaxUsers"), "40");
  EXPECT_EQ(Ini("ServerPassword"), "newpw");
  EXPECT_EQ(Ini("ServerType"), "5");
  EXPECT_EQ(Ini("ServerFlags"), "2");
  EXPECT_EQ(Ini("AllowCodecCelp51"), "0");
  EXPECT_NE(browser->Page("/server_settings.html").find("A password is set"), std::string::npos);
  // Only the explicit choice removes the password, and not beside a new one.
  EXPECT_NE(QueryValue(browser->Command("/SETTINGS_SERVER.PLCMD", {{"SERVERPASSWORD", "x"}, {"SERVERPASSWORD_NONE", "1"}}),
                       "error_text")
                .find("not both"),
            std::string::npos);
  EXPECT_EQ(Ini("ServerPassword"), "newpw");
  browser->Command("/SETTINGS_SERVER.PLCMD", {{"SERVERNAME", "Again"}, {"SERVERPASSWORD_NONE", "1"}});
  EXPECT_EQ(Ini("ServerPassword"), "");
  EXPECT_NE(browser->Page("/server_settings.html").find("No password is set"), std::string::npos);
}

TEST_F(TWebFixture, AddingAccountsChecksPasswordsNamesAndRights) {
  ASSERT_TRUE(LogIn("op", "oppw"));
  EXPECT_EQ(QueryValue(browser->Command("/ADD_CLIENT.PLCMD", {{"CLIENTLOGINNAME", "n"}, {"CLIENTPW1", "a"},
                                                             {"CLIENTPW2", "A"}}),
                       "error_text"),
            "the passwords dont match");
  EXPECT_EQ(QueryValue(browser->Command("/ADD_CLIENT.PLCMD", {{"CLIENTLOGINNAME", "admin"}}), "error_text"),
            "a user with name already exists");
  EXPECT_EQ(QueryValue(browser->Command("/ADD_CLIENT.PLCMD", {{"CLIENTLOGINNAME", ""}}), "error_title"),
            "error occured");
  const std::string ok = browser->Command(
      "/ADD_CLIENT.PLCMD", {{"CLIENTLOGINNAME", "new one"}, {"CLIENTPW1", "pw"}, {"CLIENTPW2", "pw"},
                            {"CLIENTSERVERADMIN", "1"}, {"CLIENTSUPERSERVERADMIN", "1"}});
  EXPECT_EQ(QueryValue(ok, "ok_text"), "the user new one was added to server");
  const auto added = GetUser("new one", TServerFixture::kDefaultID, false);
  ASSERT_TRUE(added);
  EXPECT_TRUE(PasswordMatches(*added, "pw"));
  EXPECT_EQ(added->RegisteredBy, "op");
  EXPECT_EQ(added->PlayerPrivileges, PlayerPrivileges::ServerAdmin);

  TAccountCapGuard cap(static_cast<int32_t>(ListUsers(TServerFixture::kDefaultID)->size()));
  for (const char* password : {"pw", ""}) {
    const std::string refused = browser->Command(
        "/ADD_CLIENT.PLCMD", {{"CLIENTLOGINNAME", "one more"}, {"CLIENTPW1", password}, {"CLIENTPW2", password}});
    EXPECT_EQ(QueryValue(refused, "error_text"), AccountsFullMessage()) << password;
  }
  EXPECT_EQ(GetUser("one more", TServerFixture::kDefaultID, false), nullptr);
}

TEST_F(TWebFixture, DeletionTakesTheNameAskedAboutAndRedirectsEncoded) {
  AddAccount("a&b #c", "pw", 0);
  AddAccount("keep", "pw", 0);
  ASSERT_TRUE(LogIn());
  const std::string choice = browser->Command("/ASK_DELETE_CLIENT.PLCMD?client=a%26b%20%23c");
  EXPECT_EQ(choice.rfind("choice_box.html?", 0), 0u);
  EXPECT_EQ(QueryValue(choice, "choice_title"), "please choose");
  EXPECT_EQ(QueryValue(choice, "choice_text"), "you really want do delete a&b #c");
  EXPECT_EQ(QueryValue(choice, "choice_url_yes"), "DELETE_CLIENT.PLCMD?client=a%26b%20%23c");
  EXPECT_EQ(QueryValue(choice, "choice_url_no") + QueryValue(choice, "choice_yes") + QueryValue(choice, "choice_no"),
            "client_manager.htmlyesno");
  // The box page shows what travelled in the query.
  EXPECT_NE(browser->Page("/" + choice).find("you really want do delete a&amp;b #c"), std::string::npos);
  EXPECT_EQ(QueryValue(browser->Command("/DELETE_CLIENT.PLCMD?client=keep"), "ok_text"), "user a&b #c deleted");
  EXPECT_FALSE(GetUser("a&b #c", TServerFixture::kDefaultID, false));
  EXPECT_TRUE(GetUser("keep", TServerFixture::kDefaultID, false));
  EXPECT_EQ(QueryValue(browser->Command("/DELETE_CLIENT.PLCMD?client=keep"), "error_text"),
            "user  not deleted, user was not found in database");
}

TEST_F(TWebFixture, EditingChangesPasswordAndRightsAndKeepsTheEditorLoggedIn) {
  ASSERT_TRUE(LogIn());
  EXPECT_EQ(QueryValue(browser->Command("/EDIT_CLIENT.PLCMD", {{"CLIENT", "op"}, {"CLIENTPW1", "x"},
                                                              {"CLIENTPW2", "y"}, {"CLIENTSERVERADMIN", "0"}}),
                       "error_text"),
            "the passwords dont match");
  EXPECT_EQ(GetUser("op", TServerFixture::kDefaultID, false)->PlayerPrivileges, PlayerPrivileges::ServerAdmin);
  EXPECT_EQ(QueryValue(browser->Command("/EDIT_CLIENT.PLCMD", {{"CLIENT", "op"}, {"CLIENTSUPERSERVERADMIN", "1"}}),
                       "ok_text"),
            "the user op was edited");
  EXPECT_EQ(GetUser("op", TServerFixture::kDefaultID, false)->PlayerPrivileges, PlayerPrivileges::SuperServerAdmin);
  EXPECT_EQ(QueryValue(browser->Command("/EDIT_CLIENT.PLCMD", {{"CLIENT", "nobody"}}), "error_text"),
            "no such account");
  // The administrator's own new password keeps the session valid.
  browser->Command("/EDIT_CLIENT.PLCMD", {{"CLIENT", "admin"},
                                          {"CLIENTPW1", "fresh"},
                                          {"CLIENTPW2", "fresh"},
                                          {"CLIENTSERVERADMIN", "1"},
                                          {"CLIENTSUPERSERVERADMIN", "1"}});
  EXPECT_TRUE(PasswordMatches(*GetUser("admin", TServerFixture::kDefaultID, false), "fresh"));
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
}

TEST_F(TWebFixture, AServerAdminCannotTakeOverASuperAdminAccount) {
  ASSERT_TRUE(LogIn("op", "oppw"));
  const std::string refused = browser->Command("/EDIT_CLIENT.PLCMD", {{"CLIENT", "admin"},
                                                                      {"CLIENTPW1", "mine"},
                                                                      {"CLIENTPW2", "mine"}});
  EXPECT_EQ(QueryValue(refused, "error_text"), "only a super server admin may change this user");
  browser->Command("/ASK_DELETE_CLIENT.PLCMD?client=admin");
  EXPECT_EQ(QueryValue(browser->Command("/DELETE_CLIENT.PLCMD"), "error_title"), "error occured");
  const auto admin = GetUser("admin", TServerFixture::kDefaultID, false);
  ASSERT_TRUE(admin);
  EXPECT_TRUE(PasswordMatches(*admin, "secret"));
}

// A parallel request of the same session may rewrite the session's rights
// between this request's login check and its command (seen: accounts created
// with the super bit by a server administrator). The command acts with what
// its own request's check found.
TEST_F(TWebFixture, ACommandActsWithTheRightsItsOwnRequestChecked) {
  const TWebSessionRef session = web->Sessions().Create("127.0.0.1");
  httplib::Request request;
  request.path = "/ADD_CLIENT.PLCMD";
  request.params = {{"CLIENTLOGINNAME", "planted"}, {"CLIENTPW1", "pw"}, {"CLIENTPW2", "pw"},
                    {"CLIENTSUPERSERVERADMIN", "1"}};
  httplib::Response response;
  TWebRequest r{request, response, session};
  ASSERT_TRUE(web->CheckSessionLogin("op", "oppw", Port(), r));
  r.LoggedIn = true;
  session->Set("superadmin", "1");  // the other request, in between
  web->Progress_COMMAND(request.path, r);
  const auto added = GetUser("planted", TServerFixture::kDefaultID, false);
  ASSERT_TRUE(added);
  EXPECT_FALSE(added->PlayerPrivileges & PlayerPrivileges::SuperServerAdmin);
}

// A page elsewhere must not act with the browser's session: a command that
// changes state is refused when its request names another origin or site.
// The interface's own pages, and scripts that send neither header, go on.
TEST_F(TWebFixture, StateChangingCommandsFromOtherSitesAreRefused) {
  ASSERT_TRUE(LogIn());
  httplib::Client client("127.0.0.1", web->Port());
  const std::string own = "http://127.0.0.1:" + std::to_string(web->Port());
  auto add = [&](const std::string& name, httplib::Headers headers) {
    headers.emplace("Cookie", std::string(TWebInterface::kCookieName) + "=" + browser->Cookie);
    const auto r = client.Post("/ADD_CLIENT.PLCMD", headers,
                               httplib::Params{{"CLIENTLOGINNAME", name}, {"CLIENTPW1", "p"}, {"CLIENTPW2", "p"}});
    return r ? r->status : -1;
  };
  EXPECT_EQ(add("foreign", {{"Origin", "http://elsewhere.example"}}), 403);
  EXPECT_EQ(add("cross", {{"Sec-Fetch-Site", "cross-site"}}), 403);
  EXPECT_EQ(add("sibling", {{"Origin", own}, {"Sec-Fetch-Site", "same-site"}}), 403);
  EXPECT_EQ(add("own", {{"Origin", own}, {"Sec-Fetch-Site", "same-origin"}}), 302);
  EXPECT_EQ(add("script", {}), 302);
  for (const char* name : {"foreign", "cross", "sibling"})
    EXPECT_FALSE(GetUser(name, TServerFixture::kDefaultID, false)) << name;
  for (const char* name : {"own", "script"}) EXPECT_TRUE(GetUser(name, TServerFixture::kDefaultID, false)) << name;
  // A login sent from elsewhere would plant a session of the sender's choosing.
  const auto login = httplib::Client("127.0.0.1", web->Port())
                         .Post("/LOGIN.PLCMD", {{"Origin", "http://elsewhere.example"}},
                               httplib::Params{{"username", "admin"}, {"password", "secret"}, {"serverport", Port()}});
  ASSERT_TRUE(login);
  EXPECT_EQ(login->status, 403);
  EXPECT_FALSE(login->has_header("Location"));
}
