// The virtual servers the process starts: the ids listed in section
// "Servers" of server.ini under the keys 0, 1, 2, ..., read up to the first
// empty key. The TCP query's addserver and the web interface's Servers page
// list new servers here; the Servers page also shows the listed servers that
// are not running, and removes servers from the list.
//
// Thread-safety: plain functions on a TIniFile the caller owns; callers that
// change the list hold the ServerList lock, so two writers never pick the
// same key.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class TIniFile;

inline constexpr const char* kServersSection = "Servers";
inline constexpr const char* kServerIdPrefix = "server_cfg ";

// The listed ids in key order.
std::vector<std::string> ListedServers(const TIniFile& ini);
// Lists `id` under the lowest free key, unless it is listed already.
void ListServer(TIniFile& ini, const std::string& id);
// Takes `id` off the list; the ids after it move down one key, so that none
// is hidden behind an empty key. False when it was not listed.
bool UnlistServer(TIniFile& ini, const std::string& id);
// A name becomes a section name in server.ini and a node name in the
// database: brackets, backslashes and control characters would break either,
// and an empty one names nothing.
bool ValidServerName(std::string_view name);
