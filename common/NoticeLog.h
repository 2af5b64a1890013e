// TNoticeLog and TNoticeQueue: commands that many players are told alike
// (a player entered, a player left), held once instead of once per
// recipient. The packet buffer owns one log; each connection keeps in its
// TNoticeQueue which log entries it still has to send, as runs of
// consecutive entries, between the command packets queued for it.
//
// Why: a login burst of n players announces each to all others, n^2
// notices. Queued as whole packets they took gigabytes; as log entries
// shared by their recipients and runs in each queue they take a few bytes
// each, and a recipient that was told of every entry in turn holds a single
// run. The datagram of a notice is built when the connection takes it into
// flight, and exists only as long as it is in flight.
//
// An entry keeps what the notice said when it was logged: a player who
// leaves (or changes) before a recipient's notice is built is still
// announced as it was, and the recipient then gets the later notices
// behind it, in the order they were queued.
//
// Ownership: the log owns its entries; a queue holds a count on each entry
// it still has to send, and gives its holds back when it is emptied or
// destroyed, so the log must outlive the queues that refer to it.
// Thread-safety: none; the packet buffer's lock guards the log and every
// queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "common/Packets.h"

class TNoticeLog {
 public:
  // The largest payload of a logged notice (the command after its header):
  // every notice about a player or a channel field fits. An entry costs
  // this once per notice, not per recipient.
  static constexpr size_t kMaxPayload = 112;

  TNoticeLog() = default;
  TNoticeLog(const TNoticeLog&) = delete;
  TNoticeLog& operator=(const TNoticeLog&) = delete;

  // Logs a notice with no holder yet and returns its number; numbers grow
  // by one per entry (a recipient told of consecutive entries keeps one
  // run). A payload above kMaxPayload is refused with std::length_error:
  // cut short, it would tell the recipients something else.
  uint64_t Append(uint16_t command, const uint8_t* payload, size_t size);
  void Hold(uint64_t number) { ++(number == newestNumber_ ? *newest_ : At(number)).Holders; }
  // Gives back one hold; an entry nobody holds any more is freed at once,
  // so a recipient that never takes its notices keeps only its own (at
  // most a full queue of them), not every notice logged after them.
  void Release(uint64_t number);
  // Frees the entry if nobody took a hold on it (a notice nobody was to be
  // told of).
  void DropIfUnheld(uint64_t number);
  // The command datagram of entry `number` for `playerId`, transport fields zero.
  std::unique_ptr<TPacket> Build(uint64_t number, uint32_t playerId) const;

  // Entries kept (held by a recipient).
  size_t Size() const { return entries_.size(); }

 private:
  struct TEntry {
    uint16_t Command = 0;
    uint8_t Size = 0;  // of the payload
    uint8_t Payload[kMaxPayload];
    uint32_t Holders = 0;
  };
  TEntry& At(uint64_t number) { return entries_.at(number); }
  const TEntry& At(uint64_t number) const { return entries_.at(number); }

  void Erase(std::unordered_map<uint64_t, TEntry>::iterator it);

  std::unordered_map<uint64_t, TEntry> entries_;
  uint64_t next_ = 0;  // the number of the next entry
  // The entry Append made last: its recipients take their holds right after.
  uint64_t newestNumber_ = ~uint64_t{0};
  TEntry* newest_ = nullptr;
};

class TNoticeQueue {
 public:
  TNoticeQueue() = default;
  ~TNoticeQueue() { Clear(); }
  TNoticeQueue(const TNoticeQueue&) = delete;
  TNoticeQueue& operator=(const TNoticeQueue&) = delete;

  // Appends entry `number` of `log` (holding it), behind the `queuedPackets`
  // command packets that wait in the connection's own queue now. The entry
  // joins the last run when it follows it directly with no packet between.
  void Push(TNoticeLog& log, uint64_t number, int queuedPackets);
  // Whether the next command is a logged notice rather than a packet.
  bool NoticeIsNext() const { return head_ < runs_.size() && runs_[head_].Ahead == 0; }
  // The connection took a command packet from its own queue.
  void PacketTaken();
  // Builds the next notice for `playerId` and gives back its hold. Only
  // when NoticeIsNext().
  std::unique_ptr<TPacket> TakeNotice(uint32_t playerId);
  // Notices still to send.
  size_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // Gives back every hold.
  void Clear();

 private:
  struct TRun {
    uint64_t First;    // log number of the next entry to send
    uint32_t Count;    // entries First, First + 1, ...
    uint32_t Ahead;    // command packets that go before this run (after the run before it)
  };
  void PopRun();

  TNoticeLog* log_ = nullptr;
  // The runs from index head_ on; the storage is given back once they are all sent.
  std::vector<TRun> runs_;
  size_t head_ = 0;
  size_t count_ = 0;
  uint32_t aheadTotal_ = 0;  // the sum of the runs' Ahead
};
