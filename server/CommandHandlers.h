// The handlers of the commands a logged-in player sends, one per command
// code. The listener's command table (server/Listener.cpp) maps each code,
// with the shortest record its handler reads, to one of these and calls it
// with a context for the requester (server/HandlerContext.h): on the
// listener thread, with the client list's lock and then the channel lock
// held, and only for a datagram that holds the whole record.
//
// A refusal is one ErrorReply and nothing else: every check comes before
// the first change.
#pragma once

#include "common/Packets.h"
#include "server/HandlerContext.h"

// ---- channel commands (server/ChannelCommands.cpp) ----
void HandleSwitchChannel(THandlerContext& c, TPacket& packet);
void HandleCreateChannel(THandlerContext& c, TPacket& packet);
void HandleDeleteChannel(THandlerContext& c, TPacket& packet);
void HandleSetChannelPassword(THandlerContext& c, TPacket& packet);
void HandleSetChannelFlags(THandlerContext& c, TPacket& packet);
void HandleSetChannelName(THandlerContext& c, TPacket& packet);
void HandleSetChannelTopic(THandlerContext& c, TPacket& packet);
void HandleSetChannelDescription(THandlerContext& c, TPacket& packet);
void HandleSetChannelMaxUsers(THandlerContext& c, TPacket& packet);
void HandleEditChannel(THandlerContext& c, TPacket& packet);
void HandleSetChannelOrder(THandlerContext& c, TPacket& packet);

// ---- player commands (server/PlayerCommands.cpp) ----
void HandleKickPlayer(THandlerContext& c, TPacket& packet);
void HandleKickFromChannel(THandlerContext& c, TPacket& packet);
void HandleSetPlayerFlags(THandlerContext& c, TPacket& packet);
void HandleRequestVoice(THandlerContext& c, TPacket& packet);
void HandleSetChannelPrivilege(THandlerContext& c, TPacket& packet);
void HandleSetPlayerPrivilege(THandlerContext& c, TPacket& packet);
void HandleRegisterSelf(THandlerContext& c, TPacket& packet);
void HandleRegisterUser(THandlerContext& c, TPacket& packet);
void HandlePlayerInfo(THandlerContext& c, TPacket& packet);
void HandleServerInfo(THandlerContext& c, TPacket& packet);
void HandleTextMessage(THandlerContext& c, TPacket& packet);
