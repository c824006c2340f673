#pragma once
#include <memory>

#include "python/pyref.h"
#include "runtime/loop.h"

namespace velkor::py {

// The TaskWakerCallback class (borrowed; created on first use).
PyTypeObject* task_waker_callback_type();

// A new TaskWakerCallback that wakes `id` on `core`.
PyObject* new_task_waker_callback(std::shared_ptr<SharedCore> core, TaskId id);

}  // namespace velkor::py
