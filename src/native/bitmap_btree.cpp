// Key encoding, node operations and updates of BitMapBTree; queries and verify() live in their own
// files.
#include "native/bitmap_btree.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>

#include "native/failure.hpp"
#include "native/radix_sort.hpp"

namespace vantorelle {

namespace {

constexpr uint32_t kMaxHeight = 32;

bool touches_end(uint32_t offset, uint32_t count) noexcept {
  return offset == 0 || offset + count >= kFanOut;
}

// Met without removals only by a node of 95 entries (recentered to slots 0..94), so no node ever
// needs a 96th slot. After removals a node whose run kept touching an end meets it with fewer.
bool needs_split(uint32_t offset, uint32_t count) noexcept {
  return count > kSplitThreshold && touches_end(offset, count);
}

template <class Node>
bool node_needs_split(const Node& node) noexcept {
  return needs_split(node.offset, node.count);
}

bool child_needs_split(const BitMapBTreeNode& child) noexcept {
  if (const LeafNode* leaf = child.leaf()) return node_needs_split(*leaf);
  return node_needs_split(*child.internal());
}

// How many entries a node splitting for `key` keeps: most of them when the key lies beyond its
// last one (its last child, for an internal node), else half. A leaf that a sorted batch enters
// in the middle, with `next` (the batch's following key) going into the same gap, splits at the
// gap instead: the left part then takes the batch's keys as appends and fills up, where an even
// split would leave both halves to fill only halfway.
uint32_t split_keep(const LeafNode& leaf, Key128 key, const CompositeKey128* next) noexcept {
  const bool appending = key > leaf.entries[leaf.offset + leaf.count - 1].key;
  if (appending) return leaf.count * kAppendKeepTenths / 10;
  if (next != nullptr) {
    const uint32_t gap = leaf.lower_bound(key);
    if (gap > 0 && next->key < leaf.entries[leaf.offset + gap].key) return gap;
  }
  return leaf.count / 2;
}

uint32_t split_keep(const InternalNode& node, Key128 key) noexcept {
  const bool appending = key >= node.keys[node.offset + node.count - 1].key;
  return appending ? node.count * kAppendKeepTenths / 10 : node.count / 2;
}

}  // namespace

// ---- CompositeKey128 -------------------------------------------------------------------------

Key128 CompositeKey128::value_part(const NumericValue& value) noexcept {
  constexpr Key128 kSignBit = Key128(1) << 95;
  constexpr Key128 kMask96 = (Key128(1) << 96) - 1;
  constexpr uint32_t kBias = 16383;

  bool negative = false;
  uint32_t exponent = 0;
  Key128 significand = 0;  // explicit leading one at bit 79
  if (value.kind == NumericValue::Kind::Int) {
    if (value.i == 0) return kSignBit;
    negative = value.i < 0;
    // 2^63, the magnitude of the most negative integer, fits the unsigned negation.
    const uint64_t magnitude = negative ? ~static_cast<uint64_t>(value.i) + 1 : value.i;
    const uint32_t p = std::bit_width(magnitude) - 1;
    exponent = kBias + p;
    significand = Key128(magnitude) << (79 - p);
  } else {
    const uint64_t bits = std::bit_cast<uint64_t>(value.f);
    negative = (bits >> 63) != 0;
    const uint32_t biased = (bits >> 52) & 0x7FF;
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    if (biased == 0) {
      if (fraction == 0) return kSignBit;  // +0.0 and -0.0 equal the integer 0
      // Subnormal: fraction * 2^-1074 = 2^(q-1074) * 1.xxx, normalised like every other number
      // so that the largest subnormal still sorts below the smallest normal double.
      const uint32_t q = std::bit_width(fraction) - 1;
      exponent = kBias - 1074 + q;
      significand = Key128(fraction) << (79 - q);
    } else {
      // Infinities and NaNs take the largest exponent like any other value with field 2047, so
      // +inf tops every finite number and a NaN's nonzero fraction puts it beyond the infinity.
      exponent = biased - 1023 + kBias;
      significand = (Key128(1) << 79) | (Key128(fraction) << 27);
    }
  }
  const Key128 magnitude_part = (Key128(exponent) << 80) | significand;
  return negative ? ~(kSignBit | magnitude_part) & kMask96 : kSignBit | magnitude_part;
}

NumericValue CompositeKey128::number() const noexcept {
  constexpr Key128 kSignBit = Key128(1) << 95;
  constexpr Key128 kMask96 = (Key128(1) << 96) - 1;
  constexpr Key128 kSignificand = (Key128(1) << 80) - 1;
  constexpr int32_t kBias = 16383;
  const Key128 bits = value_bits();
  if (bits == kSignBit) return NumericValue::of_int(0);
  const bool negative = (bits & kSignBit) == 0;
  const Key128 magnitude_part = (negative ? ~bits & kMask96 : bits) & ~kSignBit;
  const auto exponent = static_cast<int32_t>(magnitude_part >> 80);
  const Key128 significand = magnitude_part & kSignificand;
  const int32_t power = exponent - kBias;
  if (power >= 0 && power <= 63 && (significand & ((Key128(1) << (79 - power)) - 1)) == 0) {
    const auto magnitude = static_cast<uint64_t>(significand >> (79 - power));
    if (!negative && magnitude <= uint64_t(INT64_MAX)) return NumericValue::of_int(static_cast<int64_t>(magnitude));
    if (negative && magnitude <= uint64_t(INT64_MAX) + 1) {
      return NumericValue::of_int(static_cast<int64_t>(~magnitude + 1));
    }
  }
  // Made from a double: its 53 significant bits sit at the top of the significand.
  const auto mantissa = static_cast<uint64_t>(significand >> 27);
  double value;
  if (power == 2047 - 1023) {
    value = std::bit_cast<double>((uint64_t(0x7FF) << 52) | (mantissa & ((uint64_t(1) << 52) - 1)));
  } else {
    value = std::ldexp(static_cast<double>(mantissa), power - 52);
  }
  return NumericValue::of_float(negative ? -value : value);
}

// ---- BitMapBTreeNode ---------------------------------------------------------------------------

BitMapBTreeNode::BitMapBTreeNode(std::unique_ptr<LeafNode> leaf) noexcept : node_(std::move(leaf)) {}

BitMapBTreeNode::BitMapBTreeNode(std::unique_ptr<InternalNode> internal) noexcept
    : node_(std::move(internal)) {}

// A moved-from slot must read as empty, not as a null pointer of some kind.
BitMapBTreeNode::BitMapBTreeNode(BitMapBTreeNode&& other) noexcept
    : node_(std::exchange(other.node_, std::monostate{})) {}

BitMapBTreeNode& BitMapBTreeNode::operator=(BitMapBTreeNode&& other) noexcept {
  if (this != &other) node_ = std::exchange(other.node_, std::monostate{});
  return *this;
}

BitMapBTreeNode::~BitMapBTreeNode() = default;

bool BitMapBTreeNode::present() const noexcept { return leaf() != nullptr || internal() != nullptr; }

LeafNode* BitMapBTreeNode::leaf() noexcept {
  auto* p = std::get_if<std::unique_ptr<LeafNode>>(&node_);
  return p ? p->get() : nullptr;
}

const LeafNode* BitMapBTreeNode::leaf() const noexcept {
  auto* p = std::get_if<std::unique_ptr<LeafNode>>(&node_);
  return p ? p->get() : nullptr;
}

InternalNode* BitMapBTreeNode::internal() noexcept {
  auto* p = std::get_if<std::unique_ptr<InternalNode>>(&node_);
  return p ? p->get() : nullptr;
}

const InternalNode* BitMapBTreeNode::internal() const noexcept {
  auto* p = std::get_if<std::unique_ptr<InternalNode>>(&node_);
  return p ? p->get() : nullptr;
}

// ---- LeafNode ----------------------------------------------------------------------------------

uint32_t LeafNode::lower_bound(Key128 key) const noexcept {
  const auto first = entries.begin() + offset;
  const auto it = std::partition_point(first, first + count,
                                       [key](const CompositeKey128& e) { return e.key < key; });
  return static_cast<uint32_t>(it - first);
}

bool LeafNode::insert_non_full(const CompositeKey128& key) {
  if (count >= kFanOut) fail(kNodeFull);
  const uint32_t pos = lower_bound(key.key);
  if (pos < count && entries[offset + pos].key == key.key) return false;
  const auto run = entries.begin() + offset;
  // Shift towards the nearer end; a run that touches the top end can only move down.
  if (offset != 0 && (pos < count / 2 || offset + count >= kFanOut)) {
    std::copy(run, run + pos, run - 1);
    --offset;
  } else {
    std::copy_backward(run + pos, run + count, run + count + 1);
  }
  entries[offset + pos] = key;
  ++count;
  if (touches_end(offset, count)) recenter();
  return true;
}

bool LeafNode::remove(const CompositeKey128& key) noexcept {
  const uint32_t pos = lower_bound(key.key);
  if (pos >= count || entries[offset + pos].key != key.key) return false;
  const auto run = entries.begin() + offset;
  if (pos < count / 2) {
    std::copy_backward(run, run + pos, run + pos + 1);
    ++offset;
  } else {
    std::copy(run + pos + 1, run + count, run + pos);
  }
  --count;
  return true;
}

void LeafNode::recenter() noexcept {
  const uint32_t target = (kFanOut - count) / 2;
  if (target == offset) return;
  const auto run = entries.begin() + offset;
  if (target < offset) {
    std::copy(run, run + count, entries.begin() + target);
  } else {
    std::copy_backward(run, run + count, entries.begin() + target + count);
  }
  offset = target;
}

std::pair<CompositeKey128, std::unique_ptr<LeafNode>> LeafNode::split(uint32_t keep) {
  const uint32_t moved = count - keep;
  if (moved == 0) fail(kInvalidOffset);
  auto right = std::make_unique<LeafNode>();
  const auto run = entries.begin() + offset;
  // At kSplitRightOffset when the half fits there (at most 48 entries), else centred.
  right->offset = std::min(kSplitRightOffset, (kFanOut - moved) / 2);
  std::copy(run + keep, run + count, right->entries.begin() + right->offset);
  right->count = moved;
  count = keep;
  recenter();
  const CompositeKey128 separator = right->entries[right->offset];
  return {separator, std::move(right)};
}

Bitmap LeafNode::ids() const {
  std::array<uint32_t, kFanOut> ids;
  for (uint32_t i = 0; i < count; ++i) ids[i] = entries[offset + i].id();
  return Bitmap::of(ids.data(), count);
}

bool LeafNode::contains_id(uint32_t id) const noexcept {
  const auto run = entries.begin() + offset;
  return std::any_of(run, run + count, [id](const CompositeKey128& e) { return e.id() == id; });
}

// ---- InternalNode ------------------------------------------------------------------------------

uint32_t InternalNode::child_position(Key128 key) const noexcept {
  const auto first = keys.begin() + offset;
  const auto it = std::partition_point(first, first + count,
                                       [key](const CompositeKey128& s) { return s.key <= key; });
  const auto at_or_below = static_cast<uint32_t>(it - first);
  return at_or_below == 0 ? 0 : at_or_below - 1;
}

bool InternalNode::insert(const CompositeKey128& key, const CompositeKey128* next) {
  const uint32_t position = child_position(key.key);
  const uint32_t slot = offset + position;
  BitMapBTreeNode& child = children[slot];
  if (!child.present()) fail(kMissingChild);
  if (child_needs_split(child)) return split_and_insert(key, position, next);

  bool added;
  if (LeafNode* leaf = child.leaf()) {
    if (!bitmaps[slot]) fail(kNoLeafBitmap);
    added = leaf->insert_non_full(key);
  } else {
    if (!bitmaps[slot]) fail(kNoInternalBitmap);
    added = child.internal()->insert(key, next);
  }
  // A repeated pair needs no add: its id is in every bitmap on its path already.
  if (added) bitmaps[slot]->add(key.id());
  if (touches_end(offset, count)) recenter();
  return added;
}

bool InternalNode::split_and_insert(const CompositeKey128& key, uint32_t position, const CompositeKey128* next) {
  if (count >= kFanOut) fail(kNodeFull);
  uint32_t slot = offset + position;
  if (!children[slot].present()) fail(kMissingChild);
  if (!bitmaps[slot]) fail(kNoBitmapAtSplit);
  // The new child goes right after the split one, so the run needs a free slot at its top end.
  if (offset + count >= kFanOut) {
    recenter();
    slot = offset + position;
  }

  CompositeKey128 separator;
  BitMapBTreeNode right;
  Bitmap left_ids;
  Bitmap right_ids;
  // Both id sets are built from their halves rather than one as the difference of the old set:
  // an id stored under two numbers may have entries on both sides of the split.
  // The first child also holds keys below its separator, so the right half of its split may start
  // below that separator. Lowering the separator to the left half's first key keeps separators
  // ascending; the first separator is never compared in a descent, only kept in order.
  CompositeKey128 left_first;
  if (LeafNode* leaf = children[slot].leaf()) {
    auto [s, r] = leaf->split(split_keep(*leaf, key.key, next));
    left_ids = leaf->ids();
    right_ids = r->ids();
    left_first = leaf->entries[leaf->offset];
    separator = s;
    right = BitMapBTreeNode(std::move(r));
  } else {
    InternalNode* inner = children[slot].internal();
    auto [s, r] = inner->split(split_keep(*inner, key.key));
    left_ids = inner->get_bitmap();
    right_ids = r->get_bitmap();
    left_first = inner->keys[inner->offset];
    separator = s;
    right = BitMapBTreeNode(std::move(r));
  }
  if (position == 0 && left_first.key < keys[slot].key) keys[slot] = left_first;

  shift_right(slot + 1, offset + count, 1);
  bitmaps[slot] = std::move(left_ids);
  keys[slot + 1] = separator;
  children[slot + 1] = std::move(right);
  bitmaps[slot + 1] = std::move(right_ids);
  ++count;
  // Descending again applies the one descent rule: a key >= the separator goes right. Neither
  // half can need a split (an even split leaves at most 48 entries in each; an appending one at
  // most 86 recentered on the left, where the key does not go, and 10 on the right; one at a gap
  // fewer than 86 on each side, centred), so this recursion ends at once.
  return insert(key, next);
}

std::pair<CompositeKey128, std::unique_ptr<InternalNode>> InternalNode::split(uint32_t keep) {
  const uint32_t moved = count - keep;
  auto right = std::make_unique<InternalNode>();
  for (uint32_t i = 0; i < moved; ++i) {
    const uint32_t from = offset + keep + i;
    const uint32_t to = kSplitRightOffset + i;
    right->keys[to] = keys[from];
    right->children[to] = std::move(children[from]);
    right->bitmaps[to] = std::move(bitmaps[from]);
    bitmaps[from].reset();
  }
  right->offset = kSplitRightOffset;
  right->count = moved;
  count = keep;
  recenter();
  if (moved == 0 || !right->children[kSplitRightOffset].present()) fail(kInvalidOffset);
  const CompositeKey128 separator = right->keys[kSplitRightOffset];
  return {separator, std::move(right)};
}

void InternalNode::shift_right(uint32_t first, uint32_t end, uint32_t distance) noexcept {
  if (distance == 0) return;
  for (uint32_t i = end; i-- > first;) {
    keys[i + distance] = keys[i];
    children[i + distance] = std::move(children[i]);
    bitmaps[i + distance] = std::move(bitmaps[i]);
    bitmaps[i].reset();
  }
}

void InternalNode::recenter() noexcept {
  const uint32_t target = (kFanOut - count) / 2;
  if (target > offset) {
    shift_right(offset, offset + count, target - offset);
  } else if (target < offset) {
    for (uint32_t i = 0; i < count; ++i) {
      keys[target + i] = keys[offset + i];
      children[target + i] = std::move(children[offset + i]);
      bitmaps[target + i] = std::move(bitmaps[offset + i]);
      bitmaps[offset + i].reset();
    }
  }
  offset = target;
}

Bitmap InternalNode::get_bitmap() const {
  std::array<const roaring_bitmap_t*, kFanOut> present;
  size_t n = 0;
  for (uint32_t i = offset; i < offset + count; ++i) {
    if (bitmaps[i]) present[n++] = bitmaps[i]->raw();
  }
  return Bitmap::or_many(present.data(), n);
}

// ---- BitMapBTree -------------------------------------------------------------------------------

uint32_t BitMapBTree::height() const noexcept {
  uint32_t levels = 0;
  for (const BitMapBTreeNode* node = &root_; node->present(); ++levels) {
    const InternalNode* inner = node->internal();
    if (inner == nullptr || inner->count == 0) return levels + 1;
    node = &inner->children[inner->offset];
  }
  return levels;
}

bool BitMapBTree::insert(NumericValue value, uint32_t id) {
  if (!insert_key(CompositeKey128::make(value, id))) return false;
  ++size_;
  if (ids_.contains(id)) {
    shared_ids_.add(id);
  } else {
    ids_.add(id);
  }
  return true;
}

uint64_t BitMapBTree::insert_many(std::vector<CompositeKey128>& keys) {
  // Keys of a monotonic attribute (an id, a timestamp) arrive sorted already.
  auto by_key = [](const CompositeKey128& a, const CompositeKey128& b) { return a.key < b.key; };
  if (!std::is_sorted(keys.begin(), keys.end(), by_key)) std::sort(keys.begin(), keys.end(), by_key);
  std::vector<uint32_t> added;
  added.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size();) {
    const std::size_t placed = insert_run(keys, i, added);
    if (placed == 0) {
      if (insert_key(keys[i], i + 1 < keys.size() ? &keys[i + 1] : nullptr)) added.push_back(keys[i].id());
      ++i;
    }
    i += placed;
  }
  const uint64_t inserted = added.size();
  size_ += inserted;
  {
    std::vector<uint32_t> scratch;
    radix_sort(added, scratch, [](uint32_t id) { return id; });
  }
  // An id entered twice, in this batch or before it, is shared (see shared_ids_).
  std::vector<uint32_t> repeated;
  for (std::size_t i = 1; i < added.size(); ++i) {
    if (added[i] == added[i - 1] && (repeated.empty() || repeated.back() != added[i])) repeated.push_back(added[i]);
  }
  added.erase(std::unique(added.begin(), added.end()), added.end());
  Bitmap batch = Bitmap::of(added.data(), added.size());
  if (!ids_.empty()) shared_ids_.or_inplace(Bitmap::and_(batch, ids_));
  if (!repeated.empty()) shared_ids_.add_many(repeated.data(), repeated.size());
  ids_.or_inplace(batch);
  return inserted;
}

