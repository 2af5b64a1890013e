// Fuzz target for the web interface's routing: any document, method and
// parameters, before and after login, must get an answer from within the
// document folder (a page, a file, a redirect, 400, 403 or 404), never a
// crash, a hang or a file from outside the folder.
//
// With bit 3 the request comes from a trusted proxy: lines naming an
// X-Forwarded-* header or Host are headers too, and the client's address
// they give must be an address, never text of the sender's choosing.
//
// Input: one byte of flags (bit 0 logged in, bits 1-2 the method, bit 3
// via the proxy), then the document up to the first newline, then
// "name=value" lines as parameters.
#include <arpa/inet.h>
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "admin/HttpForwarding.h"
#include "admin/WebInterface.h"
#include "common/IniFile.h"
#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "database/MemoryStorage.h"
#include "server/ServerObject.h"
#include "database/ServerDatabase.h"
#include "server/ServerList.h"

namespace {

constexpr char kSecret[] = "OUTSIDE-THE-FOLDER";

void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

struct TWorld {
  std::string root, docs;
  TMemoryStorage storage;
  TServerRef server;
  std::unique_ptr<TWebInterface> web;
  THttpForwarding proxy;

  TWorld() {
    std::string fault;
    proxy.Configure("127.0.0.1", "https://voice.example.com/admin/", fault);
    char dir[] = "/tmp/webrouting_fuzz.XXXXXX";
    root = mkdtemp(dir);
    docs = root + "/httpdocs";
    std::filesystem::create_directories(docs + "/sub");
    std::filesystem::create_directories(root + "/httpdocs-other");
    Write(root + "/secret.html", kSecret);
    Write(root + "/httpdocs-other/x.html", kSecret);
    std::filesystem::create_symlink(root + "/secret.html", docs + "/link.html");
    Write(docs + "/login.html", "<form>%%INCLUDE%inc.html%%!SERVERCFG_SERVER_MANAGER_SERVERDROPDOWNLIST!%</form>");
    // Self-inclusion is the template fuzzer's; here one nested include is enough.
    Write(docs + "/index.html", "%%SERVERNAME%% %%ERROR_TEXT%% %%INCLUDE%inc.html% %!SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST!%");
    Write(docs + "/inc.html", "[%%LOGGEDINUSERNAME%%]");
    Write(docs + "/database_client_manager_clientlist.html", "<tr>%%CLIENT_LOGINNAME%%</tr>");
    Write(docs + "/sub/index.html", "%%CHOICE_URL_YES%%");
    Write(docs + "/style.css", "body{}");

    const TServerEnvironment env{root + "/server.ini", "127.0.0.1", "Linux", 2, 0, 18, 25};
    ServerList = new TServerListObject;
    auto db = std::make_shared<TFreeBase>(storage);
    db->SetOpenFlag(TFBOpenFlag::CreateNotExists);
    db->SetFileName("server.db");
    db->SetActive(true);
    InstallServerDatabase(std::move(db));
    TIniFile ini(env.SettingsFile);
    ini.WriteInteger("server_cfg Default", "ServerUDPPort", 0);
    server = std::make_shared<TServerObject>();
    server->Start(env, "server_cfg Default", -1, nullptr);
    web = std::make_unique<TWebInterface>(TWebInterfaceConfig{.BindAddress = "127.0.0.1"});
    web->Init(0, docs);
  }

  // The accounts as a run starts: the administrator as the session holds
  // him, and no other (an account could carry the outside files' text,
  // which the fuzzer learns from the check below).
  void ResetAccounts() {
    if (const auto names = ListUsers("server_cfg Default"))
      for (const std::string& name : *names)
        if (name != "admin") DeleteUser(name, "server_cfg Default");
    TClientObject admin;
    admin.LoginName = "admin";
    admin.Password = "pw";
    admin.PlayerPrivileges = PlayerPrivileges::ServerAdmin | PlayerPrivileges::SuperServerAdmin;
    if (!AddUser(admin, "server_cfg Default")) UpdateUser(admin, "server_cfg Default");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Never destroyed: the process-wide database, which outlives any static,
  // saves into the world's storage when the process ends.
  static TWorld& world = *new TWorld;
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const uint8_t flags = data[0];
  httplib::Request request;
  static const char* const kMethods[] = {"GET", "POST", "HEAD", "PUT"};
  request.method = kMethods[(flags >> 1) & 3];
  request.remote_addr = "127.0.0.1";
  size_t line = input.find('\n');
  request.path = input.substr(0, line);
  // Restarts take a server's round trip each; the settings command is
  // covered by the tests.
  std::string upper = request.path;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (upper.find("SETTINGS_SERVER") != std::string::npos) return 0;
  while (line != std::string::npos) {
    const size_t next = input.find('\n', line + 1);
    const std::string pair = input.substr(line + 1, next == std::string::npos ? std::string::npos : next - line - 1);
    const size_t eq = pair.find('=');
    const std::string name = pair.substr(0, eq), value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    request.params.emplace(name, value);
    if (name.starts_with("X-Forwarded-") || name == "Host") request.headers.emplace(name, value);
    line = next;
  }
  if (flags & 8) {
    world.proxy.Apply(request, false);
    in6_addr any;
    if (inet_pton(AF_INET, request.remote_addr.c_str(), &any) != 1 &&
        inet_pton(AF_INET6, request.remote_addr.c_str(), &any) != 1)
      abort();
  }
  world.ResetAccounts();
  TWebSessionRef session = world.web->Sessions().Create("127.0.0.1");
  if (flags & 1) {
    session->Set("username", "admin");
    session->Set("password", "pw");
    session->Set("serverport", "0");
    session->Set("loggedin", "1");
  }
  httplib::Response response;
  TWebRequest r{request, response, session};
  world.web->HTTPServerCommandGet(r);
  if (input.find(kSecret) == std::string::npos && response.body.find(kSecret) != std::string::npos) abort();
  world.web->Sessions().End(session);
  return 0;
}
