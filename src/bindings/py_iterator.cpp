// Iterators over an Index or a view: the ids are taken when iteration starts, and each step hands
// out the object of the next id still stored, so objects removed meanwhile are skipped.
#include <new>

#include "bindings/objects.hpp"

namespace vantorelle::py {
namespace {

struct IteratorObject {
  PyObject_HEAD
  std::shared_ptr<Locked<Slots>> items;  // null once cleared
  PyObject* slots;                       // the slots' owner, for the collector
  std::vector<std::uint32_t> ids;
  std::size_t next;
};

IteratorObject* as_iterator(PyObject* obj) { return reinterpret_cast<IteratorObject*>(obj); }

PyObject* iterator_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    IteratorObject* it = as_iterator(self);
    while (it->items && it->next < it->ids.size()) {
      std::uint32_t id = it->ids[it->next++];
      auto guard = it->items->lock.read();
      if (const IndexableHandle* slot = it->items->value.get(id)) return Py_NewRef(slot->get());
    }
    return nullptr;  // exhausted: no exception set
  }, nullptr);
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_iterator(self)->slots);
  return 0;
}

int iterator_clear(PyObject* self) {
  HoldingGil holding;
  as_iterator(self)->items.reset();
  Py_CLEAR(as_iterator(self)->slots);
  return 0;
}

void iterator_dealloc(PyObject* self) {
  HoldingGil holding;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  IteratorObject* it = as_iterator(self);
  Py_CLEAR(it->slots);
  it->items.~shared_ptr();
  it->ids.~vector();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {"builtins._IndexIterator", sizeof(IteratorObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, iterator_slots};

PyTypeObject* iterator_type() {
  static PyTypeObject* type = create_type(iterator_spec, "_IndexIterator");
  return type;
}

}  // namespace

PyObject* new_index_iterator(std::shared_ptr<Locked<Slots>> items, PyObject* slots, std::vector<std::uint32_t> ids) {
  PyTypeObject* type = iterator_type();
  PyObject* self = check(type->tp_alloc(type, 0));
  IteratorObject* it = as_iterator(self);
  new (&it->items) std::shared_ptr<Locked<Slots>>(std::move(items));
  new (&it->ids) std::vector<std::uint32_t>(std::move(ids));
  it->next = 0;
  it->slots = Py_XNewRef(slots);
  return self;
}

}  // namespace vantorelle::py
