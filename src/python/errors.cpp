#include "python/errors.h"

#include <cstring>

#include "python/types.h"

namespace velkor::py {

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  return create_once(type, [] {
    return PyErr_NewExceptionWithDoc(
        "velkor.PanicException",
        "An internal failure of the velkor runtime (for example a runtime operation\n"
        "on a thread without a runtime context).",
        PyExc_BaseException, nullptr);
  });
}

std::nullptr_t raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type) PyErr_SetString(type, message);
  return nullptr;
}

std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);  // GNU variant
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

void add_argument_note(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (note) {
    Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

}  // namespace velkor::py
