// The Indexable class: attributes stored natively, read without the interpreter's dict lookup,
// assigned with re-indexing in every index holding the object.
#include <cstddef>
#include <new>
#include <algorithm>
#include <optional>

#include "bindings/args.hpp"
#include "structmember.h"
#include "bindings/objects.hpp"
#include "interpreter/text.hpp"

namespace vantorelle::py {
namespace {

using Updates = std::vector<std::pair<AttrName, PyValue>>;

bool defines_data_descriptors(PyTypeObject* type);

// One attribute from a (name, value) pair. The name is copied before the value's own __hash__
// runs, and the caller keeps both objects alive across it.
std::pair<AttrName, PyValue> attribute_of(PyObject* key, PyObject* value) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be str, not '%.200s'", Py_TYPE(key)->tp_name);
    throw_error_set();
  }
  AttrName name = attr_name_of(key);
  return {std::move(name), make_value(BorrowedRef(value))};
}

// Calls f(AttrName, PyValue) for each keyword of a call, in the dict's order. The dict is the
// call's own, out of reach of the values' code; and each name is copied, and each value
// referenced, before that code (its __hash__) runs.
template <class F>
void for_each_kwarg(PyObject* kwargs, F&& f) {
  if (kwargs == nullptr) return;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    auto [name, converted] = attribute_of(key, value);
    f(std::move(name), std::move(converted));
  }
}

Updates updates_from_kwargs(PyObject* kwargs) {
  Updates updates;
  for_each_kwarg(kwargs, [&](AttrName name, PyValue value) { updates.emplace_back(std::move(name), std::move(value)); });
  return updates;
}

// The attributes of a caller's dict. It is read from a copy of its items: a value's __hash__ may
// change or clear the dict itself.
Updates updates_from_dict(PyObject* dict) {
  OwnedRef items = OwnedRef::steal(check(PyDict_Items(dict)));
  Py_ssize_t n = PyList_GET_SIZE(items.get());
  Updates updates;
  updates.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);  // the list is ours alone; it owns the pairs
    updates.push_back(attribute_of(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
  }
  return updates;
}

// Values that cannot refer back to other objects. An Indexable holding only such values cannot be
// part of a reference cycle, so the collector need not track it (as the interpreter does for
// tuples and dicts of atomic values).
bool is_atomic(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
         value == Py_None || type == &PyBytes_Type || type == &PyComplex_Type;
}

