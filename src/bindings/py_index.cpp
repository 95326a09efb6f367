// The Index class: one shared reference to an index core.
#include <algorithm>
#include <new>
#include <unordered_map>
#include <utility>

#include "bindings/args.hpp"
#include "bindings/hash_query.hpp"
#include "bindings/objects.hpp"
#include "native/worker_pool.hpp"

namespace vantorelle::py {
namespace {

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

const Signature kAddObject{"Index.add_object", {"py_ref"}, 1};
const Signature kAddObjectMany{"Index.add_object_many", {"objs"}, 1};
const Signature kCollect{"Index.collect", {}, 0};
const Signature kGetByAttribute{"Index.get_by_attribute", {}, 0, true};
const Signature kReduce{"Index.reduce", {}, 0, true};
const Signature kReduced{"Index.reduced", {}, 0, true};
const Signature kReducedQuery{"Index.reduced_query", {"query"}, 1};
const Signature kGroupBy{"Index.group_by", {"attr"}, 1};
const Signature kRemoveObject{"Index.remove_object", {"obj"}, 1};
const Signature kDiscard{"Index.discard", {"obj"}, 1};
const Signature kReduceForPickle{"Index.__reduce__", {}, 0};
const Signature kUnionWith{"Index.union_with", {"other"}, 1};

// Refuses values nested too deep, with nothing stored, then runs the core's add protocol with the
// interpreter lock released.
void add_to_core(IndexObject& index, std::span<IndexableHandle> handles, std::span<Indexable* const> natives) {
  check_nesting_depth(natives, 0, nullptr, index.core->indexes_private_names());
  ReleaseGil unlocked;
  index.core->add_objects(handles);
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    ExclusiveAccess access(index->borrow);
    BoundArgs bound;
    bind(kAddObject, args, nargs, kwnames, bound);
    PyObject* obj = bound.values[0];
    if (!is_indexable(obj)) raise_wrong_type("py_ref", obj, "Indexable");
    Indexable* native = &as_indexable(obj)->native;
    IndexableHandle handle = indexable_handle(obj);
    add_to_core(*index, {&handle, 1}, {&native, 1});
    Py_RETURN_NONE;
  }, nullptr);
}

// Checks every item of `objs` (a sequence, not a str) before it stores any, then adds them all.
void add_sequence(IndexObject& index, PyObject* objs) {
  if (PyUnicode_Check(objs)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    reraise_for_argument("objs");
  }
  if (!PySequence_Check(objs)) raise_wrong_type("objs", objs, "Sequence");
  OwnedRef items = OwnedRef::steal(PySequence_Fast(objs, "expected a sequence"));
  if (!items) reraise_for_argument("objs");
  Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  PyObject** raw = PySequence_Fast_ITEMS(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!is_indexable(raw[i])) raise_wrong_type("objs", raw[i], "Indexable");
  }
  std::vector<IndexableHandle> handles;
  std::vector<Indexable*> natives;
  handles.reserve(static_cast<std::size_t>(n));
  natives.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    handles.push_back(indexable_handle(raw[i]));
    natives.push_back(&as_indexable(raw[i])->native);
  }
  add_to_core(index, handles, natives);
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    ExclusiveAccess access(index->borrow);
    BoundArgs bound;
    bind(kAddObjectMany, args, nargs, kwnames, bound);
    add_sequence(*index, bound.values[0]);
    Py_RETURN_NONE;
  }, nullptr);
}

PyObject* index_collect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    SharedAccess access(index->borrow);
    BoundArgs bound;
    bind(kCollect, args, nargs, kwnames, bound);
    // Slots change only under exclusive access to this Index, so the count read first holds.
    return list_of_objects(index->core->item_count(), [&](auto&& put) {
      index->core->for_each_item([&](std::uint32_t, PyObject* obj) { put(obj); });
    });
  }, nullptr);
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    SharedAccess access(index->borrow);
    HashQuery query = keyword_query(kGetByAttribute, args, nargs, kwnames);
    std::vector<std::uint32_t> ids = index->core->filter_by_hashes(query).to_vector();
    return list_of_objects(ids.size(), [&](auto&& put) { index->core->for_each_object(ids, put); });
  }, nullptr);
}

