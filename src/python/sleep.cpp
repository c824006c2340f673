// sleep(duration): SleepAwaitable and SleepIter. The deadline is fixed when
// sleep() is called; an elapsed or zero sleep never touches the runtime.
#include "python/sleep.h"

#include "python/errors.h"
#include "python/types.h"
#include "runtime/context.h"

namespace velkor::py {

namespace {

struct SleepAwaitable {
  Instant deadline;
};

// While parked, the iterator keeps the handle of its timer entry, so that a
// sleep that ends early (its task cancelled, the iterator dropped) or re-parks
// withdraws the entry instead of leaving it in the heap until its deadline.
struct SleepIter {
  Instant deadline;
  bool done = false;
  std::shared_ptr<SharedCore> core;
  std::shared_ptr<TimerHandle> timer;

  ~SleepIter() { withdraw_timer(); }

  void withdraw_timer() {
    if (timer) core->cancel_timer(*timer);
    timer.reset();
    core.reset();
  }
};

PyObject* g_awaitable_type = nullptr;
PyObject* g_iter_type = nullptr;

PyTypeObject* awaitable_type();
PyTypeObject* iter_type();

// Reads `seconds` as a deadline from now; nullptr-style false on error.
bool deadline_after(PyObject* seconds, Instant& out) {
  double value;
  if (!float_argument(seconds, "duration", value)) return false;
  try {
    out = Instant::now().plus(Duration::from_secs_f64(value));
    return true;
  } catch (const Panic& p) {
    raise_panic(p.what());
    return false;
  }
}

PyObject* new_sleep(PyTypeObject* type, PyObject* seconds) {
  Instant deadline;
  if (!deadline_after(seconds, deadline)) return nullptr;
  return new_object<SleepAwaitable>(type, deadline);
}

PyObject* awaitable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"duration", nullptr};
  PyObject* duration;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:SleepAwaitable", const_cast<char**>(kwlist),
                                   &duration)) {
    return nullptr;
  }
  return new_sleep(type, duration);
}

PyObject* awaitable_await(PyObject* self) {
  PyTypeObject* type = iter_type();
  if (!type) return nullptr;
  return new_object<SleepIter>(type, Box<SleepAwaitable>::of(self).deadline);
}

// One step: StopIteration once the deadline has passed, otherwise park the
// task on the timer wheel and yield ().
PyObject* iter_step(PyObject* self) {
  SleepIter& it = Box<SleepIter>::of(self);
  if (it.done) return nullptr;
  if (Instant::now() >= it.deadline) {
    it.done = true;
    it.withdraw_timer();  // woken by something else right at the deadline
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    RuntimeContext& ctx = runtime::current();
    if (Waker waker = std::move(ctx.current_waker)) {
      it.withdraw_timer();  // a task woken early parks again with one entry
      it.timer = ctx.core->add_cancellable_timer(it.deadline, std::move(waker), /*signal=*/true);
      if (it.timer) it.core = ctx.core;
    }
    return pending_marker();
  });
}

PyObject* iter_send(PyObject* self, PyObject*) { return send_result(iter_step(self)); }

PyMethodDef iter_methods[] = {
    {"send", iter_send, METH_O, "send($self, _val)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot awaitable_slots[] = {
    {Py_tp_doc, const_cast<char*>("SleepAwaitable(duration)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(awaitable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<SleepAwaitable>)},
    {Py_am_await, reinterpret_cast<void*>(awaitable_await)},
    {0, nullptr},
};
PyType_Spec awaitable_spec = {"_velkor.SleepAwaitable", sizeof(Box<SleepAwaitable>), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, awaitable_slots};

PyType_Slot iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<SleepIter>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iter_step)},
    {Py_tp_methods, iter_methods},
    {0, nullptr},
};
PyType_Spec iter_spec = {"_velkor.SleepIter", sizeof(Box<SleepIter>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         iter_slots};

PyTypeObject* awaitable_type() { return shared_type(g_awaitable_type, &awaitable_spec); }
PyTypeObject* iter_type() { return shared_type(g_iter_type, &iter_spec); }

}  // namespace

PyObject* sleep(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"duration", nullptr};
  PyObject* duration;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:sleep", const_cast<char**>(kwlist), &duration)) {
    return nullptr;
  }
  PyTypeObject* type = awaitable_type();
  if (!type) return nullptr;
  return new_sleep(type, duration);
}

}  // namespace velkor::py
