// BitMapBTree: the range index of one numeric attribute.
//
// A B+ tree of fan-out 96 over (number, object id) pairs. Each pair becomes a 128-bit key whose
// upper 96 bits encode the number so that unsigned comparison is numeric comparison across
// integers and doubles, and whose lower 32 bits are the id, so equal numbers of different objects
// are distinct keys ordered by id. Entries live only in leaves. An internal node keeps, next to
// each child, its separator key and a roaring bitmap of every id stored below that child: a range
// query descends only along the paths of its two bounds and takes each child that lies wholly
// between them as one bitmap.
//
// Every node keeps its occupied slots as one contiguous run near the middle of its 96 slots, so an
// insertion shifts at most half of the run, towards the nearer end. A node is split on the way down
// before it could overflow, so an insertion never has to walk back up. A removal does not
// restructure: a leaf may become empty and stays in place, and separators keep the value they were
// given. Instead, once the removals since the tree was last built outnumber twice its entries (and
// a floor), the tree is rebuilt from its entries, so that its nodes stay proportional to what it
// holds: a sliding window (the newest objects in, the oldest out) would otherwise leave a trail of
// empty leaves behind it for good.
//
// Descent rule, shared by insert, split and remove and relied on by the queries: a key belongs to
// the last child whose separator is <= the key, or to the first child when the key is below every
// separator. Hence child i > 0 holds only keys in [separator i, separator i+1), and the first child
// holds every key below separator 1. The first separator is never compared in a descent; since the
// first child may hold keys below it, it is lowered to the left half's first key whenever that
// child splits, which keeps separators ascending.
//
// Thread safety: no lock of its own. Const members (query_range, verify, ...) only read, so any
// number of threads may run them at once while no thread mutates the tree.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "native/bitmap.hpp"

namespace vantorelle {

__extension__ typedef unsigned __int128 Key128;

inline constexpr uint32_t kFanOut = 96;
// A node with more entries than this whose run touches an end of the slot array is split before
// anything is inserted into it.
inline constexpr uint32_t kSplitThreshold = 85;
// Run start of a new tree's root leaf and of a new root.
inline constexpr uint32_t kFreshOffset = 48;
// Run start of the right half of a split; the half holds at most 48 entries.
inline constexpr uint32_t kSplitRightOffset = 24;
// A node split by a key beyond its last one (ascending inserts) keeps 9 tenths of its entries:
// an even split would leave every node behind the growing edge half empty for good.
inline constexpr uint32_t kAppendKeepTenths = 9;

// Internal-failure texts of the tree: states its invariants exclude.
inline constexpr const char* kMissingChild = "Missing child";
inline constexpr const char* kNoLeafBitmap = "Bitmap should be present for leaf";
inline constexpr const char* kNoInternalBitmap = "Bitmap should be present for internal";
inline constexpr const char* kNoBitmapAtSplit = "Bitmap must be initialized before split";
inline constexpr const char* kInvalidOffset = "invalid offset";
inline constexpr const char* kIncorrectOffset = "incorrect offset";
inline constexpr const char* kNodeFull = "node has no free slot";
inline constexpr const char* kTooDeep = "tree deeper than 32 levels";

struct NumericValue {
  enum class Kind { Int, Float };
  Kind kind = Kind::Int;
  // Only the field of `kind` is meaningful.
  int64_t i = 0;
  double f = 0.0;

  static NumericValue of_int(int64_t v) noexcept { return {Kind::Int, v, 0.0}; }
  static NumericValue of_float(double v) noexcept { return {Kind::Float, 0, v}; }
};

struct Bound {
  enum class Kind { Included, Excluded, Unbounded };
  Kind kind = Kind::Unbounded;
  // Meaningless when unbounded.
  NumericValue value;

  static Bound included(NumericValue v) noexcept { return {Kind::Included, v}; }
  static Bound excluded(NumericValue v) noexcept { return {Kind::Excluded, v}; }
  static Bound unbounded() noexcept { return {}; }
};

struct CompositeKey128 {
  // Bits 127..32: value_part(value); bits 31..0: the object id. The number itself is not kept:
  // the value part encodes it exactly (number() gives it back).
  Key128 key = 0;

  static CompositeKey128 make(const NumericValue& value, uint32_t id) noexcept { return {(value_part(value) << 32) | id}; }

  // The 96-bit order-preserving encoding: for any two numbers other than NaN, the parts compare
  // exactly as the numbers do, and are equal iff the numbers are (3 == 3.0, 0 == -0.0, but
  // 2^53 + 1 != 2^53 as a double). Layout s.E.M: sign (bit 95), 15-bit exponent with bias 16383,
  // 80-bit significand with an explicit leading one at bit 79; bit 95 is then set for positive
  // numbers and all 96 bits are inverted for negative ones. Zero is exactly bit 95. Infinities
  // lie beyond every finite number; a NaN with the sign bit clear lies above +inf, one with the
  // sign bit set below -inf.
  static Key128 value_part(const NumericValue& value) noexcept;

