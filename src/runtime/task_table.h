#pragma once
// The loop's table of live tasks, by id: open addressing with linear probing
// and backward-shift removal, so that neither a spawn nor the take-out and
// put-back around a poll allocates (only growth does).
//
// Ids are never 0 (the core counts from 1): 0 marks a free slot.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "runtime/task.h"

namespace velkor {

class TaskTable {
 public:
  struct Entry {
    TaskId id = 0;
    std::unique_ptr<Task> task;
  };

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }

  // `entry.id` must be non-zero and absent from the table.
  void insert(Entry entry) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    size_t i = home(entry.id);
    while (slots_[i].id != 0) i = next(i);
    slots_[i] = std::move(entry);
    ++size_;
  }

  // Removes and returns the entry of `id`; one with a null task when absent.
  Entry take(TaskId id) {
    if (id == 0 || slots_.empty()) return {};
    size_t i = home(id);
    while (slots_[i].id != id) {
      if (slots_[i].id == 0) return {};
      i = next(i);
    }
    Entry out = std::move(slots_[i]);
    slots_[i].id = 0;
    --size_;
    close_gap(i);
    return out;
  }

  // Calls `f(const Entry&)` for each entry until one returns non-zero.
  template <class F>
  int for_each(F&& f) const {
    for (const Entry& e : slots_) {
      if (e.id == 0) continue;
      if (int r = f(e)) return r;
    }
    return 0;
  }

 private:
  size_t mask() const { return slots_.size() - 1; }
  size_t next(size_t i) const { return (i + 1) & mask(); }
  // Fibonacci hashing: consecutive ids land far apart.
  size_t home(TaskId id) const {
    return static_cast<size_t>((id * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  // Slot `gap` was just emptied: moves back each later entry of the run that
  // may no longer be found past the gap, so that every probe still stops
  // only at its own entry or at a free slot.
  void close_gap(size_t gap) {
    for (size_t j = next(gap); slots_[j].id != 0; j = next(j)) {
      const size_t want = home(slots_[j].id);
      // Stays when its home lies cyclically in (gap, j].
      const bool stays = gap <= j ? (gap < want && want <= j) : (gap < want || want <= j);
      if (stays) continue;
      slots_[gap] = std::move(slots_[j]);
      slots_[j].id = 0;
      gap = j;
    }
  }

  void grow() {
    std::vector<Entry> old = std::exchange(slots_, std::vector<Entry>(slots_.empty() ? 16 : 2 * slots_.size()));
    shift_ = 64;
    for (size_t n = slots_.size(); n > 1; n >>= 1) --shift_;
    size_ = 0;
    for (Entry& e : old) {
      if (e.id != 0) insert(std::move(e));
    }
  }

  std::vector<Entry> slots_;  // a power of two in size, at most half full
  size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace velkor
