// TWindowsEvent: an auto-reset event, the wake-up signal between the socket,
// listener and sender threads of a virtual server. A signal wakes exactly
// one wait; a signal given while nobody waits stays pending for the next.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class TWindowsEvent {
 public:
  static constexpr uint32_t INFINITE = 0xFFFFFFFFu;
  enum TWaitResult : int { wrSignaled = 0, wrTimeout = 1 };

  TWindowsEvent() = default;
  TWindowsEvent(const TWindowsEvent&) = delete;
  TWindowsEvent& operator=(const TWindowsEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // Waits up to `timeoutMs` (INFINITE: forever). 0 signalled (and the event
  // resets itself), 1 timed out.
  int WaitFor(uint32_t timeoutMs);

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool signalled_ = false;
};