  Key128 value_bits() const noexcept { return key >> 32; }
  uint32_t id() const noexcept { return static_cast<uint32_t>(key); }
  // The number of the key: an Int when it is an integer within 64 bits (so 3.0 comes back as 3,
  // an equal key), else the Float it was made from.
  NumericValue number() const noexcept;
};

static_assert(sizeof(CompositeKey128) == 16);

class BitMapBTreeNode;
struct InternalNode;

// A range query translated once into key space.
struct KeyRange {
  Bound::Kind lower_kind = Bound::Kind::Unbounded;
  Bound::Kind upper_kind = Bound::Kind::Unbounded;
  // Value parts of the bounds; meaningless for an unbounded end.
  Key128 lower_value = 0;
  Key128 upper_value = 0;
  // Closed key interval [first, last] holding exactly the keys inside the range: ids do not take
  // part in a bound, so all entries of one number fall on the same side. Empty when first > last.
  Key128 first = 0;
  Key128 last = 0;

  static KeyRange from_bounds(const Bound& lower, const Bound& upper) noexcept;
  bool empty() const noexcept { return first > last; }
};

// Working state of one range query: ids picked from leaves one by one and the bitmaps of children
// taken whole. Both are united and confined to the universe once, at the end.
struct RangeCollector {
  std::vector<uint32_t> ids;
  std::vector<const roaring_bitmap_t*> covered;

  Bitmap finish(const Bitmap& universe) const;
};

struct LeafNode {
  // Slots offset .. offset+count-1 hold the entries in strictly ascending key order; the other
  // slots hold stale keys that are never read. offset + count <= kFanOut.
  std::array<CompositeKey128, kFanOut> entries{};
  uint32_t count = 0;
  uint32_t offset = kFreshOffset;

  // Inserts `key` unless it is already present (then returns false and changes nothing). The
  // caller guarantees a free slot: the split test failed for this leaf.
  bool insert_non_full(const CompositeKey128& key);
  // Removes the entry equal to `key`, closing the gap from the nearer side.
  bool remove(const CompositeKey128& key) noexcept;
  // Keeps the first `keep` entries (recentered) and moves the rest, in order, into a new leaf
  // whose run starts at kSplitRightOffset. Returns that leaf's first key and the leaf.
  std::pair<CompositeKey128, std::unique_ptr<LeafNode>> split(uint32_t keep);
  // Moves the run to start at (kFanOut - count) / 2.
  void recenter() noexcept;
  Bitmap ids() const;
  bool contains_id(uint32_t id) const noexcept;
  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& universe) const;

  // Position (relative to offset) of the first entry whose key is >= `key`.
  uint32_t lower_bound(Key128 key) const noexcept;
  void collect_range(const KeyRange& range, RangeCollector& out) const;
};

// A tagged owner of one node, or an empty slot.
class BitMapBTreeNode {
 public:
  BitMapBTreeNode() noexcept = default;
  explicit BitMapBTreeNode(std::unique_ptr<LeafNode> leaf) noexcept;
  explicit BitMapBTreeNode(std::unique_ptr<InternalNode> internal) noexcept;
  BitMapBTreeNode(BitMapBTreeNode&&) noexcept;
  BitMapBTreeNode& operator=(BitMapBTreeNode&&) noexcept;
  ~BitMapBTreeNode();

  bool present() const noexcept;
  // Null when the slot holds the other kind of node or nothing.
  LeafNode* leaf() noexcept;
  const LeafNode* leaf() const noexcept;
  InternalNode* internal() noexcept;
  const InternalNode* internal() const noexcept;

  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& universe) const;
  void collect_range(const KeyRange& range, RangeCollector& out) const;

 private:
  std::variant<std::monostate, std::unique_ptr<LeafNode>, std::unique_ptr<InternalNode>> node_;
};

// Which end of a range a bound is and whether it includes its value.
enum class BoundEnd { LowerIncluded, LowerExcluded, UpperIncluded, UpperExcluded };

struct InternalNode {
  // Slots offset .. offset+count-1 each hold a child, its separator and the bitmap of the ids
  // stored under it; separators ascend strictly. Slots outside the run hold no child and no
  // bitmap. offset + count <= kFanOut, and count >= 2 once the node is in a tree.
  std::array<CompositeKey128, kFanOut> keys{};
  std::array<BitMapBTreeNode, kFanOut> children;
  std::array<std::optional<Bitmap>, kFanOut> bitmaps;
  uint32_t count = 0;
  uint32_t offset = kFreshOffset;

