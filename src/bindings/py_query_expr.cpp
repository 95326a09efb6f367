// The PyQueryExpr class: query trees built by eleven static builders, shown by repr.
#include <new>

#include "bindings/args.hpp"
#include "bindings/objects.hpp"

namespace vantorelle::py {
namespace {

using Kind = QueryExpr::Kind;

PyQueryExprObject* as_expr(PyObject* obj) { return reinterpret_cast<PyQueryExprObject*>(obj); }

// A deep copy whose values hold references of their own (each tree reports its own values).
QueryExpr clone(const QueryExpr& expr) {
  QueryExpr copy;
  copy.kind = expr.kind;
  copy.path = expr.path;
  copy.depth = expr.depth;
  copy.values.reserve(expr.values.size());
  for (const PyValue& value : expr.values) copy.values.push_back(clone_value(value));
  copy.hashes = expr.hashes;
  copy.children.reserve(expr.children.size());
  for (const QueryExpr& child : expr.children) copy.children.push_back(clone(child));
  return copy;
}

PyObject* wrap(QueryExpr expr) {
  PyTypeObject* type = query_expr_type();
  auto root = std::make_shared<const QueryExpr>(std::move(expr));
  PyObject* self = check(type->tp_alloc(type, 0));
  new (&as_expr(self)->borrow) BorrowFlag();
  new (&as_expr(self)->root) std::shared_ptr<const QueryExpr>(std::move(root));
  return self;
}

AttrName path_of(PyObject* attr) {
  if (!PyUnicode_Check(attr)) raise_wrong_type("attr", attr, "PyString");
  return attr_name_of(attr);
}

// Adds the value of `obj` to the leaf `expr`, with its hash.
void add_value(QueryExpr& expr, OwnedRef obj) {
  std::uint64_t hash = 0;
  expr.values.push_back(make_value(std::move(obj), &hash));
  expr.hashes.push_back(hash);  // a failure discards the whole tree being built
}

// Adds a range bound to the leaf `expr`: an int must fit the range index's 64-bit keys.
void add_bound(QueryExpr& expr, PyObject* obj, const char* argument) {
  if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0) {
      PyErr_Format(PyExc_OverflowError, "argument '%s': int too large for a 64-bit range bound", argument);
      throw_error_set();
    }
  }
  add_value(expr, OwnedRef::incref(obj));
}

QueryExpr leaf(Kind kind, PyObject* attr) {
  QueryExpr expr;
  expr.kind = kind;
  expr.path = path_of(attr);
  return expr;
}

template <Kind K>
PyObject* compare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const std::string qualname = "PyQueryExpr." + std::string(builder_name(K));
  static const Signature signature{qualname.c_str(), {"attr", "value"}, 2};
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    bind(signature, args, nargs, kwnames, bound);
    QueryExpr expr = leaf(K, bound.values[0]);
    bool ranged = K != Kind::Eq && K != Kind::Ne;
    if (ranged) {
      add_bound(expr, bound.values[1], "value");
    } else {
      add_value(expr, OwnedRef::incref(bound.values[1]));
    }
    return wrap(std::move(expr));
  }, nullptr);
}

const Signature kBt{"PyQueryExpr.bt", {"attr", "lower", "upper"}, 3};

PyObject* build_bt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    bind(kBt, args, nargs, kwnames, bound);
    QueryExpr expr = leaf(Kind::Bt, bound.values[0]);
    add_bound(expr, bound.values[1], "lower");
    add_bound(expr, bound.values[2], "upper");
    return wrap(std::move(expr));
  }, nullptr);
}

const Signature kIn{"PyQueryExpr.in_", {"attr", "values"}, 2};

PyObject* build_in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    bind(kIn, args, nargs, kwnames, bound);
    QueryExpr expr = leaf(Kind::In, bound.values[0]);
    PyObject* values = bound.values[1];
    if (PyUnicode_Check(values)) {
      PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
      reraise_for_argument("values");
    }
    if (!PySequence_Check(values)) raise_wrong_type("values", values, "Sequence");
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(values));
    if (!iterator) reraise_for_argument("values");
    // CAUTION: runs the sequence's iterator and each item's __hash__.
    while (PyObject* item = PyIter_Next(iterator.get())) add_value(expr, OwnedRef::steal(item));
    if (PyErr_Occurred()) reraise_for_argument("values");
    return wrap(std::move(expr));
  }, nullptr);
}

