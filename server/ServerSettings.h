// The settings of one virtual server, kept in its own section of server.ini
// (named by the server id). Read and written from one table so that the
// order of keys and their defaults live in one place. Used by TServerObject
// when it starts and saves, and by the administration interfaces.
//
// Thread-safety: plain data; the virtual server writes it before its threads
// exist, administrators just before they save and restart the server.
#pragma once

#include <cstdint>
#include <string>

class TIniFile;

enum TServerTypeBit : uint16_t { stClan = 1, stPublic = 2, stFreeware = 4, stReserved8 = 8 };
enum TServerFlagBit : uint16_t { sfAnyoneMayRegister = 1, sfUnregisteredChannels = 2 };
enum TCodec : uint16_t { cdCelp51 = 0, cdCelp63 = 1, cdGSM148 = 2, cdGSM164 = 3, cdWindowsCelp52 = 4 };

inline constexpr int32_t kDefaultServerUDPPort = 8767;
extern const char* const kDefaultWelcomeMessage;

struct TServerSettings {
  std::string ServerName = "Parleon Server";  // str29
  uint16_t ServerType = stClan;
  std::string ServerWelcomeMessage = kDefaultWelcomeMessage;  // str255
  uint16_t ServerMaxUsers = 12;
  int32_t ServerUDPPort = kDefaultServerUDPPort;
  std::string ServerPassword;  // str29
  uint16_t ServerFlags = sfUnregisteredChannels;
  bool AllowCodecCelp51 = true;
  bool AllowCodecCelp63 = true;
  bool AllowCodecGSM148 = true;
  bool AllowCodecGSM164 = true;
  bool AllowCodecWindowsCELP52 = true;
  std::string WebPostLinkURL;  // str255

  // Reads every key of `section`, each with the current value as default.
  // Texts are cut to their slots, not trimmed; integers keep their low 16
  // bits where the field is 16 bits wide. A "ServerMaxUsers" outside
  // 0..65535 keeps the current value and is logged.
  void Read(const TIniFile& ini, const std::string& section);
  // Writes every key in table order.
  void Write(TIniFile& ini, const std::string& section) const;

  // In memory only: the bits of value 4 and 8 are managed by the server.
  void AdjustServerType() { ServerType = static_cast<uint16_t>((ServerType & ~0x000C) | 0x0004); }
  // Walks the codecs 0, 4, 1, 2, 3 and keeps the last allowed one (0 if none).
  uint32_t DefaultCodec() const;
  // Bit n set when codec n is allowed.
  uint32_t CodecMask() const;
  bool CodecAllowed(uint32_t codec) const;
};
