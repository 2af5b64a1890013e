// The web port over TLS and behind a proxy: https only with a Secure cookie
// and HSTS, a pair reloaded in place, a clear refusal of missing files, and
// which forwarded headers are believed from whom.
#include <gmock/gmock.h>
#include <openssl/ssl.h>

#include <filesystem>

#include "admin/HttpForwarding.h"
#include "admin/WebFixture.h"
#include "support/LogCapture.h"
#include "support/TestTls.h"

namespace {

httplib::Client HttpsClient(int port) {
  httplib::Client client("https://127.0.0.1:" + std::to_string(port));
  client.enable_server_certificate_verification(false);
  return client;
}

httplib::Request RequestFrom(const std::string& peer, httplib::Headers headers, const std::string& path = "/") {
  httplib::Request request;
  request.remote_addr = peer;
  request.path = path;
  request.headers = std::move(headers);
  return request;
}

}  // namespace

TEST_F(TWebFixture, OverTlsOnlyWithSecureCookieHstsAndAPairReloadedInPlace) {
  const std::string dir = servers.Dir.Path();
  const TTestCertificate first = MakeTestCertificate(dir, "first"), second = MakeTestCertificate(dir, "second");
  TWebInterfaceConfig config{.BindAddress = "127.0.0.1", .TlsCertificate = first.Certificate, .TlsKey = first.Key};
  web = std::make_unique<TWebInterface>(config);
  ASSERT_TRUE(web->Init(0, Docs()));
  EXPECT_TRUE(web->Tls());
  const int port = web->Port();

  auto https = HttpsClient(port);
  const auto login =
      https.Post("/LOGIN.PLCMD", httplib::Params{{"username", "admin"}, {"password", "secret"}, {"serverport", Port()}});
  ASSERT_TRUE(login);
  EXPECT_EQ(login->get_header_value("Location"), "index.html");
  const std::string cookie = login->get_header_value("Set-Cookie");
  EXPECT_THAT(cookie, testing::HasSubstr("; Secure"));
  EXPECT_EQ(login->get_header_value("Strict-Transport-Security"), "max-age=31536000");
  const auto page = https.Get("/index.html", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->body.find("action=\"LOGIN.PLCMD\""), std::string::npos) << "still the login page";

  // Clear text and TLS before 1.2 get no answer.
  EXPECT_FALSE(TTestBrowser(port).Get("/"));
  EXPECT_EQ(ServedFingerprint(static_cast<uint16_t>(port), TLS1_1_VERSION), "");
  EXPECT_EQ(ServedFingerprint(static_cast<uint16_t>(port)), FileFingerprint(first.Certificate));

  // A renewal in place is served to new connections; one that does not
  // load leaves the pair in use and says why.
  std::filesystem::copy_file(second.Certificate, first.Certificate, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::copy_file(second.Key, first.Key, std::filesystem::copy_options::overwrite_existing);
  EXPECT_TRUE(web->ReloadTls());
  EXPECT_EQ(ServedFingerprint(static_cast<uint16_t>(port)), FileFingerprint(second.Certificate));
  {
    TLogCapture log;
    WriteFileText(first.Key, "not a key");
    EXPECT_FALSE(web->ReloadTls());
    EXPECT_THAT(log.Messages(), testing::Contains(testing::AllOf(testing::HasSubstr("not reloaded"),
                                                                 testing::HasSubstr(first.Key))));
  }
  EXPECT_EQ(ServedFingerprint(static_cast<uint16_t>(port)), FileFingerprint(second.Certificate));
  EXPECT_EQ(https.Get("/index.html")->status, 200);

  // A file that cannot be read, or a pair half set, stops the port from
  // opening at all, naming the file and the reason.
  config.TlsKey = dir + "/absent.key";
  TWebInterface missing(config);
  EXPECT_FALSE(missing.Init(0, Docs()));
  EXPECT_EQ(missing.StartFault(), dir + "/absent.key: No such file or directory");
  config.TlsKey = "";
  TWebInterface half(config);
  EXPECT_FALSE(half.Init(0, Docs()));
  EXPECT_EQ(half.StartFault(), "HTTPServer TLSKey is not set");
}

TEST(HttpForwarding, HeadersAreBelievedFromTrustedProxiesOnly) {
  THttpForwarding forwarding;
  std::string fault;
  ASSERT_TRUE(forwarding.Configure("127.0.0.1, 10.0.0.0/8 2001:db8::/32", "", fault)) << fault;
  const httplib::Headers forwarded{{"X-Forwarded-For", "6.6.6.6, 203.0.113.7, 10.1.2.3"},
                                   {"X-Forwarded-Proto", "https"},
                                   {"X-Forwarded-Host", "voice.example.com"},
                                   {"Host", "127.0.0.1:8080"},
                                   {"X-Parleon-Origin", "http://evil.example"}};
  // The nearest address that is not a proxy is the client's.
  auto viaProxy = RequestFrom("127.0.0.1", forwarded);
  forwarding.Apply(viaProxy, false);
  EXPECT_EQ(ClientAddress(viaProxy), "203.0.113.7");
  EXPECT_EQ(RequestScheme(viaProxy), "https");
  EXPECT_EQ(RequestOrigin(viaProxy), "https://voice.example.com");
  auto viaV6 = RequestFrom("2001:db8::5", {{"X-Forwarded-For", "not an address"}});
  forwarding.Apply(viaV6, true);
  EXPECT_EQ(ClientAddress(viaV6), "2001:db8::5");
  EXPECT_EQ(RequestScheme(viaV6), "https");
  // From anyone else the headers count for nothing, a planted origin neither.
  auto direct = RequestFrom("198.51.100.1", forwarded);
  forwarding.Apply(direct, false);
  EXPECT_EQ(ClientAddress(direct), "198.51.100.1");
  EXPECT_EQ(RequestOrigin(direct), "http://127.0.0.1:8080");
  auto outside = RequestFrom("11.0.0.1", forwarded);
  forwarding.Apply(outside, false);
  EXPECT_EQ(ClientAddress(outside), "11.0.0.1");

  // A public address fixes the origin and serves under its path.
  ASSERT_TRUE(forwarding.Configure("", "https://Voice.Example.com/admin/", fault));
  auto prefixed = RequestFrom("198.51.100.1", {{"Host", "127.0.0.1:8080"}}, "/admin/index.html");
  forwarding.Apply(prefixed, false);
  EXPECT_EQ(prefixed.path, "/index.html");
  EXPECT_EQ(RequestOrigin(prefixed), "https://voice.example.com");
  EXPECT_TRUE(IsOwnOrigin(prefixed, "https://VOICE.example.com"));
  EXPECT_TRUE(IsOwnOrigin(prefixed, "http://127.0.0.1:8080"));
  EXPECT_FALSE(IsOwnOrigin(prefixed, "https://127.0.0.1:8080"));
  EXPECT_FALSE(IsOwnOrigin(prefixed, "http://voice.example.com"));
  auto sibling = RequestFrom("198.51.100.1", {}, "/administration");
  forwarding.Apply(sibling, false);
  EXPECT_EQ(sibling.path, "/administration");

  for (const char* bad : {"10.0.0.0/33", "proxy.example", "10.0.0.1/x"}) {
    EXPECT_FALSE(forwarding.Configure(bad, "", fault)) << bad;
    EXPECT_THAT(fault, testing::HasSubstr(bad));
  }
  EXPECT_FALSE(forwarding.Configure("", "voice.example.com/admin", fault));
  EXPECT_EQ(fault, "HTTPServer PublicURL: not an http:// or https:// address: voice.example.com/admin");
}