PyObject* index_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    ExclusiveAccess access(index->borrow);
    HashQuery query = keyword_query(kReduce, args, nargs, kwnames);
    index->core->reduce(query);
    Py_RETURN_NONE;
  }, nullptr);
}

PyObject* index_reduced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    SharedAccess access(index->borrow);
    HashQuery query = keyword_query(kReduced, args, nargs, kwnames);
    auto view = std::make_shared<FilteredView>(FilteredView::over(*index->core, Bitmap()));
    {
      ReleaseGil unlocked;
      view->ids = index->core->filter_by_hashes(query);
    }
    return new_filtered_index(std::move(view), index->slots);
  }, nullptr);
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    SharedAccess access(index->borrow);
    BoundArgs bound;
    bind(kReducedQuery, args, nargs, kwnames, bound);
    std::shared_ptr<const QueryExpr> expr = query_of(bound.values[0], "query");
    auto view = std::make_shared<FilteredView>(FilteredView::over(*index->core, Bitmap()));
    {
      ReleaseGil unlocked;
      pool::run([&] { view->ids = index->core->reduced_query(*expr); });
    }
    return new_filtered_index(std::move(view), index->slots);
  }, nullptr);
}

// The dict of a grouping: each group's value (the first object under which it entered) to a view
// of its ids. Keys are hashed and compared by the interpreter here, holding no native lock; two
// groups it finds equal (an __eq__ the equality keys could not foresee) unite instead of one
// replacing the other. That code can reach the dict and put anything in it, so only the views
// made here (kept, by address) are trusted as views.
PyObject* dict_of_groups(const IndexObject& index, GroupList& groups) {
  OwnedRef dict = OwnedRef::steal(check(PyDict_New()));
  std::unordered_map<PyObject*, OwnedRef> made;
  for (Group& group : groups) {
    PyObject* key = group.value.obj();
    PyObject* existing = PyDict_GetItemWithError(dict.get(), key);
    if (existing == nullptr && PyErr_Occurred()) throw PyErrorSet();
    if (existing != nullptr && made.contains(existing)) {
      group.ids.or_inplace(reinterpret_cast<FilteredIndexObject*>(existing)->view->ids);
    }
    auto data = std::make_shared<const FilteredView>(FilteredView::over(*index.core, std::move(group.ids)));
    OwnedRef view = OwnedRef::steal(new_filtered_index(std::move(data), index.slots));
    if (PyDict_SetItem(dict.get(), key, view.get()) < 0) throw PyErrorSet();
    PyObject* address = view.get();
    made.emplace(address, std::move(view));
  }
  return dict.release();
}

PyObject* index_group_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    SharedAccess access(index->borrow);
    BoundArgs bound;
    bind(kGroupBy, args, nargs, kwnames, bound);
    PyObject* attr = bound.values[0];
    if (!PyUnicode_Check(attr)) raise_wrong_type("attr", attr, "PyString");
    AttrName path = attr_name_of(attr);
    GroupList groups;
    {
      ReleaseGil unlocked;
      groups = index->core->group_by(path.view());
    }
    return dict_of_groups(*index, groups);
  }, nullptr);
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    ExclusiveAccess access(index->borrow);
    BoundArgs bound;
    bind(kUnionWith, args, nargs, kwnames, bound);
    PyObject* other = bound.values[0];
    if (!PyObject_TypeCheck(other, index_type())) raise_wrong_type("other", other, "Index");
    IndexObject* source = as_index(other);
    SharedAccess source_access(source->borrow);
    std::shared_ptr<const IndexAPI> source_core = source->core;
    std::vector<IndexableHandle> lacking;
    {
      ReleaseGil unlocked;
      lacking = index->core->lacking_from(*source_core);
    }
    if (lacking.empty()) Py_RETURN_NONE;
    std::vector<IndexableHandle> owned = own_handles(lacking);
    lacking.clear();
    {
      ReleaseGil unlocked;
      index->core->add_objects(owned);
    }
    Py_RETURN_NONE;
  }, nullptr);
}

