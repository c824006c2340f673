#pragma once
// Binary min-heap keyed on `deadline` only (no sequence numbers, so equal
// deadlines leave in no defined order). Insert sifts up and stops at an equal
// parent; removing the root moves the hole to the bottom, choosing the child
// with the earlier deadline (the right one on a tie), then sifts the last entry
// back up from there. Used for the timer wheel and for timed callbacks.
// remove_if() takes out any set of entries and rebuilds the order bottom-up.
#include <cstddef>
#include <utility>
#include <vector>

#include "runtime/instant.h"

namespace velkor {

template <class Entry>
class DeadlineHeap {
 public:
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  const Instant* earliest() const { return entries_.empty() ? nullptr : &entries_.front().deadline; }
  // Every entry, in heap order (not deadline order).
  const std::vector<Entry>& entries() const { return entries_; }
  // Precondition: not empty.
  const Entry& top() const { return entries_.front(); }

  void push(Entry entry) {
    entries_.push_back(std::move(entry));
    sift_up(entries_.size() - 1);
  }

  // Precondition: not empty.
  Entry pop() {
    Entry last = std::move(entries_.back());
    entries_.pop_back();
    if (entries_.empty()) return last;
    Entry root = std::move(entries_.front());
    size_t hole = 0;
    const size_t n = entries_.size();
    for (size_t child = 1; child < n; child = 2 * hole + 1) {
      if (child + 1 < n && entries_[child + 1].deadline <= entries_[child].deadline) ++child;
      entries_[hole] = std::move(entries_[child]);
      hole = child;
    }
    entries_[hole] = std::move(last);
    sift_up(hole);
    return root;
  }

  // Moves every entry for which `drop(entry)` holds into `removed` (in array
  // order), then restores the heap order over the rest in O(n).
  template <class Pred>
  void remove_if(Pred drop, std::vector<Entry>& removed) {
    size_t kept = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (drop(entries_[i])) {
        removed.push_back(std::move(entries_[i]));
      } else {
        if (kept != i) entries_[kept] = std::move(entries_[i]);
        ++kept;
      }
    }
    if (kept == entries_.size()) return;  // nothing dropped: still a heap
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
    for (size_t i = entries_.size() / 2; i-- > 0;) sift_down(i);
  }

 private:
  void sift_down(size_t pos) {
    const size_t n = entries_.size();
    for (size_t child = 2 * pos + 1; child < n; child = 2 * pos + 1) {
      if (child + 1 < n && entries_[child + 1].deadline < entries_[child].deadline) ++child;
      if (!(entries_[child].deadline < entries_[pos].deadline)) break;
      std::swap(entries_[pos], entries_[child]);
      pos = child;
    }
  }

  void sift_up(size_t pos) {
    while (pos > 0) {
      size_t parent = (pos - 1) / 2;
      if (!(entries_[pos].deadline < entries_[parent].deadline)) break;
      std::swap(entries_[pos], entries_[parent]);
      pos = parent;
    }
  }

  std::vector<Entry> entries_;
};

}  // namespace velkor
