#include "runtime/context.h"

#include <utility>

#include "runtime/panic.h"
#include "task/pool.h"

namespace velkor::runtime {

namespace {
thread_local std::optional<RuntimeContext> t_runtime;
}

void set_runtime(RuntimeContext context) {
  // The old context is destroyed only after the new one is in place: its
  // destruction may release Python objects whose finalisers look it up.
  std::optional<RuntimeContext> old = std::move(t_runtime);
  t_runtime.emplace(std::move(context));
}

void clear_runtime() { std::optional<RuntimeContext> old = take_runtime(); }

std::optional<RuntimeContext> take_runtime() {
  std::optional<RuntimeContext> old;
  old.swap(t_runtime);
  return old;
}

RuntimeContext* try_current() { return t_runtime ? &*t_runtime : nullptr; }

RuntimeContext& current() {
  if (!t_runtime) throw Panic(kRuntimeNotInitialized);
  return *t_runtime;
}

Waker take_current_waker() { return std::move(current().current_waker); }

CurrentTaskScope::CurrentTaskScope(TaskId id) { current().current_task = id; }

CurrentTaskScope::~CurrentTaskScope() {
  if (auto* ctx = try_current()) ctx->current_task.reset();
}

CurrentWakerScope::CurrentWakerScope(const Waker& waker) {
  current().current_waker = waker.clone();
}

CurrentWakerScope::~CurrentWakerScope() {
  if (auto* ctx = try_current()) {
    Waker old = std::move(ctx->current_waker);
  }
}

}  // namespace velkor::runtime
