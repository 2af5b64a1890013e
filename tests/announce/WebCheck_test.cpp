// The background page fetch and the address lookup built on it, against a
// loopback receiver (the lookup's page is never the built-in list here).
#include <gtest/gtest.h>

#include "announce/AddressLookup.h"
#include "announce/WebCheck.h"
#include "support/LogCapture.h"
#include "support/LoopbackReceiver.h"

namespace {

using namespace std::chrono_literals;

struct TOutcome {
  std::mutex Mutex;
  int Results = 0, Failures = 0;
  std::optional<TWebCheck::TLines> Lines;
};

// Runs one check of `url` to its end and counts the callbacks.
void Check(TOutcome& outcome, const std::string& url, bool enabled = true) {
  TWebCheck check;
  check.Enabled = enabled;
  check.URL = url;
  check.OnResult = [&](TWebCheck&, std::optional<TWebCheck::TLines> lines) {
    std::lock_guard<std::mutex> lock(outcome.Mutex);
    ++outcome.Results;
    outcome.Lines = std::move(lines);
  };
  check.OnFailure = [&](TWebCheck&) {
    std::lock_guard<std::mutex> lock(outcome.Mutex);
    ++outcome.Failures;
  };
  check.Start();
  check.WaitFor();
}

TEST(WebCheckTest, PageBreaksBecomeLines) {
  TLoopbackReceiver page;
  page.Answer("/getip.php", "1.2.3.4<BR>");
  TOutcome outcome;
  Check(outcome, page.Url("/getip.php"));
  EXPECT_EQ(outcome.Results, 1);
  EXPECT_EQ(outcome.Failures, 0);
  ASSERT_TRUE(outcome.Lines);
  EXPECT_EQ(*outcome.Lines, TWebCheck::TLines{"1.2.3.4"});
  // Replacements are not searched again; CR LF, LF and CR all break lines.
  EXPECT_EQ(TWebCheck::SplitPage("IP=5.6.7.8<bR><<br>br>>a\nb\rc\r\n\r\n"),
            (TWebCheck::TLines{"IP=5.6.7.8", "<", "br>>a", "b", "c", ""}));
}

TEST(WebCheckTest, DisabledCallsBackOnceWithoutFetching) {
  TLoopbackReceiver page;
  TOutcome outcome;
  Check(outcome, page.Url("/getip.php"), /*enabled=*/false);
  EXPECT_EQ(outcome.Results, 1);
  EXPECT_FALSE(outcome.Lines);
  EXPECT_EQ(outcome.Failures, 0);
  EXPECT_TRUE(page.Requests().empty());
}

TEST(WebCheckTest, UnreachableOrFailingPageCallsTheFailureOnce) {
  TOutcome refused;
  Check(refused, ClosedLoopbackUrl("/getip.php"));
  EXPECT_EQ(refused.Failures, 1);
  EXPECT_EQ(refused.Results, 0);

  TLoopbackReceiver page;
  page.Answer("/getip.php", "IP=1.2.3.4", 500);
  page.Answer("/big.php", std::string(100 * 1024, 'x'));
  for (const char* path : {"/getip.php", "/big.php"}) {
    TOutcome outcome;
    Check(outcome, page.Url(path));
    EXPECT_EQ(outcome.Failures, 1) << path;
    EXPECT_EQ(outcome.Results, 0) << path;
  }
}

class AddressLookupTest : public ::testing::Test {
 protected:
  TAddressLookup::TOptions Options(const std::string& url, bool external = true) {
    return {external, {}, url, [this](const std::string& line) {
              std::lock_guard<std::mutex> lock(mutex_);
              printed_.push_back(line);
            }};
  }
  std::vector<std::string> Printed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return printed_;
  }

  TLoopbackReceiver page_;
  TLogCapture log_;
  std::mutex mutex_;
  std::vector<std::string> printed_;
};

TEST_F(AddressLookupTest, ReportsLocalAndExternalAddressesAndRunsOneLookupAtATime) {
  page_.Answer("/getip.php", "Country=XX<br>ip=203.0.113.7\x1b[2J<br>");
  page_.Hang("/getip.php");
  TAddressLookup lookup(Options(page_.Url("/getip.php")));
  EXPECT_TRUE(lookup.UpdateIPs());
  ASSERT_TRUE(page_.WaitForRequests(1));
  EXPECT_FALSE(lookup.UpdateIPs());  // the first one still runs
  page_.Release();
  lookup.WaitFor();
  EXPECT_FALSE(lookup.Running());
  EXPECT_EQ(page_.Requests().size(), 1u);

  std::vector<std::string> expected;
  for (const std::string& a : LocalIPv4Addresses()) expected.push_back("Local IP " + a);
  expected.push_back("External IP 203.0.113.7[2J");  // the escape character is dropped
  EXPECT_EQ(Printed(), expected);
  EXPECT_LE(LocalIPv4Addresses().size(), 11u);
  const auto messages = log_.Messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), expected.back()), messages.end());

  EXPECT_TRUE(lookup.UpdateIPs());  // a finished lookup makes room for the next
  lookup.WaitFor();
  EXPECT_EQ(page_.Requests().size(), 2u);
}

TEST_F(AddressLookupTest, FailureIsLoggedAndLocalAddressesStillListed) {
  TAddressLookup lookup(Options(ClosedLoopbackUrl("/getip.php")));
  ASSERT_TRUE(lookup.UpdateIPs());
  lookup.WaitFor();
  const auto lines = log_.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& l) {
                            return l.Message == "unable to detect external ip" && l.Source == "frmMain" &&
                                   l.Type == LMTERROR;
                          }),
            1);
  EXPECT_EQ(Printed().size(), LocalIPv4Addresses().size());

  // Detection off: no request, the local addresses only.
  TAddressLookup quiet(Options(page_.Url("/getip.php"), /*external=*/false));
  ASSERT_TRUE(quiet.UpdateIPs());
  quiet.WaitFor();
  EXPECT_TRUE(page_.Requests().empty());
  EXPECT_EQ(Printed().size(), 2 * LocalIPv4Addresses().size());
}

}  // namespace
