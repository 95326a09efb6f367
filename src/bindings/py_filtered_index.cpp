// The FilteredIndex class: a view over an index core, narrowed further, collected or rebased.
#include <new>

#include "bindings/args.hpp"
#include "bindings/hash_query.hpp"
#include "bindings/objects.hpp"
#include "native/worker_pool.hpp"

namespace vantorelle::py {
namespace {

FilteredIndexObject* as_view(PyObject* obj) { return reinterpret_cast<FilteredIndexObject*>(obj); }

const Signature kReduced{"FilteredIndex.reduced", {}, 0, true};
const Signature kReducedQuery{"FilteredIndex.reduced_query", {"query"}, 1};
const Signature kCollect{"FilteredIndex.collect", {}, 0};
const Signature kRebase{"FilteredIndex.rebase", {}, 0};

// A narrower view over the same table and slots.
std::shared_ptr<FilteredView> narrower(const FilteredView& view) {
  return std::make_shared<FilteredView>(view.narrowed(Bitmap()));
}

PyObject* view_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedAccess access(as_view(self)->borrow);
    const FilteredView& view = *as_view(self)->view;
    HashQuery query = keyword_query(kReduced, args, nargs, kwnames);
    std::shared_ptr<FilteredView> result = narrower(view);
    {
      ReleaseGil unlocked;
      result->ids = view.reduced(query);
    }
    return new_filtered_index(std::move(result), as_view(self)->slots);
  }, nullptr);
}

PyObject* view_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedAccess access(as_view(self)->borrow);
    const FilteredView& view = *as_view(self)->view;
    BoundArgs bound;
    bind(kReducedQuery, args, nargs, kwnames, bound);
    std::shared_ptr<const QueryExpr> expr = query_of(bound.values[0], "query");
    std::shared_ptr<FilteredView> result = narrower(view);
    // Evaluated holding the interpreter lock; the pool's threads never need it.
    pool::run([&] { result->ids = view.reduced_query(*expr); });
    return new_filtered_index(std::move(result), as_view(self)->slots);
  }, nullptr);
}

PyObject* view_collect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedAccess access(as_view(self)->borrow);
    BoundArgs bound;
    bind(kCollect, args, nargs, kwnames, bound);
    const FilteredView& view = *as_view(self)->view;
    return list_of_objects(view.size(), [&](auto&& put) { view.for_each_object(put); });
  }, nullptr);
}

PyObject* view_rebase(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    SharedAccess access(as_view(self)->borrow);
    BoundArgs bound;
    bind(kRebase, args, nargs, kwnames, bound);
    const FilteredView& view = *as_view(self)->view;
    std::vector<IndexableHandle> objects;
    {
      ReleaseGil unlocked;
      objects = view.objects();
    }
    std::vector<IndexableHandle> owned = own_handles(objects);
    objects.clear();
    // The new index also indexes names beginning with "_", whose values the view's index never
    // checked for depth.
    std::vector<Indexable*> natives;
    natives.reserve(owned.size());
    for (const IndexableHandle& obj : owned) natives.push_back(&obj.native());
    check_nesting_depth(natives, 0, nullptr, true);
    std::shared_ptr<IndexAPI> core;
    {
      ReleaseGil unlocked;
      core = FilteredView::rebase(owned);
    }
    return new_index(std::move(core));
  }, nullptr);
}

// As for an Index: the core's own locks make these safe without the access flag.
Py_ssize_t view_length(PyObject* self) {
  return guarded([&]() -> Py_ssize_t { return static_cast<Py_ssize_t>(as_view(self)->view->stored_count()); }, -1);
}

int view_contains(PyObject* self, PyObject* obj) {
  return guarded([&]() -> int {
    return is_indexable(obj) && as_view(self)->view->holds(as_indexable(obj)->native.id()) ? 1 : 0;
  }, -1);
}

PyObject* view_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const FilteredView& view = *as_view(self)->view;
    return new_index_iterator(view.items, as_view(self)->slots, view.ids.to_vector());
  }, nullptr);
}

PyObject* view_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto count = static_cast<unsigned long long>(as_view(self)->view->stored_count());
    return PyUnicode_FromFormat("<FilteredIndex with %llu objects>", count);
  }, nullptr);
}

PyMethodDef view_methods[] = {
    {"reduced", fastcall<view_reduced>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\nA narrower view: the objects of this one matching the keywords."},
    {"reduced_query", fastcall<view_reduced_query>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\nA narrower view: the objects of this one satisfying a PyQueryExpr, "
     "with this view as everything a negation complements against."},
    {"collect", fastcall<view_collect>(), METH_FASTCALL | METH_KEYWORDS,
     "collect($self)\n--\n\nThe view's objects still in the index, in ascending id (creation) order."},
    {"rebase", fastcall<view_rebase>(), METH_FASTCALL | METH_KEYWORDS,
     "rebase($self)\n--\n\nA new, independent Index of the view's objects, indexed from their current "
     "attributes (names beginning with '_' included)."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FilteredIndex");
  return nullptr;
}

int view_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_view(self)->slots);
  return 0;
}

int view_clear(PyObject* self) {
  HoldingGil holding;
  std::shared_ptr<const FilteredView> old = std::exchange(
      as_view(self)->view,
      std::make_shared<const FilteredView>(FilteredView::empty()));
  Py_CLEAR(as_view(self)->slots);
  return 0;
}

void view_dealloc(PyObject* self) {
  HoldingGil holding;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_view(self)->slots);
  as_view(self)->view.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot view_slots[] = {
    {Py_tp_doc, const_cast<char*>("A view of some objects of an index, made by reduced and reduced_query.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(view_clear)},
    {Py_tp_methods, view_methods},
    {Py_sq_length, reinterpret_cast<void*>(view_length)},
    {Py_sq_contains, reinterpret_cast<void*>(view_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(view_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {0, nullptr},
};

PyType_Spec view_spec = {"builtins.FilteredIndex", sizeof(FilteredIndexObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, view_slots};

}  // namespace

PyObject* new_filtered_index(std::shared_ptr<const FilteredView> view, PyObject* slots) {
  PyTypeObject* type = filtered_index_type();
  PyObject* self = check(type->tp_alloc(type, 0));
  new (&as_view(self)->borrow) BorrowFlag();
  new (&as_view(self)->view) std::shared_ptr<const FilteredView>(std::move(view));
  as_view(self)->slots = Py_XNewRef(slots);
  return self;
}

PyTypeObject* filtered_index_type() {
  static PyTypeObject* type = create_type(view_spec, "FilteredIndex");
  return type;
}

}  // namespace vantorelle::py
