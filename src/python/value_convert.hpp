#pragma once

#include "index/value.hpp"

namespace vantorelle::py {

// Builds the PyValue of an object (interpreter lock held). Never raises: a failing hash becomes
// hash 0 (the value then equals only itself), an int beyond 64 bits or a str with lone
// surrogates keeps primitave Unknown with its valid hash.
PyValue make_value(OwnedRef obj);
inline PyValue make_value(BorrowedRef obj) { return make_value(OwnedRef::incref(obj)); }

// The Indexable type, cached for the process on first use.
PyTypeObject* indexable_type();

}  // namespace vantorelle::py
