// Query evaluation: a QueryExpr against an attribute table and a universe (the ids that count as
// every object: a core's id set, or a view's ids), into the bitmap of the ids that satisfy it.
// Pure reads: no index changes, no interpreter calls. The caller holds the table's read lock for
// the whole call; the children of and_ / or_ run as parallel tasks of the worker pool under it.
#pragma once

#include "index/index_api.hpp"
#include "index/query_expr.hpp"
#include "native/bitmap.hpp"
#include "native/hybrid_set.hpp"

#include <vector>

namespace vantorelle {

// Unites many id sets at once (see query_eval.cpp). The sets must outlive finish().
class SetUnion {
 public:
  void add(const HybridSet& set);
  Bitmap finish();

 private:
  void gather(const HybridSet& set);

  const HybridSet* first_ = nullptr;  // the set added first; alone, it is the union
  std::size_t sets_ = 0;
  std::vector<const Bitmap*> bitmaps_;
  std::vector<std::uint32_t> loose_;
};

// Equality (eq, ne, in_) is the value equality of keyword filters; comparisons read the range
// trees. A comparison with an Indexable bound, or a bt bound that is not an exact int or float,
// is DomainError (Type) where the attribute exists; other non-numeric bounds select nothing.
// Runs the parallel steps in the pool: call it inside pool::run.
Bitmap evaluate_query(const AttributeTable& table, const Bitmap& universe, const QueryExpr& expr);

}  // namespace vantorelle
