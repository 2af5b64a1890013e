// What the web interface's Players and Servers pages need of the virtual
// servers, in the pages' terms: the players and channels of a running
// server, kick, move and message a player by id and nickname, and the rows
// of the servers list. They go through TServerAccess and the server
// catalog (server/ServerCatalog.h).
//
// Thread-safety: safe from any web thread; each takes the locks it needs in
// the system's order and holds none on return.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "admin/WebPlayers.h"
#include "admin/WebServers.h"
#include "server/ServerAccess.h"

// A running server's players and channels; false when it is not running.
bool ReadPlayers(const TServerRef& server, std::vector<TWebPlayer>& players, std::vector<TWebChannel>& channels);

enum class TWebAction { Done, NotRunning, NoPlayer, NoChannel, AlreadyThere };
// Each names the player by id and nickname: an id that another player took
// meanwhile is not the target. The notices are those of the voice commands.
TWebAction KickPlayer(const TServerRef& server, uint32_t player, const std::string& nick, const std::string& message);
// AlreadyThere: the player is in that channel, and nothing was sent.
TWebAction MovePlayer(const TServerRef& server, uint32_t player, const std::string& nick, uint32_t channel,
                      std::string& channelName);
TWebAction MessagePlayer(const TServerRef& server, uint32_t player, const std::string& nick, const std::string& text);
// The text to every player of the server; `sent` is how many were online.
TWebAction MessageEveryone(const TServerRef& server, const std::string& text, int32_t& sent);

// Every server that runs or is listed in server.ini, sorted by port.
std::vector<TWebServerRow> ServerRows(const std::string& settingsFile);
