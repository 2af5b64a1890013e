// TAccountWorker: the thread of a virtual server that does the slow part of
// account work (an Argon2id check or hash costs tens of milliseconds of one
// core), so that the listener never does it. The listener hands it a job,
// goes on serving the other players, and finishes the job when the worker
// hands it back: a login's check (server/Listener.cpp) and a registration's
// hash and store (server/PlayerCommands.cpp).
//
// A job is two steps: `Work` runs on the worker with no server lock held
// (the database takes its own lock); `Finish` runs later on the listener
// thread, which takes the server's locks for it. The listener learns of done
// jobs through `wake` (it sets the packet buffer's receive event) and takes
// them with TakeDone.
//
// The queue is bounded: Submit refuses a job while kCapacity jobs are queued,
// running or done and not yet taken, so a flood of logins cannot pile up
// work or memory; the caller decides what a refusal means.
//
// Thread-safety: Submit, TakeDone and HasDone from the listener thread; the
// worker's own state is guarded by one mutex, never held while a job works
// or while waking the listener. Stop discards what has not run yet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct TAccountJob {
  std::function<void()> Work;
  std::function<void()> Finish;
};

class TAccountWorker {
 public:
  // Eight checks wait at most about a third of a second at the real cost;
  // anything beyond that is a flood, not players logging in.
  static constexpr size_t kCapacity = 8;

  explicit TAccountWorker(std::function<void()> wake);
  ~TAccountWorker();  // Stop
  TAccountWorker(const TAccountWorker&) = delete;
  TAccountWorker& operator=(const TAccountWorker&) = delete;

  void Start();
  // Ends the thread after the job it is working on; later jobs are dropped.
  void Stop();
  // False (and the job is dropped) when the queue is full or stopped.
  bool Submit(std::unique_ptr<TAccountJob> job);
  std::vector<std::unique_ptr<TAccountJob>> TakeDone();
  // Lock-free: the listener asks before every event.
  bool HasDone() const { return hasDone_.load(std::memory_order_acquire); }

 private:
  void Execute();

  std::function<void()> wake_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::unique_ptr<TAccountJob>> queue_;
  std::vector<std::unique_ptr<TAccountJob>> done_;
  size_t inHand_ = 0;  // queued, running or done and not yet taken
  bool stopping_ = false;
  std::atomic<bool> hasDone_{false};
};
