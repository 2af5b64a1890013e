// The spine of the process: start-up from the command line and server.ini to
// the running state, and the orderly shutdown back. Called once each from
// main() on the main thread.
#pragma once

#include <string>
#include <vector>

#include "announce/AddressLookup.h"
#include "app/ServiceStatus.h"

// Runs the start-up sequence. True when the process is up (even if some
// virtual servers failed to start); false when start-up had to stop (the
// state folder held by another process, the settings, the database or the
// PID file; `report`'s ConfigFault tells a fault of settings or data). `report`, when given, receives
// what came up, for the status line.
bool Start_Parleon_Server(TStartReport* report = nullptr);
// Runs the shutdown sequence; the logger's end banner is its last act.
void Stop_Parleon_Server();

// Fills the command-line variables of app/Globals.h from `args` (without the
// program path). "-REPAIR" (the whole argument) sets RepairDatabase. The
// option text may stand anywhere in the upper-cased argument; its length is
// then cut from the argument's start, and later options are tested on what
// is left. Returns the arguments that matched no option, for a warning.
std::vector<std::string> ParseCommandLine(const std::vector<std::string>& args);
// "--help", "-h", "-help" or "-?", in any letter case: main() prints the usage.
bool IsHelpOption(const std::string& arg);

// Reads the "Main Config" and "WebPost" settings from `iniFileName` and writes
// them back complete (trimmed, cut, defaults filled in). Part of start-up,
// separate so that tests can drive it. Raises EIniFile when the file is
// there but cannot be read; returns why when it could be read but not
// rewritten (the settings read stand), empty when it was rewritten.
std::string ReadAndWriteBackSettings(const std::string& iniFileName);

// The external-address lookup as the settings ask for it: none until a
// lookup page ("ExternalIPLookupURL") is set.
TAddressLookup::TOptions AddressLookupOptions();

// The process arguments without the program path; main() sets them.
extern std::vector<std::string> ProcessArguments;

// The shutdown's settling pause in ms (5000). Tests of the sequence may shorten it.
extern int ShutdownWaitMs;
