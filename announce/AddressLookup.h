// TAddressLookup: finds the addresses under which this server can be
// reached and tells the operator: the local IPv4 addresses of the host
// name and, when "ExternalIPDectection" is on, the public address as the
// list service's "getip.php" page reports it (its "IP" key). Each address
// is logged and printed as a line ("Local IP 10.0.0.5", "External IP
// 203.0.113.7"); a failed external lookup logs "unable to detect external
// ip" and still lists the local addresses.
//
// main() starts a lookup three seconds after start-up and on SIGUSR1.
// Ownership: main owns it; destroying it aborts a lookup in progress.
// Thread-safety: UpdateIPs from one thread; the report is made on the
// lookup's own thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "announce/WebCheck.h"

class TAddressLookup {
 public:
  struct TOptions {
    bool ExternalIPDetection = true;  // false: the local addresses only
    THttpProxy Proxy;
    std::string URL;  // empty: "getip.php" on the list service's host
    // Where each address line goes besides the log; none: standard output.
    std::function<void(const std::string&)> Print;
  };

  explicit TAddressLookup(TOptions options);
  ~TAddressLookup();
  TAddressLookup(const TAddressLookup&) = delete;
  TAddressLookup& operator=(const TAddressLookup&) = delete;

  // Starts a lookup; false (and nothing done) while one is still running.
  bool UpdateIPs();
  bool Running() const { return running_.load(); }
  // Blocks until the lookup in progress, if any, has reported.
  void WaitFor();

 private:
  void Report(const std::optional<TWebCheck::TLines>& lines, bool failed);

  TOptions options_;
  std::unique_ptr<TWebCheck> lookup_;
  std::atomic<bool> running_{false};
};

// The host name's IPv4 addresses in resolver order, dotted, at most 11;
// empty when the name does not resolve.
std::vector<std::string> LocalIPv4Addresses();
// The value of `key` in "key=value" lines (key without regard to case),
// cut to what an address can be and stripped of anything unprintable,
// since it comes from outside; empty when absent.
std::string ValueOfKey(const TWebCheck::TLines& lines, const std::string& key);
