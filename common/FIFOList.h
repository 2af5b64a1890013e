// TFIFOList: a bounded first-in first-out queue of owned objects, kept in a
// ring that grows in steps up to a hard limit. The connections queue their
// outgoing packets in it and the packet buffer its received ones; the limit
// is what keeps a flood from growing memory without end.
//
// Ownership: the queue owns what it holds; Pop hands ownership back.
// Thread-safety: none; the packet buffer's lock guards every queue it owns.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

class EFIFOList : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kCantAllocate[] = "Can't allocate needed memory";

// Raises EFIFOList when the sizes are out of range (checked in this order:
// max below start, max too large, growth step too large, any negative).
void CheckFIFOListSizes(int startItems, int maxItems, int growBy);

template <typename T>
class TFIFOList {
 public:
  // `keepItems`: the largest ring an emptied queue keeps (below 0: four
  // times the start size). A queue that empties after nearly every use and
  // is rarely used at all (a connection's commands) keeps none.
  TFIFOList(int startItems, int maxItems, int growBy, int keepItems = -1) {
    CheckFIFOListSizes(startItems, maxItems, growBy);
    StartItems = startItems;
    Capacity = startItems;
    MaxItems = maxItems;
    GrowBy = growBy;
    KeepItems = keepItems < 0 ? kShrinkFactor * startItems : keepItems;
    // The ring is made on the first Push: a server holds four queues per
    // player, and an idle player never uses most of them.
  }
  TFIFOList(const TFIFOList&) = delete;
  TFIFOList& operator=(const TFIFOList&) = delete;

  // An absent object is ignored. A full ring grows first; EFIFOList when it
  // cannot (the object is then destroyed with the caller's pointer).
  void Push(std::unique_ptr<T> item) {
    if (!item) return;
    if (Count == Capacity) Grow();
    if (!Items) Items = std::make_unique<std::unique_ptr<T>[]>(static_cast<size_t>(Capacity));
    Items[static_cast<size_t>(Tail)] = std::move(item);
    ++Count;
    Tail = (Tail + 1) % Capacity;
  }

  // None when empty. A ring larger than KeepItems (one a burst grew far
  // beyond its start) is given back once the burst has drained: thousands
  // of connections each keeping a ring sized for their longest backlog would
  // hold that memory for good.
  std::unique_ptr<T> Pop() {
    if (Count == 0) return nullptr;
    std::unique_ptr<T> item = std::move(Items[static_cast<size_t>(Head)]);
    Head = (Head + 1) % Capacity;
    if (--Count == 0 && Capacity > KeepItems) Shrink();
    return item;
  }

  // The object Pop would return, still owned by the queue.
  T* Peek() const { return Count ? Items[static_cast<size_t>(Head)].get() : nullptr; }
  bool Empty() const { return Count == 0; }

  // By default a ring larger than this many times its start size is given
  // back when empty.
  static constexpr int kShrinkFactor = 4;

  std::unique_ptr<std::unique_ptr<T>[]> Items;
  int StartItems = 0;
  int Capacity = 0;
  int GrowBy = 0;
  int KeepItems = 0;
  int MaxItems = 0;
  int Count = 0;
  int Tail = 0;
  int Head = 0;

 private:
  // The empty large ring goes; the next Push makes one of the start size.
  void Shrink() {
    Items.reset();
    Capacity = StartItems;
    Head = Tail = 0;
  }
  // The queued objects move, in queue order, to the start of the larger ring.
  void Grow() {
    const int newCapacity = Capacity + GrowBy < MaxItems ? Capacity + GrowBy : MaxItems;
    // A growth step of 0 would leave a full ring full: refuse it like the limit.
    if (Capacity >= MaxItems || newCapacity <= Capacity) throw EFIFOList(kCantAllocate);
    auto items = std::make_unique<std::unique_ptr<T>[]>(static_cast<size_t>(newCapacity));
    for (int i = 0; i < Count; ++i) items[static_cast<size_t>(i)] = std::move(Items[static_cast<size_t>((Head + i) % Capacity)]);
    Items = std::move(items);
    Head = 0;
    Tail = Capacity;
    Capacity = newCapacity;
  }
};
