// TQueryConnection: what one TCP query connection remembers between its
// command lines: the selected server, the list of servers taken when the
// connection was accepted (replaced only by "addserver"), whether it has
// logged in, and where it comes from (the login throttle's key).
//
// Ownership: TTCPQuery's session owns it from accept to close. Thread-safety:
// none; the session hands it to one command at a time. The server references
// keep stopped servers alive as objects only: every command re-checks them
// against the running servers before it touches one.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/LogRateLimiter.h"
#include "server/ServerAccess.h"

struct TQueryConnection {
  TServerRef Selected;
  std::vector<std::pair<std::string, TServerRef>> Servers;
  bool LoggedIn = false;
  std::string LoginName;  // the account that logged in: the actor of what the connection changes
  std::string PeerAddress;
  // The connection's share of the audit trail: a client looping over a
  // command cannot fill the disk.
  TLogRateLimiter AuditLimiter{nullptr, 20, 10000};
};
