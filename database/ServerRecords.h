// What the database keeps of one virtual server as a whole: its node
// "\Servers\<id>" with the stored channels, and the accounts under its first
// 29 characters. Removing a server for good (the web interface's Servers
// page) takes both.
//
// Thread-safety: holds the database lock from the first look-up to the flush.
#pragma once

#include <string_view>

class TFreeBase;

// Deletes the server's node: its channels, and its accounts when the id has
// at most 29 characters. A longer id keeps its accounts under its first 29
// characters, which other servers may share: `accountsToo` deletes that node
// as well (the caller knows whether another server shares it). True when
// something was deleted and the file was written.
bool DeleteServerRecords(TFreeBase& db, std::string_view serverId, bool accountsToo);
// The same on the process-wide database; false while there is none.
bool DeleteServerRecords(std::string_view serverId, bool accountsToo);
