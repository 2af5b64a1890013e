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
// What the operator asked of the list: a search (any part of the nickname,
// login name or address, letters in any case), the column it is sorted by
// and the direction, and the page (from 1) of PageSize rows.
struct TPlayerQuery {
  static constexpr uint32_t kDefaultPageSize = 50;
  static constexpr uint32_t kMaxPageSize = 200;
  std::string Search;
  std::string Sort = "nick";  // a column key: nick login channel talking muted rights connected idle address
  bool Descending = false;
  uint32_t Page = 1;
  uint32_t PageSize = kDefaultPageSize;
};
// The query from the request's texts ("q", "sort", "dir", "page", "size");
// anything unknown or out of range gives the default.
TPlayerQuery ReadPlayerQuery(const std::string& search, const std::string& sort, const std::string& dir,
                             const std::string& page, const std::string& size);
// The same from a request: `param(name)` gives a parameter's text.
template <typename Param>
TPlayerQuery ReadPlayerQuery(const Param& param) {
  return ReadPlayerQuery(param("q"), param("sort"), param("dir"), param("page"), param("size"));
}
// The query as the parameters of a link, `page` and `sort`/`dir` replaced.
std::string PlayerQueryLink(const TPlayerQuery& query, uint32_t page, const std::string& sort, bool descending);

// One page of the list: its rows in order, how many are online, how many
// match the search, and the page shown (clamped) of how many.
struct TPlayerSelection {
  std::vector<const TWebPlayer*> Rows;
  size_t Online = 0, Matched = 0;
  uint32_t Page = 1, Pages = 1;
};
// The search looks at addresses only with `searchAddress`.
TPlayerSelection SelectPlayers(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                               const TPlayerQuery& query, bool searchAddress);

// The list with its actions: the count, a table id="players-table" of one
// page with sorting links in its headings and the pages' links, or a
// paragraph id="no-players" while nobody is online (id="no-match" when the
// search finds nobody). The address column only with `showAddress`.
std::string RenderPlayersList(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                              bool showAddress, const TPlayerQuery& query = {});
// The same page as compact JSON, for the list's refresh: the counts and one
// array per row [id, nick, login, channel id, channel, talking, muted,
// rights, connected, idle, address]. Texts stay in the pages' code page.
std::string PlayersJson(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                        bool showAddress, const TPlayerQuery& query);