  // Inserts `key` below this node, splitting a full child on the way down; returns false when the
  // key was already present. The caller guarantees room for one more child: the split test
  // failed for this node.
  bool insert(const CompositeKey128& key, const CompositeKey128* next = nullptr);
  // Splits the child at run position `position`, places the right half after it and inserts
  // `key` into the half it belongs to (keys >= the new separator go right).
  bool split_and_insert(const CompositeKey128& key, uint32_t position, const CompositeKey128* next);
  std::pair<CompositeKey128, std::unique_ptr<InternalNode>> split(uint32_t keep);
  void recenter() noexcept;
  // Moves slots [first, end) by `distance` slots up; the vacated slots become empty.
  void shift_right(uint32_t first, uint32_t end, uint32_t distance) noexcept;
  // The union of all child bitmaps.
  Bitmap get_bitmap() const;
  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& universe) const;

  // Run position of the child that a key descends to (see the descent rule above).
  uint32_t child_position(Key128 key) const noexcept;
  // Run position of the child where a range end must be searched exactly. Bound values compare
  // with separators on their value part only; among equal separators a lower-included or
  // upper-excluded end takes the child before the first equal one (it may hold equal values
  // with smaller ids), a lower-excluded or upper-included end takes the last equal one. 0 when
  // no separator lies below.
  uint32_t get_key_index(Key128 value_part, BoundEnd end) const noexcept;
  void collect_range(const KeyRange& range, RangeCollector& out) const;
};

class BitMapBTree {
 public:
  // An empty tree allocates nothing: the root leaf comes with the first entry.
  BitMapBTree() noexcept = default;
  BitMapBTree(BitMapBTree&&) noexcept = default;
  BitMapBTree& operator=(BitMapBTree&&) noexcept = default;
  BitMapBTree(const BitMapBTree&) = delete;
  BitMapBTree& operator=(const BitMapBTree&) = delete;

  // Returns false when the pair is already present; the entries and id sets are then unchanged
  // (a full node on the pair's path may still have been split, which no reader can observe).
  bool insert(NumericValue value, uint32_t id);
  // Inserts every pair of `keys` (CompositeKey128::make), as insert() would one by one, and
  // returns how many were new. The keys are sorted first: consecutive keys then share their path,
  // and an ascending run fills leaves as appends do.
  uint64_t insert_many(std::vector<CompositeKey128>& keys);
  // Returns false, changing nothing, when the pair is absent.
  bool remove(NumericValue value, uint32_t id);
  // Ids of the entries whose number lies within the bounds, intersected with `universe`.
  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& universe) const;

  bool empty() const noexcept { return size_ == 0; }
  uint64_t size() const noexcept { return size_; }
  // Every id that has at least one entry.
  const Bitmap& ids() const noexcept { return ids_; }
  const BitMapBTreeNode& root() const noexcept { return root_; }
  // Number of node levels; a lone root leaf is height 1.
  uint32_t height() const noexcept;

  // Empty string while every invariant holds, otherwise the first broken one: run bounds and
  // order, the separator rule, equal leaf depth, each child's bitmap equal to the ids below it,
  // and the tree's own counters.
  std::string verify() const;

 private:
  bool remove_shared(const CompositeKey128& key);
  // Counts a removal, rebuilding the tree when they have come to outnumber twice its entries.
  void removed();
  // Rebuilds the tree from its entries, packed as ascending inserts pack them; unchanged when it
  // cannot allocate.
  void rebuild();
  // Places `key` in the nodes (splitting on the way down); the id sets and size_ are the caller's.
  // `next`: the following key of a sorted batch, if any (see split_keep).
  bool insert_key(const CompositeKey128& key, const CompositeKey128* next = nullptr);
  // Places keys[first..] while they fall into one leaf that needs no split; appends the ids of
  // the new pairs to `added` and returns how many keys it took (see insert_many).
  std::size_t insert_run(const std::vector<CompositeKey128>& keys, std::size_t first, std::vector<uint32_t>& added);

  BitMapBTreeNode root_;
  uint64_t size_ = 0;
  // Ids with at least one entry. An object normally has one number per attribute, but nothing
  // here relies on it: an id entered under a second number also goes into `shared_ids_`.
  Bitmap ids_;
  // A superset of the ids that have (or had) more than one entry at once. Removing an entry of
  // such an id must check whether another entry still keeps the id in each bitmap on its path.
  Bitmap shared_ids_;
  // Removals since the tree was last built; see removed().
  uint64_t removals_ = 0;
};
// Removals below this many never rebuild a tree: a small tree's trail is small.
inline constexpr uint64_t kRebuildFloor = 4096;

}  // namespace vantorelle
