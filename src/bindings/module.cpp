// Module initialisation: bound to the first interpreter that imports it, created once, and
// declared as needing the interpreter lock on builds that can run without one.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "bindings/args.hpp"
#include "bindings/objects.hpp"
#include "index/shape.hpp"
#include "native/worker_pool.hpp"

namespace vantorelle::py {

PyTypeObject* create_type(PyType_Spec& description, const char* class_name) {
  PyObject* type = PyType_FromSpec(&description);
  if (type == nullptr) {
    PyObject *exc_type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&exc_type, &value, &traceback);
    PyErr_NormalizeException(&exc_type, &value, &traceback);
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", class_name);
    if (value != nullptr) {
      PyObject *new_type = nullptr, *new_value = nullptr, *new_tb = nullptr;
      PyErr_Fetch(&new_type, &new_value, &new_tb);
      PyErr_NormalizeException(&new_type, &new_value, &new_tb);
      PyException_SetCause(new_value, value);
      PyErr_Restore(new_type, new_value, new_tb);
    }
    Py_XDECREF(exc_type);
    Py_XDECREF(traceback);
    throw_error_set();
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

namespace {

const Signature kSumAsString{"sum_as_string", {"a", "b"}, 2};

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    bind(kSumAsString, args, nargs, kwnames, bound);
    std::uint32_t a = extract_u32(bound.values[0], "a");
    std::uint32_t b = extract_u32(bound.values[1], "b");
    return PyUnicode_FromString(std::to_string(static_cast<std::uint32_t>(a + b)).c_str());
  }, nullptr);
}

PyMethodDef kSumAsStringDef = {"sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(sum_as_string)),
                               METH_FASTCALL | METH_KEYWORDS,
                               "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// Moves the object-id counter forward (never back, so ids stay unique): lets tests reach the end
// of the id space without creating four billion objects.
const Signature kAdvanceIdCounter{"_advance_id_counter", {"next_id"}, 1};

PyObject* advance_id_counter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    bind(kAdvanceIdCounter, args, nargs, kwnames, bound);
    unsigned long long next = PyLong_AsUnsignedLongLong(bound.values[0]);
    if (next == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for_argument("next_id");
    // Past the last id the counter only needs to stay exhausted.
    if (next > kMaxObjectId + 1) next = kMaxObjectId + 1;
    std::uint64_t current = GLOBAL_ID_COUNTER.load();
    while (current < next && !GLOBAL_ID_COUNTER.compare_exchange_weak(current, next)) {
    }
    Py_RETURN_NONE;
  }, nullptr);
}

PyMethodDef kAdvanceIdCounterDef = {"_advance_id_counter",
                                    reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(advance_id_counter)),
                                    METH_FASTCALL | METH_KEYWORDS,
                                    "_advance_id_counter(next_id)\n--\n\nTesting aid: moves the object-id counter forward."};

// Checks every invariant of an index's core; returns "" or the first broken one.
const Signature kVerifyIndex{"_verify_index", {"index"}, 1};

PyObject* verify_index_aid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    bind(kVerifyIndex, args, nargs, kwnames, bound);
    std::string broken = verify_index(bound.values[0]);
    return PyUnicode_FromStringAndSize(broken.data(), static_cast<Py_ssize_t>(broken.size()));
  }, nullptr);
}

PyMethodDef kVerifyIndexDef = {"_verify_index", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(verify_index_aid)),
                               METH_FASTCALL | METH_KEYWORDS,
                               "_verify_index(index)\n--\n\nTesting aid: the first broken invariant of the index, or ''."};

PyObject* shape_count_aid(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* { return PyLong_FromSize_t(Shape::interned()); }, nullptr);
}

PyMethodDef kShapeCountDef = {"_shape_count", shape_count_aid, METH_NOARGS,
                              "_shape_count()\n--\n\nTesting aid: how many attribute-name sequences are shared now."};

