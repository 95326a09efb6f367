#include "python/value_convert.hpp"

#include "python/errors.hpp"

namespace vantorelle::py {

PyValue make_value(OwnedRef owned) {
  PyObject* obj = owned.get();
  PyTypeObject* type = Py_TYPE(obj);
  NativeCastValue primitave;
  ValueClass cls = ValueClass::Other;
  std::shared_ptr<const std::string> exact;

  if (type == &PyLong_Type) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
      primitave.v = NativeCastValue::Int{value};
      cls = ValueClass::Int;
    } else {
      PyErr_Clear();
      OwnedRef hex = OwnedRef::steal(PyNumber_ToBase(obj, 16));
      const char* text = hex ? PyUnicode_AsUTF8(hex.get()) : nullptr;
      if (text != nullptr) {
        exact = std::make_shared<const std::string>(text);
        cls = ValueClass::BigInt;
      }
      PyErr_Clear();
    }
  } else if (type == &PyFloat_Type) {
    primitave.v = NativeCastValue::Float{PyFloat_AS_DOUBLE(obj)};
    cls = ValueClass::Float;
  } else if (type == &PyUnicode_Type) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
    if (text != nullptr) {
      primitave.v = NativeCastValue::Str{std::string_view(text, static_cast<std::size_t>(len))};
      cls = ValueClass::Str;
    } else {
      PyErr_Clear();
      OwnedRef bytes = OwnedRef::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
      if (bytes) {
        exact = std::make_shared<const std::string>(PyBytes_AS_STRING(bytes.get()),
                                                    static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
        cls = ValueClass::BadStr;
      }
      PyErr_Clear();
    }
  } else if (type == &PyBool_Type) {
    cls = ValueClass::Bool;
  } else if (PyType_IsSubtype(type, indexable_type())) {
    cls = ValueClass::Indexable;
  }

  bool hash_failed = false;
  Py_hash_t raw = PyObject_Hash(obj);
  if (raw == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    raw = 0;
    hash_failed = true;
  }
  auto hash = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw));

  PyHandle handle = PyHandle::take(std::move(owned));
  if (cls == ValueClass::Indexable) primitave.v = NativeCastValue::Ind{handle};
  if (exact) primitave.v = NativeCastValue::Unknown{std::move(exact)};
  return PyValue(std::move(handle), std::move(primitave), hash, cls, hash_failed);
}

}  // namespace vantorelle::py
