// The spine of the process: start-up from the command line and server.ini to
// the running state, and the orderly shutdown back. Called once each from
// main() on the main thread.
#pragma once

#include <string>
#include <vector>

#include "app/ServiceStatus.h"

// Runs the start-up sequence. True when the process is up (even if some
// virtual servers failed to start); false when start-up had to stop (the
// settings, the database or the PID file). `report`, when given, receives
// what came up, for the status line.
bool Start_Parleon_Server(TStartReport* report = nullptr);
// Runs the shutdown sequence; the logger's end banner is its last act.
void Stop_Parleon_Server();

// Fills the command-line variables of app/Globals.h from `args` (without the
// program path). "-REPAIR" (the whole argument) sets RepairDatabase. The option text may stand anywhere in the upper-cased
// argument; its length is then cut from the argument's start, and later
// options are tested on what is left.
void ParseCommandLine(const std::vector<std::string>& args);

// Reads the "Main Config" and "WebPost" settings from `iniFileName` and writes
// them back complete (trimmed, cut, defaults filled in). Part of start-up,
// separate so that tests can drive it. Raises on an unreadable setting.
void ReadAndWriteBackSettings(const std::string& iniFileName);

// The process arguments without the program path; main() sets them.
extern std::vector<std::string> ProcessArguments;

// The shutdown's settling pause in ms (5000). Tests of the sequence may shorten it.
extern int ShutdownWaitMs;
