#include "announce/HttpClient.h"

#include <curl/curl.h>

#include <mutex>

namespace {

// A page larger than this is no answer of a list service; refusing it keeps
// a hostile peer from filling the memory.
constexpr size_t kMaxBody = 64 * 1024;
constexpr long kMaxRedirects = 5;

struct TTransfer {
  std::string Body;
  bool TooLarge = false;
  const std::atomic<bool>* Abort;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<TTransfer*>(user);
  const size_t n = size * count;
  if (t->Body.size() + n > kMaxBody) {
    t->TooLarge = true;
    return 0;  // ends the transfer with a write error
  }
  t->Body.append(data, n);
  return n;
}

// libcurl calls this several times a second while a transfer runs, also
// while it waits for a connection or an answer; a non-zero result aborts.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* t = static_cast<TTransfer*>(user);
  return t->Abort && t->Abort->load(std::memory_order_relaxed) ? 1 : 0;
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool KeptInForm(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
         c == '.' || c == '_';
}

void AppendEncoded(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const unsigned char c : text) {
    if (KeptInForm(c)) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
}

}  // namespace

THttpClient::THttpClient(TOptions options) : options_(std::move(options)) {
  InitCurlOnce();
  curl_ = curl_easy_init();
  if (!curl_) throw EHttp("unable to create the HTTP client");
}

THttpClient::~THttpClient() { curl_easy_cleanup(static_cast<CURL*>(curl_)); }

std::string THttpClient::EncodeForm(const TFormFields& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    AppendEncoded(body, name);
    body += '=';
    AppendEncoded(body, value);
  }
  return body;
}

std::string THttpClient::Get(const std::string& url) {
  CURL* c = static_cast<CURL*>(curl_);
  curl_easy_reset(c);
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  return Perform(url);
}

std::string THttpClient::Post(const std::string& url, const TFormFields& fields) {
  CURL* c = static_cast<CURL*>(curl_);
  curl_easy_reset(c);
  const std::string body = EncodeForm(fields);
  // COPYPOSTFIELDS sets the type application/x-www-form-urlencoded.
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(c, CURLOPT_COPYPOSTFIELDS, body.c_str());
  return Perform(url);
}

std::string THttpClient::Perform(const std::string& url) {
  CURL* c = static_cast<CURL*>(curl_);
  TTransfer transfer{{}, false, options_.Abort};
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
  // Worker threads must not get SIGALRM from the resolver.
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.ConnectTimeout.count()));
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.TotalTimeout.count()));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
  if (!options_.BindAddress.empty()) curl_easy_setopt(c, CURLOPT_INTERFACE, options_.BindAddress.c_str());
  // An empty proxy text switches off the proxies the environment may name.
  const THttpProxy& proxy = options_.Proxy;
  curl_easy_setopt(c, CURLOPT_PROXY, proxy.Server.c_str());
  if (!proxy.Server.empty()) {
    curl_easy_setopt(c, CURLOPT_PROXYPORT, static_cast<long>(proxy.Port));
    if (proxy.BasicAuthentication) {
      curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, proxy.Username.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, proxy.Password.c_str());
    }
  }

  const CURLcode rc = curl_easy_perform(c);
  if (transfer.TooLarge) throw EHttp("response too large");
  if (rc != CURLE_OK) throw EHttp(curl_easy_strerror(rc));
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status >= 400) throw EHttp("HTTP status " + std::to_string(status));
  return std::move(transfer.Body);
}
