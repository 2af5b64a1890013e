// The routing of the web interface over loopback HTTP: what a browser gets
// before and after login, the document folder's boundary, the sessions and
// the bounds an open port needs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cerrno>
#include <vector>

#include "admin/HttpServer.h"
#include "admin/WebFeedback.h"
#include "admin/WebFixture.h"
#include "database/HashQueue.h"
#include "database/PasswordHash.h"
#include "support/HeldPort.h"
#include "support/LogCapture.h"

namespace {

bool IsLoginPage(const std::string& body) { return body.find("action=\"LOGIN.PLCMD\"") != std::string::npos; }

const char kAccessDenied[] =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
    "You do not have sufficient priviligies to access this document.</body></html>";

int Connect(int port, const char* from = "127.0.0.1") { return ConnectLoopback(static_cast<uint16_t>(port), from); }

// True when the server closes `fd` within `limit` (read to its end).
bool ClosedWithin(int fd, std::chrono::milliseconds limit) {
  timeval wait{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char buffer[512];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
  }
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

}  // namespace

TEST_F(TWebFixture, BeforeLoginEveryDocumentIsTheLoginPageAndOnlyAdministratorsGetIn) {
  auto first = browser->Get("/");
  ASSERT_TRUE(first);
  const std::string cookie = first->get_header_value("Set-Cookie");
  EXPECT_EQ(cookie, std::string(TWebInterface::kCookieName) + "=" + browser->Cookie +
                        "; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_EQ(browser->Cookie.size(), 2 * TWebSessions::kIdBytes);
  for (const char* doc : {"/", "/index.html", "/missing.html", "/parleon.css", "/SETTINGS_SERVER.PLCMD", "/sessions"})
    EXPECT_TRUE(IsLoginPage(browser->Page(doc))) << doc;
  EXPECT_NE(browser->Page("/").find("<option value=\"" + Port() + "\">Parleon Server (port " + Port() + ")</option>"),
            std::string::npos);
  EXPECT_EQ(browser->Command("/logout.plcmd"), "login.html");
  AddAccount("player", "pw", PlayerPrivileges::Registered);
  EXPECT_FALSE(LogIn("admin", "wrong"));
  EXPECT_FALSE(LogIn("player", "pw"));
  EXPECT_EQ(browser->Command("/LOGIN.PLCMD", {{"username", "op"}, {"password", "oppw"}, {"serverport", "1"}}),
            "login.html");
  EXPECT_EQ(browser->Command("/LOGIN.PLCMD", {{"username", "op"}, {"password", "oppw"}, {"serverport", "x"}}),
            "login.html");
  EXPECT_TRUE(IsLoginPage(browser->Page("/index.html")));

  // A planted id is worthless: the login hands out a new one, the old one is dead.
  const std::string before = browser->Cookie;
  ASSERT_TRUE(LogIn("op", "oppw"));
  EXPECT_NE(browser->Cookie, before);
  TTestBrowser planted(web->Port());
  planted.Cookie = before;
  auto dead = planted.Get("/index.html");
  ASSERT_TRUE(dead);
  EXPECT_EQ(dead->body, "");
  EXPECT_NE(dead->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  EXPECT_NE(browser->Page("/").find("id=\"server-name\""), std::string::npos);
  // A wrong login ends the logged-in state.
  EXPECT_FALSE(LogIn("op", "nope"));
  EXPECT_TRUE(IsLoginPage(browser->Page("/index.html")));
}

TEST_F(TWebFixture, DocumentsResolveInsideTheFolderOnly) {
  ASSERT_TRUE(LogIn());
  std::filesystem::create_directories(Docs() + "-other");
  WriteFileText(Docs() + "-other/page.html", "<p>outside</p>");
  WriteFileText(servers.Dir.File("secret.html"), "<p>outside</p>");
  std::filesystem::create_symlink(servers.Dir.File("secret.html"), Docs() + "/link.html");
  std::filesystem::create_directories(Docs() + "/sub");
  WriteFileText(Docs() + "/sub/index.html", "<p>sub %%SERVERUDPPORT%%</p>");
  for (const char* doc : {"/../secret.html", "/%2e%2e/secret.html", "/../httpdocs-other/page.html", "/link.html"}) {
    auto r = browser->Get(doc);
    ASSERT_TRUE(r) << doc;
    EXPECT_EQ(r->status, 403) << doc;
    // In the site's look, with the words of the plain page and a way back.
    EXPECT_NE(r->body.find("<h1>Access denied</h1>"), std::string::npos) << doc;
    EXPECT_NE(r->body.find("You do not have sufficient priviligies to access this document."), std::string::npos);
    EXPECT_NE(r->body.find("href=\"index.html\""), std::string::npos) << doc;
  }
  // The parts of pages and the message boxes without their texts are no
  // pages: none shows its raw markers.
  for (const char* doc : {"/status.html", "/Top.html", "/database_client_manager_clientlist.html"}) {
    auto r = browser->Get(doc);
    ASSERT_TRUE(r) << doc;
    EXPECT_EQ(r->status, 404) << doc;
    EXPECT_EQ(r->body.find("%%"), std::string::npos) << doc;
  }
  for (const char* doc : {"/ok_box.html", "/error_box.html", "/choice_box.html?choice_text=x"})
    EXPECT_EQ(browser->Command(doc), "index.html") << doc;
  EXPECT_NE(browser->Page("/ok_box.html?ok_text=done&ok_url=x.html").find("done"), std::string::npos);
  // Without the status page's template the plain page stands in.
  std::filesystem::remove(Docs() + "/status.html");
  EXPECT_EQ(browser->Get("/link.html")->body, kAccessDenied);
  auto missing = browser->Get("/missing.html");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>");
  auto nul = browser->Get("/a%00b.html");
  ASSERT_TRUE(nul);
  EXPECT_EQ(nul->status, 400);
  EXPECT_EQ(browser->Get("/" + std::string(8000, 'a'))->status, 404);
  EXPECT_EQ(browser->Page("/sub"), "<p>sub " + Port() + "</p>");

  const std::string css = ReadFileText(Docs() + "/parleon.css");
  auto head = browser->Head("/parleon.css");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->get_header_value("Content-Type"), "text/css");
  EXPECT_EQ(head->get_header_value("Content-Length"), std::to_string(css.size()));
  EXPECT_EQ(head->body, "");
  EXPECT_EQ(browser->Page("/parleon.css"), css);
}

TEST_F(TWebFixture, SessionPageEscapesAndMasksAndCanEndTheSession) {
  ASSERT_TRUE(LogIn());
  auto r = browser->Post("/sessions", {{"ParamName", "<b>note</b>"}, {"Param", "<script>x</script>"}});
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("<tr><td>SessionID</td><td>" + browser->Cookie + "</td></tr>"), std::string::npos);
  EXPECT_NE(r->body.find("&lt;b&gt;note&lt;/b&gt;=&lt;script&gt;x&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(r->body.find("credential=***"), std::string::npos);
  EXPECT_EQ(r->body.find("secret"), std::string::npos);
  EXPECT_EQ(r->body.find("<script>"), std::string::npos);
  EXPECT_NE(r->body.find("StartTime="), std::string::npos);

  const std::string id = browser->Cookie;
  EXPECT_NE(browser->Page("/sessions?action=close").find("<h1>Session cleared</h1>"), std::string::npos);
  EXPECT_EQ(browser->Cookie, "");
  TTestBrowser stale(web->Port());
  stale.Cookie = id;
  EXPECT_EQ(stale.Page("/index.html"), "");
  EXPECT_TRUE(IsLoginPage(browser->Page("/index.html")));
}

TEST_F(TWebFixture, StoredCredentialsAreCheckedOnEveryRequestAndNeverLoggedInClear) {
  TLogCapture log;
  ASSERT_TRUE(LogIn("op", "oppw"));
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
  const std::vector<std::string> lines = log.Messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Session: Document requested: /index.html, User: op, Pw: ***, P: " + Port()),
            lines.end());
  for (const std::string& line : lines) EXPECT_EQ(line.find("oppw"), std::string::npos) << line;
  ASSERT_TRUE(DeleteUser("op", TServerFixture::kDefaultID));
  // The session ends and the login page says why.
  EXPECT_EQ(browser->Command("/index.html"), "login.html");
  EXPECT_NE(browser->Page("/index.html").find("your rights changed"), std::string::npos);
}

TEST_F(TWebFixture, TheSessionPageSetsNoValueOfTheServerAndAFailedRecheckCountsAsAGuess) {
  ASSERT_TRUE(LogIn("op", "oppw"));
  for (const char* name : {"username", "USERNAME", "password", "credential", "serverport", "serverid", "loggedin",
                           "superadmin", "SuperAdmin", "CLIENT_TO_DELETE", "player_to_kick", "SERVER_TO_REMOVE",
                           "ACCOUNT_TO_ADD"}) {
    auto r = browser->Post("/sessions", {{"ParamName", name}, {"Param", "admin"}});
    ASSERT_TRUE(r) << name;
    EXPECT_NE(r->body.find("cannot be set here"), std::string::npos) << name;
  }
  EXPECT_NE(browser->Page("/sessions").find("username=op\r\n"), std::string::npos);
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
  // The password changed elsewhere: the refused request counts as a guess,
  // and ends the session, so the next guess is a login of its own.
  TClientObject op = *GetUser("op", TServerFixture::kDefaultID, false);
  op.Password = "changed";
  ASSERT_TRUE(UpdateUser(op, TServerFixture::kDefaultID));
  EXPECT_EQ(browser->Command("/index.html"), "login.html");
  EXPECT_TRUE(IsLoginPage(browser->Page("/index.html")));
  for (uint32_t i = 1; i < TLoginThrottle::kFreeFailures; ++i) EXPECT_FALSE(LogIn("op", "oppw"));
  EXPECT_FALSE(LogIn("admin", "secret"));
}

// A session that logs in again with the password it verified pays no hash
// (the stored password is compared with what was read then); any other
// password, or a changed stored one, is checked as a new login.
TEST_F(TWebFixture, ASessionLoggingInAgainWithItsVerifiedPasswordCostsNoHash) {
  static std::atomic<int> hashes;
  hashes = 0;
  struct TCountingGate {
    TCountingGate() { password_hash::SetGate(+[] { ++hashes; }); }
    ~TCountingGate() { password_hash::SetGate(nullptr); }
  } gate;
  ASSERT_TRUE(LogIn("op", "oppw"));
  EXPECT_EQ(hashes.exchange(0), 1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(LogIn("op", "oppw"));
  EXPECT_EQ(hashes.exchange(0), 0);
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
  EXPECT_FALSE(LogIn("op", "other"));
  EXPECT_EQ(hashes.exchange(0), 1);
  EXPECT_FALSE(LogIn("op", "other")) << "a failed login leaves no proof behind";
  EXPECT_TRUE(LogIn("op", "oppw"));
  EXPECT_EQ(hashes.exchange(0), 2);
}

TEST_F(TWebFixture, WrongPasswordsAreThrottledPerAddress) {
  for (uint32_t i = 0; i < TLoginThrottle::kFreeFailures; ++i) EXPECT_FALSE(LogIn("admin", "guess"));
  EXPECT_NE(browser->Page("/login.html").find("password is wrong"), std::string::npos);
  EXPECT_FALSE(LogIn("admin", "secret"));
  // A blocked address is told to wait, not that the right password was wrong.
  const std::string blocked = browser->Page("/login.html");
  EXPECT_NE(blocked.find("too many failed login attempts"), std::string::npos);
  EXPECT_EQ(blocked.find("password is wrong"), std::string::npos);
  ProcessLoginThrottle().Clear();
  EXPECT_TRUE(LogIn("admin", "secret"));
  // However the port is written, a name has one allowance behind it.
  EXPECT_EQ(WebThrottleKey("014534", "admin"), WebThrottleKey(" 14534", "admin"));
  EXPECT_NE(WebThrottleKey("14534", "admin"), WebThrottleKey("14535", "admin"));
  EXPECT_EQ(WebThrottleKey("port", "admin"), WebThrottleKey("99999999", "admin"));
  // The account's password being checked already: said so, nothing checked
  // (a new password, so not the session's own login again).
  {
    const THashClaim pending("127.0.0.1", WebThrottleKey(Port(), "admin"));
    EXPECT_FALSE(LogIn("admin", "other"));
    EXPECT_NE(browser->Page("/login.html").find("is being checked"), std::string::npos);
  }
  EXPECT_TRUE(LogIn("admin", "secret"));
}

TEST_F(TWebFixture, FloodsAndHugeRequestsAreBounded) {
  StartWeb(&clock);
  ASSERT_TRUE(LogIn());
  // Cookieless requests from one address cannot push the administrator out,
  // nor fill the log with a line each.
  {
    TLogCapture log;
    for (int i = 0; i < 80; ++i) TTestBrowser(web->Port()).Get("/");
    // The count of the lines held back comes with the first line of a new second.
    clock.AdvanceMs(1100);
    TTestBrowser(web->Port()).Get("/");
    const auto lines = log.Messages();
    const auto requestLines = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.starts_with("Session: Document requested: ");
    });
    EXPECT_LE(requestLines, 40);
    EXPECT_THAT(lines, testing::Contains(testing::HasSubstr("request lines not logged")));
  }
  EXPECT_LE(web->Sessions().Count(), 40u);
  EXPECT_EQ(browser->Get("/index.html")->status, 200);

  // Endless headers end the connection instead of filling memory.
  const int fd = Connect(web->Port());
  ASSERT_GE(fd, 0);
  std::string request = "GET / HTTP/1.1\r\nHost: x\r\n";
  const std::string header = "X-Filler: " + std::string(100, 'v') + "\r\n";
  size_t sent = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::string chunk = i == 0 ? request + header : header;
    const ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  // The server hangs up long before its 5 s wait for the rest of the
  // headers would end, so the headers' endlessness is what ended it.
  EXPECT_GT(sent, THttpServer::kConnectionLines * header.size());
  timeval wait{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  char reply[256];
  const ssize_t got = recv(fd, reply, sizeof reply, 0);
  EXPECT_FALSE(got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) << "the server still waits for headers";
  if (got > 0) {
    EXPECT_EQ(std::string(reply, 10), "HTTP/1.1 4");
  }
  close(fd);

  // With every slot held by strangers, a new connection still gets in: the
  // oldest stranger is closed to make room, and the logged-in browser is
  // answered. The held connections come from as many addresses as the
  // limit per address needs.
  // The connections of the requests above are gone first (at most the
  // browser's own stays), so the strangers below are the oldest there are.
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return web->Connections() <= 1; }, std::chrono::seconds(60)));
  std::vector<int> held;
  std::vector<std::string> from;
  for (size_t i = 0; i < THttpServer::kMaxConnections; ++i) {
    from.push_back("127.0.1." + std::to_string(i / THttpServer::kMaxConnectionsPerAddress + 1));
    held.push_back(Connect(web->Port(), from.back().c_str()));
  }
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return web->Connections() == THttpServer::kMaxConnections; },
                                      std::chrono::seconds(60)));
  TTestBrowser stranger(web->Port());
  EXPECT_EQ(stranger.Get("/")->status, 200);
  // Which stranger was oldest depends on the order in which the server's
  // threads took the connections up, so any one of them may have gone.
  EXPECT_TRUE(TServerFixture::WaitFor(
      [&] {
        return std::any_of(held.begin(), held.end(), [](int h) { return ClosedWithin(h, std::chrono::milliseconds(1)); });
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
  EXPECT_FALSE(ClosedWithin(held.back(), std::chrono::milliseconds(10)));
  for (int h : held) close(h);
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return web->Connections() == 0; }, std::chrono::seconds(60)));
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
}