PyObject* shape_tag_aid(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    if (!PyObject_TypeCheck(obj, indexable_type())) raise_wrong_type("obj", obj, "Indexable");
    return PyLong_FromUnsignedLong(as_indexable(obj)->native.snapshot_under_gil().shape_tag());
  }, nullptr);
}

PyMethodDef kShapeTagDef = {"_shape_tag", shape_tag_aid, METH_O,
                            "_shape_tag(obj, /)\n--\n\nTesting aid: the tag of the table of an object's names (0: none)."};

PyObject* table_hash_aid(PyObject*, PyObject* obj) {
  return guarded([&]() -> PyObject* {
    // CAUTION: runs the value's own __hash__ (and maybe __eq__).
    PyValue value = make_value(BorrowedRef(obj));
    return PyLong_FromUnsignedLongLong(value.table_hash());
  }, nullptr);
}

PyMethodDef kTableHashDef = {"_table_hash", table_hash_aid, METH_O,
                             "_table_hash(value, /)\n--\n\nTesting aid: what value tables key `value` by."};

PyObject* rebuild_index_aid(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* { return rebuild_index(); }, nullptr);
}

PyMethodDef kRebuildIndexDef = {"_rebuild_index", rebuild_index_aid, METH_NOARGS,
                                "_rebuild_index()\n--\n\nUnpickling: an empty Index for __setstate__ to fill."};

PyObject* rebuild_indexable_aid(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* { return rebuild_indexable(); }, nullptr);
}

PyMethodDef kRebuildIndexableDef = {"_rebuild_indexable", rebuild_indexable_aid, METH_NOARGS,
                                    "_rebuild_indexable()\n--\n\nUnpickling: an empty Indexable for __setstate__ to "
                                    "fill."};

// fork(): the interpreter calls these around os.fork() (and so multiprocessing's fork start), see
// the fork gate in interpreter/gil.hpp. Preparing waits, without the interpreter lock, until no
// thread is inside native work; the gate stays closed until the fork returned. The child then
// has every native lock free, and the worker pool runs on the calling thread there
// (native/worker_pool.cpp).
PyObject* before_fork(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    {
      ReleaseGil unlocked = ReleaseGil::outside_fork_gate();
      ForkGate::close();
      // The pool's workers outlive the calls they served by a little (returning their memory):
      // with the gate closed no call runs, so they can all be parked away from the allocators.
      pool::park_for_fork();
    }
    Py_RETURN_NONE;
  }, nullptr);
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    pool::resume_after_fork();
    ForkGate::open();
    Py_RETURN_NONE;
  }, nullptr);
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    ForkGate::open();
    Py_RETURN_NONE;
  }, nullptr);
}

PyMethodDef kBeforeForkDef = {"_before_fork", before_fork, METH_NOARGS, nullptr};
PyMethodDef kAfterForkInParentDef = {"_after_fork_in_parent", after_fork_in_parent, METH_NOARGS, nullptr};
PyMethodDef kAfterForkInChildDef = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

// The instances held by the calls of threads a child did not inherit are given back inside
// fork() itself, before the child runs any code that could start a thread on one of those
// threads' stacks, where the list of held accesses lies. Only for a fork this thread prepared
// (the interpreter's, which holds the interpreter lock, guarding that list, across fork()).
void give_back_foreign_accesses() noexcept {
  if (ForkGate::prepared_here()) HeldAccess::give_back_foreign();
}

