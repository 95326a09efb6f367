#include "python/hash_query.hpp"

#include <algorithm>
#include <unordered_set>

#include "python/errors.hpp"
#include "python/value_convert.hpp"

namespace vantorelle::py {

namespace {

// Appends the value set of one keyword to `query`.
void add_keyword(HashQuery& query, PyObject* key, PyObject* value) {
  Py_ssize_t len = 0;
  const char* text = check(PyUnicode_AsUTF8AndSize(key, &len));
  // Duplicates go, by the tables' own equality: a scan while the values are few, a set after.
  constexpr std::size_t kScanLimit = 16;
  std::unordered_set<PyValue, PyValueHash> seen;
  std::vector<PyValue> values;
  auto add = [&](PyValue v) {
    if (values.size() < kScanLimit) {
      if (std::find(values.begin(), values.end(), v) != values.end()) return;
      values.push_back(std::move(v));
      if (values.size() == kScanLimit) seen.insert(values.begin(), values.end());
      return;
    }
    if (seen.insert(v).second) values.push_back(std::move(v));
  };
  // Iterable exactly when the interpreter would iterate it; an error raised by the object's
  // own __iter__ (even a TypeError) is the caller's to see.
  OwnedRef iterator;
  bool iterable = !PyUnicode_Check(value) && (Py_TYPE(value)->tp_iter != nullptr || PySequence_Check(value));
  if (iterable) iterator = OwnedRef::steal(check(PyObject_GetIter(value)));
  if (iterator) {
    while (PyObject* item = PyIter_Next(iterator.get())) add(make_value(OwnedRef::steal(item)));
    if (PyErr_Occurred()) throw_error_set();
  } else {
    add(make_value(BorrowedRef(value)));
  }
  query.emplace_back(AttrName(std::string_view(text, static_cast<std::size_t>(len))), std::move(values));
}

}  // namespace

HashQuery kwargs_to_hash_query(PyObject* kwargs) {
  HashQuery query;
  if (kwargs == nullptr || kwargs == Py_None) return query;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) add_keyword(query, key, value);
  return query;
}

HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames) {
  HashQuery query;
  Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  query.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) add_keyword(query, PyTuple_GET_ITEM(kwnames, i), values[i]);
  return query;
}

}  // namespace vantorelle::py