// Tracks `self` for the collector once it holds a value that could lead back to it.
void track_if_needed(PyObject* self, PyObject* value) {
  if (!is_atomic(value) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
}

// Refuses, before anything changes, Indexable values that would nest too deep in the indexes
// holding `holder`.
void check_value_nesting(const Indexable& holder, std::span<const std::pair<AttrName, PyValue>> updates) {
  std::vector<Indexable*> values;    // under names every core indexes
  std::vector<Indexable*> privates;  // under names beginning with "_": only rebased top-level cores
  for (const auto& [name, value] : updates) {
    if (value.primitave().is_ind()) (name.is_private() ? privates : values).push_back(&value.primitave().ind_native());
  }
  if (values.empty() && privates.empty()) return;
  std::uint32_t deepest = 0;
  bool member = false;
  bool private_member = false;
  for (const auto& core : holder.live_memberships()) {
    deepest = std::max(deepest, core->level());
    member = true;
    private_member = private_member || core->indexes_private_names();
  }
  if (member && !values.empty()) check_nesting_depth(values, deepest + 1, &holder);
  // Such a core is top-level, so the value sits at level 1 there.
  if (private_member && !privates.empty()) check_nesting_depth(privates, 1, &holder);
}

// Lets the name-position cache give back the tags of dead shapes (see NamePositions); called
// where shapes come and go, holding the interpreter lock.
void forget_retired_tags() noexcept;

// Every assignment path: refuse too-deep nesting before anything changes, track the object once
// it may be part of a cycle, then assign. Re-indexing runs without the interpreter lock; an object
// in no index skips the hand-over.
void assign_attributes(PyObject* self, std::span<std::pair<AttrName, PyValue>> updates) {
  Indexable& native = as_indexable(self)->native;
  check_value_nesting(native, updates);
  forget_retired_tags();
  for (const auto& update : updates) track_if_needed(self, update.second.obj());
  if (native.assign_unindexed(updates)) return;
  std::optional<ReleaseGil> unlocked;
  if (native.has_memberships()) unlocked.emplace();
  native.assign(updates);
}

// A new object of `type` holding `map`; `atomic` if none of its values can lead back to it.
PyObject* new_indexable(PyTypeObject* type, Snapshot map, bool atomic) {
  forget_retired_tags();
  std::uint32_t id = Indexable::next_id();
  PyObject* self = check(type->tp_alloc(type, 0));
  auto* obj = as_indexable(self);
  obj->weakreflist = nullptr;
  new (&obj->native) Indexable(id, std::move(map));
  // Subclass instances may carry a __dict__, so they stay tracked.
  if (type == indexable_type() && atomic) PyObject_GC_UnTrack(self);
  return self;
}

// A new object of `type` with the attributes `names` = `values` (distinct names).
PyObject* new_indexable(PyTypeObject* type, std::vector<AttrName> names, std::vector<PyValue> values) {
  bool atomic = std::all_of(values.begin(), values.end(), [](const PyValue& value) { return is_atomic(value.obj()); });
  Snapshot map = names.empty() ? AttributeMap::make_empty() : AttributeMap::make(std::move(names), std::move(values));
  return new_indexable(type, std::move(map), atomic);
}

PyObject* indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::vector<AttrName> names;
    std::vector<PyValue> values;
    // Subclass instances take their keywords in tp_init, which their __init__ reaches through
    // super().__init__(**kwargs); converting here too would convert every value twice.
    if (type == indexable_type() && kwargs != nullptr) {
      auto count = static_cast<std::size_t>(PyDict_GET_SIZE(kwargs));
      names.reserve(count);
      values.reserve(count);
      for_each_kwarg(kwargs, [&](AttrName name, PyValue value) {
        names.push_back(std::move(name));
        values.push_back(std::move(value));
      });
    }
    return new_indexable(type, std::move(names), std::move(values));
  }, nullptr);
}

// The shapes of recent keyword-name tuples. A call site passes the same tuple (a constant of its
// code) every time, so most constructions find their names here, already checked and interned,
// and skip copying them. Each entry holds a reference to its tuple, so no other tuple can take
// its address meanwhile; the shape itself is not kept alive by the cache (shapes leave with their
// last map). Touched only with the interpreter lock held.
struct KeywordShapes {
  struct Entry {
    OwnedRef names;
    WeakShapeRef shape;
  };
  Entry entries[16];

  Entry& slot(PyObject* kwnames) noexcept { return entries[(reinterpret_cast<std::uintptr_t>(kwnames) >> 4) & 15]; }
};

KeywordShapes& keyword_shapes() {
  static KeywordShapes* SHAPES = new KeywordShapes();  // never destroyed: it holds references
  return *SHAPES;
}

int indexable_init(PyObject* self, PyObject* args, PyObject* kwargs);

// The interpreter's own call of a class (tp_new, then tp_init), from a vectorcall's arguments.
PyObject* call_as_type(PyObject* type, PyObject* const* args, Py_ssize_t positional, PyObject* kwnames) {
  OwnedRef tuple = OwnedRef::steal(check(PyTuple_New(positional)));
  for (Py_ssize_t i = 0; i < positional; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
  OwnedRef kwargs;
  Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (count > 0) {
    kwargs = OwnedRef::steal(check(PyDict_New()));
    for (Py_ssize_t i = 0; i < count; ++i) {
      check_status(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[positional + i]));
    }
  }
  return check(PyType_Type.tp_call(type, tuple.get(), kwargs.get()));
}

