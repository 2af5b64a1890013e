// TClientObject: the record of one logged-in player, kept by the virtual
// server's listener, and also the in-memory form of a registered account
// (database/Accounts.h fills and stores only the account fields).
//
// Ownership: whoever creates a record frees it (GetUser hands a new one to
// its caller). Thread-safety: a plain record; a logged-in player's record is
// guarded by its server's client-list lock.
#pragma once

#include <cstdint>
#include <string>

#include "common/Clock.h"
#include "common/TextSlot.h"

// Server-wide rights, TClientObject::PlayerPrivileges (stored as "Priviliges").
namespace PlayerPrivileges {
inline constexpr uint16_t ServerAdmin = 1;
inline constexpr uint16_t AllowRegistration = 2;  // may register itself where nobody else may
inline constexpr uint16_t Registered = 4;         // logged in with a valid account
inline constexpr uint16_t SuperServerAdmin = 8;   // the web interface's own level
}  // namespace PlayerPrivileges

// Rights in the current channel family, TClientObject::ChannelPrivileges.
namespace ChannelPrivileges {
inline constexpr uint16_t ChannelAdmin = 1;
inline constexpr uint16_t Operator = 2;
inline constexpr uint16_t Voice = 4;          // may speak in a moderated channel
inline constexpr uint16_t AutoOperator = 8;   // grants Operator on entering the family
inline constexpr uint16_t AutoVoice = 16;     // grants Voice likewise
}  // namespace ChannelPrivileges

// Bit numbers of the rights above, as the privilege commands and notices
// carry them (the value is 1 << number).
namespace PlayerRightBit {
inline constexpr uint8_t ServerAdmin = 0;
inline constexpr uint8_t Registered = 2;
inline constexpr uint8_t SuperServerAdmin = 3;
}  // namespace PlayerRightBit
namespace ChannelRightBit {
inline constexpr uint8_t ChannelAdmin = 0;
inline constexpr uint8_t Operator = 1;
inline constexpr uint8_t Voice = 2;
inline constexpr uint8_t AutoOperator = 3;
inline constexpr uint8_t AutoVoice = 4;
}  // namespace ChannelRightBit
// Rights are 16 bits wide; a larger bit number names no right.
inline constexpr uint8_t kHighestRightBit = 15;

// The status bits a player sets, TClientObject::PlayerFlags, that the server
// interprets; the others are stored and relayed unchanged.
namespace PlayerFlags {
inline constexpr uint32_t KeptInFamily = 1;     // survives a switch only between related channels
inline constexpr uint32_t VoiceRequested = 2;   // a voice request is pending; never travels
inline constexpr uint32_t RefusesWhispers = 4;  // whispers skip this player
}  // namespace PlayerFlags

class TClientObject {
 public:
  uint32_t SessionKey = 0;  // 0..16777214, unique among the server's players
  uint32_t PlayerID = 0;
  uint32_t ChannelID = 0;
  uint16_t ChannelPrivileges = 0;
  uint16_t PlayerPrivileges = 0;
  uint32_t PlayerFlags = 0;
  TStr29 NickName;
  TStr29 ClientName;      // sent by the client, kept, never interpreted
  TStr29 ClientPlatform;  // shown in player info
  uint16_t ClientVersion[4] = {0, 0, 0, 0};  // major, minor, release, build
  TStr29 LoginName;       // empty for an anonymous player
  // A new password for AddUser/UpdateUser to store (hashed); empty after
  // GetUser and once a login is checked, so no plain password stays around.
  TStr29 Password;
  // An account's password as stored: an Argon2id hash, or the plain text an
  // older build wrote. Written back as it is when Password is empty.
  std::string StoredPassword;
  TStr29 RegisteredBy;
  TDateTime Created = 0;
  TDateTime LastChanged = 0;  // also the time of the last counted login
  uint32_t Logins = 0;
  bool ModeRequested = false;
  bool LeaveAnnounced = false;
  TDateTime LastSeen = 0;
  TDateTime LoginTime = 0;
  // TPacket::SteadyMs() of the last voice frame the player sent; 0: none yet.
  // The web interface's Players page shows a player talking from it.
  int64_t LastVoiceMs = 0;
  // Until set, this player's voice to its own or parent channel is not
  // relayed and whispers do not reach it.
  bool ListsSent = false;
  // The voice relay's mark of the last whisper that reached this player, so
  // that a whisper naming it many times is heard once. Listener thread only.
  uint32_t WhisperMark = 0;
};