// Withdraws `obj` with the interpreter lock released; false when this index does not store it.
bool remove_from_core(IndexObject& index, PyObject* obj) {
  if (!is_indexable(obj)) raise_wrong_type("obj", obj, "Indexable");
  IndexableHandle handle = indexable_handle(obj);
  ReleaseGil unlocked;
  return index.core->remove_object(handle);
}

PyObject* index_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    ExclusiveAccess access(index->borrow);
    BoundArgs bound;
    bind(kRemoveObject, args, nargs, kwnames, bound);
    if (!remove_from_core(*index, bound.values[0])) raise_object(PyExc_KeyError, bound.values[0]);
    Py_RETURN_NONE;
  }, nullptr);
}

PyObject* index_discard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    ExclusiveAccess access(index->borrow);
    BoundArgs bound;
    bind(kDiscard, args, nargs, kwnames, bound);
    remove_from_core(*index, bound.values[0]);
    Py_RETURN_NONE;
  }, nullptr);
}

// Sizes, membership and iteration read the core under its own locks and run no Python code, so
// they need no access flag: they never see a half-made change.
Py_ssize_t index_length(PyObject* self) {
  return guarded([&]() -> Py_ssize_t { return static_cast<Py_ssize_t>(as_index(self)->core->item_count()); }, -1);
}

int index_contains(PyObject* self, PyObject* obj) {
  return guarded([&]() -> int {
    return is_indexable(obj) && as_index(self)->core->has_object_id(as_indexable(obj)->native.id()) ? 1 : 0;
  }, -1);
}

PyObject* index_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    std::vector<std::uint32_t> ids;
    {
      auto guard = index->core->ids()->lock.read();
      ids = index->core->ids()->value.to_vector();
    }
    return new_index_iterator(index->core->items(), index->slots, std::move(ids));
  }, nullptr);
}

PyObject* index_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto count = static_cast<unsigned long long>(as_index(self)->core->item_count());
    return PyUnicode_FromFormat("<Index with %llu objects>", count);
  }, nullptr);
}

// Pickled as its objects (ascending id order) and, once `reduce` narrowed it, the names each one
// is hidden under, then True for an index that indexes names beginning with '_' (one made by
// `rebase`), which would otherwise come back without them; the module's _rebuild_index makes the
// index again from them.
PyObject* index_reduce_for_pickle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    SharedAccess access(index->borrow);
    BoundArgs bound;
    bind(kReduceForPickle, args, nargs, kwnames, bound);
    std::vector<std::uint32_t> order;
    OwnedRef objs = OwnedRef::steal(list_of_objects(index->core->item_count(), [&](auto&& put) {
      index->core->for_each_item([&](std::uint32_t id, PyObject* obj) {
        order.push_back(id);
        put(obj);
      });
    }));
    std::vector<std::pair<std::uint32_t, std::vector<AttrName>>> hidden;
    {
      ReleaseGil unlocked;
      hidden = index->core->hidden_names();
    }
    OwnedRef narrowing = OwnedRef::steal(check(PyList_New(0)));
    for (const auto& [id, names] : hidden) {
      auto at = std::lower_bound(order.begin(), order.end(), id);
      if (at == order.end() || *at != id) continue;  // not among the objects pickled
      OwnedRef list = OwnedRef::steal(check(PyList_New(0)));
      for (const AttrName& name : names) {
        std::string_view text = name.view();
        OwnedRef item = OwnedRef::steal(check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
        check_status(PyList_Append(list.get(), item.get()));
      }
      OwnedRef pair = OwnedRef::steal(check(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(at - order.begin()), list.get())));
      check_status(PyList_Append(narrowing.get(), pair.get()));
    }
    // An empty index first and its objects as the state: an index held by its own objects is then
    // made before them.
    OwnedRef rebuild = OwnedRef::steal(module_attribute("_rebuild_index"));
    if (index->core->indexes(AttrName("_"))) {
      return check(Py_BuildValue("(O()(OOO))", rebuild.get(), objs.get(), narrowing.get(), Py_True));
    }
    return check(Py_BuildValue("(O()(OO))", rebuild.get(), objs.get(), narrowing.get()));
  }, nullptr);
}