// Calling the class itself: the attributes come straight from the call's keyword names and values,
// without the keyword dict that tp_call would build first. Positional arguments are ignored, as
// tp_new ignores them. The slot is not inherited, so subclasses (whose __init__ may differ) are
// called through tp_call.
PyObject* indexable_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto* cls = reinterpret_cast<PyTypeObject*>(type);
    Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    // The class is mutable: once its __new__ or __init__ is replaced, the call is theirs.
    if (cls != indexable_type() || cls->tp_new != indexable_new || cls->tp_init != indexable_init) {
      return call_as_type(type, args, positional, kwnames);
    }
    Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (count == 0) return new_indexable(cls, AttributeMap::make_empty(), true);
    // The caller keeps the names and values alive for the call.
    ShapeRef shape;
    if (count <= static_cast<Py_ssize_t>(AttributeMap::kSmallCapacity)) {
      KeywordShapes::Entry& entry = keyword_shapes().slot(kwnames);
      if (entry.names.get() == kwnames) shape = entry.shape.lock();
    }
    if (shape) {
      PyValue values[AttributeMap::kSmallCapacity];
      bool atomic = true;
      for (Py_ssize_t i = 0; i < count; ++i) {
        values[i] = make_value(BorrowedRef(args[positional + i]));
        atomic = atomic && is_atomic(values[i].obj());
      }
      return new_indexable(
          cls, AttributeMap::make(std::move(shape), std::span<PyValue>(values, static_cast<std::size_t>(count))), atomic);
    }
    std::vector<AttrName> names;
    std::vector<PyValue> values;
    names.reserve(static_cast<std::size_t>(count));
    values.reserve(static_cast<std::size_t>(count));
    // Each name is copied before the value's __hash__ runs.
    for (Py_ssize_t i = 0; i < count; ++i) {
      auto [name, value] = attribute_of(PyTuple_GET_ITEM(kwnames, i), args[positional + i]);
      names.push_back(std::move(name));
      values.push_back(std::move(value));
    }
    // Names are distinct in a call the interpreter makes; one from C may repeat a name, which the
    // map must never hold twice.
    for (std::size_t i = 1; i < names.size(); ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        if (names[i] == names[j]) {
          PyErr_Format(PyExc_TypeError, "Indexable() got multiple values for keyword argument '%U'",
                       PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(i)));
          throw_error_set();
        }
      }
    }
    if (names.size() <= AttributeMap::kSmallCapacity) {
      ShapeRef learned = Shape::of(names);
      KeywordShapes::Entry& entry = keyword_shapes().slot(kwnames);
      // The previous entry's tuple is released after the entry is rewritten: its release may run
      // no Python code (a tuple of str), but the entry must be whole before any could.
      KeywordShapes::Entry previous = std::move(entry);
      entry = KeywordShapes::Entry{OwnedRef::incref(kwnames), WeakShapeRef(learned)};
    }
    return new_indexable(cls, std::move(names), std::move(values));
  }, nullptr);
}

// Whether assignments to `self` must go one by one through setattr, so that the data descriptors of
// its class take their names.
bool assigns_through_descriptors(PyObject* self) {
  return Py_TYPE(self) != indexable_type() && defines_data_descriptors(Py_TYPE(self));
}

// Assigns the (name, value) items of `dict`, read from a copy of them: the descriptors' code may
// change the dict itself.
void assign_each(PyObject* self, PyObject* dict) {
  OwnedRef items = OwnedRef::steal(check(PyDict_Items(dict)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "attribute name must be str, not '%.200s'", Py_TYPE(key)->tp_name);
      throw_error_set();
    }
    check_status(PyObject_SetAttr(self, key, PyTuple_GET_ITEM(pair, 1)));
  }
}

int indexable_init(PyObject* self, PyObject* /*args*/, PyObject* kwargs) {
  return guarded([&]() -> int {
    if (Py_TYPE(self) == indexable_type() || kwargs == nullptr) return 0;
    if (assigns_through_descriptors(self)) {
      assign_each(self, kwargs);
      return 0;
    }
    Updates updates = updates_from_kwargs(kwargs);
    if (!updates.empty()) assign_attributes(self, updates);
    return 0;
  }, -1);
}

