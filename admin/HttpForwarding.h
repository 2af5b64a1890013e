// THttpForwarding: who a web request really comes from, and which origin
// its forms must carry, when the interface runs behind a reverse proxy or
// under a public address of its own.
//
// THttpServer applies it to every request once the head is read:
// - a peer listed in TrustedProxies (addresses or address/prefix) has its
//   X-Forwarded-For, X-Forwarded-Proto and X-Forwarded-Host believed: the
//   client's address replaces remote_addr, the forwarded host replaces Host;
//   from any other peer these headers are ignored;
// - a path under PublicURL's path is served as if the prefix were not there;
// - the origin the cross-site rule expects is stored in the request
//   (RequestOrigin): PublicURL's origin when set, else the scheme (TLS on
//   this port, or a trusted proxy's word) and the host.
// So everything that reads remote_addr (throttle, sessions, log and audit
// lines) sees the client, never the proxy.
//
// Thread-safety: immutable once built; Apply may run on many threads.
#pragma once

#include <httplib.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class THttpForwarding {
 public:
  THttpForwarding() = default;
  // Parses the settings; false with `fault` naming the entry that is wrong.
  // `trustedProxies`: addresses or prefixes separated by commas or spaces.
  bool Configure(std::string_view trustedProxies, std::string_view publicUrl, std::string& fault);

  // Rewrites `request` as described above; `tls`: this port speaks TLS.
  void Apply(httplib::Request& request, bool tls) const;

  bool Trusts(std::string_view address) const;
  const std::string& PublicOrigin() const { return publicOrigin_; }
  const std::string& PathPrefix() const { return pathPrefix_; }

 private:
  struct TPrefix {
    std::array<uint8_t, 16> Bytes{};
    int Family = 0;
    int Bits = 0;
  };
  std::vector<TPrefix> trusted_;
  std::string publicOrigin_;  // "https://voice.example.com", or empty
  std::string pathPrefix_;    // "/admin", or empty
};

// The client's address of a request: the peer, or what a trusted proxy said.
inline const std::string& ClientAddress(const httplib::Request& request) { return request.remote_addr; }
// "https" or "http": as this port or a trusted proxy received the request.
std::string RequestScheme(const httplib::Request& request);
// The origin a same-site form of this request carries ("https://host:port"):
// the public address's when one is set, else the request's own.
std::string RequestOrigin(const httplib::Request& request);
// Whether `origin` is this interface's own for `request`: RequestOrigin, or
// the scheme and host the request came in by (an operator on the port
// itself while a public address is set).
bool IsOwnOrigin(const httplib::Request& request, std::string_view origin);
