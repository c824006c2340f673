#pragma once
// StreamCore: the native base of the package's Stream (see stream_core.cpp).
#include "python/pyref.h"

namespace velkor::py {

PyTypeObject* stream_core_type();

}  // namespace velkor::py
