// Layouts of the module's Python objects. Each is a thin shell: an access flag and one native
// owner; the work happens in src/index.
#pragma once

#include <memory>
#include <string>

#include "bindings/borrow.hpp"
#include "bindings/value_convert.hpp"
#include "index/index_api.hpp"
#include "index/indexable.hpp"
#include "interpreter/native_object.hpp"

namespace vantorelle::py {

using IndexableObject = NativeObject<Indexable>;

struct IndexObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::shared_ptr<IndexAPI> core;  // never null once constructed; replaced only by tp_clear
};

struct FilteredIndexObject {
  PyObject_HEAD
  BorrowFlag borrow;
};

struct PyQueryExprObject {
  PyObject_HEAD
  BorrowFlag borrow;
};

// Type objects: created on first use and kept for the process. They raise (PyErrorSet) with a
// RuntimeError "An error occurred while initializing class <Name>" if creation fails.
PyTypeObject* index_type();
PyTypeObject* filtered_index_type();
PyTypeObject* query_expr_type();
// indexable_type() is declared in bindings/value_convert.hpp.

inline IndexableObject* as_indexable(PyObject* obj) { return reinterpret_cast<IndexableObject*>(obj); }
inline bool is_indexable(PyObject* obj) { return PyObject_TypeCheck(obj, indexable_type()); }
// A handle on `obj`, which must pass is_indexable.
inline IndexableHandle indexable_handle(PyObject* obj) {
  return IndexableHandle::of_checked(PyHandle::take(OwnedRef::incref(obj)));
}

// The core verifier of an Index, for tests: empty while every invariant holds.
std::string verify_index(PyObject* index);

// Creates a heap type from its description, reporting failure as the initialisation RuntimeError.
PyTypeObject* create_type(PyType_Spec& description, const char* class_name);

}  // namespace vantorelle::py
