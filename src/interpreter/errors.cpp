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

PyObject* fetch_exception() noexcept {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

void raise_caused_by(PyObject* type, PyObject* message, PyObject* cause) {
  OwnedRef owned_cause = OwnedRef::steal(cause);
  OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(type, message));
  if (!error) throw_error_set();
  if (owned_cause) PyException_SetCause(error.get(), owned_cause.release());  // steals
  PyErr_SetObject(type, error.get());
  throw_error_set();
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