// Gives an empty index a fresh core that indexes names beginning with '_', as `rebase` makes;
// views of the old core keep it.
void index_private_names(IndexObject& index) {
  if (index.core->indexes(AttrName("_"))) return;
  if (index.core->item_count() != 0) {
    raise(PyExc_ValueError, "Index state: only an empty index can take names beginning with '_'");
  }
  std::shared_ptr<IndexAPI> fresh = IndexAPI::create(true);
  OwnedRef slots = OwnedRef::steal(new_slots_owner(fresh->items()));
  index.core = std::move(fresh);
  OwnedRef old_slots = OwnedRef::steal(std::exchange(index.slots, slots.release()));
}

// Restores what __reduce__ gave: (objects, [(position, names), ...][, True]). The whole state is copied
// into tuples of its own and checked before anything is stored (its items' code may run while it
// is read), then the objects are added and each pair hidden as reduce had hidden it.
PyObject* index_setstate(PyObject* self, PyObject* state) {
  return guarded([&]() -> PyObject* {
    IndexObject* index = as_index(self);
    ExclusiveAccess access(index->borrow);
    Py_ssize_t size = PyTuple_Check(state) ? PyTuple_GET_SIZE(state) : 0;
    if ((size != 2 && size != 3) || (size == 3 && !PyBool_Check(PyTuple_GET_ITEM(state, 2)))) {
      raise(PyExc_TypeError, "Index state must be an (objects, hidden) or (objects, hidden, bool) tuple");
    }
    bool private_names = size == 3 && PyTuple_GET_ITEM(state, 2) == Py_True;
    OwnedRef items = OwnedRef::steal(check(PySequence_Tuple(PyTuple_GET_ITEM(state, 0))));
    OwnedRef pairs = OwnedRef::steal(check(PySequence_Tuple(PyTuple_GET_ITEM(state, 1))));
    std::vector<std::pair<Py_ssize_t, std::vector<AttrName>>> narrowing;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(pairs.get()); ++i) {
      PyObject* pair = PyTuple_GET_ITEM(pairs.get(), i);
      if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyLong_Check(PyTuple_GET_ITEM(pair, 0)) ||
          PyUnicode_Check(PyTuple_GET_ITEM(pair, 1))) {
        raise(PyExc_TypeError, "hidden: expected (position, names) pairs");
      }
      Py_ssize_t position = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 0));
      if (position == -1 && PyErr_Occurred()) throw_error_set();
      if (position < 0 || position >= PyTuple_GET_SIZE(items.get())) {
        raise(PyExc_ValueError, "hidden: position out of range");
      }
      OwnedRef names = OwnedRef::steal(check(PySequence_Tuple(PyTuple_GET_ITEM(pair, 1))));
      std::vector<AttrName> hidden;
      for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(names.get()); ++k) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), k);
        if (!PyUnicode_Check(name)) raise(PyExc_TypeError, "hidden: names must be str");
        hidden.push_back(attr_name_of(name));
      }
      narrowing.emplace_back(position, std::move(hidden));
    }
    if (private_names) index_private_names(*index);
    add_sequence(*index, items.get());
    for (const auto& [position, names] : narrowing) {
      index->core->hide(as_indexable(PyTuple_GET_ITEM(items.get(), position))->native.id(), names);
    }
    Py_RETURN_NONE;
  }, nullptr);
}