// On a socket passed to the process the interface serves as on its own, and
// stopping it leaves the socket listening for its next holder (a socket
// unit's next start): nothing shut it.
TEST_F(TWebFixture, APassedSocketIsServedAndOutlivesTheInterface) {
  THeldPort held(SOCK_STREAM);
  const int kept = dup(held.Fd());
  const uint16_t port = held.Pass();
  web.reset();
  web = std::make_unique<TWebInterface>(TWebInterfaceConfig{.BindAddress = "127.0.0.1"});
  ASSERT_TRUE(web->Init(port, Docs()));
  EXPECT_EQ(web->Port(), port);
  const auto page = TTestBrowser(port).Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  web.reset();
  const int later = ConnectLoopback(port);
  EXPECT_GE(later, 0) << "the stop shut the passed socket";
  if (later >= 0) close(later);
  close(kept);
}

// Slow requests from one address: they hold no more than their share of
// slots, each lasts no longer than the request deadline (head and body
// together), and stopping the server cuts them short.
TEST_F(TWebFixture, SlowHeadsHoldFewSlotsBrieflyAndDoNotDelayTheStop) {
  using namespace std::chrono;
  std::vector<int> slow;
  for (size_t i = 0; i < THttpServer::kMaxConnectionsPerAddress + 4; ++i) {
    slow.push_back(Connect(web->Port(), "127.0.0.9"));
    send(slow.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
  }
  // The ones beyond the share are closed at once, the share stays.
  const auto refused = [&] {
    size_t closed = 0;
    for (int fd : slow) closed += ClosedWithin(fd, milliseconds(1)) ? 1 : 0;
    return closed;
  };
  EXPECT_TRUE(TServerFixture::WaitFor([&] { return refused() >= 4; }, seconds(10)));
  EXPECT_EQ(refused(), 4u);
  const auto asked = steady_clock::now();
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
  EXPECT_LT(steady_clock::now() - asked, seconds(2));

  // A request trickling in a byte a second, its head and then its body,
  // ends at its deadline.
  const int trickle = Connect(web->Port());
  const auto begun = steady_clock::now();
  send(trickle, "POST /LOGIN.PLCMD HTTP/1.1\r\n", 28, MSG_NOSIGNAL);
  const std::string rest = "Host: x\r\nContent-Length: 1000\r\n\r\n";
  size_t sent = 0;
  bool open = true;
  while (open && steady_clock::now() - begun < THttpServer::kRequestDeadline + seconds(5)) {
    std::this_thread::sleep_for(seconds(1));
    const char* next = sent < rest.size() ? rest.data() + sent : "u";
    const size_t n = sent < 3 ? 1 : sent < rest.size() ? rest.size() - sent : 1;
    open = send(trickle, next, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n) && !ClosedWithin(trickle, milliseconds(1));
    sent += n;
  }
  EXPECT_FALSE(open);
  EXPECT_GT(sent, rest.size()) << "the body had begun";
  EXPECT_GE(steady_clock::now() - begun, THttpServer::kRequestDeadline - seconds(1));
  close(trickle);

  for (int fd : slow) close(fd);

  // Stopping does not wait for a head still in progress.
  const int late = Connect(web->Port());
  send(late, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
  ASSERT_TRUE(TServerFixture::WaitFor([&] { return web->Connections() == 1; }, seconds(5)));
  const auto stopping = steady_clock::now();
  web.reset();
  EXPECT_LT(steady_clock::now() - stopping, seconds(2));
  EXPECT_TRUE(ClosedWithin(late, milliseconds(500)));
  close(late);
}

// The port belongs to one process: a second interface on it fails and says why.
TEST_F(TWebFixture, ASecondInterfaceOnTheSamePortFailsToBind) {
  TLogCapture log;
  TWebInterface second(TWebInterfaceConfig{.BindAddress = "127.0.0.1"});
  EXPECT_FALSE(second.Init(web->Port(), Docs()));
  EXPECT_THAT(log.Messages(), testing::Contains(testing::HasSubstr("Address already in use")));
  EXPECT_EQ(browser->Get("/index.html")->status, 200);
}
