// TIntrusiveList: a doubly linked list threaded through a hook inside each
// element, so that linking, unlinking and moving an element to the back cost
// O(1) and never allocate. The packet buffer keeps its connections in
// several such lists at once (creation order, ready to send, expired).
//
// Ownership: none; the list only links elements that someone else owns. An
// element must be unlinked before it is destroyed.
// Thread-safety: none; the owner's lock guards the list and the hooks.
#pragma once

#include <cstddef>

template <typename T>
struct TListHook {
  T* Prev = nullptr;
  T* Next = nullptr;
  bool Linked = false;
};

template <typename T, TListHook<T> T::*Hook>
class TIntrusiveList {
 public:
  TIntrusiveList() = default;
  TIntrusiveList(const TIntrusiveList&) = delete;
  TIntrusiveList& operator=(const TIntrusiveList&) = delete;

  bool Empty() const { return head_ == nullptr; }
  size_t Size() const { return size_; }
  T* Front() const { return head_; }
  static T* Next(const T* item) { return (item->*Hook).Next; }
  static bool Contains(const T* item) { return (item->*Hook).Linked; }

  // Appends an unlinked element; a linked one stays where it is.
  void PushBack(T* item) {
    TListHook<T>& h = item->*Hook;
    if (h.Linked) return;
    h.Prev = tail_;
    h.Next = nullptr;
    h.Linked = true;
    if (tail_) (tail_->*Hook).Next = item;
    else head_ = item;
    tail_ = item;
    ++size_;
  }

  // Unlinks a linked element; an unlinked one is left alone.
  void Remove(T* item) {
    TListHook<T>& h = item->*Hook;
    if (!h.Linked) return;
    if (h.Prev) (h.Prev->*Hook).Next = h.Next;
    else head_ = h.Next;
    if (h.Next) (h.Next->*Hook).Prev = h.Prev;
    else tail_ = h.Prev;
    h = TListHook<T>{};
    --size_;
  }

  void MoveToBack(T* item) {
    Remove(item);
    PushBack(item);
  }

 private:
  T* head_ = nullptr;
  T* tail_ = nullptr;
  size_t size_ = 0;
};
