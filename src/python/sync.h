#pragma once
#include "python/pyref.h"

namespace velkor::py {

PyTypeObject* waker_queue_type();

}  // namespace velkor::py
