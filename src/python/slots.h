#pragma once
// ResultSlot: the shared cell through which a producer (a coroutine driver, a
// pool worker) hands an outcome to whoever awaits it. Its mutex is held only
// for one store or take, never together with another lock, and never while a
// reference is released (releases happen after unlocking, because a
// finaliser may run arbitrary Python).
#include <mutex>

#include "python/pyref.h"

namespace velkor::py {

struct Outcome {
  enum class Kind { Empty, Value, Failure };
  Kind kind = Kind::Empty;
  Ref object;  // the value, or the exception instance

  bool empty() const { return kind == Kind::Empty; }
};

class ResultSlot {
 public:
  void store(Outcome outcome) {
    Outcome old;
    {
      std::lock_guard lock(mu_);
      old = std::exchange(outcome_, std::move(outcome));
    }
  }
  void store_value(Ref value) { store(Outcome{Outcome::Kind::Value, std::move(value)}); }
  void store_failure(Ref exc) { store(Outcome{Outcome::Kind::Failure, std::move(exc)}); }

  // Moves the outcome out, leaving the slot empty.
  Outcome take() {
    std::lock_guard lock(mu_);
    return std::exchange(outcome_, Outcome{});
  }

  bool has_outcome() {
    std::lock_guard lock(mu_);
    return !outcome_.empty();
  }

  // A new reference to the outcome, leaving it in place (needs attachment).
  Outcome peek() {
    std::lock_guard lock(mu_);
    return Outcome{outcome_.kind, outcome_.object.copy()};
  }

 private:
  std::mutex mu_;
  Outcome outcome_;
};

// Hands a run's outcome to its caller: the value (new reference), the
// exception raised (nullptr), or None when the run ended without one.
PyObject* return_outcome(Outcome outcome);

// Raises or returns an outcome as the end of an await: a value becomes
// StopIteration(value), a failure is raised as itself. Returns nullptr.
std::nullptr_t finish_await(Outcome outcome);

}  // namespace velkor::py
