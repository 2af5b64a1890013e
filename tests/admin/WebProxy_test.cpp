// The interface behind the machine's nginx, started by the test on loopback
// with a certificate made for it: TLS ends at the proxy, the interface
// listens on loopback and believes the proxy's forwarded headers only.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "admin/WebFixture.h"
#include "support/LogCapture.h"
#include "support/TestTls.h"

namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kProxyAddress = "127.0.0.3";  // the proxy's side of its upstream connections

// One nginx of our own: its own prefix, configuration and logs, in the
// foreground with one worker, stopped with the test. It listens on the
// socket of `held`, handed over as nginx takes listening sockets from its
// parent (the NGINX variable, read by the master process only), so the port
// is never free in between; the test's copy is closed, so that the port
// refuses connections once nginx is gone.
class TNginx {
 public:
  TNginx(const std::string& dir, const TTestCertificate& pair, THeldPort& held, int upstream)
      : port_(held.Port()) {
    const uint16_t port = held.Port();
    const int fd = held.Release();
    const std::string conf = dir + "/nginx.conf";
    WriteFileText(conf, "daemon off;\nmaster_process on;\nworker_processes 1;\npid " + dir + "/nginx.pid;\n"
                        "error_log " + dir + "/nginx-error.log;\nevents { worker_connections 64; }\n"
                        "http {\n  access_log off;\n"
                        "  client_body_temp_path " + dir + "/body;\n  proxy_temp_path " + dir + "/proxy;\n"
                        "  fastcgi_temp_path " + dir + "/fastcgi;\n  uwsgi_temp_path " + dir + "/uwsgi;\n"
                        "  scgi_temp_path " + dir + "/scgi;\n"
                        "  server {\n    listen 127.0.0.1:" + std::to_string(port) + " ssl;\n"
                        "    ssl_certificate " + pair.Certificate + ";\n    ssl_certificate_key " + pair.Key + ";\n"
                        "    location /admin/ {\n"
                        "      proxy_pass http://127.0.0.1:" + std::to_string(upstream) + "/;\n"
                        "      proxy_bind " + kProxyAddress + ";\n"
                        "      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
                        "      proxy_set_header X-Forwarded-Proto $scheme;\n"
                        "      proxy_set_header X-Forwarded-Host $http_host;\n"
                        "    }\n  }\n}\n");
    // It takes the socket as it is: listening and non-blocking already.
    listen(fd, SOMAXCONN);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string inherited = std::to_string(fd) + ";";
    pid_ = fork();
    if (pid_ == 0) {
      fcntl(fd, F_SETFD, 0);
      setenv("NGINX", inherited.c_str(), 1);
      execl(kNginx, kNginx, "-p", dir.c_str(), "-c", conf.c_str(), "-e", (dir + "/nginx-error.log").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fd);
  }
  ~TNginx() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  // Whether it accepts connections within a few seconds.
  bool Ready() const {
    for (int i = 0; i < 100; ++i) {
      const int fd = ConnectLoopback(port_);
      if (fd >= 0) {
        close(fd);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

 private:
  uint16_t port_;
  pid_t pid_ = -1;
};

}  // namespace

TEST_F(TWebFixture, BehindNginxFormsWorkOtherSitesAreRefusedAndTheLogNamesTheClient) {
  if (access(kNginx, X_OK) != 0) GTEST_SKIP() << "nginx is not installed (make deps)";
  const std::string dir = servers.Dir.Path();
  web = std::make_unique<TWebInterface>(TWebInterfaceConfig{.BindAddress = "127.0.0.1", .TrustedProxies = kProxyAddress});
  ASSERT_TRUE(web->Init(0, Docs()));
  THeldPort held(SOCK_STREAM);
  const uint16_t port = held.Port();
  TNginx nginx(dir, MakeTestCertificate(dir, "proxy"), held, web->Port());
  ASSERT_TRUE(nginx.Ready()) << ReadFileText(dir + "/nginx-error.log");

  TLogCapture log;
  httplib::Client proxy("https://127.0.0.1:" + std::to_string(port));
  proxy.enable_server_certificate_verification(false);
  const std::string own = "https://127.0.0.1:" + std::to_string(port);
  const auto login = proxy.Post("/admin/LOGIN.PLCMD", {{"Origin", own}},
                                httplib::Params{{"username", "admin"}, {"password", "secret"}, {"serverport", Port()}});
  ASSERT_TRUE(login);
  EXPECT_EQ(login->get_header_value("Location"), "index.html");
  const std::string cookie = login->get_header_value("Set-Cookie");
  EXPECT_THAT(cookie, testing::HasSubstr("; Secure"));
  auto add = [&](const std::string& name, const std::string& origin) {
    const auto r = proxy.Post("/admin/ADD_CLIENT.PLCMD", {{"Origin", origin}, {"Cookie", cookie.substr(0, cookie.find(';'))}},
                              httplib::Params{{"CLIENTLOGINNAME", name}, {"CLIENTPW1", "p"}, {"CLIENTPW2", "p"}});
    return r ? r->status : -1;
  };
  EXPECT_EQ(add("viaproxy", own), 302);
  EXPECT_EQ(add("forged", "https://elsewhere.example"), 403);
  EXPECT_TRUE(GetUser("viaproxy", TServerFixture::kDefaultID, false));
  EXPECT_FALSE(GetUser("forged", TServerFixture::kDefaultID, false));

  const auto lines = log.Messages();
  EXPECT_THAT(lines, testing::Contains(testing::AllOf(testing::HasSubstr("Refused ADD_CLIENT.PLCMD"),
                                                      testing::EndsWith("by 127.0.0.1"))));
  EXPECT_THAT(lines, testing::Not(testing::Contains(testing::HasSubstr(kProxyAddress))));
}
