// _WaitList and _Wait: the waiting side of the package's locks, events,
// semaphores, conditions and queues. The primitive keeps its state in Python
// and decides whom a release goes to; the list keeps the parked tasks in
// order. `await waits.wait()` parks the current task in a node that lives
// inside the _Wait object itself, so one wait costs one small object.
//
// A wait that ends without a release (its task cancelled, the coroutine
// closed or dropped) leaves the list at once, so a later release never lands
// on a task that stopped waiting; `released` tells the primitive whether a
// release had reached it first, so it can hand the release on.
#include "python/wait_list.h"

#include "python/errors.h"
#include "python/types.h"
#include "runtime/context.h"
#include "runtime/wait_list.h"

namespace velkor::py {

namespace {

struct WaitListFields {
  WaitList list;
};

// The list object is kept alive by each of its waits: a linked node always
// has a list to leave.
struct WaitFields {
  Ref owner;
  WaitNode node;

  WaitList& list() const { return Box<WaitListFields>::of(owner.get()).list; }
  ~WaitFields() { list().abandon(node); }
};

PyObject* g_list_type = nullptr;
PyObject* g_wait_type = nullptr;

WaitList& list_of(PyObject* self) { return Box<WaitListFields>::of(self).list; }
WaitFields& wait_of(PyObject* self) { return Box<WaitFields>::of(self); }

// ---- _WaitList

PyObject* list_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":_WaitList", const_cast<char**>(kwlist))) {
    return nullptr;
  }
  return new_object<WaitListFields>(type);
}

PyObject* list_wait(PyObject* self, PyObject*) {
  PyTypeObject* type = wait_type();
  if (!type) return nullptr;
  return new_object<WaitFields>(type, Ref::borrow(self));
}

// Checks a positional-only argument count the way CPython words it.
bool positional_count(const char* name, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most) {
  if (nargs >= least && nargs <= most) return true;
  PyErr_Format(PyExc_TypeError, "%s expected %s %zd argument%s, got %zd", name,
               nargs < least ? "at least" : "at most", nargs < least ? least : most,
               (nargs < least ? least : most) == 1 ? "" : "s", nargs);
  return false;
}

PyObject* list_wake(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!positional_count("wake", nargs, 0, 1)) return nullptr;
  Py_ssize_t n = 1;
  if (nargs == 1) {
    n = PyNumber_AsSsize_t(args[0], nullptr);  // a huge count wakes everyone
    if (n == -1 && PyErr_Occurred()) return nullptr;
  }
  size_t woken = n > 0 ? list_of(self).wake(static_cast<size_t>(n)) : 0;
  return PyLong_FromSize_t(woken);
}

PyObject* list_wake_all(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(list_of(self).wake(SIZE_MAX));
}

PyObject* list_wake_first(PyObject* self, PyObject*) {
  return PyBool_FromLong(list_of(self).wake_first());
}

Py_ssize_t list_length(PyObject* self) { return static_cast<Py_ssize_t>(list_of(self).size()); }

PyObject* list_repr(PyObject* self) {
  return PyUnicode_FromFormat("<_WaitList waits=%zd>", list_length(self));
}

