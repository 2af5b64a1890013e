// TServerEnvironment: what a virtual server takes from the process it runs
// in. Start-up builds it from the command line and server.ini and hands it
// to the server catalog; tests build their own. A running server keeps its
// copy for SaveConfig and restarts.
//
// Thread-safety: a value; whoever holds one owns it.
#pragma once

#include <cstdint>
#include <string>

struct TServerEnvironment {
  std::string SettingsFile;  // server.ini: Start reads and writes it, SaveConfig writes it
  std::string BindAddress;   // the socket's IPv4 address; empty: every address
  std::string Platform;      // shown to clients after the version
  uint16_t VersionMajor = 0, VersionMinor = 0, VersionRelease = 0, VersionBuild = 0;
};