// Freeing an object frees the values only it held, so a long chain (a.next = b, b.next = c, ...)
// would recurse once per link; the trashcan turns that into a loop.
void indexable_dealloc(PyObject* self) {
  HoldingGil holding;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, indexable_dealloc)
  auto* obj = as_indexable(self);
  if (obj->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  obj->native.~Indexable();
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

// Visits the attribute values of the current snapshot, one visit per value (each value holds one
// reference). Indexes that also hold a value (in a value table or a nested slot) do not report
// it: they hold it only while this object, or one stored beside it, carries it, and those are
// reported from the index's slots; whatever they keep longer counts as held from outside, which
// can only delay a collection.
int indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const AttributeMap& snapshot = as_indexable(self)->native.snapshot_under_gil();
  int status = 0;
  snapshot.for_each([&](const AttrName&, const PyValue& value) {
    if (status == 0) status = visit(value.obj(), arg);
  });
  return status;
}

int indexable_clear(PyObject* self) {
  HoldingGil holding;
  as_indexable(self)->native.clear_attributes();
  return 0;
}

// Data descriptors (a property with a setter, a __slots__ member) that a subclass defines take
// precedence over stored attributes for reads and assignments, as object.__getattribute__ and
// object.__setattr__ give them. Whether a class defines any (besides the __dict__ and __weakref__
// every subclass gets) is learned once per class version, in a small direct-mapped cache, so
// plain subclasses pay one cache probe.
bool defines_data_descriptors(PyTypeObject* type) {
  struct Entry {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    bool answer = false;
  };
  static Entry cache[64];  // touched only with the interpreter lock held
  Entry& entry = cache[(reinterpret_cast<std::uintptr_t>(type) >> 4) & 63];
  if (entry.type == type && entry.version != 0 && entry.version == type->tp_version_tag) return entry.answer;
  if (type->tp_version_tag == 0) {
    // A class gets its version on the interpreter's first lookup through it, which reads that
    // find stored attributes never make; without one, every access would walk the class's dicts.
    // (If none can be given, the answer is simply learned again each time.)
    static PyObject* const PROBE = [] {  // kept for good
      PyObject* probe = PyUnicode_InternFromString("__class__");
      if (probe == nullptr) PyErr_Clear();
      return probe;
    }();
    if (PROBE != nullptr) (void)_PyType_Lookup(type, PROBE);
  }
  bool answer = false;
  PyObject* mro = type->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro) && !answer; ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (base == indexable_type() || base == &PyBaseObject_Type || base->tp_dict == nullptr) continue;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(base->tp_dict, &pos, &key, &value)) {
      if (Py_TYPE(value)->tp_descr_set == nullptr || !PyUnicode_Check(key)) continue;
      if (PyUnicode_CompareWithASCIIString(key, "__dict__") == 0 ||
          PyUnicode_CompareWithASCIIString(key, "__weakref__") == 0) {
        continue;
      }
      answer = true;
      break;
    }
  }
  entry = Entry{type, type->tp_version_tag, answer};
  return answer;
}

// Whether `name` is a data descriptor of a subclass of `self`'s class (not of Indexable or object,
// whose own descriptors never shadow stored attributes).
bool subclass_data_descriptor(PyObject* self, PyObject* name) {
  PyTypeObject* type = Py_TYPE(self);
  if (type == indexable_type() || !defines_data_descriptors(type)) return false;
  // Borrowed, and used before any Python code runs. (Static types such as object keep no tp_dict
  // from 3.12 on, so the base's own resolution is compared rather than its dict read.)
  PyObject* found = _PyType_Lookup(type, name);
  if (found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr) return false;
  return found != _PyType_Lookup(indexable_type(), name);
}

[[noreturn]] void raise_name_type(PyObject* name) {
  raise_wrong_type("name", name, "PyString");
}

// Positions of recent names in recent shapes, for attribute reads and assignments: code reads and
// assigns through the same name objects (its constants) every time, so most lookups compare two
// addresses instead of the name's bytes, and the shape is known by the tag the object keeps beside
// its map, without reading the map. Only exact str names and tagged shapes are kept. Each entry
// holds a reference to its name, so no other name takes its address meanwhile, and releasing it
// runs no Python code. This cache is the one holder of tags: an entry whose shape is gone only
// waits (no object has its tag) until forget_retired drops it and hands its tag back for reuse.
// Touched only with the interpreter lock held.
struct NamePositions {
  struct Entry {
    OwnedRef name;
    std::uint32_t tag = 0;
    std::uint32_t position = 0;
  };
  Entry entries[64];

