#pragma once
#include <memory>

#include "python/pyref.h"
#include "runtime/loop.h"

namespace velkor::py {

PyTypeObject* event_loop_type();

// The engine core of a PyEventLoop, for other native code that schedules on
// it; nullptr with an exception set when `obj` is not one, or is closed.
std::shared_ptr<SharedCore> event_loop_core(PyObject* obj);

}  // namespace velkor::py
