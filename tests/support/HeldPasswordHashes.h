// Test support: holds every password hash and check back until the test
// releases them, so a test can see what the server does while one is
// running, without measuring time. One instance at a time; it removes its
// gate when it goes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "database/PasswordHash.h"

class THeldPasswordHashes {
 public:
  THeldPasswordHashes() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    entered_ = 0;
    password_hash::SetGate(&Gate);
  }
  ~THeldPasswordHashes() {
    Release();
    password_hash::SetGate(nullptr);
  }
  THeldPasswordHashes(const THeldPasswordHashes&) = delete;
  THeldPasswordHashes& operator=(const THeldPasswordHashes&) = delete;

  // Whether `count` hashes have reached the gate within five seconds.
  bool WaitEntered(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return entered_ >= count; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  static void Gate() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(lock, [] { return open_; });
  }

  static inline std::mutex mutex_;
  static inline std::condition_variable changed_;
  static inline bool open_ = false;
  static inline int entered_ = 0;
};
