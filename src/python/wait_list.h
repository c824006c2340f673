#pragma once
#include "python/pyref.h"

namespace velkor::py {

PyTypeObject* wait_list_type();
PyTypeObject* wait_type();

}  // namespace velkor::py
