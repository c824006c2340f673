#include "python/module_state.h"

#include <atomic>

namespace velkor::py {

namespace {

// Fills `cell` once with what `make` returns (a new reference); a thread that
// loses a race for the same cell drops its own reference. Imports and lookups
// run Python, so no lock is held around them.
template <class Make>
PyObject* fill_once(PyObject*& cell, Make&& make) {
  std::atomic_ref<PyObject*> slot(cell);
  if (PyObject* value = slot.load(std::memory_order_acquire)) return value;
  PyObject* value = make();
  if (!value) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, value, std::memory_order_acq_rel)) {
    Py_DECREF(value);
    return expected;
  }
  return value;
}

PyObject* import_once(PyObject*& cell, const char* name) {
  return fill_once(cell, [name] { return PyImport_ImportModule(name); });
}

PyObject* asyncio_function(ModuleState& state, PyObject*& cell, PyObject* name) {
  return fill_once(cell, [&]() -> PyObject* {
    PyObject* module = import_once(state.asyncio, "_asyncio");
    return module ? PyObject_GetAttr(module, name) : nullptr;
  });
}

// The hooks may run before the state exists (an import that failed early).
ModuleState* state_if_any(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace

ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

PyObject* compat_module(ModuleState& state) { return import_once(state.compat, "velkor._compat"); }

PyObject* asyncio_module(ModuleState& state) { return import_once(state.asyncio, "_asyncio"); }

PyObject* asyncio_enter_task(ModuleState& state) {
  return asyncio_function(state, state.enter_task, names().enter_task);
}

PyObject* asyncio_leave_task(ModuleState& state) {
  return asyncio_function(state, state.leave_task, names().leave_task);
}

int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_if_any(module);
  if (!state) return 0;
  Py_VISIT(state->compat);
  Py_VISIT(state->asyncio);
  Py_VISIT(state->enter_task);
  Py_VISIT(state->leave_task);
  Py_VISIT(state->task_helpers);
  return 0;
}

int clear_module_state(PyObject* module) {
  ModuleState* state = state_if_any(module);
  if (!state) return 0;
  Py_CLEAR(state->compat);
  Py_CLEAR(state->asyncio);
  Py_CLEAR(state->enter_task);
  Py_CLEAR(state->leave_task);
  Py_CLEAR(state->task_helpers);
  return 0;
}

void free_module_state(void* module) { clear_module_state(static_cast<PyObject*>(module)); }

}  // namespace velkor::py
