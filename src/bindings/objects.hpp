// Layouts of the module's Python objects. Each is a thin shell: an access flag and one native
// owner; the work happens in src/index.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bindings/borrow.hpp"
#include "bindings/value_convert.hpp"
#include "index/index_api.hpp"
#include "index/filtered_view.hpp"
#include "index/indexable.hpp"
#include "index/query_expr.hpp"
#include "interpreter/native_object.hpp"

namespace vantorelle::py {

using IndexableObject = NativeObject<Indexable>;
// With the collector's two-word header, 80 bytes: one of the interpreter's small-object size
// classes.
static_assert(sizeof(IndexableObject) == 64, "an Indexable stays eight words");

// The owner, for the collector, of the references in a top-level core's slots (py_slots.cpp).
struct SlotsObject {
  PyObject_HEAD
  std::shared_ptr<Locked<Slots>> items;
};

struct IndexObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::shared_ptr<IndexAPI> core;  // never null once constructed; replaced only by tp_clear and,
                                   // while empty, by __setstate__
  PyObject* slots;                 // a SlotsObject on core's slots; null once cleared
};

struct FilteredIndexObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::shared_ptr<const FilteredView> view;  // never null once constructed; replaced only by tp_clear
  PyObject* slots;                           // the SlotsObject of view->items; null once cleared
};

struct PyQueryExprObject {
  PyObject_HEAD
  BorrowFlag borrow;
  // The tree, never changed after the builder made it. Its values hold references of their own,
  // so the tree alone reports them to the collector; evaluations share it while they run.
  std::shared_ptr<const QueryExpr> root;
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

// A new FilteredIndex over `view`, whose slots `slots` (a SlotsObject, or null) owns.
PyObject* new_filtered_index(std::shared_ptr<const FilteredView> view, PyObject* slots);
// An iterator over the objects of `ids` still in `items` (whose owner is `slots`), in that order.
PyObject* new_index_iterator(std::shared_ptr<Locked<Slots>> items, PyObject* slots, std::vector<std::uint32_t> ids);
// The module's reconstructors for pickling: an empty Index and an empty Indexable, which their
// __setstate__ then fills.
PyObject* rebuild_index();
PyObject* rebuild_indexable();
// A new reference to the module's attribute `name` (the reconstructors pickle names).
PyObject* module_attribute(const char* name);
// A new SlotsObject owning `items` for the collector.
PyObject* new_slots_owner(std::shared_ptr<Locked<Slots>> items);
// Handles carrying references of their own on the objects `shared` names (see
// IndexAPI::add_objects): what one index's slots hold is never stored in another's.
std::vector<IndexableHandle> own_handles(const std::vector<IndexableHandle>& shared);
// A new Index owning `core`.
PyObject* new_index(std::shared_ptr<IndexAPI> core);
// The tree of a PyQueryExpr argument, shared for the duration of a call; TypeError naming
// `argument` for anything else.
std::shared_ptr<const QueryExpr> query_of(PyObject* obj, const char* argument);

// The core verifier of an Index, for tests: empty while every invariant holds.
std::string verify_index(PyObject* index);

// Lists are allocated before a slot lock is taken (allocation may run the collector) and filled
// under it with no interpreter call; slots that turn out empty shrink the list afterwards.
template <class Fill>
PyObject* list_of_objects(std::size_t capacity, Fill&& fill) {
  auto size = static_cast<Py_ssize_t>(capacity);
  OwnedRef list = OwnedRef::steal(check(PyList_New(size)));
  Py_ssize_t filled = 0;
  fill([&](PyObject* obj) {
    if (obj == nullptr || filled == size) return;
    Py_INCREF(obj);
    PyList_SET_ITEM(list.get(), filled++, obj);
  });
  if (filled < size) check_status(PyList_SetSlice(list.get(), filled, size, nullptr));
  return list.release();
}

// Creates a heap type from its description, reporting failure as the initialisation RuntimeError.
PyTypeObject* create_type(PyType_Spec& description, const char* class_name);

}  // namespace vantorelle::py
