// The bans of a virtual server in the database, under
// "\Servers\<server id>\Bans\<ban id>", and the rule that says whom a ban
// keeps out. A build that knows no bans walks only the server's "Channels",
// so it leaves them alone; removing the server's node takes them with it.
// Called by the server's ban list (server/BanList.h), which keeps the copy
// the voice login consults.
//
// Thread-safety: each operation holds the database lock for its whole run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Clock.h"

class TFreeBase;

enum class TBanKind : uint8_t { Address = 0, Name = 1, Nick = 2 };

struct TBan {
  int32_t ID = 0;
  TBanKind Kind = TBanKind::Address;
  // Address: "a.b.c.d" or "a.b.c.d/prefix" (normalised); Name and Nick: the
  // text, matched without regard to the case of A to Z.
  std::string Value;
  std::string Reason, SetBy;
  TDateTime Created = 0;
  TDateTime Expires = 0;  // 0: never

  bool Expired(TDateTime now) const { return Expires != 0 && now >= Expires; }
};

// The kind's word as the query and the pages show it ("ip", "name", "nick"),
// and back; none for another word.
const char* BanKindWord(TBanKind kind);
std::optional<TBanKind> BanKindFromWord(std::string_view word);

// An IPv4 address or prefix ("203.0.113.0/24") in its one written form
// (host bits cleared); none when it is neither.
std::optional<std::string> NormalBanAddress(std::string_view text);

// Whether `ban` keeps out a login from `address` (dotted IPv4) with this
// login name (empty when anonymous) and nickname. Expiry is the caller's.
bool BanMatches(const TBan& ban, std::string_view address, std::string_view loginName, std::string_view nickName);

// Every ban stored for the server, expired ones included, by id.
std::vector<TBan> LoadBans(TFreeBase& db, std::string_view serverID);
// Stores `ban` under a new id (written into it) and flushes; false when the
// file could not be written (nothing is kept then).
bool StoreBan(TFreeBase& db, std::string_view serverID, TBan& ban);
// Removes the ban and flushes; false when there is no such ban.
bool DeleteBan(TFreeBase& db, std::string_view serverID, int32_t banID);
