// The registered channels of a virtual server in the database, under
// "\Servers\<server id>\Channels\<index>", with their account rights below
// "_UserAttribs_". Read once when a server's listener starts, written back
// whole when the server stops. Called by TChannels (server/Channels.cpp).
//
// Thread-safety: each operation holds the database lock for its whole run, so
// a save is atomic against every other use of the database. The caller holds
// the channel lock.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ChannelRecord.h"

class TFreeBase;

// A new record (without ID) for the stored channel `index`, or none when no
// such node exists. Missing values take their defaults ("***ERROR***" names,
// 2500 users); texts are cut to their slots.
std::unique_ptr<TChannelRecord> LoadStoredChannel(TFreeBase& db, int index, std::string_view serverID);
// Removes every stored channel of the server and flushes.
void DeleteStoredChannels(TFreeBase& db, std::string_view serverID);
// Replaces the stored channels of server `serverID` by the registered ones of
// `records` (a server's whole list, parents before their sub-channels): top-level
// channels by name (letter case ignored), each followed by its sub-channels
// by name. The file is written once, at the end, so a crash during the save
// leaves the previous channels in place.
void SaveStoredChannels(TFreeBase& db, std::string_view serverID,
                        const std::vector<std::unique_ptr<TChannelRecord>>& records);

// After a damaged file was read in part: removes every stored channel of
// every server that lacks a value it is written with (its name, flags,
// password, ...), without flushing. "<server id>: channel <index>" for each.
std::vector<std::string> DropIncompleteChannels(TFreeBase& db);
