// Account passwords in tests are hashed with the smallest cost the library
// allows: the tests check what is stored and compared, not the cost, and
// thousands of logins at the real cost would take minutes.
#include <sodium.h>

#include "database/PasswordHash.h"

namespace {

const bool cheapHashes = [] {
  password_hash::SetLimits(crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN);
  return true;
}();

}  // namespace
