// The query port itself over real TCP on loopback: greeting, line ends,
// matching, the limits, and the port's life in the real process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "common/IniFile.h"
#include "support/LogCapture.h"
#include "support/QueryFixture.h"
#include "support/ServerProcess.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST_F(TQueryFixture, GreetingLineEndsMatchingAndQuit) {
  auto c = Client();
  EXPECT_EQ(c->Greeting, "[PL]\r\n");
  EXPECT_EQ(c->Command("SL"), Lines({Port(), "OK"}));
  c->SendRaw("ver\n");  // a bare LF ends a line too
  EXPECT_EQ(c->ReadRawLine(), "2.0.18.25 Linux\r\n");
  EXPECT_EQ(c->ReadRawLine(), "OK\r\n");
  EXPECT_EQ(c->Command("slx"), Lines({"error"}));
  EXPECT_EQ(c->Command(""), Lines({"error"}));
  c->SendRaw("QUIT\r\n");
  EXPECT_TRUE(c->ClosedWithin(5000));
  EXPECT_EQ(c->Unread(), "");
}

TEST_F(TQueryFixture, OverlongLineGetsOneErrorAndTheRestIsSkipped) {
  auto c = Client();
  c->SendRaw(std::string(3 * 4096, 'x'));
  c->SendRaw(" still the same line\r\nver\r\n");
  EXPECT_EQ(c->ReadRawLine(), "ERROR, line too long\r\n");
  EXPECT_EQ(c->ReadRawLine(), "2.0.18.25 Linux\r\n");
  EXPECT_EQ(c->ReadRawLine(), "OK\r\n");
  // 4096 bytes and its CR LF is still a line.
  EXPECT_EQ(c->Command("sl " + std::string(4093, 'y')), Lines({Port(), "OK"}));
}

TEST_F(TQueryFixture, ConnectionLimitAndIdleTimeout) {
  query.reset();
  TTCPQueryOptions options = Options();
  options.MaxConnections = 2;
  query = std::make_unique<TTCPQuery>(options);
  // Full: the oldest stranger makes room; an administrator keeps the slot.
  auto a = Admin(), stranger = Client(), newer = Client();
  EXPECT_EQ(newer->Greeting, "[PL]\r\n");
  EXPECT_TRUE(stranger->ClosedWithin(5000));
  EXPECT_EQ(newer->Command("login admin secret"), Lines({"OK"}));
  EXPECT_EQ(a->Command("ver"), Lines({"2.0.18.25 Linux", "OK"}));
  // Every slot logged in: the next is refused.
  TQueryClient refused(query->Port());
  EXPECT_EQ(refused.Greeting, "ERROR, too many connections\r\n");
  EXPECT_TRUE(refused.ClosedWithin(5000));
  newer.reset();
  EXPECT_TRUE(TServerFixture::WaitFor([&] { return Client()->Greeting == "[PL]\r\n"; }));

  query.reset();
  options.IdleTimeout = milliseconds(200);
  query = std::make_unique<TTCPQuery>(options);
  auto silent = Admin();
  EXPECT_TRUE(silent->ClosedWithin(5000));
}

// One address that opens connections and never logs in cannot keep
// another address out, and its connections go after the short idle limit.
TEST_F(TQueryFixture, StrangersHoldFewSlotsAndNotForLong) {
  query.reset();
  TTCPQueryOptions options = Options();
  options.IdleBeforeLogin = seconds(2);
  query = std::make_unique<TTCPQuery>(options);
  std::vector<std::unique_ptr<TQueryClient>> held;
  for (size_t i = 0; i < options.MaxPerAddress; ++i) held.push_back(Client());
  for (const auto& c : held) EXPECT_EQ(c->Greeting, "[PL]\r\n");
  TQueryClient extra(query->Port());
  EXPECT_EQ(extra.Greeting, "ERROR, too many connections\r\n");
  TQueryClient other(query->Port(), "127.0.0.2");
  EXPECT_EQ(other.Greeting, "[PL]\r\n");
  EXPECT_EQ(other.Command("login admin secret"), Lines({"OK"}));
  for (const auto& c : held) EXPECT_TRUE(c->ClosedWithin(5000));
  // Logged in, the long limit applies.
  EXPECT_EQ(other.Command("ver"), Lines({"2.0.18.25 Linux", "OK"}));
}

TEST_F(TQueryFixture, PeerThatNeverReadsHoldsUpNobodyElse) {
  auto hog = Client();
  std::string flood;
  for (int i = 0; i < 10000; ++i) flood += "help\r\n";  // 60 KB asking for 9 MB of answers
  hog->SendRaw(flood);
  auto other = Client();
  EXPECT_EQ(other->Command("ver"), Lines({"2.0.18.25 Linux", "OK"}));
  // Shutdown does not wait for the stuck writer, and closes both.
  query.reset();
  EXPECT_TRUE(other->ClosedWithin(5000));
  EXPECT_TRUE(hog->ClosedWithin(5000));
}

TEST_F(TQueryFixture, PortInUseIsLoggedAndLeavesTheQueryInactive) {
  TLogCapture log;
  TTCPQueryOptions options = Options();
  options.Port = query->Port();
  TTCPQuery second(options);
  EXPECT_FALSE(second.Active());
  EXPECT_THAT(log.Messages(), testing::Contains("TTCPQuery.Create: unable to initialize communication bind: Address already in use"));
}

TEST(TCPQueryProcessTest, StartUpOpensThePortAndShutdownClosesIt) {
  TTempDir dir;
  TProcessPorts ports;
  const uint16_t queryPort = ports.Tcp();
  WriteTestSettings(dir.File("server.ini"), 0, queryPort, ports.Udp());
  TServerProcess server(dir.Path(), {"-ADMINPW=secret"}, &ports);
  ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30))) << ReadFileText(dir.File("stdout.txt"));
  TQueryClient client(queryPort);
  EXPECT_EQ(client.Greeting, "[PL]\r\n");
  EXPECT_EQ(client.Command("login admin secret"), std::vector<std::string>{"OK"});
  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  EXPECT_TRUE(client.ClosedWithin(5000));
}

}  // namespace
