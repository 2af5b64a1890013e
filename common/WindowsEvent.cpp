#include "common/WindowsEvent.h"

#include <chrono>

void TWindowsEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  cond_.notify_one();
}

void TWindowsEvent::ResetEvent() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

int TWindowsEvent::WaitFor(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (timeoutMs == INFINITE) {
    cond_.wait(lock, [this] { return signalled_; });
  } else if (!cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; })) {
    return wrTimeout;
  }
  signalled_ = false;
  return wrSignaled;
}
