#include "server/ServerSettings.h"

#include "common/IniFile.h"
#include "common/Log.h"
#include "common/WireFormat.h"

const char* const kDefaultWelcomeMessage = "[Welcome to Parleon Server]";

namespace {

enum class TKind { Text, U16, I32, Bool };

struct TKey {
  const char* Name;
  TKind Kind;
  size_t Offset;
  size_t Capacity;  // texts: the slot; others: unused
};

#define FIELD(f) offsetof(TServerSettings, f)
// In the order the keys are read and written.
const TKey kKeys[] = {
    {"ServerName", TKind::Text, FIELD(ServerName), 29},
    {"ServerType", TKind::U16, FIELD(ServerType), 0},
    {"ServerWelcomeMessage", TKind::Text, FIELD(ServerWelcomeMessage), 255},
    {"ServerMaxUsers", TKind::U16, FIELD(ServerMaxUsers), 0},
    {"ServerUDPPort", TKind::I32, FIELD(ServerUDPPort), 0},
    {"ServerPassword", TKind::Text, FIELD(ServerPassword), 29},
    {"ServerFlags", TKind::U16, FIELD(ServerFlags), 0},
    {"AllowCodecCelp51", TKind::Bool, FIELD(AllowCodecCelp51), 0},
    {"AllowCodecCelp63", TKind::Bool, FIELD(AllowCodecCelp63), 0},
    {"AllowCodecGSM148", TKind::Bool, FIELD(AllowCodecGSM148), 0},
    {"AllowCodecGSM164", TKind::Bool, FIELD(AllowCodecGSM164), 0},
    {"AllowCodecWindowsCELP52", TKind::Bool, FIELD(AllowCodecWindowsCELP52), 0},
    {"WebPost_LinkURL", TKind::Text, FIELD(WebPostLinkURL), 255},
};
#undef FIELD

template <typename T>
T& At(TServerSettings& s, size_t offset) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(&s) + offset);
}
template <typename T>
const T& At(const TServerSettings& s, size_t offset) {
  return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(&s) + offset);
}

}  // namespace

void TServerSettings::Read(const TIniFile& ini, const std::string& section) {
  for (const TKey& k : kKeys) {
    switch (k.Kind) {
      case TKind::Text: {
        auto& v = At<std::string>(*this, k.Offset);
        v = wire::Cut(ini.ReadString(section, k.Name, v), k.Capacity);
        break;
      }
      case TKind::U16: {
        auto& v = At<uint16_t>(*this, k.Offset);
        const int32_t read = ini.ReadInteger(section, k.Name, v);
        if (&v == &ServerMaxUsers && (read < 0 || read > 65535)) {
          LogFmt(LMTERROR, LMDALL, "SERVER", "%1: ServerMaxUsers %2 out of range, %3 used",
                 {section, read, ServerMaxUsers});
          break;
        }
        v = static_cast<uint16_t>(read);
        break;
      }
      case TKind::I32: {
        auto& v = At<int32_t>(*this, k.Offset);
        v = ini.ReadInteger(section, k.Name, v);
        break;
      }
      case TKind::Bool: {
        auto& v = At<bool>(*this, k.Offset);
        v = ini.ReadBool(section, k.Name, v);
        break;
      }
    }
  }
}

void TServerSettings::Write(TIniFile& ini, const std::string& section) const {
  for (const TKey& k : kKeys) {
    switch (k.Kind) {
      case TKind::Text: ini.WriteString(section, k.Name, At<std::string>(*this, k.Offset)); break;
      case TKind::U16: ini.WriteInteger(section, k.Name, At<uint16_t>(*this, k.Offset)); break;
      case TKind::I32: ini.WriteInteger(section, k.Name, At<int32_t>(*this, k.Offset)); break;
      case TKind::Bool: ini.WriteBool(section, k.Name, At<bool>(*this, k.Offset)); break;
    }
  }
}

uint32_t TServerSettings::DefaultCodec() const {
  uint32_t codec = 0;
  if (AllowCodecCelp51) codec = cdCelp51;
  if (AllowCodecWindowsCELP52) codec = cdWindowsCelp52;
  if (AllowCodecCelp63) codec = cdCelp63;
  if (AllowCodecGSM148) codec = cdGSM148;
  if (AllowCodecGSM164) codec = cdGSM164;
  return codec;
}

bool TServerSettings::CodecAllowed(uint32_t codec) const {
  switch (codec) {
    case cdCelp51: return AllowCodecCelp51;
    case cdCelp63: return AllowCodecCelp63;
    case cdGSM148: return AllowCodecGSM148;
    case cdGSM164: return AllowCodecGSM164;
    case cdWindowsCelp52: return AllowCodecWindowsCELP52;
    default: return false;
  }
}

uint32_t TServerSettings::CodecMask() const {
  uint32_t mask = 0;
  for (uint32_t c = 0; c < 5; ++c)
    if (CodecAllowed(c)) mask |= 1u << c;
  return mask;
}
