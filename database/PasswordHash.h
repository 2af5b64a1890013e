// Salted, slow hashes of account passwords (Argon2id, from libsodium), so a
// copy of server.db does not hand out the passwords. Accounts.cpp is the only
// caller; every surface checks passwords through it.
//
// A hash costs tens of milliseconds of one core and kMemLimit bytes: at most
// kMaxConcurrent run at once (the others wait their turn, first come, first
// served), so a burst of logins can neither take all memory nor more than
// the machine's two cores, nor overtake the logins that came before it.
// Callers must not hold a server or the database lock around these calls.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace password_hash {

// Argon2id with 2 passes over 19 MiB: a login stays quick on a small machine
// while a guess costs an attacker the same memory and time.
inline constexpr unsigned long long kOpsLimit = 2;
inline constexpr size_t kMemLimit = size_t{19} << 20;
inline constexpr int kMaxConcurrent = 2;

// The hash in its self-describing text form ("$argon2id$..."); throws when
// the library fails (out of memory).
std::string Hash(std::string_view password);
// Whether `password` is the one `hash` was made from; false for any text
// that is not such a hash.
bool Verify(std::string_view hash, std::string_view password);
// Whether a stored value is a hash rather than a plain password.
bool IsHash(std::string_view stored);
// A fast keyed digest of `text` (hex), the key drawn at random once per
// process: it lets a web session tell, without a slow hash, that a login
// repeats the password it verified before; outside this process, or without
// the key, it tells nothing.
std::string Proof(std::string_view text);

// Lowers or raises the cost of new hashes (tests make them cheap).
void SetLimits(unsigned long long opsLimit, size_t memLimit);
// Tests only: `gate` (none: no gate) runs before every hash and check, on
// the thread that asks for it, so a test can hold one back as long as it
// likes and see who waits for it.
void SetGate(void (*gate)());

}  // namespace password_hash
