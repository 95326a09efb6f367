// The layout of a Python object that carries a native value: the object header, the weak-reference
// list, then the value, constructed in place by tp_new and destroyed by tp_dealloc. Kept here, in
// one place, so that the index core can reach the native half of an object it holds without
// knowing the bindings that define the type.
#pragma once

#include "interpreter/api.hpp"

namespace vantorelle::py {

template <class T>
struct NativeObject {
  PyObject_HEAD
  PyObject* weakreflist;
  T native;
};

// `obj` must be an instance of a type laid out as NativeObject<T>.
template <class T>
T& native_in(PyObject* obj) noexcept {
  return reinterpret_cast<NativeObject<T>*>(obj)->native;
}

}  // namespace vantorelle::py
