#pragma once

#include "index/index_api.hpp"
#include "python/ref.hpp"

namespace vantorelle::py {

// Keyword arguments as a filter: a str is one value (never its characters); any other iterable
// means any of its items; anything else is one value. An exception raised while iterating a
// value propagates unchanged. Interpreter lock held.
HashQuery kwargs_to_hash_query(PyObject* kwargs);
// The same for the keywords of a vectorcall: names in `kwnames` (may be null), values in `values`.
HashQuery kwargs_to_hash_query(PyObject* const* values, PyObject* kwnames);

}  // namespace vantorelle::py