PyMethodDef index_methods[] = {
    {"reduced", fastcall<index_reduced>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\nA view of the objects matching the keywords."},
    {"reduced_query", fastcall<index_reduced_query>(), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\nA view of the objects satisfying a PyQueryExpr."},
    {"collect", fastcall<index_collect>(), METH_FASTCALL | METH_KEYWORDS,
     "collect($self)\n--\n\nEvery stored object, in ascending id (creation) order."},
    {"reduce", fastcall<index_reduce>(), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, **kwargs)\n--\n\nNarrows the index's value sets to the objects matching the keywords."},
    {"get_by_attribute", fastcall<index_get_by_attribute>(), METH_FASTCALL | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\nThe objects whose attributes equal the keywords' values "
     "(a list or other iterable means any of its items)."},
    {"add_object_many", fastcall<index_add_object_many>(), METH_FASTCALL | METH_KEYWORDS,
     "add_object_many($self, objs)\n--\n\nStores and indexes a sequence of Indexable objects."},
    {"group_by", fastcall<index_group_by>(), METH_FASTCALL | METH_KEYWORDS,
     "group_by($self, attr)\n--\n\nA dict from each value of the attribute (a dotted path reaches into nested "
     "objects) to a view of the objects carrying it; objects without it are in no group."},
    {"union_with", fastcall<index_union_with>(), METH_FASTCALL | METH_KEYWORDS,
     "union_with($self, other)\n--\n\nStores and indexes every object of the other Index that this one lacks, "
     "as add_object_many would; the other Index is unchanged."},
    {"remove_object", fastcall<index_remove_object>(), METH_FASTCALL | METH_KEYWORDS,
     "remove_object($self, obj)\n--\n\nWithdraws an object from the index; KeyError if the index does not hold it."},
    {"discard", fastcall<index_discard>(), METH_FASTCALL | METH_KEYWORDS,
     "discard($self, obj)\n--\n\nWithdraws an object from the index if it holds it."},
    {"__reduce__", fastcall<index_reduce_for_pickle>(), METH_FASTCALL | METH_KEYWORDS,
     "__reduce__($self, /)\n--\n\nPickling: the objects, and what reduce narrowed."},
    {"__setstate__", index_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\nUnpickling: adds the objects and narrows as reduce had."},
    {"add_object", fastcall<index_add_object>(), METH_FASTCALL | METH_KEYWORDS,
     "add_object($self, py_ref)\n--\n\nStores and indexes one Indexable object."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make_index(PyTypeObject* type, std::shared_ptr<IndexAPI> core) {
  OwnedRef slots = OwnedRef::steal(new_slots_owner(core->items()));
  PyObject* self = check(type->tp_alloc(type, 0));
  auto* obj = reinterpret_cast<IndexObject*>(self);
  new (&obj->borrow) BorrowFlag();
  new (&obj->core) std::shared_ptr<IndexAPI>(std::move(core));
  obj->slots = slots.release();
  return self;
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    bind_no_args("Index", args, kwargs);
    return make_index(type, IndexAPI::create());
  }, nullptr);
}

void index_dealloc(PyObject* self) {
  HoldingGil holding;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* obj = reinterpret_cast<IndexObject*>(self);
  Py_CLEAR(obj->slots);
  obj->core.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// The stored objects are reported by the slots' owner, which views share.
int index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<IndexObject*>(self)->slots);
  return 0;
}

// Breaks a cycle through this index by giving it a fresh, empty core; the old core (and the
// references in it) goes once no view shares it. A cleared index reports nothing it stores later.
int index_clear(PyObject* self) {
  HoldingGil holding;
  auto* obj = reinterpret_cast<IndexObject*>(self);
  std::shared_ptr<IndexAPI> old = std::exchange(obj->core, IndexAPI::create());
  Py_CLEAR(obj->slots);
  old.reset();
  return 0;
}

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\nAn in-memory index over Indexable objects.")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(index_clear)},
    {Py_tp_methods, index_methods},
    {Py_sq_length, reinterpret_cast<void*>(index_length)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {0, nullptr},
};

PyType_Spec index_spec = {"builtins.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                          index_slots};

}  // namespace

PyObject* new_index(std::shared_ptr<IndexAPI> core) { return make_index(index_type(), std::move(core)); }

PyObject* rebuild_index() { return new_index(IndexAPI::create()); }

PyObject* module_attribute(const char* name) {
  OwnedRef module = OwnedRef::steal(check(PyImport_ImportModule("Vantorelle")));
  return check(PyObject_GetAttrString(module.get(), name));
}

std::string verify_index(PyObject* index) {
  if (!PyObject_TypeCheck(index, index_type())) raise_wrong_type("index", index, "Index");
  auto* obj = reinterpret_cast<IndexObject*>(index);
  SharedAccess access(obj->borrow);
  return obj->core->verify();
}

PyTypeObject* index_type() {
  static PyTypeObject* type = create_type(index_spec, "Index");
  return type;
}

}  // namespace vantorelle::py
