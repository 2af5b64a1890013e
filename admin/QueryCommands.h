// The command table of the TCP query and its interpreter: one received line
// in, the answer text out. TTCPQuery calls ExecuteQueryLine for each line a
// connection sends, on a worker thread (handlers may block: a restart stops
// and starts a server), one line of a connection at a time.
//
// A command matches a line that equals its word, or begins with its word and
// one blank (letter case ignored); the first match in table order wins. The
// rest of the line, split at blanks with empty pieces dropped, are its
// parameters. Every answer line ends with CR LF; a line that matches nothing
// is answered "error"; an exception inside a command is answered with one
// "ERROR, " line and logged, and the connection goes on.
//
// Locks: commands take the ServerList lock at most; a server's own locks
// are taken inside TServerAccess (server/ServerAccess.h), whose copies the
// answers are formatted from with no server lock held.
#pragma once

#include <string>
#include <string_view>

#include "admin/QueryConnection.h"

struct TQueryAnswer {
  std::string Text;    // lines, each ending with CR LF
  bool Close = false;  // "quit": close without an answer
};

// Fills `connection`'s server list from the running servers (the accept).
void TakeServerSnapshot(TQueryConnection& connection);

// `env` is what "ver" reports and what servers that "addserver" starts get;
// its settings file lists them and takes the changes of "set".
TQueryAnswer ExecuteQueryLine(TQueryConnection& connection, std::string_view line, const TServerEnvironment& env);

// Writes a line of the query's debug trace ("Connected", ...) to the log,
// a few a second at most: strangers who connect in a loop must not fill the
// disk. Any thread.
void QueryTrace(std::string_view text);

// The error line for `message` (cut to 29 characters), with its CR LF.
// With a `reason`, it follows the message after ": ", whole, on the same
// line: clients that know the message still find it at the start.
std::string QueryErrorLine(std::string_view message, std::string_view reason = {});
