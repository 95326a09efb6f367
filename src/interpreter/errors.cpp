#include "interpreter/errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "interpreter/ref.hpp"

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

void set_domain_error(const DomainError& error) noexcept {
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind()) {
    case DomainError::Kind::Recursion: type = PyExc_RecursionError; break;
    case DomainError::Kind::Overflow: type = PyExc_OverflowError; break;
    case DomainError::Kind::Value: type = PyExc_ValueError; break;
    case DomainError::Kind::Type: type = PyExc_TypeError; break;
    case DomainError::Kind::Key: type = PyExc_KeyError; break;
    case DomainError::Kind::Runtime: type = PyExc_RuntimeError; break;
  }
  PyErr_SetString(type, error.what());
}

}  // namespace vantorelle::py
