#include "admin/AuditText.h"

#include <optional>

#include "common/ClientObject.h"

namespace {

std::string Quoted(const std::string& s) { return "'" + s + "'"; }
std::string Quoted(uint16_t v) { return std::to_string(v); }
std::string Quoted(bool v) { return v ? "on" : "off"; }

template <typename T>
void Compare(std::string& out, const char* key, const T& before, const std::optional<T>& after) {
  if (!after || *after == before) return;
  if (!out.empty()) out += "; ";
  out += std::string(key) + ": " + Quoted(before) + " -> " + Quoted(*after);
}

}  // namespace

std::string SettingsChangeText(const TServerSettings& s, const TSettingsChange& c) {
  std::string out;
  Compare(out, "ServerName", s.ServerName, c.ServerName);
  Compare(out, "ServerWelcomeMessage", s.ServerWelcomeMessage, c.ServerWelcomeMessage);
  if (c.ServerPassword && *c.ServerPassword != s.ServerPassword)
    out += std::string(out.empty() ? "" : "; ") + "ServerPassword: changed";
  Compare(out, "WebPostLinkURL", s.WebPostLinkURL, c.WebPostLinkURL);
  Compare(out, "ServerMaxUsers", s.ServerMaxUsers, c.ServerMaxUsers);
  Compare(out, "ServerType", s.ServerType, c.ServerType);
  Compare(out, "AnyoneMayRegister", (s.ServerFlags & sfAnyoneMayRegister) != 0, c.AnyoneMayRegister);
  Compare(out, "AllowCodecCelp51", s.AllowCodecCelp51, c.AllowCodecCelp51);
  Compare(out, "AllowCodecCelp63", s.AllowCodecCelp63, c.AllowCodecCelp63);
  Compare(out, "AllowCodecGSM148", s.AllowCodecGSM148, c.AllowCodecGSM148);
  Compare(out, "AllowCodecGSM164", s.AllowCodecGSM164, c.AllowCodecGSM164);
  Compare(out, "AllowCodecWindowsCELP52", s.AllowCodecWindowsCELP52, c.AllowCodecWindowsCELP52);
  return out;
}
