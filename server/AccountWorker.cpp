#include "server/AccountWorker.h"

#include "common/CaughtLog.h"
#include "common/Log.h"

#include <utility>

TAccountWorker::TAccountWorker(std::function<void()> wake) : wake_(std::move(wake)) {}

TAccountWorker::~TAccountWorker() { Stop(); }

void TAccountWorker::Start() { thread_ = std::thread(&TAccountWorker::Execute, this); }

void TAccountWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  queued_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool TAccountWorker::Submit(std::unique_ptr<TAccountJob> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || inHand_ >= kCapacity) return false;
    ++inHand_;
    queue_.push_back(std::move(job));
  }
  queued_.notify_one();
  return true;
}

std::vector<std::unique_ptr<TAccountJob>> TAccountWorker::TakeDone() {
  std::lock_guard<std::mutex> lock(mutex_);
  inHand_ -= done_.size();
  hasDone_.store(false, std::memory_order_release);
  return std::exchange(done_, {});
}

void TAccountWorker::Execute() {
  for (;;) {
    std::unique_ptr<TAccountJob> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    // A job that fails still goes back: its Finish answers the player.
    try {
      job->Work();
    } catch (const std::exception& error) {
      LogCaught("UDP Listener", error);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(std::move(job));
      hasDone_.store(true, std::memory_order_release);
    }
    wake_();
  }
}
