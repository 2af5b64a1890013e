// The words of the client protocol: command codes (COMMAND class, offset 2),
// maintenance subtypes, PlayerLeft reasons, result codes and rights actions.
// The server's dispatch table, its handlers, our client library and the
// tests all speak from this one list.
#pragma once

#include <cstdint>

namespace cmd {

// Maintenance subtypes (MAINTENANCE class, offset 2).
inline constexpr uint16_t Ping = 1;
inline constexpr uint16_t Pong = 2;
inline constexpr uint16_t Login = 3;
inline constexpr uint16_t LoginReply = 4;

// From clients.
inline constexpr uint16_t Enter = 5;
inline constexpr uint16_t CreateChannel = 201;
inline constexpr uint16_t SetChannelPassword = 203;
inline constexpr uint16_t SetChannelFlags = 205;
inline constexpr uint16_t SetChannelName = 206;
inline constexpr uint16_t SetChannelTopic = 207;
inline constexpr uint16_t SetChannelDescription = 208;
inline constexpr uint16_t DeleteChannel = 209;
inline constexpr uint16_t SetChannelMaxUsers = 210;
inline constexpr uint16_t EditChannel = 211;
inline constexpr uint16_t SetChannelOrder = 212;
inline constexpr uint16_t Logout = 300;
inline constexpr uint16_t KickPlayer = 301;
inline constexpr uint16_t KickFromChannel = 302;
inline constexpr uint16_t SwitchChannel = 303;
inline constexpr uint16_t SetPlayerFlags = 304;
inline constexpr uint16_t RequestVoice = 305;
inline constexpr uint16_t SetChannelPrivilege = 306;
inline constexpr uint16_t SetPlayerPrivilege = 307;
inline constexpr uint16_t RegisterSelf = 308;
inline constexpr uint16_t RegisterUser = 310;
inline constexpr uint16_t PlayerInfo = 400;
inline constexpr uint16_t ServerInfo = 405;
inline constexpr uint16_t TextMessage = 430;

// To clients.
inline constexpr uint16_t ChannelList = 6;
inline constexpr uint16_t PlayerList = 7;
inline constexpr uint16_t ListsEnd = 8;  // its acknowledgement completes a login
inline constexpr uint16_t PlayerJoined = 100;
inline constexpr uint16_t PlayerLeft = 101;
inline constexpr uint16_t PlayerKickedFromChannel = 102;
inline constexpr uint16_t PlayerSwitchedChannel = 103;
inline constexpr uint16_t PlayerFlagsChanged = 104;
inline constexpr uint16_t VoiceRequested = 105;
inline constexpr uint16_t ChannelPrivilegeChanged = 106;
inline constexpr uint16_t PlayerPrivilegeChanged = 107;
inline constexpr uint16_t PlayersInView = 108;
inline constexpr uint16_t ChannelCreated = 110;
inline constexpr uint16_t ChannelNameChanged = 111;
inline constexpr uint16_t ChannelTopicChanged = 112;
inline constexpr uint16_t ChannelFlagsChanged = 113;
inline constexpr uint16_t ChannelDescriptionChanged = 114;
inline constexpr uint16_t ChannelDeleted = 115;
inline constexpr uint16_t ChannelMaxUsersChanged = 116;
inline constexpr uint16_t ChannelOrderChanged = 117;
inline constexpr uint16_t TextMessageOut = 130;
inline constexpr uint16_t ChannelPasswordSet = 204;
inline constexpr uint16_t UserRegistered = 311;
inline constexpr uint16_t PlayerInfoReply = 404;
inline constexpr uint16_t ServerInfoReply = 406;

// PlayerLeft reasons.
inline constexpr uint16_t LeftLogout = 1;
inline constexpr uint16_t LeftKicked = 2;
inline constexpr uint16_t LeftTimedOut = 3;
inline constexpr uint16_t LeftServerStops = 4;
inline constexpr uint16_t LeftView = 6;

}  // namespace cmd

// Result codes shared by login, commands and error replies.
namespace rc {
inline constexpr int32_t LoginOk = 1;
inline constexpr int32_t BadPasswordOrNick = -1;
inline constexpr int32_t ServerFull = -2;
inline constexpr int32_t NickInUse = -4;
inline constexpr int32_t VersionTooOld = -5;
inline constexpr int32_t BadAccount = -21;
inline constexpr int32_t NoPlayer = -100;
inline constexpr int32_t NoChannel = -102;
inline constexpr int32_t NoParent = -103;
inline constexpr int32_t CodecNotAllowed = -108;
inline constexpr int32_t ChannelNotEmpty = -109;
inline constexpr int32_t PasswordRequired = -110;
inline constexpr int32_t WrongPassword = -111;
inline constexpr int32_t ChannelFull = -113;
inline constexpr int32_t NameTaken = -114;
inline constexpr int32_t NoSubChannels = -115;
inline constexpr int32_t DefaultChannel = -117;
inline constexpr int32_t SubChannelPassword = -120;
inline constexpr int32_t SubSubChannel = -122;
inline constexpr int32_t SubChannelFlags = -123;
inline constexpr int32_t NotModerated = -130;
inline constexpr int32_t VoiceAlreadyRequested = -131;
inline constexpr int32_t RegistrationNotAllowed = -140;
inline constexpr int32_t AccountNotStored = -141;
inline constexpr int32_t AlreadyRegistered = -143;
inline constexpr int32_t NeedServerAdmin = -1000;
inline constexpr int32_t NeedModerator = -1007;
inline constexpr int32_t NeedChannelAdmin = -1008;
inline constexpr int32_t AlreadyChannelAdmin = -1021;
inline constexpr int32_t AlreadyOperator = -1022;
inline constexpr int32_t AlreadyVoice = -1023;
inline constexpr int32_t AutoRightsNeedRegistered = -1035;
}  // namespace rc

// Action codes of ChannelPrivilegeChanged / PlayerPrivilegeChanged (and of
// the commands that grant and revoke rights).
namespace action {
inline constexpr uint8_t Granted = 0;
inline constexpr uint8_t GrantedByServer = 1;
inline constexpr uint8_t Revoked = 2;
inline constexpr uint8_t RevokedByServer = 3;
}  // namespace action
