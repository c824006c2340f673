// _spawn(coro, task=None): a further task on the calling thread's loop, with
// an awaitable handle (PySpawnedTask) that delivers the coroutine's outcome.
#include "python/spawn.h"

#include "python/bookkeeping.h"
#include "python/completion.h"
#include "python/driver.h"
#include "python/errors.h"
#include "python/future_waker.h"
#include "python/types.h"
#include "runtime/context.h"

namespace velkor::py {

namespace {

// The future of a spawned task. Each step runs inside the task object's
// contextvars context, publishes the task object in the asyncio bookkeeping,
// delivers a pending cancellation, and re-sends at once when the coroutine
// yields None (a bare yield is not a suspension here). A wake-up while the
// future it is parked on is not done, and no cancellation is pending, leaves
// it parked.
//
// With `Yields::Fair` (the package's tasks) a bare yield instead queues the
// task behind every task that is already runnable, and a yield of anything
// that is neither a future nor a pending value has RuntimeError thrown into
// the coroutine on its next step.
enum class Yields { Resend, Fair };

class SpawnedFuture final : public Task {
 public:
  // `module` is the _velkor module of the spawning interpreter: its state
  // names the modules that this task's steps call into.
  SpawnedFuture(Ref module, Ref coro, Ref task, Ref holder, Ref context,
                std::shared_ptr<Completion> completion, Yields yields)
      : module_(std::move(module)), coro_(std::move(coro)), task_(std::move(task)),
        holder_(std::move(holder)), context_(std::move(context)),
        completion_(std::move(completion)), yields_(yields) {}

  Poll poll(const Waker& waker) override {
    if (done_) return Poll::Ready;
    runtime::CurrentWakerScope waker_scope(waker);
    Attached attached;
    if (!attached.ok()) throw Panic(kInterpreterFinalizing);  // ends the run, never idles
    const bool cancel = task_ && cancellation_requested(task_.get());
    if (stray_wake(cancel)) return Poll::Pending;
    if (task_) {
      RuntimeContext& ctx = runtime::current();
      if (ctx.current_task) install_cancel_waker(task_.get(), ctx.core, *ctx.current_task, cancel_waker_);
    }
    enter_context();
    SavedBookkeeping saved = enter_task_step(state(), task_.get(), holder_.get(), loop_);
    Ref out;
    StepEnd end = step(out, cancel);
    if (end == StepEnd::Yielded) suspend(std::move(out), waker);
    exit_task_step(state(), task_.get(), holder_.get(), saved);
    exit_context();
    if (end == StepEnd::Yielded) return Poll::Pending;
    finish(end, std::move(out));
    return Poll::Ready;
  }

  int traverse(const Visitor& visit) const override {
    for (const Ref* held : {&coro_, &task_, &holder_, &context_, &cancel_waker_, &bad_yield_, &loop_}) {
      if (int r = visit(held->get())) return r;
    }
    return 0;
  }

 private:
  ModuleState& state() { return module_state(module_.get()); }

  // A cancellation is delivered whatever the future's state; the coroutine
  // then stops waiting for it.
  bool stray_wake(bool cancel) {
    if (!awaited_.remembered()) return false;
    if (cancel) {
      awaited_.forget();
      return false;
    }
    return awaited_.still_pending();
  }

  // A context that is already entered (the code that called run() runs in
  // it, or another thread steps a task sharing it) cannot be entered again:
  // the task then goes on in a copy of it, which its task object reports
  // from then on.
  void enter_context() {
    if (!context_) return;
    if (PyContext_Enter(context_.get()) == 0) return;
    PyErr_Clear();
    context_ = Ref::steal(PyContext_Copy(context_.get()));
    if (context_ && PyContext_Enter(context_.get()) == 0) {
      if (PyObject_SetAttr(task_.get(), names().context, context_.get()) < 0) PyErr_Clear();
      return;
    }
    PyErr_Clear();
    context_.reset();  // out of memory: the step runs in the loop's context
  }

  void exit_context() {
    if (context_ && PyContext_Exit(context_.get()) < 0) PyErr_Clear();
  }

  StepEnd step(Ref& out, bool cancel) {
    if (cancel) {
      bad_yield_.reset();
      return deliver_cancellation(out);
    }
    if (bad_yield_) {
      Ref exc = std::move(bad_yield_);
      return throw_into(coro_.get(), exc.get(), out);
    }
    if (yields_ == Yields::Fair) return send_none(coro_.get(), out);
    for (;;) {
      StepEnd end = send_none(coro_.get(), out);
      if (end != StepEnd::Yielded || out.get() != Py_None) return end;
    }
  }

  // What the coroutine yielded decides what wakes it.
  void suspend(Ref yielded, const Waker& waker) {
    if (yields_ == Yields::Fair) {
      if (is_pending_value(yielded.get())) return;  // its awaitable took the waker
      if (yielded.get() == Py_None) {
        waker.wake_by_ref();  // queued behind the tasks already runnable
        return;
      }
    }
    if (maybe_register_future_waker(yielded.get())) {
      awaited_.remember(std::move(yielded));
      return;
    }
    if (yields_ == Yields::Fair) {
      bad_yield_ = Ref::steal(PyObject_CallFunction(
          PyExc_RuntimeError, "N", PyUnicode_FromFormat("Task got bad yield: %R", yielded.get())));
      if (!bad_yield_) bad_yield_ = Ref::steal(PyErr_GetRaisedException());  // the repr failed
      waker.wake_by_ref();
    }
  }