  Entry& slot(PyObject* name, std::uint32_t tag) noexcept {
    auto key = (reinterpret_cast<std::uintptr_t>(name) >> 4) ^ (tag * 0x9E3779B1u >> 7);
    return entries[key & 63];
  }
  // The position of `name` in the small form of the shape with `tag`, if an entry knows it.
  std::optional<std::size_t> cached(PyObject* name, std::uint32_t tag) noexcept {
    if (tag == 0) return std::nullopt;
    const Entry& entry = slot(name, tag);
    if (entry.name.get() != name || entry.tag != tag) return std::nullopt;
    return entry.position;
  }
  // Forgets the entries of retired tags and frees the tags, when enough wait. Cheap otherwise: call
  // it where shapes come and go (objects made, names added).
  void forget_retired() noexcept {
    if (!Shape::retired_tags_waiting()) return;
    std::vector<std::uint32_t> retired;
    try {
      retired = Shape::take_retired_tags();
      std::sort(retired.begin(), retired.end());
    } catch (const std::bad_alloc&) {
      return;
    }
    for (Entry& entry : entries) {
      if (entry.tag != 0 && std::binary_search(retired.begin(), retired.end(), entry.tag)) {
        entry.name = OwnedRef();
        entry.tag = 0;
      }
    }
    Shape::release_tags(retired);
  }
  // The position of `name` (an exact str whose text is `text`) in the small-form `map`, or npos;
  // remembered when found and the map's shape is tagged.
  std::size_t find(PyObject* name, std::string_view text, const AttributeMap& map) {
    forget_retired();
    const ShapeRef& shape = map.shape();
    if (!shape) return Shape::npos;
    std::size_t position = shape->find(text);
    if (position != Shape::npos && shape->tag() != 0) {
      Entry& entry = slot(name, shape->tag());
      entry.name = OwnedRef::incref(name);
      entry.tag = shape->tag();
      entry.position = static_cast<std::uint32_t>(position);
    }
    return position;
  }
};

NamePositions& name_positions() {
  static NamePositions* POSITIONS = new NamePositions();  // never destroyed: it holds references
  return *POSITIONS;
}

void forget_retired_tags() noexcept { name_positions().forget_retired(); }

// Assigns `value` to `name` of an object that no index holds, in place, when the name is one the
// object has (small form): no name is copied. Otherwise hands the converted value to the general
// path. `name` is an exact str.
void assign_one(PyObject* self, PyObject* name, PyObject* value) {
  Indexable& native = as_indexable(self)->native;
  NamePositions& positions = name_positions();
  // An ASCII name is valid text; any other is checked before the value's own code runs, as the
  // general path does.
  if (!PyUnicode_IS_ASCII(name) && !utf8_or_error(name)) {
    std::pair<AttrName, PyValue> update[1] = {attribute_of(name, value)};  // raises for the name
    assign_attributes(self, update);
    return;
  }
  // CAUTION: runs the value's own __hash__ (and maybe __eq__), which may change this object.
  PyValue converted = make_value(BorrowedRef(value));
  if (!converted.primitave().is_ind()) {
    const auto [map, tag] = native.tagged_snapshot_under_gil();
    std::optional<std::size_t> position = positions.cached(name, tag);
    if (!position && tag != 0) {
      std::optional<std::string_view> text = utf8_or_error(name);
      if (!text) throw_error_set();
      if (std::size_t found = positions.find(name, *text, *map); found != Shape::npos) position = found;
    }
    if (position) {
      track_if_needed(self, converted.obj());
      // `converted` takes the replaced value, released here, after the object's lock.
      if (native.assign_unindexed_at(tag, *position, converted)) return;
    }
  }
  std::pair<AttrName, PyValue> update[1] = {{attr_name_of(name), std::move(converted)}};
  assign_attributes(self, update);
}

