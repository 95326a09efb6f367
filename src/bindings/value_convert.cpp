#include "bindings/value_convert.hpp"

#include "interpreter/errors.hpp"
#include "interpreter/text.hpp"

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
      std::optional<std::string_view> text = hex ? utf8_view_or_none(hex.get()) : std::nullopt;
      if (text) {
        exact = std::make_shared<const std::string>(*text);
        cls = ValueClass::BigInt;
      }
      PyErr_Clear();
    }
  } else if (type == &PyFloat_Type) {
    primitave.v = NativeCastValue::Float{PyFloat_AS_DOUBLE(obj)};
    cls = ValueClass::Float;
  } else if (type == &PyUnicode_Type) {
    if (std::optional<std::string_view> text = utf8_view_or_none(obj)) {
      primitave.v = NativeCastValue::Str{*text};
      cls = ValueClass::Str;
    } else {
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
  // CAUTION: runs the value's own __hash__.
  Py_hash_t raw = PyObject_Hash(obj);
  if (raw == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_error_set();
    PyErr_Clear();
    raw = 0;
    hash_failed = true;
  }
  auto hash = static_cast<std::uint64_t>(static_cast<std::int64_t>(raw));

  PyHandle handle = PyHandle::take(std::move(owned));
  if (cls == ValueClass::Indexable) primitave.v = NativeCastValue::Ind{IndexableHandle::of_checked(handle)};
  if (exact) primitave.v = NativeCastValue::Unknown{std::move(exact)};
  return PyValue(std::move(handle), std::move(primitave), hash, cls, hash_failed);
}

AttrName attr_name_of(PyObject* name) {
  if (std::optional<std::string_view> text = utf8_or_error(name)) return AttrName(*text);
  OwnedRef cause = OwnedRef::steal(fetch_exception());
  OwnedRef message = OwnedRef::steal(PyUnicode_FromFormat(
      "attribute name %R is not valid text: names with lone surrogates cannot be stored", name));
  if (!message) throw_error_set();
  raise_caused_by(PyExc_ValueError, message.get(), cause.release());
}

}  // namespace vantorelle::py
