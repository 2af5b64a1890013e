#include "server/TrafficHistory.h"

#include <chrono>

#include "server/ServerAccess.h"
#include "server/ServerList.h"

int64_t TrafficSecond() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void TTrafficHistory::Record(int64_t second, uint32_t players, const TBufferStatistics& totals) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int64_t in = totals.BytesReceived, out = totals.BytesSent;
  if (primed_) {
    ring_[next_] = {second, players, in >= lastIn_ ? in - lastIn_ : in, out >= lastOut_ ? out - lastOut_ : out};
    next_ = (next_ + 1) % kSamples;
    if (count_ < kSamples) ++count_;
  }
  primed_ = true;
  lastIn_ = in;
  lastOut_ = out;
}

std::vector<TTrafficSample> TTrafficHistory::Samples() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TTrafficSample> out;
  if (count_ == 0) return out;
  const int64_t newest = ring_[(next_ + kSamples - 1) % kSamples].Second;
  out.reserve(count_);
  for (size_t i = 0; i < count_; ++i) {
    const TTrafficSample& s = ring_[(next_ + kSamples - count_ + i) % kSamples];
    // A sampler that was held up leaves gaps; what is older than an hour goes.
    if (s.Second > newest - static_cast<int64_t>(kSamples) * kIntervalSec) out.push_back(s);
  }
  return out;
}

TTrafficSampler::~TTrafficSampler() { Stop(); }

void TTrafficSampler::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] {
    using Steady = std::chrono::steady_clock;
    auto due = Steady::now();
    for (;;) {
      SampleNow(TrafficSecond());
      due += std::chrono::seconds(TTrafficHistory::kIntervalSec);
      std::unique_lock<std::mutex> wait(mutex_);
      if (wake_.wait_until(wait, due, [this] { return stopping_; })) return;
    }
  });
}

void TTrafficSampler::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TTrafficSampler::SampleNow(int64_t second) {
  struct TReading {
    std::string Id;
    uint32_t Players;
    TBufferStatistics Totals;
  };
  std::vector<TReading> readings;
  if (TServerListObject* list = GetServerList()) {
    for (const auto& [id, server] : list->GetServerIDList()) {
      // The totals are the packet buffer's atomics: the voice path never waits for a sample.
      const TServerSnapshot view = TServerAccess(server).Snapshot();
      if (!view.Running) continue;
      TBufferStatistics totals;
      totals.BytesReceived = view.Figures.BytesReceived;
      totals.BytesSent = view.Figures.BytesSent;
      readings.push_back({id, static_cast<uint32_t>(view.Figures.CurrentUsers), totals});
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = histories_.begin(); it != histories_.end();) {
    bool running = false;
    for (const TReading& r : readings) running = running || r.Id == it->first;
    it = running ? std::next(it) : histories_.erase(it);
  }
  for (const TReading& r : readings) histories_[r.Id].Record(second, r.Players, r.Totals);
}

std::vector<TTrafficSample> TTrafficSampler::History(const std::string& serverId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = histories_.find(serverId);
  return it == histories_.end() ? std::vector<TTrafficSample>() : it->second.Samples();
}
