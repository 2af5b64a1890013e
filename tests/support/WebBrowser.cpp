#include "support/WebBrowser.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "admin/WebInterface.h"

namespace {

// The value of header `name` in a raw response head, or "".
std::string HeaderOf(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = head.find(key);
  if (at == std::string::npos) return "";
  const size_t from = at + key.size();
  return head.substr(from, head.find("\r\n", from) - from);
}

}  // namespace

httplib::Headers TTestBrowser::Headers() const {
  if (Cookie.empty()) return {};
  return {{"Cookie", std::string(TWebInterface::kCookieName) + "=" + Cookie}};
}

void TTestBrowser::KeepCookie(const std::string& setCookie) {
  const std::string prefix = std::string(TWebInterface::kCookieName) + "=";
  if (setCookie.rfind(prefix, 0) != 0) return;
  Cookie = setCookie.substr(prefix.size(), setCookie.find(';') - prefix.size());
  if (setCookie.find("Max-Age=0") != std::string::npos) Cookie.clear();
}

httplib::Result TTestBrowser::Keep(httplib::Result r) {
  if (r) KeepCookie(r->get_header_value("Set-Cookie"));
  return r;
}

std::string TTestBrowser::Command(const std::string& path, const httplib::Params& form) {
  const std::string body = httplib::detail::params_to_query_str(form);
  std::string request = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!Cookie.empty()) request += "Cookie: " + std::string(TWebInterface::kCookieName) + "=" + Cookie + "\r\n";
  request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\n\r\n" + body;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) response.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  const std::string head = response.substr(0, response.find("\r\n\r\n"));
  KeepCookie(HeaderOf(head, "Set-Cookie"));
  return head.rfind("HTTP/1.1 302", 0) == 0 ? HeaderOf(head, "Location") : "";
}

std::string QueryValue(const std::string& location, const std::string& name) {
  const size_t q = location.find('?');
  if (q == std::string::npos) return "<absent>";
  std::string found = "<absent>";
  httplib::detail::split(location.data() + q + 1, location.data() + location.size(), '&',
                         [&](const char* b, const char* e) {
                           const std::string pair(b, e);
                           const size_t eq = pair.find('=');
                           if (pair.substr(0, eq) == name)
                             found = httplib::detail::decode_url(pair.substr(eq + 1), true);
                         });
  return found;
}
