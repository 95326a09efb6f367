// Errors cross into Python in one place. Inside the module, code throws: PyErrorSet means a Python
// exception is already set; vantorelle::InternalFailure carries the message of a broken
// invariant; vantorelle::DomainError is what the caller got wrong, found by the core, which runs
// without the interpreter. Every entry point runs its body through `guarded`, which marks the
// thread as holding the interpreter lock and turns all three into the interpreter's error return.
#pragma once

#include <new>
#include <string>
#include <type_traits>

#include "interpreter/api.hpp"
#include "interpreter/gil.hpp"
#include "native/failure.hpp"

namespace vantorelle::py {

struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] void raise_object(PyObject* type, PyObject* value);

// Takes the pending exception (one must be set), normalised, with its traceback attached.
PyObject* fetch_exception() noexcept;
// Raises `type(message)` with `cause` (a new reference, stolen; may be null) as its __cause__.
[[noreturn]] void raise_caused_by(PyObject* type, PyObject* message, PyObject* cause);

// Throws PyErrorSet when `result` is null (the interpreter's own error convention).
template <class T>
inline T* check(T* result) {
  if (result == nullptr) throw_error_set();
  return result;
}
inline void check_status(int status) {
  if (status < 0) throw_error_set();
}

// The class raised for internal failures: derives from BaseException so that `except Exception`
// does not swallow a broken invariant. Created once per process; null only if that failed.
PyObject* panic_exception_type();

// Sets PanicException(message); aborts the process if even that fails.
void set_panic(const char* message) noexcept;

// Sets the built-in exception a DomainError names.
void set_domain_error(const DomainError& error) noexcept;

template <class F>
inline auto guarded(F&& body, std::invoke_result_t<F> error_value) noexcept -> std::invoke_result_t<F> {
  HoldingGil holding;
  try {
    return body();
  } catch (const PyErrorSet&) {
  } catch (const DomainError& error) {
    set_domain_error(error);
  } catch (const InternalFailure& failure) {
    set_panic(failure.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& failure) {
    set_panic(failure.what());
  } catch (...) {
    set_panic("unknown internal failure");
  }
  return error_value;
}

}  // namespace vantorelle::py
