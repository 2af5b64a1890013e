// The Players page at hosting size: one virtual server in this process with
// 1,000 players logged in by parleon-bot (a child process that keeps them
// alive), and the web interface in front of it, driven without a socket so
// that the figures are the server's own time for a request.
//
// - PlayersPage: the whole page, with a browser's "Accept-Encoding: gzip,
//   deflate, br" (the target is at most 50 ms).
// - PlayersRefresh: what an open tab asks for every 5 seconds (the JSON of its
//   page); the counter tab_core_pct is that CPU time spread over the 5
//   seconds, the share of a core one open tab costs (target: at most 3 %).
// - PlayersRows: the page of rows the tab fetches when its rows changed; its
//   tab_core_pct is the cost if that happened on every refresh.
// Times are the calling thread's CPU time, so the bot's work does not count.
// The bot holds its players for at most 5 minutes, should this process die
// without ending it.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "admin/WebInterface.h"
#include "common/IniFile.h"
#include "database/Accounts.h"
#include "tools/InProcessServer.h"

extern char** environ;

namespace {

constexpr const char* kServerID = "server_cfg Web bench";
constexpr int kPlayers = 1000;

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The server, its players, the interface and a logged-in session, made once.
class TSetup {
 public:
  static TSetup& Get() {
    static TSetup setup;
    return setup;
  }
  ~TSetup() {
    if (bot_ > 0) {
      kill(bot_, SIGTERM);
      waitpid(bot_, nullptr, 0);
    }
    web_.reset();
    if (server_) server_->Stop();
  }

  bool Ready() const { return ready_; }
  // One request as the browser of the logged-in session sends it.
  httplib::Response Request(const std::string& path, const std::string& query = "") {
    httplib::Request request;
    request.method = "GET";
    request.path = path;
    request.remote_addr = "127.0.0.1";
    request.set_header("Cookie", std::string(TWebInterface::kCookieName) + "=" + cookie_);
    request.set_header("Accept-Encoding", "gzip, deflate, br");
    if (!query.empty()) httplib::detail::parse_query_text(query, request.params);
    httplib::Response response;
    web_->HandleRequest(request, response);
    return response;
  }

 private:
  TSetup() {
    const std::optional<TServerEnvironment> home = MakeScratchHome("parleon-web-bench");
    if (!home) return;
    TClientObject admin;
    admin.LoginName = "admin";
    admin.Password = "bench-password";
    admin.PlayerPrivileges = PlayerPrivileges::ServerAdmin;
    AddUser(admin, kServerID);
    TServerSettings settings;
    settings.ServerMaxUsers = kPlayers + 10;
    TIniFile ini(home->SettingsFile);
    settings.Write(ini, kServerID);
    server_ = std::make_shared<TServerObject>();
    if (!server_->Start(*home, kServerID, 0, nullptr)) return;
    const std::string port = std::to_string(server_->BoundPort());
    std::vector<std::string> args = {PARLEON_BOT_EXE, "--port",     port,   "--clients",        std::to_string(kPlayers),
                                     "--speakers",    "0",          "--duration", "300", "--channel-prefix", "",
                                     "--login-window", "50"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&bot_, PARLEON_BOT_EXE, nullptr, nullptr, argv.data(), environ) != 0) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (server_->CurrentUsers() < kPlayers && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::fprintf(stderr, "%d players logged in\n", server_->CurrentUsers());
    if (server_->CurrentUsers() < kPlayers) return;
    TWebInterfaceConfig config;
    config.BindAddress = "127.0.0.1";
    web_ = std::make_unique<TWebInterface>(config);
    if (!web_->Init(0, PARLEON_SOURCE_DIR "/httpdocs")) return;
    httplib::Request login;
    login.method = "POST";
    login.path = "/LOGIN.PLCMD";
    login.remote_addr = "127.0.0.1";
    login.params = {{"username", "admin"}, {"password", "bench-password"}, {"serverport", port}};
    httplib::Response answer;
    web_->HandleRequest(login, answer);
    const std::string cookie = answer.get_header_value("Set-Cookie");
    const std::string prefix = std::string(TWebInterface::kCookieName) + "=";
    if (answer.get_header_value("Location") != "index.html" || cookie.rfind(prefix, 0) != 0) return;
    cookie_ = cookie.substr(prefix.size(), cookie.find(';') - prefix.size());
    ready_ = true;
  }

  std::shared_ptr<TServerObject> server_;
  std::unique_ptr<TWebInterface> web_;
  pid_t bot_ = 0;
  std::string cookie_;
  bool ready_ = false;
};

// Runs `path` as a benchmark: CPU time per request, the answer's size and
// encoding, and its cost spread over the refresh interval.
void Run(benchmark::State& state, const std::string& path, const std::string& query) {
  TSetup& setup = TSetup::Get();
  if (!setup.Ready()) {
    state.SkipWithError("the server with its players did not come up");
    return;
  }
  double cpu = 0;
  size_t bytes = 0;
  bool gzip = true;
  for (auto _ : state) {
    const double before = ThreadCpuSeconds();
    httplib::Response r = setup.Request(path, query);
    cpu += ThreadCpuSeconds() - before;
    bytes = r.content_length_ ? r.content_length_ : r.body.size();
    gzip = gzip && r.get_header_value("Content-Encoding") == "gzip";
    benchmark::DoNotOptimize(r);
  }
  const double perRequest = cpu / static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = perRequest * 1e3;
  state.counters["bytes_sent"] = static_cast<double>(bytes);
  state.counters["gzip"] = gzip ? 1 : 0;
  state.counters["tab_core_pct"] = perRequest / 5.0 * 100;
}

void PlayersPage(benchmark::State& state) { Run(state, "/players.html", ""); }
void PlayersRefresh(benchmark::State& state) { Run(state, "/PLAYERS_LIST.PLCMD", ""); }
void PlayersRows(benchmark::State& state) { Run(state, "/players_rows.html", ""); }
void PlayersSearchedPage(benchmark::State& state) { Run(state, "/players.html", "q=bot9&sort=idle&dir=desc&page=2"); }

}  // namespace

BENCHMARK(PlayersPage)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(PlayersRefresh)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(PlayersRows)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(PlayersSearchedPage)->Unit(benchmark::kMillisecond)->MinTime(2);
