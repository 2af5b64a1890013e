// The marker language on its own (includes, one-pass replacement, escaping,
// the text helpers, the MIME table, the session table), and what each
// marker becomes on a page served for a logged-in administrator.
#include "admin/MimeTypes.h"
#include "admin/WebFixture.h"
#include "admin/WebSessions.h"
#include "admin/WebTemplates.h"
#include "admin/WebText.h"

TEST(WebTemplateText, IncludesExpandNestedAndAlwaysEnd) {
  const auto load = [](const std::string& name) -> std::string {
    if (name == "a") return "[A %%INCLUDE%b%]";
    if (name == "b") return "B";
    if (name == "self") return "x%%INCLUDE%self%";
    return "";
  };
  EXPECT_EQ(ExpandIncludes("1%%INCLUDE%a%2%%INCLUDE%missing%3", load), "1[A B]23");
  const std::string self = ExpandIncludes("%%INCLUDE%self%", load);
  EXPECT_EQ(self, std::string(kMaxIncludes, 'x') + "%%INCLUDE%self%");
  EXPECT_EQ(ExpandIncludes("%%INCLUDE%a% %%INCLUDE%open", load), "[A B] %%INCLUDE%open");
}

TEST(WebTemplateText, MarkersReplaceInOnePassWithEscapedValues) {
  TMarkers m;
  m.Text("%%NAME%%", "<b>\"Tom\" & 'Jerry'</b>");
  m.Text("%%EVIL%%", "%%SECRET%%");
  m.Text("%%SECRET%%", "hunter2");
  m.Condition("ON", true);
  m.Condition("OFF", false);
  EXPECT_EQ(m.Expand("a%%name%%b"), "a&lt;b&gt;&quot;Tom&quot; &amp; &#39;Jerry&#39;&lt;/b&gt;b");
  EXPECT_EQ(m.Expand("%%EVIL%%"), "%%SECRET%%");
  EXPECT_EQ(m.Expand("%!COMMENT_ON_ON!%x%!comment_off_on!%|%!COMMENT_ON_OFF!%y%!COMMENT_OFF_OFF!%"), "<!--x-->|y");
  EXPECT_EQ(m.Expand("%%UNKNOWN%% 100% %%%%SECRET%% %"), "%%UNKNOWN%% 100% %%hunter2 %");
  TMarkers row;
  row.Text("%%ROW%%", "r");
  EXPECT_EQ(row.Expand("%%ROW%%%%SECRET%%", &m), "rhunter2");
}

TEST(WebTemplateText, UrlsDatesAndMimeTypes) {
  EXPECT_EQ(UrlEncode("a&b #c+d/é"), "a%26b%20%23c%2Bd%2F%C3%A9");
  EXPECT_EQ(SameSiteUrl("DELETE_CLIENT.PLCMD?client=a"), "DELETE_CLIENT.PLCMD?client=a");
  for (const char* hostile : {"javascript:alert(1)", " JavaScript:x", "//evil.example/", "\\\\evil", "http://x/"})
    EXPECT_EQ(SameSiteUrl(hostile), "index.html") << hostile;
  EXPECT_EQ(FormatDateTime("dd-mm-yyyy hh:nn:ss", EncodeDateTime(2026, 3, 4, 5, 6, 7, 0)), "04-03-2026 05:06:07");
  EXPECT_EQ(FormatDateTime("d/m/yy h:n", EncodeDateTime(2026, 3, 4, 5, 6, 7, 0)), "4/3/26 5:6");
  const TMimeTypes system;
  EXPECT_EQ(system.Get("x/page.HTML"), "text/html");
  EXPECT_EQ(system.Get("logo.png"), "image/png");
  EXPECT_EQ(system.Get("dir.d/noext"), TMimeTypes::kDefaultType);
  const TMimeTypes builtIn("/nonexistent/mime.types");
  EXPECT_EQ(builtIn.Get("style.css"), "text/css");
  EXPECT_LT(builtIn.Count(), system.Count());
}

