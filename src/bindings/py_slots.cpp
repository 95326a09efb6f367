// The Python-level owner of a top-level core's slots. The slots hold one reference per stored
// object; an Index and every view over it share them. The collector must see each of those
// references exactly once, from one container that the Index and the views reference in turn
// (each holding, and reporting, one reference to it), as a list is shared by the names bound to
// it. This object is that container; it is never exposed by the module.
#include <new>

#include "bindings/objects.hpp"

namespace vantorelle::py {
namespace {

SlotsObject* as_slots(PyObject* obj) { return reinterpret_cast<SlotsObject*>(obj); }

void slots_dealloc(PyObject* self) {
  HoldingGil holding;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_slots(self)->items.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// Reports every stored object. The collector asks more than once per collection and needs the
// same answer each time, so this waits for a writer rather than skip the slots (no writer waits
// for the interpreter lock).
int slots_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const auto& items = as_slots(self)->items;
  if (!items || items->lock.poisoned()) return 0;  // a poisoned lock stays poisoned: the same answer every time
  int status = 0;
  try {
    auto guard = items->lock.read();
    items->value.for_each([&](std::uint32_t, const IndexableHandle& item) {
      if (status == 0) status = visit(item.get(), arg);
    });
  } catch (...) {
    return 0;
  }
  return status;
}

// No tp_clear: the slots may be shared with a core still in use. A cycle through them is broken by
// clearing the Index, the views and the objects that hold this.
PyType_Slot slots_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slots_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(slots_traverse)},
    {0, nullptr},
};

PyType_Spec slots_spec = {"builtins._IndexSlots", sizeof(SlotsObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots_slots};

PyTypeObject* slots_type() {
  static PyTypeObject* type = create_type(slots_spec, "_IndexSlots");
  return type;
}

}  // namespace

PyObject* new_slots_owner(std::shared_ptr<Locked<Slots>> items) {
  PyTypeObject* type = slots_type();
  PyObject* self = check(type->tp_alloc(type, 0));
  new (&as_slots(self)->items) std::shared_ptr<Locked<Slots>>(std::move(items));
  return self;
}

std::vector<IndexableHandle> own_handles(const std::vector<IndexableHandle>& shared) {
  std::vector<IndexableHandle> owned;
  owned.reserve(shared.size());
  for (const IndexableHandle& handle : shared) owned.push_back(indexable_handle(handle.get()));
  return owned;
}

}  // namespace vantorelle::py
