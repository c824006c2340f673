#pragma once
#include "python/pyref.h"

namespace velkor::py {

// Offers a yielded object the current task's wake-up: when it has
// add_done_callback, a TaskWakerCallback for the task being polled is added.
// Best effort: every failure is discarded. Called attached, during a step.
void maybe_register_future_waker(PyObject* yielded);

}  // namespace velkor::py
