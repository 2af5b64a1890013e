// Test support: a browser stand-in for the web interface's tests. It keeps
// the session cookie as a browser would, and reads redirects as sent.
#pragma once

#include <httplib.h>

#include <string>

// A browser: one cookie jar, requests on loopback.
class TTestBrowser {
 public:
  explicit TTestBrowser(int port) : client_("127.0.0.1", port), port_(port) { client_.set_url_encode(false); }

  httplib::Result Get(const std::string& path) { return Keep(client_.Get(path.c_str(), Headers())); }
  httplib::Result Head(const std::string& path) { return Keep(client_.Head(path.c_str(), Headers())); }
  httplib::Result Post(const std::string& path, const httplib::Params& form) {
    return Keep(client_.Post(path.c_str(), Headers(), form));
  }
  // The body of a GET, or "<failed>" when no answer came.
  std::string Page(const std::string& path) {
    auto r = Get(path);
    return r ? r->body : "<failed>";
  }
  // The Location a command redirected to, as sent (the library's client
  // would decode it), or "" without a redirect.
  std::string Command(const std::string& path, const httplib::Params& form = {});
  std::string Cookie;  // the session id, empty without one

 private:
  httplib::Headers Headers() const;
  httplib::Result Keep(httplib::Result r);
  void KeepCookie(const std::string& setCookie);
  httplib::Client client_;
  int port_;
};

// Query value `name` of a redirect target, decoded.
std::string QueryValue(const std::string& location, const std::string& name);
