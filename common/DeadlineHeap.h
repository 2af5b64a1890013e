// TDeadlineHeap: a binary min-heap of elements ordered by their `Deadline`
// field, each element knowing its own position (`HeapPos`, -1 when outside)
// so that it can be moved or removed in O(log n) without a search. The packet
// buffer keeps the connections with a command in flight in it, so the sender
// finds the next due resend without visiting every connection.
//
// Ownership: none; elements must be removed before they are destroyed.
// Thread-safety: none; the owner's lock guards the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

template <typename T>
class TDeadlineHeap {
 public:
  bool Empty() const { return items_.empty(); }
  size_t Size() const { return items_.size(); }
  T* Top() const { return items_.empty() ? nullptr : items_.front(); }
  static bool Contains(const T* item) { return item->HeapPos >= 0; }

  // Inserts the element, or moves it when its deadline changed.
  void Update(T* item, int64_t deadline) {
    item->Deadline = deadline;
    if (item->HeapPos < 0) {
      item->HeapPos = static_cast<int>(items_.size());
      items_.push_back(item);
    }
    SiftUp(static_cast<size_t>(item->HeapPos));
    SiftDown(static_cast<size_t>(item->HeapPos));
  }

  void Remove(T* item) {
    if (item->HeapPos < 0) return;
    const size_t at = static_cast<size_t>(item->HeapPos);
    item->HeapPos = -1;
    T* last = items_.back();
    items_.pop_back();
    if (last == item) return;
    items_[at] = last;
    last->HeapPos = static_cast<int>(at);
    SiftUp(at);
    SiftDown(static_cast<size_t>(last->HeapPos));
  }

 private:
  void Place(size_t at, T* item) {
    items_[at] = item;
    item->HeapPos = static_cast<int>(at);
  }
  void SiftUp(size_t at) {
    T* item = items_[at];
    while (at > 0) {
      const size_t parent = (at - 1) / 2;
      if (items_[parent]->Deadline <= item->Deadline) break;
      Place(at, items_[parent]);
      at = parent;
    }
    Place(at, item);
  }
  void SiftDown(size_t at) {
    T* item = items_[at];
    const size_t n = items_.size();
    for (;;) {
      size_t child = 2 * at + 1;
      if (child >= n) break;
      if (child + 1 < n && items_[child + 1]->Deadline < items_[child]->Deadline) ++child;
      if (item->Deadline <= items_[child]->Deadline) break;
      Place(at, items_[child]);
      at = child;
    }
    Place(at, item);
  }

  std::vector<T*> items_;
};
