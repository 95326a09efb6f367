// Query expressions: a condition on the objects of an index as a tree. Leaves compare an
// attribute path (dots step into nested objects) with values; inner nodes combine children with
// and, or, not. A tree is plain data once built: it is read on any thread, without the
// interpreter, and released with its values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/attr_name.hpp"
#include "index/value.hpp"

namespace vantorelle {

// Trees deeper than this are refused when built: evaluation, copying and release walk them
// recursively.
inline constexpr std::uint32_t kMaxQueryDepth = 1000;

struct QueryExpr {
  enum class Kind : std::uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or };

  Kind kind = Kind::And;
  AttrName path;                    // leaves only
  std::vector<PyValue> values;      // Eq..Le: one; Bt: lower, upper; In: any number
  // The interpreter's hash of each value, in step with `values`: a value keeps only part of it,
  // and the debug text shows all of it.
  std::vector<std::uint64_t> hashes;
  std::vector<QueryExpr> children;  // Not: one; And, Or: any number
  std::uint32_t depth = 1;          // levels of this tree, itself included

  bool is_leaf() const noexcept { return kind <= Kind::In; }
  // "Eq(\"age\", PyValue { ... })", "And([...])": the text `repr` shows inside "<QueryExpr: ...>".
  std::string debug_text() const;
};

// The name a comparison is built with ("gt", "bt", ...).
std::string_view builder_name(QueryExpr::Kind kind);

}  // namespace vantorelle
