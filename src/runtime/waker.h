#pragma once
// Wakers: the handle through which any thread makes a task runnable again.
//
// A waker is a data pointer plus a table of four operations (clone, wake, wake
// by reference, drop), like a hand-written vtable. The data is a shared record
// {core, task_id} with an atomic reference count; it keeps the SharedCore
// alive, not the EventLoop. Every operation may run on any thread, with or
// without the interpreter lock.
#include <cstdint>
#include <memory>

namespace velkor {

using TaskId = uint64_t;
class SharedCore;

struct RawWakerVTable;
struct RawWaker {
  const void* data = nullptr;
  const RawWakerVTable* vtable = nullptr;
};
struct RawWakerVTable {
  RawWaker (*clone)(const void*);
  void (*wake)(const void*);
  void (*wake_by_ref)(const void*);
  void (*drop)(const void*);
};

class Waker {
 public:
  Waker() = default;
  static Waker for_task(std::shared_ptr<SharedCore> core, TaskId id);

  Waker(Waker&& other) noexcept : raw_(other.raw_) { other.raw_ = {}; }
  Waker& operator=(Waker&& other) noexcept {
    if (this != &other) {
      RawWaker old = raw_;
      raw_ = other.raw_;
      other.raw_ = {};
      if (old.vtable) old.vtable->drop(old.data);
    }
    return *this;
  }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  ~Waker() {
    if (raw_.vtable) raw_.vtable->drop(raw_.data);
  }

  explicit operator bool() const { return raw_.vtable != nullptr; }

  Waker clone() const { return raw_.vtable ? Waker(raw_.vtable->clone(raw_.data)) : Waker(); }
  // Consumes the waker.
  void wake() && {
    RawWaker raw = raw_;
    raw_ = {};
    if (raw.vtable) raw.vtable->wake(raw.data);
  }
  void wake_by_ref() const {
    if (raw_.vtable) raw_.vtable->wake_by_ref(raw_.data);
  }
  // True when both wakers wake the same task of the same loop.
  bool wakes_same_task(const Waker& other) const;

 private:
  explicit Waker(RawWaker raw) : raw_(raw) {}
  RawWaker raw_;
};

}  // namespace velkor