TEST(WebSessionTable, TimeoutRenewAndEvictionOrder) {
  TManualClock clock;
  TWebSessions sessions(&clock, 4, 2);
  const TWebSessionRef admin = sessions.Create("10.0.0.1");
  admin->Set("loggedin", "1");
  const std::string first = admin->Id();
  EXPECT_EQ(first.size(), 2 * TWebSessions::kIdBytes);
  sessions.Renew(admin);
  EXPECT_EQ(sessions.Find(first), nullptr);
  EXPECT_EQ(sessions.Find(admin->Id()), admin);
  // One address keeps two sessions that are not logged in; the table four.
  for (int i = 0; i < 5; ++i) sessions.Create("10.0.0.2");
  sessions.Create("10.0.0.3");
  sessions.Create("10.0.0.4");
  clock.AdvanceMs(1);
  sessions.Create("10.0.0.5");
  EXPECT_EQ(sessions.Count(), 4u);
  EXPECT_EQ(sessions.Find(admin->Id()), admin);
  clock.AdvanceMs(TWebSessions::kTimeoutMs - 1);
  EXPECT_EQ(sessions.Find(admin->Id()), admin);
  clock.AdvanceMs(TWebSessions::kTimeoutMs);
  EXPECT_EQ(sessions.Find(admin->Id()), nullptr);
  TSessionValues v;
  for (size_t i = 0; i < TSessionValues::kMaxValues; ++i) EXPECT_TRUE(v.Set("n" + std::to_string(i), "x"));
  EXPECT_FALSE(v.Set("one-more", "x"));
  EXPECT_TRUE(v.Set("N0", std::string(5000, 'y')));
  EXPECT_EQ(v.Get("n0").size(), TSessionValues::kMaxValueLength);
}

namespace {

const char kServerMarkers[] =
    "ID=%%SERVERID%%|NAME=%%servername%%|PLATFORM=%%SERVERPLATFORM%%|WELCOME=%%SERVERWELCOMEMESSAGE%%|"
    "VERSION=%%SERVERVERSIONMAJOR%%.%%SERVERVERSIONMINOR%%.%%SERVERVERSIONRELEASE%%.%%SERVERVERSIONBUILD%%|"
    "MAX=%%SERVERMAXUSERS%%|PW=%%SERVERPASSWORD%%|LINK=%%SERVERWEBPOSTLINKURL%%|UDP=%%SERVERUDPPORT%%|"
    "USERS=%%CURRENTUSERS%%,%%SERVERUSERSONLINE%%|CHANNELS=%%CURRENTCHANNELS%%,%%SERVERCHANNELS%%|"
    "CODECS=%%SERVERCFG_CODEC_Celp51_SELECTED%%,%%SERVERCFG_CODEC_Celp63_SELECTED%%,"
    "%%SERVERCFG_CODEC_GSM148_SELECTED%%,%%SERVERCFG_CODEC_GSM164_SELECTED%%,"
    "%%SERVERCFG_CODEC_WindowsCELP52_SELECTED%%|TYPE=%%SERVERTYPE%%,%%SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED%%,"
    "%%SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED%%|REG=%%SERVERREGISTERTYPE%%,"
    "%%SERVERCFG_SERVERREGISTERTYPE_ANYONE_SELECTED%%,%%SERVERCFG_SERVERREGISTERTYPE_NONE_SELECTED%%|"
    "%!COMMENT_ON_SERVER_SELECTED!%sel%!COMMENT_OFF_SERVER_SELECTED!%|"
    "%!COMMENT_ON_NOT_SUPERSERVERADMIN!%super%!COMMENT_OFF_NOT_SUPERSERVERADMIN!%|USER=%%LOGGEDINUSERNAME%%";

}  // namespace

TEST_F(TWebFixture, ServerMarkersShowTheSelectedServer) {
  TServerSettings s = servers.Settings;
  s.ServerName = "Web <b>&";
  s.ServerWelcomeMessage = "hi";
  s.ServerMaxUsers = 33;
  s.ServerPassword = "spw";
  s.AllowCodecCelp63 = false;
  s.ServerType = stPublic;
  s.ServerFlags = sfAnyoneMayRegister;
  s.WebPostLinkURL = "http://link/";
  servers.WriteSettings(TServerFixture::kDefaultID, s);
  GetServerList()->RestartServer(TServerFixture::kDefaultID);
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return Running() && Running()->CurrentChannels() == 1; }));
  Page("m.html", kServerMarkers);
  ASSERT_TRUE(LogIn());
  EXPECT_EQ(browser->Page("/m.html"),
            "ID=server_cfg Default|NAME=Web &lt;b&gt;&amp;|PLATFORM=Linux|WELCOME=hi|VERSION=2.0.18.25|MAX=33|PW=spw|"
            "LINK=http://link/|UDP=" + Port() + "|USERS=0,0|CHANNELS=1,1|CODECS=checked,,checked,checked,checked|"
            "TYPE=Public Server,,selected|REG=anyone,selected,|<!--sel-->|super|USER=admin");
  ASSERT_TRUE(LogIn("op", "oppw"));
  EXPECT_NE(browser->Page("/m.html").find("|<!--super-->|"), std::string::npos);
}