PyObject* indexable_getattro(PyObject* self, PyObject* name) {
  return guarded([&]() -> PyObject* {
    if (!PyUnicode_Check(name)) raise_name_type(name);
    const bool exact = PyUnicode_CheckExact(name);
    if (exact && !subclass_data_descriptor(self, name)) {
      const auto [snapshot, tag] = as_indexable(self)->native.tagged_snapshot_under_gil();
      if (std::optional<std::size_t> at = name_positions().cached(name, tag)) return Py_NewRef(snapshot->at(*at).obj());
    }
    // A name that is not valid text cannot be stored: only the class can have it.
    std::optional<std::string_view> text = utf8_view_or_none(name);
    if (text && !subclass_data_descriptor(self, name)) {
      const AttributeMap& snapshot = as_indexable(self)->native.snapshot_under_gil();
      if (exact && !snapshot.is_hash()) {
        std::size_t at = name_positions().find(name, *text, snapshot);
        if (at != Shape::npos) return Py_NewRef(snapshot.at(at).obj());
      } else if (const PyValue* value = snapshot.get(*text)) {
        return Py_NewRef(value->obj());
      }
    }
    if (PyObject* found = PyObject_GenericGetAttr(self, name)) return found;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      raise_object(PyExc_AttributeError, name);
    }
    throw_error_set();
  }, nullptr);
}

int indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return guarded([&]() -> int {
    if (!PyUnicode_Check(name)) raise_name_type(name);
    if (subclass_data_descriptor(self, name)) {
      check_status(PyObject_GenericSetAttr(self, name, value));
      return 0;
    }
    if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
    if (PyUnicode_CheckExact(name)) {
      assign_one(self, name, value);
      return 0;
    }
    std::pair<AttrName, PyValue> update[1] = {attribute_of(name, value)};
    assign_attributes(self, update);
    return 0;
  }, -1);
}

PyObject* indexable_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    std::size_t n = as_indexable(self)->native.snapshot_under_gil().size();
    return PyUnicode_FromFormat("<Indexable with %zu attributes>", n);
  }, nullptr);
}

PyObject* indexable_dir(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    Snapshot snapshot = as_indexable(self)->native.snapshot();
    OwnedRef names = OwnedRef::steal(check(PyList_New(0)));
    snapshot->for_each([&](const AttrName& key, const PyValue&) {
      std::string_view text = key.view();
      OwnedRef item = OwnedRef::steal(check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
      check_status(PyList_Append(names.get(), item.get()));
    });
    OwnedRef builtins = OwnedRef::steal(check(PyImport_ImportModule("builtins")));
    OwnedRef object = OwnedRef::steal(check(PyObject_GetAttrString(builtins.get(), "object")));
    OwnedRef default_dir = OwnedRef::steal(check(PyObject_CallMethod(object.get(), "__dir__", "O", self)));
    if (!PyList_Check(default_dir.get())) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'", type_name(default_dir.get()).c_str());
      throw_error_set();
    }
    OwnedRef result = OwnedRef::steal(check(PySequence_Concat(names.get(), default_dir.get())));
    return result.release();
  }, nullptr);
}

// Pickling and copying: the state is a dict of the attributes; restoring assigns them (and so
// re-indexes an object that is already in an index).
// A subclass instance may also keep values where the interpreter keeps them: set __slots__ members
// and entries of its own __dict__. They join the state under their names (stored attributes win).
void add_interpreter_attributes(PyObject* self, PyObject* state) {
  OwnedRef dict_name = OwnedRef::steal(check(PyUnicode_FromString("__dict__")));
  if (PyObject* dict = PyObject_GenericGetAttr(self, dict_name.get())) {
    OwnedRef own = OwnedRef::steal(dict);
    if (PyDict_Check(own.get())) check_status(PyDict_Merge(state, own.get(), 0));
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
  } else {
    throw_error_set();
  }
  OwnedRef copyreg = OwnedRef::steal(check(PyImport_ImportModule("copyreg")));
  OwnedRef names = OwnedRef::steal(
      check(PyObject_CallMethod(copyreg.get(), "_slotnames", "(O)", reinterpret_cast<PyObject*>(Py_TYPE(self)))));
  OwnedRef slots = OwnedRef::steal(check(PySequence_Tuple(names.get())));
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(slots.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(slots.get(), i);
    if (!PyUnicode_Check(name) || PyDict_Contains(state, name) != 0) continue;
    if (PyObject* value = PyObject_GenericGetAttr(self, name)) {
      OwnedRef own = OwnedRef::steal(value);
      check_status(PyDict_SetItem(state, name, own.get()));
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();  // an unset slot
    } else {
      throw_error_set();
    }
  }
}

