// The web interface's pages for a super server administrator of a host with
// many virtual servers: the server time of the All servers overview and of
// an ordinary page (which carries the header's server switch) with 500
// virtual servers running in-process on loopback. Requests go straight to
// the interface's handler with the logged-in session's cookie, so the time is
// the server's alone, without the network. PARLEON_BENCH_SERVERS sets
// another count.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "admin/WebInterface.h"
#include "database/Accounts.h"
#include "server/ServerList.h"
#include "support/HeldPort.h"
#include "support/ServerFixture.h"
#include "support/WebBrowser.h"

namespace {

// Everything the requests need, built once for the process.
struct THost {
  TServerFixture fixture;
  std::vector<std::shared_ptr<TServerObject>> others;
  std::unique_ptr<TWebInterface> web;
  std::string cookie;
  size_t servers = 0;

  bool Build(size_t count) {
    fixture.Settings.ServerUDPPort = PassedUDPPort();
    if (!fixture.Start()) return false;
    // The sections are written in one go: a write per key would rewrite
    // the whole file hundreds of times.
    std::string listed = "[Servers]\r\n0=" + std::string(TServerFixture::kDefaultID) + "\r\n", sections;
    std::vector<std::string> ids;
    for (size_t i = 1; i < count; ++i) {
      const uint16_t port = PassedUDPPort();  // held until its server takes it: never repeated
      ids.push_back("server_cfg Host" + std::to_string(i));
      listed += std::to_string(i) + "=" + ids.back() + "\r\n";
      sections += "[" + ids.back() + "]\r\nServerName=Host " + std::to_string(i) +
                  "\r\nServerUDPPort=" + std::to_string(port) + "\r\n";
    }
    {
      std::ofstream out(fixture.IniFile(), std::ios::app | std::ios::binary);
      out << listed << sections;
    }
    for (const std::string& id : ids) {
      auto server = std::make_shared<TServerObject>();
      if (!server->Start(fixture.Environment, id, -1, nullptr)) {
        std::fprintf(stderr, "%s did not start\n", id.c_str());
        return false;
      }
      others.push_back(std::move(server));
    }
    servers = count;
    TClientObject admin;
    admin.LoginName = "admin";
    admin.NickName = "admin";
    admin.Password = "secret";
    admin.PlayerPrivileges = PlayerPrivileges::ServerAdmin | PlayerPrivileges::SuperServerAdmin;
    if (!AddUser(admin, TServerFixture::kDefaultID)) return false;
    const std::string docs = fixture.Dir.File("httpdocs");
    std::filesystem::copy(PARLEON_SOURCE_DIR "/httpdocs", docs);
    web = std::make_unique<TWebInterface>(TWebInterfaceConfig{.BindAddress = "127.0.0.1"});
    if (!web->Init(0, docs)) {
      std::fprintf(stderr, "the web interface did not start\n");
      return false;
    }
    TTestBrowser browser(web->Port());
    const std::string port = std::to_string(fixture.Settings.ServerUDPPort);
    if (browser.Command("/LOGIN.PLCMD", {{"username", "admin"}, {"password", "secret"}, {"serverport", port}}) !=
        "index.html") {
      std::fprintf(stderr, "the login failed\n");
      return false;
    }
    cookie = std::string(TWebInterface::kCookieName) + "=" + browser.Cookie;
    return true;
  }
};

THost* Host() {
  static THost* host = [] {
    const char* env = std::getenv("PARLEON_BENCH_SERVERS");
    const size_t count = env ? std::strtoul(env, nullptr, 10) : 500;
    auto* h = new THost;  // lives to the end of the process, as its servers do
    if (!h->Build(count < 1 ? 1 : count)) h->servers = 0;
    return h;
  }();
  return host;
}

void GetPage(benchmark::State& state, const char* path, const char* mustHold) {
  THost* host = Host();
  if (host->servers == 0) {
    state.SkipWithError("the servers or the web interface did not start");
    return;
  }
  const auto get = [&](bool compressed, httplib::Response& response) {
    httplib::Request request;
    request.method = "GET";
    request.path = path;
    request.remote_addr = "127.0.0.1";
    request.headers.emplace("Cookie", host->cookie);
    if (compressed) request.headers.emplace("Accept-Encoding", "gzip, deflate, br");
    host->web->HandleRequest(request, response);
  };
  // The page is checked once as sent plain; the timed requests offer
  // compression, as browsers do.
  httplib::Response plain;
  get(false, plain);
  if (plain.body.find(mustHold) == std::string::npos) {
    state.SkipWithError("the page does not show what it should");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    httplib::Response response;
    get(true, response);
    // A compressed page leaves as a body of fixed length through a provider.
    bytes = response.body.empty() ? response.content_length_ : response.body.size();
    if (bytes == 0) {
      state.SkipWithError("the page was not served");
      return;
    }
  }
  state.counters["servers"] = static_cast<double>(host->servers);
  state.counters["page_bytes"] = static_cast<double>(bytes);
}

void BM_AllServersPage(benchmark::State& state) { GetPage(state, "/all_servers.html", "id=\"all-servers\""); }
void BM_OverviewWithServerSwitch(benchmark::State& state) { GetPage(state, "/index.html", "id=\"server-switch\""); }

}  // namespace

BENCHMARK(BM_AllServersPage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OverviewWithServerSwitch)->Unit(benchmark::kMillisecond)->UseRealTime();
