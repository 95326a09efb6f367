#pragma once

#include "index/attr_name.hpp"
#include "index/value.hpp"
#include "interpreter/ref.hpp"

namespace vantorelle::py {

// Builds the PyValue of an object (interpreter lock held). A hash that raises an ordinary
// Exception becomes hash 0 (the value then equals only itself); anything else a hash raises
// (KeyboardInterrupt, SystemExit) propagates as PyErrorSet. An int beyond 64 bits or a str with
// lone surrogates keeps primitave Unknown with its valid hash.
// A value keeps only 32 bits mixed from its hash; `full_hash`, when given, receives all of it (0
// for a failed hash).
PyValue make_value(OwnedRef obj, std::uint64_t* full_hash = nullptr);
inline PyValue make_value(BorrowedRef obj, std::uint64_t* full_hash = nullptr) {
  return make_value(OwnedRef::incref(obj), full_hash);
}

// A copy of `value` holding a reference of its own to the object (a new cell, listed with its
// class for a value keyed by a representative), so that the copy is reported to the collector
// by its own holder. Interpreter lock held.
PyValue clone_value(const PyValue& value);

// The attribute name of a str (the caller checks the type). A name that is not valid text (a lone
// surrogate) cannot be stored or looked up: ValueError naming it, caused by the encoding error.
AttrName attr_name_of(PyObject* name);

// The Indexable type, cached for the process on first use.
PyTypeObject* indexable_type();

}  // namespace vantorelle::py
