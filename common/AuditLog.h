// The audit trail: one line per administrative action, whichever surface it
// came through (a player's voice command, the query port, the web
// interface), naming who did it, from where, on which virtual server, and
// what changed. Each line goes to the log and to a store of its own beside
// server.log (server.audit), which the web interface's Log page reads.
//
// The store is bounded: past its size cap the file is moved to
// "<file>.old" (the one before goes; the numbered names are log
// rotation's) and a new one begins. Each line is opened, appended and
// closed, so a rotation that moves the file away is simply followed. Records are one line of TAB-separated fields, outside
// text stripped of control characters and TABs.
//
// Callers: the query's and the web's commands, the listener's player
// commands; start-up names the file. Each caller session (query
// connection, web session, voice player) passes its own rate limiter, so
// that no one session fills the disk; what it holds back is counted in the
// next line it lets through.
// Thread-safety: any thread; the store has one mutex of its own, a leaf
// taken with no other lock of the caller's held or below any of them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/Clock.h"

class TLogRateLimiter;
class TLockedLogRateLimiter;

// The surfaces, as the records name them.
namespace audit_surface {
inline constexpr const char* Voice = "voice";
inline constexpr const char* Query = "query";
inline constexpr const char* Web = "web";
}  // namespace audit_surface

struct TAuditRecord {
  TDateTime Time = 0;
  std::string Surface, Actor, Address, Server;
  std::string Kind;    // one word: "login-failed", "account-edit", "settings", "kick", "ban", ...
  std::string Detail;  // what changed, in words
};

// Writes `record` (its Time is set here) unless `limiter` holds it back.
void Audit(TAuditRecord record, TLogRateLimiter* limiter = nullptr);
// The same for a session whose requests run on several threads.
void Audit(TAuditRecord record, TLockedLogRateLimiter& limiter);

// The allowance of the records a peer may cause before any login (failed
// logins on every surface together): a stranger who opens a new session or
// connection for every try still cannot flood the log or push the older
// records out of the store.
TLockedLogRateLimiter& StrangersAuditShare();

// Where the store is kept; empty: the log alone. `capBytes` bounds the file.
void SetAuditFile(std::string path, int64_t capBytes = 2 * 1024 * 1024);
std::string AuditFile();

// What the Log page asks for. Empty fields match everything; Servers, when
// not empty, is the only set of servers whose records may be seen.
struct TAuditQuery {
  std::vector<std::string> Servers;
  std::string Server, Actor, Kind;
  size_t Skip = 0, Count = 50;
};
// The matching records, newest first, from the store and its one older file.
// `more` tells whether records beyond this page match.
std::vector<TAuditRecord> ReadAudit(const TAuditQuery& query, bool* more = nullptr);

// Player rights in words, "ServerAdmin+SuperServerAdmin", or "none".
std::string RightsText(uint16_t playerPrivileges);