// The keys from `first` on that share the leaf of keys[first] go in together: one descent, and one
// bulk add of their ids to each bitmap on the path. Stops where a key leaves the leaf's key span or
// the leaf nears a split; returns how many keys it took (0: none, when the path needs a split,
// which insert_key does).
std::size_t BitMapBTree::insert_run(const std::vector<CompositeKey128>& keys, std::size_t first,
                                    std::vector<uint32_t>& added) {
  const InternalNode* root = root_.internal();
  if (root == nullptr || child_needs_split(root_)) return 0;
  std::array<std::optional<Bitmap>*, kMaxHeight> path;
  uint32_t depth = 0;
  bool bounded = false;
  Key128 limit = 0;  // keys >= limit belong to a later leaf (when bounded)
  BitMapBTreeNode* node = &root_;
  while (InternalNode* inner = node->internal()) {
    const uint32_t slot = inner->offset + inner->child_position(keys[first].key);
    BitMapBTreeNode& child = inner->children[slot];
    if (!child.present()) fail(kMissingChild);
    if (!inner->bitmaps[slot]) fail(child.leaf() ? kNoLeafBitmap : kNoInternalBitmap);
    if (child_needs_split(child)) return 0;
    if (slot + 1 < inner->offset + inner->count && (!bounded || inner->keys[slot + 1].key < limit)) {
      limit = inner->keys[slot + 1].key;
      bounded = true;
    }
    if (depth == kMaxHeight) fail(kTooDeep);
    path[depth++] = &inner->bitmaps[slot];
    node = &child;
  }
  LeafNode* leaf = node->leaf();
  const std::size_t before = added.size();
  std::size_t next = first;
  // Below the split threshold the leaf takes the key as a one-by-one insert would, unsplit.
  for (; next < keys.size() && (!bounded || keys[next].key < limit) && leaf->count < kSplitThreshold; ++next) {
    if (leaf->insert_non_full(keys[next])) added.push_back(keys[next].id());
  }
  if (added.size() > before) {
    for (uint32_t level = 0; level < depth; ++level) (*path[level])->add_many(&added[before], added.size() - before);
  }
  return next - first;
}

