#include "python/module_state.h"

#include <atomic>

namespace velkor::py {

namespace {

// Fills `cell` with the module `name` once; a thread that loses a race for
// the same cell drops its own reference. Import runs Python, so no lock is
// held around it.
PyObject* import_once(PyObject*& cell, const char* name) {
  std::atomic_ref<PyObject*> slot(cell);
  if (PyObject* module = slot.load(std::memory_order_acquire)) return module;
  PyObject* module = PyImport_ImportModule(name);
  if (!module) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, module, std::memory_order_acq_rel)) {
    Py_DECREF(module);
    return expected;
  }
  return module;
}

}  // namespace

ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

namespace {
// The hooks may run before the state exists (an import that failed early).
ModuleState* state_if_any(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}
}  // namespace

PyObject* compat_module(ModuleState& state) { return import_once(state.compat, "velkor._compat"); }

PyObject* asyncio_module(ModuleState& state) { return import_once(state.asyncio, "_asyncio"); }

int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_if_any(module);
  if (!state) return 0;
  Py_VISIT(state->compat);
  Py_VISIT(state->asyncio);
  return 0;
}

int clear_module_state(PyObject* module) {
  ModuleState* state = state_if_any(module);
  if (!state) return 0;
  Py_CLEAR(state->compat);
  Py_CLEAR(state->asyncio);
  return 0;
}

void free_module_state(void* module) { clear_module_state(static_cast<PyObject*>(module)); }

}  // namespace velkor::py
