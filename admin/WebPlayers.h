// The Players page of the web interface: what it shows of the players online
// on the selected server (nickname, login name, channel in its tree, talking,
// muted, channel rights, connected and idle time, and the address for
// administrators) and the row actions Kick, Move and Message. The page and
// its refreshed fragment (players_rows.html) are both built here from one
// snapshot of the server, so the refresh shows exactly what a reload would.
//
// Thread-safety: pure functions over snapshots; no lock is taken here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TWebChannel {
  uint32_t Id = 0;
  uint32_t Parent = 0;  // kNoParent (Channels.h) for a top-level channel
  uint16_t Order = 0;
  bool Moderated = false;
  std::string Name;
};

struct TWebPlayer {
  uint32_t Id = 0;
  std::string Nick, Login, Address;
  uint32_t Channel = 0;
  uint16_t ChannelRights = 0, PlayerRights = 0;
  uint32_t ConnectedSec = 0, IdleSec = 0;
  bool Talking = false;
};

// The channels parents first, each followed by its sub-channels; siblings by
// their order, then by name. Each with its depth (0: top level). Channels
// whose parent is missing count as top level.
std::vector<std::pair<const TWebChannel*, int>> ChannelTree(const std::vector<TWebChannel>& channels);
// "Parent / Child" for a sub-channel, the name for a top-level one, "?" for
// an unknown id.
std::string ChannelPath(const std::vector<TWebChannel>& channels, uint32_t id);
// Whether the player cannot be heard in its own channel: the channel is
// moderated and the player has no voice there (channel admin, operator,
// voice or server administrator may speak).
bool PlayerMuted(const TWebPlayer& player, const std::vector<TWebChannel>& channels);
// "1:02:03" for 3723 seconds; days count as hours.
std::string FormatDuration(uint32_t seconds);
// The channel rights as words ("admin, operator"); "none".
std::string ChannelRightsText(uint16_t rights);
// The list with its actions: a table id="players-table", or a paragraph
// id="no-players" while nobody is online. The address column only with
// `showAddress`.
std::string RenderPlayersList(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                              bool showAddress);