bool BitMapBTree::insert_key(const CompositeKey128& key, const CompositeKey128* next) {
  if (!root_.present()) root_ = BitMapBTreeNode(std::make_unique<LeafNode>());

  if (child_needs_split(root_)) {
    auto root = std::make_unique<InternalNode>();
    CompositeKey128 left_separator;
    CompositeKey128 separator;
    BitMapBTreeNode right;
    Bitmap left_ids;
    Bitmap right_ids;
    if (LeafNode* leaf = root_.leaf()) {
      auto [s, r] = leaf->split(split_keep(*leaf, key.key, next));
      if (leaf->count == 0) fail(kInvalidOffset);
      left_separator = leaf->entries[leaf->offset];
      left_ids = leaf->ids();
      right_ids = r->ids();
      separator = s;
      right = BitMapBTreeNode(std::move(r));
    } else {
      InternalNode* inner = root_.internal();
      auto [s, r] = inner->split(split_keep(*inner, key.key));
      if (inner->count == 0) fail(kIncorrectOffset);
      left_separator = inner->keys[inner->offset];
      left_ids = inner->get_bitmap();
      right_ids = r->get_bitmap();
      separator = s;
      right = BitMapBTreeNode(std::move(r));
    }
    root->offset = kFreshOffset;
    root->count = 2;
    root->keys[kFreshOffset] = left_separator;
    root->children[kFreshOffset] = std::move(root_);
    root->bitmaps[kFreshOffset] = std::move(left_ids);
    root->keys[kFreshOffset + 1] = separator;
    root->children[kFreshOffset + 1] = std::move(right);
    root->bitmaps[kFreshOffset + 1] = std::move(right_ids);
    root_ = BitMapBTreeNode(std::move(root));
  }

  return root_.leaf() ? root_.leaf()->insert_non_full(key) : root_.internal()->insert(key, next);
}

