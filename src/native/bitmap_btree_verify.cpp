// BitMapBTree::verify: rebuilds every child's id set from the entries below it and checks each
// structural invariant on the way, reporting the first one that fails.
#include <string>

#include "native/bitmap_btree.hpp"

namespace vantorelle {

namespace {

std::string hex(Key128 key) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(32, '0');
  for (int i = 31; i >= 0; --i, key >>= 4) text[i] = kDigits[static_cast<unsigned>(key & 0xF)];
  return "0x" + text;
}

class Verifier {
 public:
  std::string error;
  uint64_t entries = 0;
  Bitmap seen;
  Bitmap seen_twice;

  // Checks the subtree under `node`, whose keys must lie in [lo, hi) where given, and returns its
  // ids (meaningless once an error is recorded).
  Bitmap visit(const BitMapBTreeNode& node, const std::optional<Key128>& lo,
               const std::optional<Key128>& hi, uint32_t depth, const std::string& where) {
    if (const LeafNode* leaf = node.leaf()) return visit_leaf(*leaf, lo, hi, depth, where);
    if (const InternalNode* inner = node.internal()) return visit_internal(*inner, lo, hi, depth, where);
    report(where + ": no node");
    return Bitmap();
  }

 private:
  std::optional<uint32_t> leaf_depth_;

  void report(const std::string& message) {
    if (error.empty()) error = message;
  }

  bool run_fits(uint32_t offset, uint32_t count, const std::string& where) {
    if (offset + count <= kFanOut) return true;
    report(where + ": run " + std::to_string(offset) + "+" + std::to_string(count) +
           " ends past slot " + std::to_string(kFanOut));
    return false;
  }

  bool in_bounds(Key128 key, const std::optional<Key128>& lo, const std::optional<Key128>& hi,
                 const std::string& what) {
    if (lo && key < *lo) {
      report(what + " " + hex(key) + " lies below its separator " + hex(*lo));
      return false;
    }
    if (hi && key >= *hi) {
      report(what + " " + hex(key) + " reaches the next separator " + hex(*hi));
      return false;
    }
    return true;
  }

  Bitmap visit_leaf(const LeafNode& leaf, const std::optional<Key128>& lo,
                    const std::optional<Key128>& hi, uint32_t depth, const std::string& where) {
    if (!leaf_depth_) leaf_depth_ = depth;
    if (*leaf_depth_ != depth) {
      report(where + ": leaf at depth " + std::to_string(depth) + ", another at depth " +
             std::to_string(*leaf_depth_));
    }
    if (!run_fits(leaf.offset, leaf.count, where)) return Bitmap();
    Bitmap ids;
    for (uint32_t slot = leaf.offset; slot < leaf.offset + leaf.count; ++slot) {
      const CompositeKey128& entry = leaf.entries[slot];
      const std::string what = where + ": entry in slot " + std::to_string(slot);
      if (slot > leaf.offset && entry.key <= leaf.entries[slot - 1].key) {
        report(what + " does not follow its predecessor in ascending order");
      }
      if (entry.value_bits() != CompositeKey128::value_part(entry.number())) {
        report(what + " does not encode a number");
      }
      in_bounds(entry.key, lo, hi, what);
      const uint32_t id = entry.id();
      if (seen.contains(id)) seen_twice.add(id);
      seen.add(id);
      ids.add(id);
      ++entries;
    }
    return ids;
  }

  Bitmap visit_internal(const InternalNode& node, const std::optional<Key128>& lo,
                        const std::optional<Key128>& hi, uint32_t depth, const std::string& where) {
    if (!run_fits(node.offset, node.count, where)) return Bitmap();
    if (node.count < 2) {
      report(where + ": internal node with " + std::to_string(node.count) + " children");
    }
    for (uint32_t slot = 0; slot < kFanOut; ++slot) {
      const bool in_run = slot >= node.offset && slot < node.offset + node.count;
      const std::string what = where + ": slot " + std::to_string(slot);
      if (node.children[slot].present() != in_run) {
        report(what + (in_run ? " inside the run has no child" : " outside the run has a child"));
      }
      if (node.bitmaps[slot].has_value() != in_run) {
        report(what + (in_run ? " inside the run has no bitmap" : " outside the run has a bitmap"));
      }
    }
    if (!error.empty()) return Bitmap();

    std::vector<Bitmap> below;
    below.reserve(node.count);
    for (uint32_t i = 0; i < node.count; ++i) {
      const uint32_t slot = node.offset + i;
      const Key128 separator = node.keys[slot].key;
      const std::string child_where = where + "/" + std::to_string(i);
      if (i > 0 && separator <= node.keys[slot - 1].key) {
        report(where + ": separator in slot " + std::to_string(slot) +
               " does not ascend from its predecessor");
      }
      in_bounds(separator, lo, hi, where + ": separator in slot " + std::to_string(slot));
      // Only the first child may hold keys below its own separator.
      const std::optional<Key128> child_lo = i == 0 ? lo : std::optional<Key128>(separator);
      const std::optional<Key128> child_hi =
          i + 1 == node.count ? hi : std::optional<Key128>(node.keys[slot + 1].key);
      below.push_back(visit(node.children[slot], child_lo, child_hi, depth + 1, child_where));
      if (!error.empty()) return Bitmap();
      const Bitmap& stored = *node.bitmaps[slot];
      if (!(stored == below.back())) {
        report(where + ": bitmap in slot " + std::to_string(slot) + " holds " +
               std::to_string(Bitmap::andnot(stored, below.back()).cardinality()) +
               " ids not below the child and lacks " +
               std::to_string(Bitmap::andnot(below.back(), stored).cardinality()) + " that are");
        return Bitmap();
      }
    }
    std::vector<const Bitmap*> parts;
    for (const Bitmap& b : below) parts.push_back(&b);
    return Bitmap::or_many(parts);
  }
};

}  // namespace

std::string BitMapBTree::verify() const {
  if (!root_.present()) {
    return size_ == 0 && ids_.empty() ? std::string() : "tree without a root counts entries";
  }
  Verifier verifier;
  verifier.visit(root_, std::nullopt, std::nullopt, 0, "root");
  if (!verifier.error.empty()) return verifier.error;
  if (verifier.entries != size_) {
    return "tree counts " + std::to_string(size_) + " entries but holds " +
           std::to_string(verifier.entries);
  }
  if (!(verifier.seen == ids_)) return "the tree's id set differs from the ids of its entries";
  if (!Bitmap::andnot(verifier.seen_twice, shared_ids_).empty()) {
    return "an id with several entries is missing from the shared ids";
  }
  return {};
}

}  // namespace vantorelle
