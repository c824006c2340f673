#pragma once
#include "python/pyref.h"

namespace velkor::py {

PyTypeObject* event_loop_type();

}  // namespace velkor::py
