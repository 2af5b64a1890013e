// Test support: a TCP query on a free loopback port in front of one running
// virtual server (a port held for it, so selection by port works), with a
// super server administrator "admin"/"secret" on it. The login throttle is
// cleared first: every test connects from 127.0.0.1.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "admin/TCPQuery.h"
#include "common/LoginThrottle.h"
#include "database/Accounts.h"
#include "server/ServerList.h"
#include "support/HeldPort.h"
#include "support/QueryClient.h"
#include "support/ServerFixture.h"

class TQueryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ProcessLoginThrottle().Clear();
    server.Settings.ServerUDPPort = PassedUDPPort();
    ASSERT_TRUE(server.Start());
    TClientObject admin;
    admin.LoginName = "admin";
    admin.Password = "secret";
    admin.PlayerPrivileges = PlayerPrivileges::ServerAdmin | PlayerPrivileges::SuperServerAdmin;
    ASSERT_TRUE(AddUser(admin, TServerFixture::kDefaultID));
    query = std::make_unique<TTCPQuery>(Options());
    ASSERT_TRUE(query->Active());
  }
  void TearDown() override {
    query.reset();
    GetServerList()->StopServer("");
  }

  TTCPQueryOptions Options() {
    TTCPQueryOptions o;
    o.Port = 0;
    o.BindAddress = "127.0.0.1";
    o.Environment = server.Environment;
    return o;
  }
  std::unique_ptr<TQueryClient> Client() { return std::make_unique<TQueryClient>(query->Port()); }
  std::unique_ptr<TQueryClient> Admin() {
    auto client = Client();
    EXPECT_EQ(client->Command("login admin secret"), Lines({"OK"}));
    return client;
  }
  // A second server, "server_cfg <name>", on a free port.
  TServerRef StartServer(const std::string& name) {
    TServerSettings settings;
    settings.ServerUDPPort = PassedUDPPort();
    server.WriteSettings("server_cfg " + name, settings);
    auto s = std::make_shared<TServerObject>();
    EXPECT_TRUE(s->Start(server.Environment, "server_cfg " + name, -1, nullptr));
    return s;
  }
  static std::vector<std::string> Lines(std::initializer_list<std::string> lines) { return lines; }
  std::string Port(const TServerRef& s = nullptr) {
    return std::to_string((s ? s : server.Server)->ServerUDPPort);
  }

  TServerFixture server;
  std::unique_ptr<TTCPQuery> query;
};