// The trees of expression arguments, deep-copied; each must be a PyQueryExpr.
void add_children(QueryExpr& expr, PyObject* const* items, Py_ssize_t n) {
  expr.children.reserve(static_cast<std::size_t>(n));
  std::uint32_t deepest = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::shared_ptr<const QueryExpr> child = query_of(items[i], "exprs");
    deepest = std::max(deepest, child->depth);
  }
  if (deepest + 1 > kMaxQueryDepth) {
    raise(PyExc_RecursionError,
          "query expressions nest more than " + std::to_string(kMaxQueryDepth) + " levels deep");
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    SharedAccess access(as_expr(items[i])->borrow);
    expr.children.push_back(clone(*as_expr(items[i])->root));
  }
  expr.depth = deepest + 1;
}

template <Kind K>
PyObject* combine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const std::string qualname = "PyQueryExpr." + std::string(builder_name(K));
  return guarded([&]() -> PyObject* {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
      raise_unexpected_keyword(qualname.c_str(), PyTuple_GET_ITEM(kwnames, 0));
    }
    QueryExpr expr;
    expr.kind = K;
    add_children(expr, args, PyVectorcall_NARGS(nargs));
    return wrap(std::move(expr));
  }, nullptr);
}

const Signature kNot{"PyQueryExpr.not_", {"exprs"}, 1};

PyObject* build_not(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    bind(kNot, args, nargs, kwnames, bound);
    QueryExpr expr;
    expr.kind = Kind::Not;
    add_children(expr, bound.values.data(), 1);
    return wrap(std::move(expr));
  }, nullptr);
}

PyObject* expr_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    SharedAccess access(as_expr(self)->borrow);
    std::string text = "<QueryExpr: " + as_expr(self)->root->debug_text() + ">";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }, nullptr);
}

constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef expr_methods[] = {
    {"eq", fastcall<compare<Kind::Eq>>(), kStatic, "eq(attr, value)\n--\n\nThe attribute equals the value."},
    {"ne", fastcall<compare<Kind::Ne>>(), kStatic, "ne(attr, value)\n--\n\nThe attribute does not equal the value."},
    {"gt", fastcall<compare<Kind::Gt>>(), kStatic, "gt(attr, value)\n--\n\nThe attribute is greater than the value."},
    {"ge", fastcall<compare<Kind::Ge>>(), kStatic,
     "ge(attr, value)\n--\n\nThe attribute is greater than or equal to the value."},
    {"lt", fastcall<compare<Kind::Lt>>(), kStatic, "lt(attr, value)\n--\n\nThe attribute is less than the value."},
    {"le", fastcall<compare<Kind::Le>>(), kStatic,
     "le(attr, value)\n--\n\nThe attribute is less than or equal to the value."},
    {"bt", fastcall<build_bt>(), kStatic,
     "bt(attr, lower, upper)\n--\n\nThe attribute lies between the bounds, both included."},
    {"in_", fastcall<build_in>(), kStatic, "in_(attr, values)\n--\n\nThe attribute equals one of the values."},
    {"and_", fastcall<combine<Kind::And>>(), kStatic, "and_(*exprs)\n--\n\nEvery expression holds."},
    {"or_", fastcall<combine<Kind::Or>>(), kStatic, "or_(*exprs)\n--\n\nAt least one expression holds."},
    {"not_", fastcall<build_not>(), kStatic, "not_(exprs)\n--\n\nThe expression does not hold."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PyQueryExpr");
  return nullptr;
}

void visit_values(const QueryExpr& expr, visitproc visit, void* arg, int& status) {
  for (const PyValue& value : expr.values) {
    if (status == 0) status = visit(value.obj(), arg);
  }
  for (const QueryExpr& child : expr.children) visit_values(child, visit, arg, status);
}

int expr_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  int status = 0;
  if (const auto& root = as_expr(self)->root) visit_values(*root, visit, arg, status);
  return status;
}

int expr_clear(PyObject* self) {
  HoldingGil holding;
  std::shared_ptr<const QueryExpr> old = std::exchange(as_expr(self)->root, std::make_shared<const QueryExpr>());
  return 0;
}

void expr_dealloc(PyObject* self) {
  HoldingGil holding;
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_expr(self)->root.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot expr_slots[] = {
    {Py_tp_doc, const_cast<char*>("A condition on the objects of an index, built by the static builders.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(expr_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(expr_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(expr_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(expr_repr)},
    {Py_tp_methods, expr_methods},
    {0, nullptr},
};

PyType_Spec expr_spec = {"builtins.PyQueryExpr", sizeof(PyQueryExprObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, expr_slots};

}  // namespace

std::shared_ptr<const QueryExpr> query_of(PyObject* obj, const char* argument) {
  if (!PyObject_TypeCheck(obj, query_expr_type())) raise_wrong_type(argument, obj, "PyQueryExpr");
  SharedAccess access(as_expr(obj)->borrow);
  return as_expr(obj)->root;
}

PyTypeObject* query_expr_type() {
  static PyTypeObject* type = create_type(expr_spec, "PyQueryExpr");
  return type;
}

}  // namespace vantorelle::py
