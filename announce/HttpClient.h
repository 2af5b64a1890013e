// THttpClient: the outgoing HTTP client of the web list announcement and of
// the background page fetch, a thin layer over one libcurl easy handle.
// Redirects are followed; every request has a connect time-out and a total
// time-out, and ends early (as a failure) once the abort flag it was given
// is set, so that a list that accepts the connection and never answers
// cannot hold a thread past shutdown.
//
// Ownership: created and destroyed by the thread that uses it.
// Thread-safety: one thread at a time; the abort flag may be set from any.
// Failures raise EHttp (no connection, time-out, abort, HTTP status >= 400).
#pragma once

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class EHttp : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct THttpProxy {
  std::string Server;  // empty: no proxy at all (also none from the environment)
  int32_t Port = 8080;
  bool BasicAuthentication = false;
  std::string Username, Password;
};

using TFormFields = std::vector<std::pair<std::string, std::string>>;

class THttpClient {
 public:
  struct TOptions {
    std::string BindAddress;  // local address of outgoing connections; empty: any
    THttpProxy Proxy;
    std::chrono::milliseconds ConnectTimeout{10000};
    std::chrono::milliseconds TotalTimeout{30000};
    const std::atomic<bool>* Abort = nullptr;  // none: never aborted
  };

  explicit THttpClient(TOptions options);
  ~THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // The response body.
  std::string Get(const std::string& url);
  // Posts `fields` as application/x-www-form-urlencoded, in list order.
  std::string Post(const std::string& url, const TFormFields& fields);

  // "a=1&b=x+y": names and values form-encoded (space as "+", bytes outside
  // letters, digits and "*-._" as %XX).
  static std::string EncodeForm(const TFormFields& fields);

 private:
  std::string Perform(const std::string& url);

  TOptions options_;
  void* curl_;
};
