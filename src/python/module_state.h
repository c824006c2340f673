#pragma once
// Per-interpreter state of the _velkor module: the Python modules that task
// steps call into, imported in the module's own interpreter on first use.
// Each interpreter that imports _velkor has its own module object and so its
// own state; a spawned task keeps the module (and with it this state) of the
// interpreter that spawned it, so its steps never reach across interpreters.
#include "python/pyref.h"

namespace velkor::py {

struct ModuleState {
  PyObject* compat = nullptr;       // velkor._compat
  PyObject* asyncio = nullptr;      // _asyncio
  PyObject* enter_task = nullptr;   // _asyncio._enter_task
  PyObject* leave_task = nullptr;   // _asyncio._leave_task
  PyObject* task_helpers = nullptr;     // velkor.tasks._NATIVE_HELPERS
  // Where the last loop class seen by a task step keeps _running_task: the
  // slot's offset (0: none usable), valid while the class keeps its version
  // tag. Borrowed: a new class can only reuse the address with a new tag.
  PyTypeObject* running_task_type = nullptr;
  unsigned int running_task_version = 0;
  Py_ssize_t running_task_offset = 0;
};

// The state of a _velkor module object.
ModuleState& module_state(PyObject* module);

// velkor._compat and _asyncio of that interpreter (borrowed), imported by
// the first successful call. Null with an error set when the import fails.
PyObject* compat_module(ModuleState& state);
PyObject* asyncio_module(ModuleState& state);
// _asyncio._enter_task and _leave_task (borrowed), looked up once: every
// task step calls both.
PyObject* asyncio_enter_task(ModuleState& state);
PyObject* asyncio_leave_task(ModuleState& state);

// Module definition hooks (m_traverse, m_clear, m_free).
int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);
void free_module_state(void* module);

}  // namespace velkor::py