bool BitMapBTree::remove(NumericValue value, uint32_t id) {
  if (!root_.present()) return false;
  const CompositeKey128 key = CompositeKey128::make(value, id);
  if (shared_ids_.contains(id)) return remove_shared(key);

  // The path's bitmaps are touched only once the leaf really gave up an entry: a miss must
  // leave the id of some other entry in place.
  std::array<Bitmap*, kMaxHeight> path;
  uint32_t depth = 0;
  BitMapBTreeNode* node = &root_;
  while (InternalNode* inner = node->internal()) {
    const uint32_t slot = inner->offset + inner->child_position(key.key);
    BitMapBTreeNode& child = inner->children[slot];
    if (!child.present()) fail(kMissingChild);
    if (!inner->bitmaps[slot]) fail(child.leaf() ? kNoLeafBitmap : kNoInternalBitmap);
    if (depth == kMaxHeight) fail(kTooDeep);
    path[depth++] = &*inner->bitmaps[slot];
    node = &child;
  }
  if (!node->leaf()->remove(key)) return false;
  for (uint32_t i = 0; i < depth; ++i) path[i]->remove(id);
  --size_;
  ids_.remove(id);
  removed();
  return true;
}

// Removal of an id that may have other entries: walking back up from the leaf, the id leaves a
// child's bitmap only when no entry below that child still carries it.
bool BitMapBTree::remove_shared(const CompositeKey128& key) {
  const uint32_t id = key.id();
  std::array<std::pair<InternalNode*, uint32_t>, kMaxHeight> path;
  uint32_t depth = 0;
  BitMapBTreeNode* node = &root_;
  while (InternalNode* inner = node->internal()) {
    const uint32_t slot = inner->offset + inner->child_position(key.key);
    BitMapBTreeNode& child = inner->children[slot];
    if (!child.present()) fail(kMissingChild);
    if (!inner->bitmaps[slot]) fail(child.leaf() ? kNoLeafBitmap : kNoInternalBitmap);
    if (depth == kMaxHeight) fail(kTooDeep);
    path[depth++] = {inner, slot};
    node = &child;
  }
  LeafNode* leaf = node->leaf();
  if (!leaf->remove(key)) return false;
  --size_;

  bool still_below = leaf->contains_id(id);
  for (uint32_t level = depth; level-- > 0 && !still_below;) {
    auto [inner, slot] = path[level];
    inner->bitmaps[slot]->remove(id);
    for (uint32_t i = inner->offset; i < inner->offset + inner->count && !still_below; ++i) {
      still_below = inner->bitmaps[i] && inner->bitmaps[i]->contains(id);
    }
  }
  if (!still_below) {
    ids_.remove(id);
    shared_ids_.remove(id);
  }
  removed();
  return true;
}

void BitMapBTree::removed() {
  if (++removals_ > 2 * size_ + kRebuildFloor) rebuild();
}

namespace {

void collect_entries(const BitMapBTreeNode& node, std::vector<CompositeKey128>& out) {
  if (const LeafNode* leaf = node.leaf()) {
    out.insert(out.end(), leaf->entries.begin() + leaf->offset, leaf->entries.begin() + leaf->offset + leaf->count);
  } else if (const InternalNode* inner = node.internal()) {
    for (uint32_t i = inner->offset; i < inner->offset + inner->count; ++i) collect_entries(inner->children[i], out);
  }
}

}  // namespace

void BitMapBTree::rebuild() {
  removals_ = 0;
  try {
    std::vector<CompositeKey128> entries;
    entries.reserve(size_);
    collect_entries(root_, entries);
    BitMapBTree fresh;
    if (!entries.empty()) fresh.insert_many(entries);
    *this = std::move(fresh);
  } catch (const std::bad_alloc&) {
    // The tree stays as it was; the next removals try again.
  }
}

}  // namespace vantorelle
