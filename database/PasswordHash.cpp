#include "database/PasswordHash.h"

#include <sodium.h>

#include <array>
#include <atomic>
#include <stdexcept>

#include "database/HashQueue.h"

namespace password_hash {

namespace {

std::atomic<unsigned long long> opsLimit{kOpsLimit};
std::atomic<size_t> memLimit{kMemLimit};
std::atomic<void (*)()> gate{nullptr};
constexpr std::string_view kPrefix = "$argon2id$";

// Turns are handed out in the order they are asked for: a burst of one
// tenant's logins queues behind those that came first, never ahead of them.
TFairTurns& Turns() {
  static TFairTurns turns(kMaxConcurrent);
  return turns;
}

void Init() {
  static const int ready = sodium_init();
  if (ready < 0) throw std::runtime_error("password hashing unavailable");
  if (auto* wait = gate.load()) wait();
}

}  // namespace

std::string Hash(std::string_view password) {
  Init();
  char out[crypto_pwhash_STRBYTES];
  TTurn turn(Turns());
  if (crypto_pwhash_str(out, password.data(), password.size(), opsLimit.load(), memLimit.load()) != 0)
    throw std::runtime_error("password hashing failed (out of memory)");
  return out;
}

bool Verify(std::string_view hash, std::string_view password) {
  if (!IsHash(hash) || hash.size() >= crypto_pwhash_STRBYTES) return false;
  Init();
  // The library wants a terminated string.
  char stored[crypto_pwhash_STRBYTES] = {};
  hash.copy(stored, hash.size());
  TTurn turn(Turns());
  return crypto_pwhash_str_verify(stored, password.data(), password.size()) == 0;
}

bool IsHash(std::string_view stored) { return stored.substr(0, kPrefix.size()) == kPrefix; }

std::string Proof(std::string_view text) {
  static const int ready = sodium_init();
  if (ready < 0) throw std::runtime_error("password hashing unavailable");
  static const auto key = [] {
    std::array<unsigned char, crypto_generichash_KEYBYTES> k{};
    randombytes_buf(k.data(), k.size());
    return k;
  }();
  std::array<unsigned char, crypto_generichash_BYTES> digest{};
  crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                     key.data(), key.size());
  std::array<char, crypto_generichash_BYTES * 2 + 1> hex{};
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  return std::string(hex.data(), digest.size() * 2);
}

void SetGate(void (*g)()) { gate = g; }

void SetLimits(unsigned long long ops, size_t mem) {
  opsLimit = ops;
  memLimit = mem;
}

}  // namespace password_hash
