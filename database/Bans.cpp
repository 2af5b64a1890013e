#include "database/Bans.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "common/Packets.h"
#include "common/TextFormat.h"
#include "database/FreeBase.h"

namespace {

std::string BansPath(std::string_view serverID) { return "\\Servers\\" + std::string(serverID) + "\\Bans"; }

// Address and prefix length in host byte order; none when the text is no
// address or prefix.
std::optional<std::pair<uint32_t, int>> ParsePrefix(std::string_view text) {
  int bits = 32;
  const size_t slash = text.find('/');
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 2) return std::nullopt;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
    if (ec != std::errc() || end != digits.data() + digits.size() || bits < 0 || bits > 32) return std::nullopt;
    text = text.substr(0, slash);
  }
  uint32_t ip = 0;
  if (!ParseIPv4(text, ip)) return std::nullopt;
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  return std::make_pair(ntohl(ip) & mask, bits);
}

}  // namespace

const char* BanKindWord(TBanKind kind) {
  switch (kind) {
    case TBanKind::Address:
      return "ip";
    case TBanKind::Name:
      return "name";
    case TBanKind::Nick:
      return "nick";
  }
  return "?";
}

std::optional<TBanKind> BanKindFromWord(std::string_view word) {
  for (TBanKind kind : {TBanKind::Address, TBanKind::Name, TBanKind::Nick})
    if (SameText(word, BanKindWord(kind))) return kind;
  return std::nullopt;
}

std::optional<std::string> NormalBanAddress(std::string_view text) {
  const auto prefix = ParsePrefix(text);
  if (!prefix) return std::nullopt;
  in_addr a{htonl(prefix->first)};
  char buffer[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, buffer, sizeof buffer);
  std::string out = buffer;
  if (prefix->second != 32) out += "/" + std::to_string(prefix->second);
  return out;
}

bool BanMatches(const TBan& ban, std::string_view address, std::string_view loginName, std::string_view nickName) {
  switch (ban.Kind) {
    case TBanKind::Address: {
      const auto prefix = ParsePrefix(ban.Value);
      uint32_t ip = 0;
      if (!prefix || !ParseIPv4(address, ip)) return false;
      const uint32_t mask = prefix->second == 0 ? 0 : ~uint32_t{0} << (32 - prefix->second);
      return (ntohl(ip) & mask) == prefix->first;
    }
    case TBanKind::Name:
      return !loginName.empty() && SameText(Trim(loginName), ban.Value);
    case TBanKind::Nick:
      return SameText(Trim(nickName), ban.Value);
  }
  return false;
}

std::vector<TBan> LoadBans(TFreeBase& db, std::string_view serverID) {
  auto lock = db.Lock();
  std::vector<TBan> bans;
  const std::string path = BansPath(serverID);
  auto* node = EntryAs<TFBContainer>(db.GetEntry(lock, path, TFBEntryType::Node));
  if (!node) return bans;
  for (TFBEntry* e = node->FirstChild(); e; e = e->Next()) {
    if (e->EntryType() != TFBEntryType::Node) continue;
    TBan ban;
    const std::string& name = e->Name();
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), ban.ID);
    if (ec != std::errc() || end != name.data() + name.size() || ban.ID <= 0) continue;
    const std::string at = path + "\\" + name;
    const int32_t kind = db.ReadInteger(at + "\\Kind", -1);
    if (kind < 0 || kind > static_cast<int32_t>(TBanKind::Nick)) continue;
    ban.Kind = static_cast<TBanKind>(kind);
    ban.Value = db.ReadString(at + "\\Value", "");
    if (ban.Value.empty() || (ban.Kind == TBanKind::Address && !NormalBanAddress(ban.Value))) continue;
    ban.Reason = db.ReadString(at + "\\Reason", "");
    ban.SetBy = db.ReadString(at + "\\SetBy", "");
    ban.Created = db.ReadFloat(at + "\\Created", 0);
    ban.Expires = db.ReadFloat(at + "\\Expires", 0);
    bans.push_back(std::move(ban));
  }
  std::sort(bans.begin(), bans.end(), [](const TBan& a, const TBan& b) { return a.ID < b.ID; });
  return bans;
}

bool StoreBan(TFreeBase& db, std::string_view serverID, TBan& ban) {
  auto lock = db.Lock();
  const std::string path = BansPath(serverID);
  // Ids are never handed out twice, so a "bandel" meant for a lifted ban
  // cannot lift a newer one.
  const int32_t next = std::max<int32_t>(1, db.ReadInteger(path + "\\NextID", 1));
  ban.ID = next;
  const std::string at = path + "\\" + std::to_string(next);
  const bool written = db.WriteInteger(path + "\\NextID", next + 1) &&
                       db.WriteInteger(at + "\\Kind", static_cast<int32_t>(ban.Kind)) &&
                       db.WriteString(at + "\\Value", ban.Value) && db.WriteString(at + "\\Reason", ban.Reason) &&
                       db.WriteString(at + "\\SetBy", ban.SetBy) && db.WriteFloat(at + "\\Created", ban.Created) &&
                       db.WriteFloat(at + "\\Expires", ban.Expires);
  if (written && db.Flush()) return true;
  if (TFBEntry* entry = db.GetEntry(lock, at, TFBEntryType::Node)) db.DeleteEntry(lock, entry);
  return false;
}

bool DeleteBan(TFreeBase& db, std::string_view serverID, int32_t banID) {
  auto lock = db.Lock();
  TFBEntry* entry = db.GetEntry(lock, BansPath(serverID) + "\\" + std::to_string(banID), TFBEntryType::Node);
  if (banID <= 0 || !entry) return false;
  db.DeleteEntry(lock, entry);
  db.Flush();
  return true;
}
