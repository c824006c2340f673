#pragma once
// Fatal failures of a runtime operation. The engine throws them; the Python
// layer turns them into PanicException at the edge (see python/errors.h).
#include <stdexcept>
#include <string>

namespace velkor {

class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

inline constexpr const char* kRuntimeNotInitialized =
    "velkor runtime not initialized. Call velkor.run() first";

// A coroutine step found the interpreter finalising: it can never run again.
inline constexpr const char* kInterpreterFinalizing =
    "the interpreter is finalizing: velkor cannot step Python coroutines any more";

}  // namespace velkor
