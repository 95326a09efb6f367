// The Index class: one shared reference to an index core.
#include <new>

#include "python/args.hpp"
#include "python/objects.hpp"

namespace vantorelle::py {
namespace {

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    bind_no_args("Index", args, kwargs);
    std::shared_ptr<IndexAPI> core = IndexAPI::create();
    PyObject* self = check(type->tp_alloc(type, 0));
    auto* obj = reinterpret_cast<IndexObject*>(self);
    new (&obj->borrow) BorrowFlag();
    new (&obj->core) std::shared_ptr<IndexAPI>(std::move(core));
    return self;
  }, nullptr);
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<IndexObject*>(self);
  obj->core.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\nAn in-memory index over Indexable objects.")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {0, nullptr},
};

PyType_Spec index_spec = {"builtins.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, index_slots};

// Views and query expressions are made only by the module, never by calling the class.
template <const char* kName>
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, (std::string("No constructor defined for ") + kName).c_str());
  return nullptr;
}

void plain_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr char kFilteredIndex[] = "FilteredIndex";
constexpr char kPyQueryExpr[] = "PyQueryExpr";

PyType_Slot filtered_index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kFilteredIndex>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {0, nullptr},
};
PyType_Spec filtered_index_spec = {"builtins.FilteredIndex", sizeof(FilteredIndexObject), 0, Py_TPFLAGS_DEFAULT,
                                   filtered_index_slots};

PyType_Slot query_expr_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor<kPyQueryExpr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {0, nullptr},
};
PyType_Spec query_expr_spec = {"builtins.PyQueryExpr", sizeof(PyQueryExprObject), 0, Py_TPFLAGS_DEFAULT,
                               query_expr_slots};

}  // namespace

PyTypeObject* index_type() {
  static PyTypeObject* type = create_type(index_spec, "Index");
  return type;
}

PyTypeObject* filtered_index_type() {
  static PyTypeObject* type = create_type(filtered_index_spec, "FilteredIndex");
  return type;
}

PyTypeObject* query_expr_type() {
  static PyTypeObject* type = create_type(query_expr_spec, "PyQueryExpr");
  return type;
}

}  // namespace vantorelle::py