  // An empty tuple or bytes: what the runtime's awaitables yield once they
  // have stored the task's waker somewhere.
  static bool is_pending_value(PyObject* yielded) {
    return (PyTuple_CheckExact(yielded) && PyTuple_GET_SIZE(yielded) == 0) ||
           (PyBytes_CheckExact(yielded) && PyBytes_GET_SIZE(yielded) == 0);
  }

  // Throws CancelledError into the coroutine; whatever the throw yields
  // (None included) suspends the step.
  StepEnd deliver_cancellation(Ref& out) {
    if (PyObject_SetAttr(task_.get(), names().must_cancel, Py_False) < 0) PyErr_Clear();
    Ref cancelled = compat_attribute(state(), names().cancelled_error);
    if (!cancelled) {
      raise_panic("CancelledError not found: velkor._compat.CancelledError is unavailable");
      out = Ref::steal(PyErr_GetRaisedException());
      return StepEnd::Raised;
    }
    return throw_into(coro_.get(), cancelled.get(), out);
  }

  void finish(StepEnd end, Ref out) {
    Outcome outcome{end == StepEnd::Returned ? Outcome::Kind::Value : Outcome::Kind::Failure,
                    std::move(out)};
    completion_->set_outcome(std::move(outcome));
    coro_.reset();
    task_.reset();
    holder_.reset();
    context_.reset();
    awaited_.forget();
    cancel_waker_.reset();
    bad_yield_.reset();
    loop_.reset();
    done_ = true;
    completion_->finish();
  }

  Ref module_;
  Ref coro_;
  Ref task_;
  Ref holder_;
  Ref context_;  // the contextvars context every step runs in, if any
  Ref cancel_waker_;
  Ref bad_yield_;  // the RuntimeError for the next step to throw, if any
  Ref loop_;  // the task object's _loop, once looked up
  AwaitedFuture awaited_;
  std::shared_ptr<Completion> completion_;
  Yields yields_;
  bool done_ = false;
};

// The task object's `_context`, read once at spawn: absent without a task
// object, or when it has no `_context` that is a contextvars.Context.
Ref task_context(PyObject* task) {
  if (task == Py_None) return Ref();
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(task, names().context, &value) < 0) PyErr_Clear();
  Ref context = Ref::steal(value);
  if (context && !PyContext_CheckExact(context.get())) return Ref();
  return context;
}

struct SpawnedTask {
  std::shared_ptr<Completion> completion;
};

PyObject* g_task_type = nullptr;
PyObject* g_iter_type = nullptr;

PyObject* task_await(PyObject* self) {
  return new_handle_iter(spawned_task_iter_type(), Box<SpawnedTask>::of(self).completion);
}

PyType_Slot task_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<SpawnedTask>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_handle<SpawnedTask>)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_handle<SpawnedTask>)},
    {Py_am_await, reinterpret_cast<void*>(task_await)},
    {0, nullptr},
};
PyType_Spec task_spec = {"_velkor.PySpawnedTask", sizeof(Box<SpawnedTask>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                             Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         task_slots};

}  // namespace

PyTypeObject* spawned_task_type() { return shared_type(g_task_type, &task_spec); }

PyTypeObject* spawned_task_iter_type() {
  static PyType_Spec* spec = handle_iter_spec("_velkor.PySpawnedTaskIter");
  return shared_type(g_iter_type, spec);
}

namespace {

PyObject* spawn_with(PyObject* module, PyObject* args, PyObject* kwargs, const char* format,
                     Yields yields) {
  static const char* kwlist[] = {"coro", "task", nullptr};
  PyObject* coro;
  PyObject* task = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &coro,
                                   &task)) {
    return nullptr;
  }
  PyTypeObject* handle_type = spawned_task_type();
  if (!handle_type) return nullptr;
  auto completion = std::make_shared<Completion>();
  Ref holder = compat_attribute(module_state(module), names().current_task);
  Ref context = task_context(task);
  return guarded([&]() -> PyObject* {
    RuntimeContext& ctx = runtime::current();
    Ref handle = Ref::steal(new_object<SpawnedTask>(handle_type, completion));
    if (!handle) return nullptr;
    ctx.core->spawn(std::make_unique<SpawnedFuture>(
        Ref::borrow(module), Ref::borrow(coro), task == Py_None ? Ref() : Ref::borrow(task),
        std::move(holder), std::move(context), completion, yields));
    return handle.release();
  });
}

}  // namespace

PyObject* spawn(PyObject* module, PyObject* args, PyObject* kwargs) {
  return spawn_with(module, args, kwargs, "O|O:_spawn", Yields::Resend);
}

PyObject* spawn_fair(PyObject* module, PyObject* args, PyObject* kwargs) {
  return spawn_with(module, args, kwargs, "O|O:_spawn_fair", Yields::Fair);
}

}  // namespace velkor::py
