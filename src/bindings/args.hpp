// Argument binding for fast-call entry points, in the interpreter's own wording and with the
// callable's qualified name ("Index.add_object()"), and the re-raising of conversion errors as
// "argument 'NAME': ...".
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "interpreter/errors.hpp"
#include "interpreter/ref.hpp"

namespace vantorelle::py {

inline constexpr std::size_t kMaxParams = 4;

struct Signature {
  const char* qualname;                          // e.g. "Index.add_object"
  std::array<const char*, kMaxParams> params{};  // positional-or-keyword, all required
  std::size_t n_params = 0;
  bool var_kwargs = false;                       // collects other keywords into a dict
};

struct BoundArgs {
  std::array<PyObject*, kMaxParams> values{};  // borrowed from the call
  OwnedRef kwargs;                             // only with var_kwargs; null when none were passed
};

// A fast-call entry point as the method table stores it.
template <auto F>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(F));
}

// Throws PyErrorSet with a TypeError on any binding error.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);

// Binds a call made with a tuple and a dict (tp_new / tp_init style) for a signature without
// parameters: any argument is a TypeError.
void bind_no_args(const char* qualname, PyObject* args, PyObject* kwargs);

// TypeError("QUALNAME() got an unexpected keyword argument 'KEY'").
[[noreturn]] void raise_unexpected_keyword(const char* qualname, PyObject* key);

// Re-raises a pending TypeError as TypeError("argument 'NAME': <text>") caused by the original;
// other pending errors are left untouched. Always throws PyErrorSet.
[[noreturn]] void reraise_for_argument(const char* name);

// Raises TypeError("argument 'NAME': '<type>' object cannot be converted to '<expected>'").
[[noreturn]] void raise_wrong_type(const char* name, PyObject* obj, const char* expected);

// The short name of an object's type, as the interpreter prints it in messages.
std::string type_name(PyObject* obj);

// An unsigned 32-bit integer taken through __index__.
std::uint32_t extract_u32(PyObject* obj, const char* name);

}  // namespace vantorelle::py
