// Range queries over BitMapBTree.
//
// A query descends only into the two children where its ends fall (found by get_key_index) and
// takes every child strictly between them whole, by its id bitmap. Those two children are searched
// exactly, down to their leaves, so separators that are stale after removals, or a first child
// holding keys below its separator, never change a result. Leaf ids and whole-child bitmaps are
// gathered first and united and confined to the universe once at the end: (A ∩ U) ∪ (B ∩ U) is
// (A ∪ B) ∩ U, and one many-way union is cheaper than a union per child.
#include <algorithm>

#include "native/bitmap_btree.hpp"
#include "native/failure.hpp"

namespace vantorelle {

namespace {

constexpr Key128 kMaxKey = ~Key128(0);
constexpr Key128 kMaxValuePart = (Key128(1) << 96) - 1;
constexpr Key128 kIdBits = 0xFFFFFFFF;

}  // namespace

KeyRange KeyRange::from_bounds(const Bound& lower, const Bound& upper) noexcept {
  KeyRange range;
  range.lower_kind = lower.kind;
  range.upper_kind = upper.kind;
  range.first = 0;
  range.last = kMaxKey;
  if (lower.kind != Bound::Kind::Unbounded) {
    range.lower_value = CompositeKey128::value_part(lower.value);
    if (lower.kind == Bound::Kind::Included) {
      range.first = range.lower_value << 32;
    } else if (range.lower_value == kMaxValuePart) {
      // No value part lies above the largest one.
      range.first = kMaxKey;
      range.last = 0;
    } else {
      range.first = (range.lower_value + 1) << 32;
    }
  }
  if (upper.kind != Bound::Kind::Unbounded) {
    range.upper_value = CompositeKey128::value_part(upper.value);
    if (upper.kind == Bound::Kind::Included) {
      range.last = std::min(range.last, (range.upper_value << 32) | kIdBits);
    } else if (range.upper_value == 0) {
      range.first = kMaxKey;
      range.last = 0;
    } else {
      range.last = std::min(range.last, (range.upper_value << 32) - 1);
    }
  }
  return range;
}

Bitmap RangeCollector::finish(const Bitmap& universe) const {
  if (universe.empty()) return Bitmap();
  Bitmap result = Bitmap::or_many(covered.data(), covered.size());
  result.add_many(ids.data(), ids.size());
  result.and_inplace(universe);
  return result;
}

void LeafNode::collect_range(const KeyRange& range, RangeCollector& out) const {
  const uint32_t start = lower_bound(range.first);
  const uint32_t end = range.last == kMaxKey ? count : lower_bound(range.last + 1);
  for (uint32_t i = start; i < end; ++i) out.ids.push_back(entries[offset + i].id());
}

uint32_t InternalNode::get_key_index(Key128 value_part, BoundEnd end) const noexcept {
  // Lower-included and upper-excluded ends count the separators whose value lies strictly below
  // the bound: the child before the first equal separator can hold equal values with smaller ids.
  // The other two ends count the separators up to and including equal ones: entries equal to the
  // bound may sit anywhere up to the last equal separator's child, and none beyond it.
  const bool include_equal = end == BoundEnd::LowerExcluded || end == BoundEnd::UpperIncluded;
  const auto first = keys.begin() + offset;
  const auto it = std::partition_point(first, first + count, [&](const CompositeKey128& s) {
    return include_equal ? s.value_bits() <= value_part : s.value_bits() < value_part;
  });
  const auto below = static_cast<uint32_t>(it - first);
  return below == 0 ? 0 : below - 1;
}

void InternalNode::collect_range(const KeyRange& range, RangeCollector& out) const {
  if (count == 0) return;
  const uint32_t lo =
      range.lower_kind == Bound::Kind::Unbounded
          ? 0
          : get_key_index(range.lower_value, range.lower_kind == Bound::Kind::Included
                                                 ? BoundEnd::LowerIncluded
                                                 : BoundEnd::LowerExcluded);
  const uint32_t hi =
      range.upper_kind == Bound::Kind::Unbounded
          ? count
          : get_key_index(range.upper_value, range.upper_kind == Bound::Kind::Included
                                                 ? BoundEnd::UpperIncluded
                                                 : BoundEnd::UpperExcluded);
  // An empty slot inside the run is excluded by the node invariants.
  const auto child_at = [&](uint32_t position) -> const BitMapBTreeNode& {
    const BitMapBTreeNode& child = children[offset + position];
    if (!child.present()) fail(kUnwrapNone);
    return child;
  };
  child_at(lo).collect_range(range, out);
  for (uint32_t position = lo + 1; position < hi; ++position) {
    const std::optional<Bitmap>& ids = bitmaps[offset + position];
    if (!ids) fail(kUnwrapNone);
    out.covered.push_back(ids->raw());
  }
  if (hi != lo && hi < count) child_at(hi).collect_range(range, out);
}

void BitMapBTreeNode::collect_range(const KeyRange& range, RangeCollector& out) const {
  if (const LeafNode* l = leaf()) {
    l->collect_range(range, out);
  } else if (const InternalNode* i = internal()) {
    i->collect_range(range, out);
  } else {
    fail(kUnwrapNone);
  }
}

namespace {

template <class Node>
Bitmap run_query(const Node& node, const Bound& lower, const Bound& upper, const Bitmap& universe) {
  const KeyRange range = KeyRange::from_bounds(lower, upper);
  RangeCollector out;
  if (!range.empty() && !universe.empty()) node.collect_range(range, out);
  return out.finish(universe);
}

}  // namespace

Bitmap LeafNode::query_range(const Bound& lower, const Bound& upper, const Bitmap& universe) const {
  return run_query(*this, lower, upper, universe);
}

Bitmap InternalNode::query_range(const Bound& lower, const Bound& upper,
                                 const Bitmap& universe) const {
  return run_query(*this, lower, upper, universe);
}

Bitmap BitMapBTreeNode::query_range(const Bound& lower, const Bound& upper,
                                    const Bitmap& universe) const {
  return run_query(*this, lower, upper, universe);
}

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper,
                                const Bitmap& universe) const {
  if (!root_.present()) return Bitmap();
  return run_query(root_, lower, upper, universe);
}

}  // namespace vantorelle
