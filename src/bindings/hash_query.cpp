#include "bindings/hash_query.hpp"

#include <algorithm>
#include <unordered_set>

#include "interpreter/errors.hpp"
#include "bindings/value_convert.hpp"

namespace vantorelle::py {

namespace {

// Appends the value set of one keyword to `query`. `key` and `value` belong to the call, which
// keeps them alive while the value's own code (__iter__, __hash__) runs.
void add_keyword(HashQuery& query, PyObject* key, PyObject* value) {
  AttrName name = attr_name_of(key);
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
  query.emplace_back(std::move(name), std::move(values));
}

}  // namespace

HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames) {
  HashQuery query;
  Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  query.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) add_keyword(query, PyTuple_GET_ITEM(kwnames, i), values[i]);
  return query;
}

HashQuery keyword_query(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargs) > 0) {
    BoundArgs bound;
    bind(sig, args, nargs, kwnames, bound);
  }
  return kwargs_to_hash_query(args + PyVectorcall_NARGS(nargs), kwnames);
}

}  // namespace vantorelle::py
