#include "index/query_eval.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "index/indexable.hpp"
#include "native/worker_pool.hpp"

namespace vantorelle {
namespace {

using Kind = QueryExpr::Kind;

std::optional<NumericValue> bound_key(const PyValue& value) {
  const CastView cast = value.primitave();
  if (cast.is_int()) return NumericValue::of_int(cast.as_int());
  if (cast.is_float()) return NumericValue::of_float(cast.as_float());
  return std::nullopt;
}

// The short name of a value's type, as the interpreter prints it. Read without the interpreter
// lock: the type's name is fixed for the life of the object, which the value keeps alive.
std::string type_name_of(const PyValue& value) {
  std::string_view full = Py_TYPE(value.obj())->tp_name;
  std::size_t dot = full.rfind('.');
  return std::string(dot == std::string_view::npos ? full : full.substr(dot + 1));
}

[[noreturn]] void refuse_bound(const QueryExpr& expr, const PyValue& bound) {
  throw DomainError(DomainError::Kind::Type, std::string(builder_name(expr.kind)) + ": cannot compare attribute '" +
                                                 std::string(expr.path.view()) + "' with a '" +
                                                 type_name_of(bound) + "' bound");
}

Bitmap set_bitmap(const HybridSet* ids) { return ids == nullptr ? Bitmap() : ids->to_bitmap(); }

bool is_nan(const NumericValue& value) { return value.kind == NumericValue::Kind::Float && std::isnan(value.f); }

// Ranges answer as the interpreter's comparisons do: a NaN is neither above nor below any number.
// The tree keeps NaNs beyond the infinities, so the open ends of a range stop at the infinities.
const Bound kFromMinusInf = Bound::included(NumericValue::of_float(-std::numeric_limits<double>::infinity()));
const Bound kToInf = Bound::included(NumericValue::of_float(std::numeric_limits<double>::infinity()));

}  // namespace

// Unites many id sets at once: the bitmaps in one many-way union, the ids of small and sorted
// sets sorted together and written once, instead of one in-place union per set. The first set is
// only noted: alone, it is the union, copied once by finish.
void SetUnion::add(const HybridSet& set) {
  if (sets_++ == 0) {
    first_ = &set;
    return;
  }
  if (sets_ == 2) gather(*first_);
  gather(set);
}

void SetUnion::gather(const HybridSet& set) {
  if (const Bitmap* bitmap = set.bitmap()) {
    bitmaps_.push_back(bitmap);
  } else {
    const std::span<const std::uint32_t> ids = set.ids();
    loose_.insert(loose_.end(), ids.begin(), ids.end());
  }
}

// Loose ids come as runs (one per small or sorted set) that jump between 2^16-id chunks. Sorted,
// they become a bitmap with each container written once, instead of ids inserted one by one.
Bitmap SetUnion::finish() {
  if (sets_ == 0) return Bitmap();
  if (sets_ == 1) return first_->to_bitmap();
  Bitmap result = bitmaps_.empty() ? Bitmap() : Bitmap::or_many(bitmaps_);
  if (loose_.empty()) return result;
  Bitmap loose = Bitmap::of_unordered(loose_);
  if (bitmaps_.empty()) return loose;
  result.or_inplace(loose);
  return result;
}

namespace {

// A leaf on the map of its attribute, with no path left, evaluated as `kind` (Ne's positive part is
// evaluated as Eq).
Bitmap evaluate_on_map(const QueryMap& map, const Bitmap& universe, const QueryExpr& expr, Kind kind) {
  switch (kind) {
    case Kind::Eq: return set_bitmap(map.find(expr.values.front()));
    case Kind::In: {
      if (expr.values.empty() || map.values().empty()) return Bitmap();
      SetUnion found;
      for (const PyValue& value : expr.values) {
        if (const HybridSet* ids = map.find(value)) found.add(*ids);
      }
      Bitmap result = found.finish();
      result.and_inplace(universe);
      return result;
    }
    case Kind::Gt:
    case Kind::Ge:
    case Kind::Lt:
    case Kind::Le: {
      const PyValue& bound = expr.values.front();
      std::optional<NumericValue> key = bound_key(bound);
      if (!key) {
        if (bound.primitave().is_ind()) refuse_bound(expr, bound);
        return Bitmap();
      }
      if (is_nan(*key)) return Bitmap();
      switch (expr.kind) {
        case Kind::Gt: return map.range_tree().query_range(Bound::excluded(*key), kToInf, universe);
        case Kind::Ge: return map.range_tree().query_range(Bound::included(*key), kToInf, universe);
        case Kind::Lt: return map.range_tree().query_range(kFromMinusInf, Bound::excluded(*key), universe);
        default: return map.range_tree().query_range(kFromMinusInf, Bound::included(*key), universe);
      }
    }
    case Kind::Bt: {
      std::optional<NumericValue> lower = bound_key(expr.values[0]);
      if (!lower) refuse_bound(expr, expr.values[0]);
      std::optional<NumericValue> upper = bound_key(expr.values[1]);
      if (!upper) refuse_bound(expr, expr.values[1]);
      if (is_nan(*lower) || is_nan(*upper)) return Bitmap();
      return map.range_tree().query_range(Bound::included(*lower), Bound::included(*upper), universe);
    }
    default: fail("unreachable");
  }
}

// A leaf on the rest `path` of its attribute path: an absent head selects nothing; a head with a
// rest goes on in the head's nested core (under that core's read locks, with its id set as the
// universe), and the nested objects found are lifted to their holders here.
Bitmap evaluate_leaf(const AttributeTable& table, const Bitmap& universe, const QueryExpr& expr, std::string_view path,
                     Kind kind) {
  std::size_t dot = path.find('.');
  std::string_view head = dot == std::string_view::npos ? path : path.substr(0, dot);
  auto it = table.find(head);
  if (it == table.end()) return Bitmap();
  if (dot == std::string_view::npos) return evaluate_on_map(*it->second, universe, expr, kind);
  const IndexAPI& nested = *it->second->nested();
  Bitmap matched;
  {
    auto table_guard = nested.index()->lock.read();
    auto ids_guard = nested.ids()->lock.read();
    matched = evaluate_leaf(nested.index()->value, nested.ids()->value, expr, path.substr(dot + 1), kind);
  }
  return nested.get_direct_parents(matched);
}

Bitmap complement(const Bitmap& universe, const Bitmap& result) { return Bitmap::andnot(universe, result); }

std::vector<Bitmap> evaluate_queries_vec(const std::vector<QueryExpr>& children, const AttributeTable& table,
                                         const Bitmap& universe) {
  std::vector<Bitmap> results(children.size());
  pool::for_each(children.size(), [&](std::size_t i) { results[i] = evaluate_query(table, universe, children[i]); });
  return results;
}

}  // namespace

Bitmap evaluate_query(const AttributeTable& table, const Bitmap& universe, const QueryExpr& expr) {
  switch (expr.kind) {
    case Kind::Ne: return complement(universe, evaluate_leaf(table, universe, expr, expr.path.view(), Kind::Eq));
    case Kind::Not: return complement(universe, evaluate_query(table, universe, expr.children.front()));
    case Kind::And: {
      if (expr.children.empty()) return Bitmap();
      std::vector<Bitmap> results = evaluate_queries_vec(expr.children, table, universe);
      std::stable_sort(results.begin(), results.end(),
                       [](const Bitmap& a, const Bitmap& b) { return a.cardinality() < b.cardinality(); });
      Bitmap result = std::move(results.front());
      for (std::size_t i = 1; i < results.size() && !result.empty(); ++i) result.and_inplace(results[i]);
      return result;
    }
    case Kind::Or: {
      if (expr.children.empty()) return Bitmap();
      std::vector<Bitmap> results = evaluate_queries_vec(expr.children, table, universe);
      std::vector<const Bitmap*> parts;
      parts.reserve(results.size());
      for (const Bitmap& r : results) parts.push_back(&r);
      return Bitmap::or_many(parts);
    }
    default: return evaluate_leaf(table, universe, expr, expr.path.view(), expr.kind);
  }
}

Bitmap IndexAPI::reduced_query(const QueryExpr& expr) const {
  auto table_guard = index_->lock.read();
  auto ids_guard = ids_->lock.read();
  return evaluate_query(index_->value, ids_->value, expr);
}

Bitmap IndexAPI::get_direct_parents(const Bitmap& ids) const {
  SetUnion parents;
  auto guard = items_->lock.read();
  const Slots& slots = items_->value;
  ids.for_each([&](std::uint32_t id) {
    auto it = slots.links.find(id);
    if (it != slots.links.end()) parents.add(it->second.parent_ids);
  });
  return parents.finish();
}

}  // namespace vantorelle
