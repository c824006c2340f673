#include "python/bookkeeping.h"

#include <cstring>

#include "python/task_waker.h"

namespace velkor::py {

namespace {

// getattr(obj, name) or a null Ref, with the error cleared.
Ref optional_attr(PyObject* obj, PyObject* name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(obj, name, &value) < 0) PyErr_Clear();
  return Ref::steal(value);
}

// The key of the current-task holder (a small int: immortal).
PyObject* zero() {
  static PyObject* key = PyLong_FromLong(0);
  return key;
}

bool is_none(const Ref& r) { return !r || r.get() == Py_None; }

Ref task_loop(PyObject* task) {
  Ref loop = optional_attr(task, names().loop);
  if (is_none(loop)) return Ref();
  return loop;
}

// Calls `func(loop, task)` (_asyncio's _enter_task or _leave_task),
// discarding the outcome. Both run on every task step: a builtin taking
// fast-call arguments is called through its C function directly, which is
// what the generic call ends up doing after a dispatch through two layers.
void call_asyncio(PyObject* func, PyObject* loop, PyObject* task) {
  if (!func) {
    PyErr_Clear();
    return;
  }
  PyObject* args[] = {loop, task};
  PyObject* result;
  constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;
  if (PyCFunction_CheckExact(func) &&
      (PyCFunction_GET_FLAGS(func) & (kFastCall | METH_METHOD | METH_VARARGS | METH_NOARGS | METH_O)) ==
          kFastCall) {
    auto call = reinterpret_cast<PyCFunctionFastWithKeywords>(
        reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(func)));
    result = call(PyCFunction_GET_SELF(func), args, 2, nullptr);
  } else {
    result = PyObject_Vectorcall(func, args, 2, nullptr);
  }
  if (result) {
    Py_DECREF(result);
  } else {
    PyErr_Clear();
  }
}

// holder[0], for the list velkor._compat hands out, or any other mapping.
inline Ref holder_item(PyObject* holder) {
  if (PyList_CheckExact(holder) && PyList_GET_SIZE(holder) > 0) return Ref::borrow(PyList_GET_ITEM(holder, 0));
  Ref item = Ref::steal(PyObject_GetItem(holder, zero()));
  if (!item) PyErr_Clear();
  return item;
}

inline void set_holder_item(PyObject* holder, PyObject* value) {
  if (PyList_CheckExact(holder) && PyList_GET_SIZE(holder) > 0) {
    PyObject* old = PyList_GET_ITEM(holder, 0);
    PyList_SET_ITEM(holder, 0, Py_NewRef(value));
    Py_DECREF(old);
    return;
  }
  if (PyObject_SetItem(holder, zero(), value) < 0) PyErr_Clear();
}

// Where the loop keeps _running_task when its class declares it in
// __slots__ (the package's loop does): the step then reads and writes the
// slot itself instead of going through getattr and setattr. Null for any
// other class, or a writable slot shadowed by a descriptor of a subclass.
PyObject** running_task_slot(PyObject* loop) {
#ifdef Py_GIL_DISABLED
  (void)loop;
  return nullptr;  // slots are written atomically there: setattr does that
#else
  PyObject* descr = _PyType_Lookup(Py_TYPE(loop), names().running_task);  // borrowed
  if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) return nullptr;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
  if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY)) return nullptr;
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(loop) + member->offset);
#endif
}

// The same, remembered per loop class in `state`: a class keeps its version
// tag until it or a base is changed (a descriptor added, say), and a tag is
// never given to two classes, so a matching pair is still the same answer.
PyObject** cached_running_task_slot(ModuleState& state, PyObject* loop) {
#ifdef Py_GIL_DISABLED
  (void)state;
  (void)loop;
  return nullptr;  // see running_task_slot(); nor is the record guarded there
#else
  PyTypeObject* type = Py_TYPE(loop);
  if (type == state.running_task_type && type->tp_version_tag == state.running_task_version &&
      state.running_task_version != 0) {
    if (state.running_task_offset == 0) return nullptr;
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(loop) + state.running_task_offset);
  }
  PyObject** slot = running_task_slot(loop);  // gives the class a tag when it can
  state.running_task_type = type;
  state.running_task_version = type->tp_version_tag;
  state.running_task_offset = slot ? reinterpret_cast<char*>(slot) - reinterpret_cast<char*>(loop) : 0;
  return slot;
#endif
}

// loop._running_task, or a null Ref when it is None or missing; `slot` is
// where the loop's class keeps it (cached_running_task_slot()), or null.
Ref running_task(PyObject* loop, PyObject** slot) {
  Ref value;
  if (slot) {
    if (*slot) value = Ref::borrow(*slot);
  } else {
    value = optional_attr(loop, names().running_task);
  }
  if (is_none(value)) return Ref();
  return value;
}

