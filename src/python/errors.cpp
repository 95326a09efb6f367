#include "python/errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "python/ref.hpp"

namespace vantorelle::py {

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrorSet{};
}

void raise_object(PyObject* type, PyObject* value) {
  PyErr_SetObject(type, value);
  throw PyErrorSet{};
}

PyObject* panic_exception_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "Vantorelle.PanicException",
      "An internal invariant of Vantorelle failed. Derives from BaseException so that it is not "
      "caught by `except Exception`; the index touched by the failed call may refuse further use.",
      PyExc_BaseException, nullptr);
  return type;
}

void set_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  PyErr_SetString(type, message);
}

}  // namespace vantorelle::py
