// TTCPQuery: the TCP query port. Administrators and scripts connect, get
// the greeting "[PL]" and send one command per line (admin/QueryCommands.h
// answers them). Start-up creates the one instance when TCPQueryPort is
// above 0 and shutdown destroys it, which closes every connection.
//
// Threads: one I/O thread accepts, reads and writes for every connection;
// the commands run on a small worker pool because some block (a restart
// stops and starts a server). All of them run at a lower priority than the
// voice threads, so a flood of commands slows the query, not the relay.
// A connection has at most one line in work:
// its next line is read only after the answer to the previous one went
// out, so its commands run in order, and a peer that never reads its
// answers holds one answer's memory and stops being read. Limits: lines of
// at most 4096 bytes (a longer one is answered with one error line and
// skipped), at most MaxPerAddress connections from one peer address (the
// next are closed after one error line), at most MaxConnections in all
// (when full, the oldest that has not logged in is closed to make room;
// when all have logged in, the new one gets the error line), a connection
// silent for IdleBeforeLogin before its login or IdleTimeout after it is
// closed, so that strangers cannot hold every slot.
//
// The socket passed to the process for its port (common/PassedSockets.h)
// is taken instead of binding one.
// Failure: when the port cannot be opened, the constructor logs
// "TTCPQuery.Create: unable to initialize communication " and the object
// stays inactive; the process goes on without the query.
// Thread-safety: construct and destroy on one thread; Active, Port and
// Connections may be read from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "admin/QueryConnection.h"

struct TTCPQueryOptions {
  int32_t Port = 51234;     // 0: a port the system picks (tests)
  std::string BindAddress;  // empty: every local address
  TServerEnvironment Environment;  // see ExecuteQueryLine
  size_t MaxConnections = 250;
  size_t MaxPerAddress = 16;
  std::chrono::milliseconds IdleBeforeLogin = std::chrono::seconds(60);
  std::chrono::milliseconds IdleTimeout = std::chrono::minutes(10);
  size_t Workers = 4;
};

struct TQueryServer;

class TTCPQuery {
 public:
  explicit TTCPQuery(TTCPQueryOptions options);
  ~TTCPQuery();
  TTCPQuery(const TTCPQuery&) = delete;
  TTCPQuery& operator=(const TTCPQuery&) = delete;

  bool Active() const;
  uint16_t Port() const;  // the bound port; 0 when inactive
  size_t Connections() const;  // open connections now (for the metrics)

 private:
  std::unique_ptr<TQueryServer> impl_;
};
