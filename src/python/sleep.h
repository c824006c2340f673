#pragma once
#include "python/pyref.h"

namespace velkor::py {

// sleep(duration)
PyObject* sleep(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace velkor::py
