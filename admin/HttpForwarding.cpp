#include "admin/HttpForwarding.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// The header the server stores a request's expected origin in. Whatever a
// peer sends under this name is dropped before it is set.
constexpr const char* kOriginHeader = "X-Parleon-Origin";
constexpr const char* kSchemeHeader = "X-Parleon-Scheme";

// Family and bytes of an IPv4 or IPv6 address; 0 when `text` is neither.
int ParseAddress(std::string_view text, std::array<uint8_t, 16>& bytes) {
  if (text.size() >= INET6_ADDRSTRLEN) return 0;
  char buf[INET6_ADDRSTRLEN] = {};
  std::memcpy(buf, text.data(), text.size());
  bytes.fill(0);
  if (inet_pton(AF_INET, buf, bytes.data()) == 1) return AF_INET;
  if (inet_pton(AF_INET6, buf, bytes.data()) == 1) {
    // An IPv4 address mapped into IPv6 is the IPv4 address.
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes.data(), kMapped, 12) == 0) {
      std::memmove(bytes.data(), bytes.data() + 12, 4);
      std::fill(bytes.begin() + 4, bytes.end(), 0);
      return AF_INET;
    }
    return AF_INET6;
  }
  return 0;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The first of a header's comma-separated values.
std::string_view FirstValue(std::string_view s) { return Trimmed(s.substr(0, s.find(','))); }

// A host with an optional port, of the characters a host name or an IPv6
// literal may have.
bool IsHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  return std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
  });
}

std::string LowerText(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

void ReplaceHeader(httplib::Request& request, const char* name, const std::string& value) {
  request.headers.erase(name);
  request.headers.emplace(name, value);
}

}  // namespace

bool THttpForwarding::Configure(std::string_view trustedProxies, std::string_view publicUrl, std::string& fault) {
  trusted_.clear();
  publicOrigin_.clear();
  pathPrefix_.clear();
  std::string list(trustedProxies);
  std::replace(list.begin(), list.end(), ',', ' ');
  size_t pos = 0;
  while (pos < list.size()) {
    const size_t end = std::min(list.find(' ', pos), list.size());
    const std::string_view entry = std::string_view(list).substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty()) continue;
    TPrefix prefix;
    const size_t slash = entry.find('/');
    prefix.Family = ParseAddress(entry.substr(0, slash), prefix.Bytes);
    const int maxBits = prefix.Family == AF_INET ? 32 : 128;
    prefix.Bits = maxBits;
    if (prefix.Family != 0 && slash != std::string_view::npos) {
      const std::string_view bits = entry.substr(slash + 1);
      const bool digits = !bits.empty() && bits.size() <= 3 &&
                          std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; });
      prefix.Bits = digits ? std::stoi(std::string(bits)) : -1;
    }
    if (prefix.Family == 0 || prefix.Bits < 0 || prefix.Bits > maxBits) {
      fault = "HTTPServer TrustedProxies: not an address or prefix: " + std::string(entry);
      return false;
    }
    trusted_.push_back(prefix);
  }
  const std::string_view url = Trimmed(publicUrl);
  if (url.empty()) return true;
  const std::string lower = LowerText(url);
  const size_t schemeEnd = lower.starts_with("https://") ? 8 : lower.starts_with("http://") ? 7 : 0;
  const size_t pathStart = std::min(url.find('/', schemeEnd), url.size());
  const std::string_view host = url.substr(schemeEnd, pathStart - schemeEnd);
  if (schemeEnd == 0 || !IsHost(host) || url.find_first_of("?# ") != std::string_view::npos) {
    fault = "HTTPServer PublicURL: not an http:// or https:// address: " + std::string(url);
    return false;
  }
  publicOrigin_ = lower.substr(0, schemeEnd) + LowerText(host);
  std::string_view path = url.substr(pathStart);
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  pathPrefix_ = std::string(path);
  return true;
}

bool THttpForwarding::Trusts(std::string_view address) const {
  std::array<uint8_t, 16> bytes;
  const int family = ParseAddress(address, bytes);
  for (const TPrefix& p : trusted_) {
    if (p.Family != family) continue;
    const int whole = p.Bits / 8, rest = p.Bits % 8;
    if (std::memcmp(p.Bytes.data(), bytes.data(), static_cast<size_t>(whole)) != 0) continue;
    const auto mask = static_cast<uint8_t>(0xff00 >> rest);
    if (rest == 0 || (p.Bytes[whole] & mask) == (bytes[whole] & mask)) return true;
  }
  return false;
}

void THttpForwarding::Apply(httplib::Request& request, bool tls) const {
  std::string scheme = tls ? "https" : "http";
  std::string host = request.get_header_value("Host");
  if (Trusts(request.remote_addr)) {
    // The nearest address that is not one of our proxies is the client;
    // anything further left was written by the client itself.
    const std::string forwardedFor = request.get_header_value("X-Forwarded-For");
    std::string_view rest = forwardedFor;
    while (!rest.empty()) {
      const size_t comma = rest.rfind(',');
      const std::string_view hop = Trimmed(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
      std::array<uint8_t, 16> bytes;
      if (ParseAddress(hop, bytes) == 0) break;
      request.remote_addr = std::string(hop);
      if (!Trusts(hop)) break;
    }
    const std::string proto = LowerText(FirstValue(request.get_header_value("X-Forwarded-Proto")));
    if (proto == "https" || proto == "http") scheme = proto;
    const std::string forwardedHosts = request.get_header_value("X-Forwarded-Host");
    const std::string_view forwardedHost = FirstValue(forwardedHosts);
    if (IsHost(forwardedHost)) {
      host = std::string(forwardedHost);
      ReplaceHeader(request, "Host", host);
    }
  }
  if (!pathPrefix_.empty() && request.path.starts_with(pathPrefix_) &&
      (request.path.size() == pathPrefix_.size() || request.path[pathPrefix_.size()] == '/')) {
    request.path.erase(0, pathPrefix_.size());
    if (request.path.empty()) request.path = "/";
  }
  ReplaceHeader(request, kSchemeHeader, scheme);
  ReplaceHeader(request, kOriginHeader, publicOrigin_.empty() ? scheme + "://" + host : publicOrigin_);
}

std::string RequestScheme(const httplib::Request& request) {
  return request.has_header(kSchemeHeader) ? request.get_header_value(kSchemeHeader) : "http";
}

std::string RequestOrigin(const httplib::Request& request) {
  if (request.has_header(kOriginHeader)) return request.get_header_value(kOriginHeader);
  return "http://" + request.get_header_value("Host");
}

bool IsOwnOrigin(const httplib::Request& request, std::string_view origin) {
  const std::string given = LowerText(origin);
  return given == LowerText(RequestOrigin(request)) ||
         given == LowerText(RequestScheme(request) + "://" + request.get_header_value("Host"));
}
