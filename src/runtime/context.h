#pragma once
// The per-thread runtime context: how code running inside a task step (an
// awaitable's __next__, a module function called from a coroutine) finds its
// loop, the pool, the current task id and the current task's waker.
//
// Strictly per thread, so it needs no lock. Callers never keep a pointer to
// it across a task poll or a call into Python: either may replace it.
#include <memory>
#include <optional>

#include "runtime/loop.h"
#include "runtime/waker.h"

namespace velkor {

class TaskScheduler;

struct RuntimeContext {
  std::optional<TaskId> current_task;
  std::shared_ptr<SharedCore> core;
  std::shared_ptr<TaskScheduler> pool;
  Waker current_waker;
};

namespace runtime {

// Installs `context`, destroying whatever the thread had.
void set_runtime(RuntimeContext context);
// Removes and destroys the thread's context (nothing without one).
void clear_runtime();
// Moves the thread's context out, leaving none (used to swap loops).
std::optional<RuntimeContext> take_runtime();

// The thread's context, or nullptr.
RuntimeContext* try_current();
// The thread's context; throws Panic(kRuntimeNotInitialized) without one.
RuntimeContext& current();

// Moves the current waker out of the context (throws without a context).
Waker take_current_waker();

// Marks `id` as the task being polled for the scope of one poll.
class CurrentTaskScope {
 public:
  explicit CurrentTaskScope(TaskId id);
  ~CurrentTaskScope();
  CurrentTaskScope(const CurrentTaskScope&) = delete;
  CurrentTaskScope& operator=(const CurrentTaskScope&) = delete;
};

// Puts a copy of the poll's waker into current_waker for one coroutine step
// and clears it afterwards, whatever the step did.
class CurrentWakerScope {
 public:
  explicit CurrentWakerScope(const Waker& waker);
  ~CurrentWakerScope();
  CurrentWakerScope(const CurrentWakerScope&) = delete;
  CurrentWakerScope& operator=(const CurrentWakerScope&) = delete;
};

}  // namespace runtime
}  // namespace velkor