TEST_F(TWebFixture, LoginPageListsEveryRunningServerAndSuperAdminsMayChooseAny) {
  Page("login.html", "%!COMMENT_ON_SERVER_NOT_SELECTED!%none%!COMMENT_OFF_SERVER_NOT_SELECTED!%|"
                     "%%SERVERNAME%%|%%SERVERID%%|%!SERVERCFG_SERVER_MANAGER_SERVERDROPDOWNLIST!%");
  TServerSettings second = servers.Settings;
  second.ServerUDPPort = PassedUDPPort();
  servers.WriteSettings("server_cfg Two", second);
  const auto two = std::make_shared<TServerObject>();
  ASSERT_TRUE(two->Start(servers.Environment, "server_cfg Two", -1, nullptr));
  const std::string p2 = std::to_string(second.ServerUDPPort);
  // By name and port, sorted by port.
  std::string options[] = {"<option value=\"" + Port() + "\">Parleon Server (port " + Port() + ")</option>",
                           "<option value=\"" + p2 + "\">Parleon Server (port " + p2 + ")</option>"};
  if (second.ServerUDPPort < servers.Settings.ServerUDPPort) std::swap(options[0], options[1]);
  EXPECT_EQ(browser->Page("/"), "<!--none-->||%%SERVERID%%|" + options[0] + options[1]);
  const auto login = [&](const char* user, const char* password) {
    return browser->Command("/login.plcmd", {{"username", user}, {"password", password}, {"serverport", p2}});
  };
  EXPECT_EQ(login("op", "oppw"), "login.html");
  EXPECT_EQ(login("admin", "secret"), "index.html");
  GetServerList()->StopServer("server_cfg Two");
}

TEST_F(TWebFixture, AccountMarkersAndTheAccountListAreEscaped) {
  AddAccount("<i>x</i>", "pw", 0);
  ASSERT_TRUE(LogIn());
  const std::string list = browser->Page("/client_manager.html");
  EXPECT_NE(list.find("<td data-label=\"Login name\" class=\"loginname\">op</td><td data-label=\"Nickname\">op</td>"),
            std::string::npos);
  EXPECT_NE(list.find("class=\"loginname\">&lt;i&gt;x&lt;/i&gt;</td>"), std::string::npos);
  EXPECT_EQ(list.find("<i>x</i>"), std::string::npos);
  Page("c.html", "%%SELECTED_CLIENT_LOGINNAME%%|%%SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED%%|"
                 "%%SERVERCFG_CLIENT_RIGHTS_SUPERSERVERADMIN_SELECTED%%|%%SELECTED_CLIENT_LOGINS%%|"
                 "%%SELECTED_CLIENT_LASTUPDATED%%");
  EXPECT_EQ(browser->Page("/c.html?client=op"), "op|checked||0|");
  EXPECT_EQ(browser->Page("/c.html?client=nobody"),
            "%%SELECTED_CLIENT_LOGINNAME%%|%%SERVERCFG_CLIENT_RIGHTS_SERVERADMIN_SELECTED%%|"
            "%%SERVERCFG_CLIENT_RIGHTS_SUPERSERVERADMIN_SELECTED%%|%%SELECTED_CLIENT_LOGINS%%|"
            "%%SELECTED_CLIENT_LASTUPDATED%%");
  std::filesystem::remove(Docs() + "/database_client_manager_clientlist.html");
  auto r = browser->Get("/client_manager.html");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 302);
  EXPECT_EQ(QueryValue(r->get_header_value("Location"), "error_text"),
            "file database_client_manager_clientlist.html was not found");
}

TEST_F(TWebFixture, MessageBoxesShowRequestTextsEscapedAndLinksOnThisSite) {
  ASSERT_TRUE(LogIn());
  const std::string box =
      browser->Page("/error_box.html?error_title=Oops&error_text=%3Cscript%3Ealert(1)%3C%2Fscript%3E"
                    "&error_url=javascript:alert(1)");
  EXPECT_NE(box.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(box.find("<script>"), std::string::npos);
  EXPECT_NE(box.find("href=\"index.html\""), std::string::npos);
  Page("inc.html", "[%%INCLUDE%missing.html%][%%INCLUDE%../secret.html%][%%INCLUDE%inc.html%]");
  WriteFileText(servers.Dir.File("secret.html"), "outside");
  const std::string inc = browser->Page("/inc.html");
  EXPECT_EQ(inc.find("outside"), std::string::npos);
  EXPECT_EQ(inc.rfind("[][]", 0), 0u);
}
