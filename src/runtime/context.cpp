#include "runtime/context.h"

#include <utility>

#include "runtime/panic.h"
#include "runtime/tls.h"
#include "task/pool.h"

namespace velkor::runtime {

namespace {

// A pointer to the thread's context for the reads on every task step and
// socket operation; the context itself is a dozen words, too large for the
// initial-exec model.
VELKOR_HOT_TLS thread_local RuntimeContext* t_context = nullptr;

struct ThreadRuntime {
  std::optional<RuntimeContext> context;
  // At thread exit the pointer goes first: code that runs while the
  // context's members are destroyed finds no context, not a dying one.
  ~ThreadRuntime() { t_context = nullptr; }
};
thread_local ThreadRuntime t_runtime;

}  // namespace

void set_runtime(RuntimeContext context) {
  // The old context is destroyed only after the new one is in place: its
  // destruction may release Python objects whose finalisers look it up.
  std::optional<RuntimeContext> old = std::move(t_runtime.context);
  t_runtime.context.emplace(std::move(context));
  t_context = &*t_runtime.context;
}

void clear_runtime() { std::optional<RuntimeContext> old = take_runtime(); }

std::optional<RuntimeContext> take_runtime() {
  std::optional<RuntimeContext> old;
  old.swap(t_runtime.context);
  t_context = nullptr;
  return old;
}

RuntimeContext* try_current() { return t_context; }

RuntimeContext& current() {
  if (!t_context) throw Panic(kRuntimeNotInitialized);
  return *t_context;
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
