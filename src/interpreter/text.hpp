// UTF-8 views of str objects. The view points into the str's own cached UTF-8 form: it stays valid
// only while the str is alive, so take a reference to the str (or copy the bytes) before anything
// that can run Python code.
#pragma once

#include <optional>
#include <string_view>

#include "interpreter/errors.hpp"

namespace vantorelle::py {

// The UTF-8 text of `str`, or std::nullopt with the interpreter's error (UnicodeEncodeError for a
// lone surrogate) set. `str` must be a str. The one place the module asks for UTF-8.
inline std::optional<std::string_view> utf8_or_error(PyObject* str) noexcept {
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &len);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(len));
}

// The UTF-8 text of `str`, or std::nullopt with no error left set.
inline std::optional<std::string_view> utf8_view_or_none(PyObject* str) noexcept {
  std::optional<std::string_view> text = utf8_or_error(str);
  if (!text) PyErr_Clear();
  return text;
}

// The UTF-8 text of `str`; throws PyErrorSet (UnicodeEncodeError) when it cannot be encoded.
inline std::string_view utf8_view(PyObject* str) {
  std::optional<std::string_view> text = utf8_or_error(str);
  if (!text) throw_error_set();
  return *text;
}

}  // namespace vantorelle::py
