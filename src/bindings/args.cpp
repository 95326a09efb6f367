#include "bindings/args.hpp"

#include <cstring>
#include <string_view>

#include "interpreter/text.hpp"

namespace vantorelle::py {
namespace {

std::string plural(std::size_t n, const char* word) {
  std::string text = std::to_string(n) + " " + word;
  if (n != 1) text += "s";
  return text;
}

[[noreturn]] void raise_type_error(const Signature& sig, const std::string& tail) {
  raise(PyExc_TypeError, std::string(sig.qualname) + "()" + tail);
}

}  // namespace

// The key is formatted by the interpreter, so a name that is not valid text is shown as it is.
void raise_unexpected_keyword(const char* qualname, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualname, key);
  throw_error_set();
}

std::string type_name(PyObject* obj) {
  const char* full = Py_TYPE(obj)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot ? dot + 1 : full;
}

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
  Py_ssize_t n_positional = PyVectorcall_NARGS(nargs);
  if (static_cast<std::size_t>(n_positional) > sig.n_params) {
    raise_type_error(sig, " takes " + plural(sig.n_params, "positional argument") + " but " +
                              std::to_string(n_positional) + (n_positional == 1 ? " was" : " were") + " given");
  }
  for (Py_ssize_t i = 0; i < n_positional; ++i) out.values[i] = args[i];

  Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[n_positional + k];
    // A name that is not valid text matches no parameter; it is still named in the error.
    std::string_view name = utf8_view_or_none(key).value_or(std::string_view());
    bool matched = false;
    for (std::size_t p = 0; p < sig.n_params; ++p) {
      if (name.empty() || name != sig.params[p]) continue;
      if (out.values[p] != nullptr) {
        raise_type_error(sig, " got multiple values for argument '" + std::string(name) + "'");
      }
      out.values[p] = value;
      matched = true;
      break;
    }
    if (matched) continue;
    if (!sig.var_kwargs) raise_unexpected_keyword(sig.qualname, key);
    if (!out.kwargs) out.kwargs = OwnedRef::steal(check(PyDict_New()));
    check_status(PyDict_SetItem(out.kwargs.get(), key, value));
  }

  std::string missing;
  std::size_t n_missing = 0;
  for (std::size_t p = 0; p < sig.n_params; ++p) {
    if (out.values[p] == nullptr) ++n_missing;
  }
  if (n_missing == 0) return;
  std::size_t seen = 0;
  for (std::size_t p = 0; p < sig.n_params; ++p) {
    if (out.values[p] != nullptr) continue;
    ++seen;
    if (seen > 1) missing += (n_missing == 2) ? " and " : (seen == n_missing ? ", and " : ", ");
    missing += "'" + std::string(sig.params[p]) + "'";
  }
  raise_type_error(sig, " missing " + plural(n_missing, "required positional argument") + ": " + missing);
}

void bind_no_args(const char* qualname, PyObject* args, PyObject* kwargs) {
  Py_ssize_t n = args ? PyTuple_GET_SIZE(args) : 0;
  if (n > 0) {
    raise(PyExc_TypeError, std::string(qualname) + "() takes 0 positional arguments but " + std::to_string(n) +
                               (n == 1 ? " was" : " were") + " given");
  }
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyDict_Next(kwargs, &pos, &key, &value);
    raise_unexpected_keyword(qualname, key);
  }
}

void reraise_for_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error_set();
  OwnedRef cause = OwnedRef::steal(fetch_exception());
  OwnedRef text = OwnedRef::steal(PyObject_Str(cause.get()));
  if (!text) throw_error_set();
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) throw_error_set();
  raise_caused_by(PyExc_TypeError, message.get(), cause.release());
}

void raise_wrong_type(const char* name, PyObject* obj, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj).c_str(), expected);
  reraise_for_argument(name);
}

std::uint32_t extract_u32(PyObject* obj, const char* name) {
  OwnedRef number = OwnedRef::steal(PyNumber_Index(obj));
  if (!number) reraise_for_argument(name);
  unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for_argument(name);
  if (value > 0xFFFFFFFFull) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::uint32_t>(value);
}

}  // namespace vantorelle::py
