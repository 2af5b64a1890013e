#include "common/NoticeLog.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

// ---- the log ----------------------------------------------------------------------

uint64_t TNoticeLog::Append(uint16_t command, const uint8_t* payload, size_t size) {
  if (size > kMaxPayload) throw std::length_error("notice payload too large to log");
  TEntry& entry = entries_[next_];
  const uint64_t number = next_++;
  entry.Command = command;
  entry.Size = static_cast<uint8_t>(size);
  std::memcpy(entry.Payload, payload, entry.Size);
  newestNumber_ = number;
  newest_ = &entry;
  return number;
}

void TNoticeLog::Release(uint64_t number) {
  auto it = entries_.find(number);
  if (it == entries_.end()) return;
  if (it->second.Holders > 1) {
    --it->second.Holders;
    return;
  }
  Erase(it);
}

void TNoticeLog::DropIfUnheld(uint64_t number) {
  auto it = entries_.find(number);
  if (it == entries_.end() || it->second.Holders != 0) return;
  Erase(it);
}

void TNoticeLog::Erase(std::unordered_map<uint64_t, TEntry>::iterator it) {
  if (it->first == newestNumber_) {
    newest_ = nullptr;
    newestNumber_ = ~uint64_t{0};
  }
  entries_.erase(it);
}

std::unique_ptr<TPacket> TNoticeLog::Build(uint64_t number, uint32_t playerId) const {
  const TEntry& entry = At(number);
  auto packet = NewCommandPacket(entry.Command, playerId, entry.Size);
  std::memcpy(packet->Memory() + kCommandHeaderSize, entry.Payload, entry.Size);
  return packet;
}

// ---- a connection's queue -------------------------------------------------------------

void TNoticeQueue::Push(TNoticeLog& log, uint64_t number, int queuedPackets) {
  log_ = &log;
  // The packets queued since the last run went in after it.
  const uint32_t queued = static_cast<uint32_t>(std::max(0, queuedPackets));
  const uint32_t after = queued > aheadTotal_ ? queued - aheadTotal_ : 0;
  if (head_ < runs_.size() && after == 0 && runs_.back().First + runs_.back().Count == number) {
    ++runs_.back().Count;
  } else {
    runs_.push_back(TRun{number, 1, after});
    aheadTotal_ += after;
  }
  log.Hold(number);
  ++count_;
}

void TNoticeQueue::PacketTaken() {
  if (head_ < runs_.size() && runs_[head_].Ahead > 0) {
    --runs_[head_].Ahead;
    --aheadTotal_;
  }
}

std::unique_ptr<TPacket> TNoticeQueue::TakeNotice(uint32_t playerId) {
  TRun& run = runs_[head_];
  std::unique_ptr<TPacket> packet = log_->Build(run.First, playerId);
  log_->Release(run.First);
  ++run.First;
  --count_;
  if (--run.Count == 0) PopRun();
  return packet;
}

void TNoticeQueue::PopRun() {
  aheadTotal_ -= runs_[head_].Ahead;
  ++head_;
  if (head_ == runs_.size()) {
    // An idle connection keeps no storage from a burst.
    std::vector<TRun>().swap(runs_);
    head_ = 0;
  } else if (head_ >= 64 && head_ * 2 >= runs_.size()) {
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void TNoticeQueue::Clear() {
  for (size_t i = head_; i < runs_.size(); ++i)
    for (uint32_t k = 0; k < runs_[i].Count; ++k) log_->Release(runs_[i].First + k);
  std::vector<TRun>().swap(runs_);
  head_ = 0;
  count_ = 0;
  aheadTotal_ = 0;
}