PyObject* indexable_getstate(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    Snapshot snapshot = as_indexable(self)->native.snapshot();
    OwnedRef state = OwnedRef::steal(check(PyDict_New()));
    snapshot->for_each([&](const AttrName& key, const PyValue& value) {
      std::string_view text = key.view();
      OwnedRef name = OwnedRef::steal(check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
      check_status(PyDict_SetItem(state.get(), name.get(), value.obj()));
    });
    snapshot.reset();
    if (Py_TYPE(self) != indexable_type()) add_interpreter_attributes(self, state.get());
    return state.release();
  }, nullptr);
}

PyObject* indexable_setstate(PyObject* self, PyObject* state) {
  return guarded([&]() -> PyObject* {
    if (!PyDict_Check(state)) raise_wrong_type("state", state, "PyDict");
    if (assigns_through_descriptors(self)) {
      assign_each(self, state);
      Py_RETURN_NONE;
    }
    Updates updates = updates_from_dict(state);
    if (!updates.empty()) assign_attributes(self, updates);
    Py_RETURN_NONE;
  }, nullptr);
}

// The base class reports its module as `builtins`, where pickle cannot find it: its instances
// pickle through the module's _rebuild_indexable. Subclasses keep the interpreter's protocol.
PyObject* indexable_reduce_ex(PyObject* self, PyObject* protocol) {
  return guarded([&]() -> PyObject* {
    if (Py_TYPE(self) != indexable_type()) {
      // Protocols 0 and 1 would rebuild from the first non-heap base, which pickle cannot find
      // either; protocol 2's reconstructor (copyreg.__newobj__) pickles under every protocol.
      long requested = PyLong_AsLong(protocol);
      if (requested == -1 && PyErr_Occurred()) throw_error_set();
      return check(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__", "Oi", self,
                                       requested < 2 ? 2 : static_cast<int>(requested)));
    }
    // An empty object first and its attributes as the state: copies and pickles of objects that
    // hold themselves are then made before their attributes are.
    OwnedRef state = OwnedRef::steal(check(indexable_getstate(self, nullptr)));
    OwnedRef rebuild = OwnedRef::steal(module_attribute("_rebuild_indexable"));
    return check(Py_BuildValue("(O()O)", rebuild.get(), state.get()));
  }, nullptr);
}

PyMethodDef indexable_methods[] = {
    {"__reduce_ex__", indexable_reduce_ex, METH_O,
     "__reduce_ex__($self, protocol, /)\n--\n\nPickling: the attributes, rebuilt by the module."},
    {"__getstate__", indexable_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe attributes, as a dict."},
    {"__setstate__", indexable_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nAssigns the attributes of a dict."},
    {"__dir__", indexable_dir, METH_NOARGS, "__dir__($self, /)\n--\n\nAttribute names, then the default listing."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef indexable_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(IndexableObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot indexable_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Indexable(*_args, **kwargs)\n--\n\n"
                    "An object whose attributes an Index can select on. Keyword arguments become attributes.")},
    {Py_tp_new, reinterpret_cast<void*>(indexable_new)},
    {Py_tp_init, reinterpret_cast<void*>(indexable_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(indexable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(indexable_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(indexable_repr)},
    {Py_tp_methods, indexable_methods},
    {Py_tp_members, indexable_members},
    {0, nullptr},
};

PyType_Spec indexable_spec = {
    "builtins.Indexable",
    sizeof(IndexableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    indexable_slots,
};

}  // namespace

PyObject* rebuild_indexable() {
  return check(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(indexable_type())));
}

PyTypeObject* indexable_type() {
  static PyTypeObject* INDEXABLE_TYPE = [] {
    PyTypeObject* type = create_type(indexable_spec, "Indexable");
    type->tp_vectorcall = indexable_vectorcall;
    return type;
  }();
  return INDEXABLE_TYPE;
}

}  // namespace vantorelle::py
