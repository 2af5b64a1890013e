// The web list announcement against a loopback receiver: the form, the
// addresses it goes to, a failing list that must not cost the others their
// post, and stopping the thread during a wait and during a hanging request.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>

#include "announce/Announcement.h"
#include "announce/WebPost.h"
#include "support/LogCapture.h"
#include "support/LoopbackReceiver.h"
#include "support/ServerFixture.h"

namespace {

using namespace std::chrono_literals;

class WebPostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.Settings.ServerName = "Clan & Co";
    server_.Settings.ServerType = stClan | stFreeware;
    server_.Settings.ServerPassword = "secret";
  }
  void RunCycle(const std::string& defaultUrl) {
    env_.DefaultPostUrl = defaultUrl;
    THttpClient::TOptions options;
    options.BindAddress = env_.BindAddress;
    THttpClient client(options);
    const std::atomic<bool> terminate{false};
    RunAnnouncementCycle(client, env_, terminate);
  }

  TServerFixture server_;
  TLoopbackReceiver list_;
  // ISPName is empty: its field is left out.
  TAnnouncementEnvironment env_{"ops@example.org", "na", "", "Earth", 51234, "", "", "127.0.0.1"};
};

TEST_F(WebPostTest, FormGoesToDefaultPostUrlAndLinkUrlInFieldOrder) {
  env_.PostUrl = " " + list_.Url("/post") + " ";
  server_.Settings.WebPostLinkURL = list_.Url("/link");
  ASSERT_TRUE(server_.Start());
  server_.WithChannels([](TChannels&) {});  // the default channel is in place
  RunCycle(list_.Url("/default"));

  const auto requests = list_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].Path, "/default");
  EXPECT_EQ(requests[1].Path, "/post");
  EXPECT_EQ(requests[2].Path, "/link");
  for (const auto& r : requests) {
    EXPECT_EQ(r.ContentType, "application/x-www-form-urlencoded");
    EXPECT_EQ(r.Body, requests[0].Body);
  }
  // Every field in order, ISPName left out for being empty.
  const std::regex form(
      "server_adminemail=ops%40example\\.org&server_isplinkurl=na&server_ispcountry=Earth"
      "&server_platform=Linux&server_version_major=2&server_version_minor=0&server_version_release=18"
      "&server_version_build=25&server_port=" + std::to_string(server_.Server->ServerUDPPort) +
      "&server_name=Clan\\+%26\\+Co&server_uptime=[0-9]+&server_password=1&server_type1=clan"
      "&server_type2=freeware&clients_current=0&clients_maximum=12&channels_current=1"
      "&server_linkurl=http%3A%2F%2F127\\.0\\.0\\.1%3A[0-9]+%2Flink&server_queryport=51234");
  EXPECT_TRUE(std::regex_match(requests[0].Body, form)) << requests[0].Body;
}

TEST_F(WebPostTest, EmptyLinkUrlPostsTwiceAtMostAndAFailingListCostsOnlyItsOwnPost) {
  env_.PostUrl = list_.Url("/post");
  ASSERT_TRUE(server_.Start());
  RunCycle(list_.Url("/default"));
  auto requests = list_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].Path, "/post");
  EXPECT_EQ(requests[0].Body.find("server_linkurl"), std::string::npos);

  // The built-in list is unreachable: the operator's own list still hears.
  RunCycle(ClosedLoopbackUrl("/default"));
  requests = list_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].Path, "/post");

  env_.PostUrl.clear();
  list_.Answer("/default", "gone", 404);  // an error answer is no reason to stop either
  RunCycle(list_.Url("/default"));
  EXPECT_EQ(list_.Requests().size(), 4u);
}

TEST_F(WebPostTest, StopEndsTheThreadDuringAWaitAndDuringAHangingRequest) {
  ASSERT_TRUE(server_.Start());
  {
    env_.DefaultPostUrl = list_.Url("/default");
    TWebPost post({env_, 250ms, 150 * 4, {}});  // first cycle 150 s away
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    post.Terminate();
    post.WaitFor();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  }
  list_.Hang("/hang");
  env_.DefaultPostUrl = list_.Url("/hang");
  TWebPost post({env_, 10ms, 1, {}});
  ASSERT_TRUE(list_.WaitForRequests(1));
  const auto start = std::chrono::steady_clock::now();
  post.Terminate();
  post.WaitFor();
  // libcurl looks at the abort flag about once a second while it waits.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_EQ(list_.Requests().size(), 1u);
}

// A client that cannot be made is logged and made again for the next cycle;
// the announcements do not end for good.
TEST_F(WebPostTest, AFailingCycleIsLoggedAndTheNextOneRuns) {
  TLogCapture log;
  ASSERT_TRUE(server_.Start());
  env_.DefaultPostUrl = list_.Url("/default");
  std::atomic<int> made{0};
  TWebPost post({env_, 1ms, 1, [&made](THttpClient::TOptions options) {
                   if (made.fetch_add(1) == 0) throw EHttp("no handle");
                   return std::make_unique<THttpClient>(std::move(options));
                 }});
  ASSERT_TRUE(list_.WaitForRequests(2));
  post.Terminate();
  post.WaitFor();
  EXPECT_EQ(made.load(), 2);  // made once more, then kept
  const auto messages = log.Messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "TWebPost.Execute Exception: no handle"), 1);
}

}  // namespace
