#include "runtime/wait_list.h"

#include <utility>

namespace velkor {

using Phase = WaitNode::Phase;

void WaitList::link_back(WaitNode& node) {
  node.prev = tail_;
  node.next = nullptr;
  if (tail_) {
    tail_->next = &node;
  } else {
    head_ = &node;
  }
  tail_ = &node;
  if (!first_parked_) first_parked_ = &node;
  linked_.fetch_add(1, std::memory_order_relaxed);
}

void WaitList::unlink(WaitNode& node) {
  if (first_parked_ == &node) first_parked_ = node.next;
  (node.prev ? node.prev->next : head_) = node.next;
  (node.next ? node.next->prev : tail_) = node.prev;
  node.prev = node.next = nullptr;
  linked_.fetch_sub(1, std::memory_order_relaxed);
}

// Marks the first parked node released; returns its waker (to be woken).
Waker WaitList::release_front() {
  WaitNode& node = *first_parked_;
  first_parked_ = node.next;
  node.phase = Phase::Released;
  node.was_released = true;
  return std::exchange(node.waker, Waker{});
}

WaitList::Step WaitList::poll(WaitNode& node, Waker& current) {
  std::lock_guard lock(mu_);
  switch (node.phase) {
    case Phase::Fresh:
      if (!current) return Step::NoWaker;
      node.waker = std::move(current);
      node.phase = Phase::Parked;
      link_back(node);
      return Step::Parked;
    case Phase::Parked:
      return Step::Parked;
    case Phase::Released:
      unlink(node);
      node.phase = Phase::Done;
      return Step::Released;
    case Phase::Done:
      break;
  }
  return Step::Ended;
}

bool WaitList::abandon(WaitNode& node) {
  Waker dropped;  // released after the lock
  std::lock_guard lock(mu_);
  if (node.phase == Phase::Parked || node.phase == Phase::Released) unlink(node);
  dropped = std::exchange(node.waker, Waker{});
  node.phase = Phase::Done;
  return node.was_released;
}

size_t WaitList::wake(size_t n) {
  std::lock_guard lock(mu_);
  size_t woken = 0;
  for (; woken < n && first_parked_; ++woken) release_front().wake();
  return woken;
}

bool WaitList::wake_first() {
  std::lock_guard lock(mu_);
  if (!head_ || head_ != first_parked_) return false;
  release_front().wake();
  return true;
}

bool WaitList::was_released(WaitNode& node) {
  std::lock_guard lock(mu_);
  return node.was_released;
}

}  // namespace velkor
