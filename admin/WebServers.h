// The Servers page of the web interface (super server administrators only):
// every virtual server, running or only listed in server.ini, with its name,
// UDP port, players online and maximum and its state, and the row actions
// Start, Stop, Restart and Remove. The login page's server choice is built
// from the same rows.
//
// Thread-safety: pure functions over snapshots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TWebServerRow {
  std::string Id, Name;
  int32_t Port = 0;
  int32_t Players = 0;
  uint16_t MaxUsers = 0;
  bool Running = false;
};

// Sorted by UDP port, then by id.
void SortByPort(std::vector<TWebServerRow>& rows);
// The table id="servers-table" with one row per server (data-server = id).
std::string RenderServersList(const std::vector<TWebServerRow>& rows);
// The login page's options: value the port, text the name and the port;
// running servers only, in the order given.
std::string RenderServerOptions(const std::vector<TWebServerRow>& rows);