void set_running_task(PyObject* loop, PyObject** slot, PyObject* task) {
  if (slot) {
    Py_XSETREF(*slot, Py_NewRef(task));
  } else if (PyObject_SetAttr(loop, names().running_task, task) < 0) {
    PyErr_Clear();
  }
}

}  // namespace

Ref compat_attribute(ModuleState& state, PyObject* name) {
  PyObject* module = compat_module(state);
  if (!module) {
    PyErr_Clear();
    return Ref();
  }
  Ref value = Ref::steal(PyObject_GetAttr(module, name));
  if (!value) PyErr_Clear();
  return value;
}

SavedBookkeeping enter_task_step(ModuleState& state, PyObject* task, PyObject* holder, Ref& loop_cache) {
  SavedBookkeeping saved;
  if (holder) saved.previous_current = holder_item(holder);
  if (is_none(saved.previous_current)) saved.previous_current = Ref();
  if (!task) return saved;
  if (!loop_cache) loop_cache = task_loop(task);
  saved.loop = loop_cache.copy();
  PyObject** slot = saved.loop ? cached_running_task_slot(state, saved.loop.get()) : nullptr;
  if (saved.loop) saved.previous_running = running_task(saved.loop.get(), slot);
  if (holder) set_holder_item(holder, task);
  if (saved.loop) {
    set_running_task(saved.loop.get(), slot, task);
    call_asyncio(asyncio_enter_task(state), saved.loop.get(), task);
  }
  return saved;
}

void exit_task_step(ModuleState& state, PyObject* task, PyObject* holder,
                    SavedBookkeeping& saved) {
  auto or_none = [](const Ref& r) { return r ? r.get() : Py_None; };
  if (holder) set_holder_item(holder, or_none(saved.previous_current));
  if (task && saved.loop) {
    // Looked up again: the step may have changed the loop's class.
    PyObject** slot = cached_running_task_slot(state, saved.loop.get());
    set_running_task(saved.loop.get(), slot, or_none(saved.previous_running));
    call_asyncio(asyncio_leave_task(state), saved.loop.get(), task);
  }
}

void enter_loop_task_step(ModuleState& state, PyObject* task, PyObject* holder, PyObject* loop,
                          LoopStepSaved& saved) {
  if (holder) {
    saved.previous_current = holder_item(holder).release();
    set_holder_item(holder, task);
  }
  saved.loop = Py_NewRef(loop);
  if (PyObject** slot = cached_running_task_slot(state, loop)) {
    saved.previous_running = std::exchange(*slot, Py_NewRef(task));
  } else {
    saved.previous_running = optional_attr(loop, names().running_task).release();
    set_running_task(loop, nullptr, task);
  }
  call_asyncio(asyncio_enter_task(state), loop, task);
}

void exit_loop_task_step(ModuleState& state, PyObject* task, PyObject* holder, LoopStepSaved& saved) {
  PyObject* previous_current = std::exchange(saved.previous_current, nullptr);
  PyObject* previous_running = std::exchange(saved.previous_running, nullptr);
  PyObject* loop = std::exchange(saved.loop, nullptr);
  if (holder) set_holder_item(holder, previous_current ? previous_current : Py_None);
  if (PyObject** slot = cached_running_task_slot(state, loop)) {
    Py_XSETREF(*slot, previous_running ? previous_running : Py_NewRef(Py_None));
    previous_running = nullptr;
  } else {
    set_running_task(loop, nullptr, previous_running ? previous_running : Py_None);
  }
  call_asyncio(asyncio_leave_task(state), loop, task);
  Py_XDECREF(previous_current);
  Py_XDECREF(previous_running);
  Py_DECREF(loop);
}

bool cancellation_requested(PyObject* task) {
  Ref flag = optional_attr(task, names().must_cancel);
  if (!flag) return false;
  if (flag.get() == Py_True) return true;
  if (flag.get() == Py_False) return false;
  // numpy's bool scalars are accepted through their truth value.
  PyTypeObject* type = Py_TYPE(flag.get());
  const char* name = type->tp_name;
  const char* dot = std::strrchr(name, '.');
  const char* short_name = dot ? dot + 1 : name;
  if (std::strcmp(short_name, "bool_") != 0 && std::strcmp(short_name, "bool") != 0) return false;
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  if (!module || !PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  int truth = PyObject_IsTrue(flag.get());
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth == 1;
}

void install_cancel_waker(PyObject* task, const std::shared_ptr<SharedCore>& core, TaskId id,
                          Ref& callback) {
  // A task keeps its loop and its id for life, so the callback made for its
  // first step serves every later one.
  if (!callback) callback = Ref::steal(new_task_waker_callback(core, id));
  if (!callback || PyObject_SetAttr(task, names().cancel_waker, callback.get()) < 0) PyErr_Clear();
}

}  // namespace velkor::py
