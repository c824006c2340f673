#pragma once
// The one place where runtime failures become Python exceptions.
#include <string>

#include "python/pyref.h"
#include "runtime/panic.h"

namespace velkor::py {

// PanicException: derives directly from BaseException; created on first use
// and shared by the whole process; not a module attribute. Borrowed.
PyObject* panic_exception_type();

// Sets PanicException(message); returns nullptr for `return raise_panic(...)`.
std::nullptr_t raise_panic(const char* message);

// The C library's description of `err`, then " (os error N)".
std::string os_error_text(int err);

// Adds the note "while processing '<name>'" to the exception being raised.
void add_argument_note(const char* name);

// Runs `body` (which returns a new reference or nullptr with an error set)
// and turns a Panic or an allocation failure into the matching exception.
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const Panic& p) {
    return raise_panic(p.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// Same for bodies that return an int status (0 / -1).
template <class Body>
int guarded_status(Body&& body) {
  try {
    return body();
  } catch (const Panic& p) {
    raise_panic(p.what());
    return -1;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

}  // namespace velkor::py