// Registers the three at the interpreter's os.register_at_fork (absent where fork() is), and
// the hand-back of accesses with the C library.
void register_fork_hooks(PyObject* module, PyObject* name) {
  if (int error = pthread_atfork(nullptr, nullptr, give_back_foreign_accesses); error != 0) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw_error_set();
  }
  OwnedRef os = OwnedRef::steal(check(PyImport_ImportModule("os")));
  if (!PyObject_HasAttrString(os.get(), "register_at_fork")) return;
  OwnedRef register_at_fork = OwnedRef::steal(check(PyObject_GetAttrString(os.get(), "register_at_fork")));
  OwnedRef before = OwnedRef::steal(check(PyCFunction_NewEx(&kBeforeForkDef, module, name)));
  OwnedRef parent = OwnedRef::steal(check(PyCFunction_NewEx(&kAfterForkInParentDef, module, name)));
  OwnedRef child = OwnedRef::steal(check(PyCFunction_NewEx(&kAfterForkInChildDef, module, name)));
  OwnedRef kwargs = OwnedRef::steal(check(Py_BuildValue("{s:O,s:O,s:O}", "before", before.get(), "after_in_parent",
                                                        parent.get(), "after_in_child", child.get())));
  OwnedRef no_args = OwnedRef::steal(check(PyTuple_New(0)));
  OwnedRef done = OwnedRef::steal(check(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get())));
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "Vantorelle",
    "An in-memory index over Python objects, implemented natively.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> INTERPRETER_ID{-1};
PyObject* MODULE_CELL = nullptr;

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  check_status(PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)));
}

PyObject* init_module() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw_error_set();
  }
  std::int64_t expected = -1;
  if (!INTERPRETER_ID.compare_exchange_strong(expected, id) && expected != id) {
    raise(PyExc_ImportError,
          "Vantorelle does not support sub-interpreters: it is already imported into another interpreter "
          "of this process");
  }
  if (MODULE_CELL != nullptr) return Py_NewRef(MODULE_CELL);

  OwnedRef module = OwnedRef::steal(check(PyModule_Create2(&kModuleDef, 1013)));
#ifdef Py_GIL_DISABLED
  check_status(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED));
#endif
  // Functions name the module by its name, as pickle looks them up.
  OwnedRef name = OwnedRef::steal(check(PyModule_GetNameObject(module.get())));
  OwnedRef function = OwnedRef::steal(check(PyCFunction_NewEx(&kSumAsStringDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "sum_as_string", function.get()));
  OwnedRef advance = OwnedRef::steal(check(PyCFunction_NewEx(&kAdvanceIdCounterDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "_advance_id_counter", advance.get()));
  OwnedRef verify = OwnedRef::steal(check(PyCFunction_NewEx(&kVerifyIndexDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "_verify_index", verify.get()));
  OwnedRef rebuild = OwnedRef::steal(check(PyCFunction_NewEx(&kRebuildIndexDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "_rebuild_index", rebuild.get()));
  OwnedRef rebuild_obj = OwnedRef::steal(check(PyCFunction_NewEx(&kRebuildIndexableDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "_rebuild_indexable", rebuild_obj.get()));
  OwnedRef shapes = OwnedRef::steal(check(PyCFunction_NewEx(&kShapeCountDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "_shape_count", shapes.get()));
  OwnedRef tags = OwnedRef::steal(check(PyCFunction_NewEx(&kShapeTagDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "_shape_tag", tags.get()));
  OwnedRef table_hash = OwnedRef::steal(check(PyCFunction_NewEx(&kTableHashDef, module.get(), name.get())));
  check_status(PyModule_AddObjectRef(module.get(), "_table_hash", table_hash.get()));
  register_fork_hooks(module.get(), name.get());
  add_type(module.get(), "Index", index_type());
  add_type(module.get(), "Indexable", indexable_type());
  add_type(module.get(), "FilteredIndex", filtered_index_type());
  add_type(module.get(), "PyQueryExpr", query_expr_type());
  check_status(PyModule_AddObjectRef(module.get(), "PanicException", check(panic_exception_type())));
  MODULE_CELL = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace vantorelle::py

PyMODINIT_FUNC PyInit_Vantorelle() {
  using namespace vantorelle::py;
  return guarded([]() -> PyObject* { return init_module(); }, nullptr);
}
