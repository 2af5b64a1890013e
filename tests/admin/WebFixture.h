// Test support for the web interface: a virtual server on a free loopback
// port (TServerFixture), a copy of the shipped pages in a temporary
// document folder, a TWebInterface on a free port, and a browser stand-in
// that keeps the session cookie as a browser would.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "admin/WebInterface.h"
#include "app/Globals.h"
#include "common/IniFile.h"
#include "common/LoginThrottle.h"
#include "database/Accounts.h"
#include "server/ServerList.h"
#include "support/HeldPort.h"
#include "support/ServerFixture.h"
#include "support/TempDir.h"
#include "support/WebBrowser.h"

class TWebFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessLoginThrottle().Clear();
    servers.Settings.ServerUDPPort = PassedUDPPort();
    ASSERT_TRUE(servers.Start());
    std::filesystem::copy(PARLEON_SOURCE_DIR "/httpdocs", Docs());
    AddAccount("admin", "secret", PlayerPrivileges::ServerAdmin | PlayerPrivileges::SuperServerAdmin);
    AddAccount("op", "oppw", PlayerPrivileges::ServerAdmin);
    StartWeb(nullptr);
  }
  // The interface anew on `webClock` (none: the system's), with a browser
  // that has not logged in yet.
  void StartWeb(TClock* webClock) {
    // Connections may idle long enough for a loaded machine to open hundreds.
    TWebInterfaceConfig config{.BindAddress = "127.0.0.1", .Clock = webClock, .KeepAliveSec = 60};
    web.reset();
    web = std::make_unique<TWebInterface>(config);
    ASSERT_TRUE(web->Init(0, Docs()));
    browser = std::make_unique<TTestBrowser>(web->Port());
  }
  void TearDown() override { ProcessLoginThrottle().Clear(); }

  std::string Docs() const { return servers.Dir.File("httpdocs"); }
  std::string Port() const { return std::to_string(servers.Settings.ServerUDPPort); }
  void AddAccount(const std::string& login, const std::string& password, uint16_t rights,
                  const std::string& id = TServerFixture::kDefaultID) {
    TClientObject a;
    a.LoginName = login;
    a.NickName = login;
    a.Password = password;
    a.PlayerPrivileges = rights;
    ASSERT_TRUE(AddUser(a, id));
  }
  // Logs the browser in; true when the login command sent it to index.html.
  bool LogIn(const std::string& login = "admin", const std::string& password = "secret") {
    return browser->Command("/LOGIN.PLCMD", {{"username", login}, {"password", password}, {"serverport", Port()}}) ==
           "index.html";
  }
  // A page of our own in the document folder.
  void Page(const std::string& name, const std::string& text) { WriteFileText(Docs() + "/" + name, text); }
  std::string Ini(const std::string& key) {
    return TIniFile(servers.IniFile()).ReadString(TServerFixture::kDefaultID, key, "<none>");
  }
  TServerRef Running() { return GetServerList()->FindServerByID(TServerFixture::kDefaultID); }

  TServerFixture servers;
  TManualClock clock;  // for the tests that give it to the interface (StartWeb)
  std::unique_ptr<TWebInterface> web;
  std::unique_ptr<TTestBrowser> browser;
};

