#pragma once

#include "index/index_api.hpp"
#include "bindings/args.hpp"
#include "interpreter/ref.hpp"

namespace vantorelle::py {

// The keywords of a vectorcall (names in `kwnames`, may be null; values in `values`) as a filter:
// a str is one value (never its characters); any other iterable means any of its items; anything
// else is one value. An exception raised while iterating a value propagates unchanged; a name
// that is not valid text is the ValueError of attr_name_of. Interpreter lock held.
HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames);

// The filter of a keyword-only method: any positional argument is the binding error of `sig`.
HashQuery keyword_query(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vantorelle::py