PyMethodDef list_methods[] = {
    {"wait", list_wait, METH_NOARGS,
     "wait($self, /)\n--\n\n"
     "An awaitable that parks the current task at the back of the list until\n"
     "a release reaches it."},
    {"wake", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(list_wake)), METH_FASTCALL,
     "wake($self, n=1, /)\n--\n\n"
     "Releases up to n parked waits, longest first; returns how many."},
    {"wake_all", list_wake_all, METH_NOARGS,
     "wake_all($self, /)\n--\n\nReleases every parked wait; returns how many."},
    {"wake_first", list_wake_first, METH_NOARGS,
     "wake_first($self, /)\n--\n\n"
     "Releases the first wait in line unless a release already reached it;\n"
     "returns whether it did."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot list_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "_WaitList()\n--\n\n"
                    "Tasks parked in line, first in, first out. len() counts the waits still\n"
                    "in line: those parked and those released but not yet resumed.")},
    {Py_tp_new, reinterpret_cast<void*>(list_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<WaitListFields>)},
    {Py_tp_methods, list_methods},
    {Py_tp_repr, reinterpret_cast<void*>(list_repr)},
    {Py_sq_length, reinterpret_cast<void*>(list_length)},
    {0, nullptr},
};
PyType_Spec list_spec = {"_velkor._WaitList", sizeof(Box<WaitListFields>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, list_slots};

// ---- _Wait: its own awaitable and iterator

PyObject* wait_step(PyObject* self) {
  return guarded([&]() -> PyObject* {
    WaitFields& wait = wait_of(self);
    switch (wait.list().poll(wait.node, runtime::current().current_waker)) {
      case WaitList::Step::Parked:
        return pending_marker();
      case WaitList::Step::Released:
        return nullptr;  // the await ends with None
      case WaitList::Step::NoWaker:
        PyErr_SetString(PyExc_RuntimeError, "cannot park outside of a task");
        return nullptr;
      case WaitList::Step::Ended:
        break;
    }
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse an ended wait");
    return nullptr;
  });
}

PyObject* wait_send(PyObject* self, PyObject*) { return send_result(wait_step(self)); }

// Raises what throw() was given, as a generator would.
PyObject* raise_thrown(PyObject* type, PyObject* value, PyObject* tb) {
  if (PyExceptionInstance_Check(type)) {
    if (value && value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    PyErr_SetRaisedException(Py_NewRef(type));
  } else if (PyExceptionClass_Check(type)) {
    PyErr_SetObject(type, value ? value : Py_None);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %.200s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
  }
  if (tb && tb != Py_None) {
    PyObject* exc = PyErr_GetRaisedException();
    if (PyTraceBack_Check(tb)) PyException_SetTraceback(exc, tb);
    PyErr_SetRaisedException(exc);
  }
  return nullptr;
}

// The task stops waiting (cancelled, or another exception thrown in): the
// wait leaves the list and the exception goes on up the await chain.
PyObject* wait_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!positional_count("throw", nargs, 1, 3)) return nullptr;
  WaitFields& wait = wait_of(self);
  wait.list().abandon(wait.node);
  return raise_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
}

PyObject* wait_close(PyObject* self, PyObject*) {
  WaitFields& wait = wait_of(self);
  wait.list().abandon(wait.node);
  Py_RETURN_NONE;
}

PyObject* wait_released(PyObject* self, PyObject*) {
  WaitFields& wait = wait_of(self);
  return PyBool_FromLong(wait.list().was_released(wait.node));
}

PyMethodDef wait_methods[] = {
    {"send", wait_send, METH_O, "send($self, _val, /)\n--\n\n"},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wait_throw)), METH_FASTCALL,
     "throw($self, typ, val=None, tb=None, /)\n--\n\n"
     "Ends the wait (it leaves the list) and raises the exception."},
    {"close", wait_close, METH_NOARGS, "close($self, /)\n--\n\nEnds the wait; it leaves the list."},
    {"released", wait_released, METH_NOARGS,
     "released($self, /)\n--\n\n"
     "Whether a release reached this wait (also one it then gave up)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wait_slots[] = {
    {Py_tp_doc, const_cast<char*>("One task's place in a _WaitList; await it once.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(delete_object<WaitFields>)},
    {Py_am_await, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(wait_step)},
    {Py_tp_methods, wait_methods},
    {0, nullptr},
};
PyType_Spec wait_spec = {"_velkor._Wait", sizeof(Box<WaitFields>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         wait_slots};

}  // namespace

PyTypeObject* wait_type() { return shared_type(g_wait_type, &wait_spec); }

PyTypeObject* wait_list_type() { return shared_type(g_list_type, &list_spec); }

}  // namespace velkor::py
