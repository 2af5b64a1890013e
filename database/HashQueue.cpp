#include "database/HashQueue.h"

#include "common/TextFormat.h"

void TFairTurns::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t ticket = nextTicket_++;
  freed_.wait(lock, [&] { return ticket == serving_ && running_ < turns_; });
  ++serving_;
  ++running_;
  // The next ticket may be served at once when another turn is free.
  freed_.notify_all();
}

void TFairTurns::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
  }
  freed_.notify_all();
}

size_t TFairTurns::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(nextTicket_ - serving_);
}

namespace {

struct TClaims {
  std::mutex mutex;
  std::set<std::string, std::less<>> addresses, accounts;
};

TClaims& Claims() {
  static TClaims claims;
  return claims;
}

}  // namespace

THashClaim::THashClaim(std::string_view address, std::string_view account)
    : address_(address), account_(UpperCase(account)) {
  TClaims& c = Claims();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (c.addresses.contains(address_) || c.accounts.contains(account_)) return;
  c.addresses.insert(address_);
  c.accounts.insert(account_);
  held_ = true;
}

THashClaim::~THashClaim() {
  if (!held_) return;
  TClaims& c = Claims();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.addresses.erase(address_);
  c.accounts.erase(account_);
}
