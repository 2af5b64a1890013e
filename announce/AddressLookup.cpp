#include "announce/AddressLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>

#include "common/CaughtLog.h"
#include "common/Log.h"
#include "common/TextFormat.h"

#ifndef PARLEON_LIST_HOST
#define PARLEON_LIST_HOST "serverlist.parleon.invalid"
#endif

namespace {

constexpr size_t kMaxLocalAddresses = 11;
constexpr size_t kMaxAddressText = 45;  // the longest IPv6 text

void PrintToStdout(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);  // a pipe to the journal would otherwise hold it back
}

}  // namespace

std::vector<std::string> LocalIPv4Addresses() {
  std::vector<std::string> addresses;
  char host[65] = {};
  if (gethostname(host, sizeof host - 1) != 0) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) return addresses;
  for (addrinfo* a = found; a && addresses.size() < kMaxLocalAddresses; a = a->ai_next) {
    char text[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) addresses.emplace_back(text);
  }
  freeaddrinfo(found);
  return addresses;
}

std::string ValueOfKey(const TWebCheck::TLines& lines, const std::string& key) {
  const std::string wanted = UpperCase(key) + "=";
  for (const std::string& line : lines) {
    if (line.size() < wanted.size() || UpperCase(line.substr(0, wanted.size())) != wanted) continue;
    std::string value;
    for (const char c : line.substr(wanted.size()))
      if (c > ' ' && c < 127 && value.size() < kMaxAddressText) value += c;
    return value;
  }
  return "";
}

TAddressLookup::TAddressLookup(TOptions options) : options_(std::move(options)) {
  if (options_.URL.empty()) options_.URL = std::string("http://") + PARLEON_LIST_HOST + "/getip.php";
  if (!options_.Print) options_.Print = PrintToStdout;
}

TAddressLookup::~TAddressLookup() { lookup_.reset(); }

bool TAddressLookup::UpdateIPs() {
  if (running_.load()) return false;
  lookup_.reset();  // the last one has reported; its thread is ending
  running_.store(true);
  lookup_ = std::make_unique<TWebCheck>();
  lookup_->Enabled = options_.ExternalIPDetection;
  lookup_->URL = options_.URL;
  lookup_->OnResult = [this](TWebCheck&, std::optional<TWebCheck::TLines> lines) { Report(lines, false); };
  lookup_->OnFailure = [this](TWebCheck& check) {
    LogCaught("frmMain", "TWebCheck.Execute", EHttp(check.Failure()));
    Report(std::nullopt, true);
  };
  lookup_->Proxy = options_.Proxy;
  lookup_->Start();
  return true;
}

void TAddressLookup::WaitFor() {
  if (lookup_) lookup_->WaitFor();
}

void TAddressLookup::Report(const std::optional<TWebCheck::TLines>& lines, bool failed) {
  if (failed) Log(LMTERROR, LMDALL, "frmMain", "unable to detect external ip");
  auto tell = [this](const std::string& line) {
    Log(LMTALL, LMDINFO, "frmMain", line);
    options_.Print(line);
  };
  for (const std::string& address : LocalIPv4Addresses()) tell("Local IP " + address);
  if (!failed && options_.ExternalIPDetection) tell("External IP " + (lines ? ValueOfKey(*lines, "IP") : ""));
  running_.store(false);
}
