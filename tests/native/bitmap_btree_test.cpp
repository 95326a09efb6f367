// BitMapBTree against a flat model: a sorted set of (value part, id). The value parts themselves are
// checked against exact arithmetic in composite_key_test.cpp; here they only order the model.
#include "native/bitmap_btree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "native/failure.hpp"
#include "test_support.hpp"

namespace vantorelle {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

NumericValue I(int64_t v) { return NumericValue::of_int(v); }
NumericValue F(double v) { return NumericValue::of_float(v); }
Key128 vp(NumericValue v) { return CompositeKey128::value_part(v); }
Bound incl(NumericValue v) { return Bound::included(v); }
Bound excl(NumericValue v) { return Bound::excluded(v); }
const Bound kOpen = Bound::unbounded();

Bitmap all_ids(uint32_t below) {
  Bitmap b;
  for (uint32_t id = 0; id < below; ++id) b.add(id);
  return b;
}

std::vector<uint32_t> ids_in(const BitMapBTree& tree, Bound lo, Bound hi) {
  static const Bitmap every_id = all_ids(1 << 20);
  return tree.query_range(lo, hi, every_id).to_vector();
}

bool within(Key128 v, const Bound& b, bool lower) {
  if (b.kind == Bound::Kind::Unbounded) return true;
  const Key128 x = vp(b.value);
  if (b.kind == Bound::Kind::Included) return lower ? v >= x : v <= x;
  return lower ? v > x : v < x;
}

// The tree and its model, changed together; every answer of the tree is checked against the model.
struct Checked {
  BitMapBTree tree;
  std::set<std::pair<Key128, uint32_t>> model;
  // Every distinct number ever inserted (by value part, in the kind first seen), for bounds.
  std::map<Key128, NumericValue> numbers;
  std::vector<NumericValue> values;

  void insert(NumericValue v, uint32_t id) {
    const bool fresh = model.emplace(vp(v), id).second;
    ASSERT_EQ(tree.insert(v, id), fresh);
    if (numbers.emplace(vp(v), v).second) values.push_back(v);
  }
  void remove(NumericValue v, uint32_t id) {
    ASSERT_EQ(tree.remove(v, id), model.erase({vp(v), id}) == 1);
  }
  // The model's entries flattened in order, so a range is one contiguous slice.
  using Flat = std::vector<std::pair<Key128, uint32_t>>;
  void check_range(const Flat& flat, const Bound& lo, const Bound& hi, const Bitmap& universe) const {
    auto it = std::partition_point(flat.begin(), flat.end(),
                                   [&](const auto& e) { return !within(e.first, lo, true); });
    std::vector<uint32_t> want;
    for (; it != flat.end() && within(it->first, hi, false); ++it) {
      if (universe.contains(it->second)) want.push_back(it->second);
    }
    ASSERT_EQ(tree.query_range(lo, hi, universe), Bitmap::of(want.data(), want.size()));
  }
  // Every kind of range, with bounds on stored numbers, infinities and NaNs, against the full
  // universe and one that lacks a third of the ids.
  void check(std::mt19937& rng, uint32_t id_limit) const {
    ASSERT_EQ(tree.verify(), "");
    ASSERT_EQ(tree.size(), model.size());
    const Bitmap full = all_ids(id_limit);
    Bitmap partial = full.copy();
    for (uint32_t id = 0; id < id_limit; id += 3) partial.remove(id);
    const Flat flat(model.begin(), model.end());
    std::vector<NumericValue> points = {F(kInf), F(-kInf), F(kNaN), F(-kNaN), I(0)};
    for (int i = 0; i < 6 && !values.empty(); ++i) points.push_back(values[rng() % values.size()]);
    for (const Bitmap* universe : {&full, static_cast<const Bitmap*>(&partial)}) {
      check_range(flat, kOpen, kOpen, *universe);
      for (size_t i = 0; i < points.size(); ++i) {
        const NumericValue a = points[i], b = points[rng() % points.size()];
        for (const auto& [lo, hi] : {std::pair{excl(a), kOpen}, {incl(a), kOpen}, {kOpen, excl(a)},
                                     {kOpen, incl(a)}, {incl(a), incl(b)}, {excl(b), excl(a)}}) {
          check_range(flat, lo, hi, *universe);
        }
      }
    }
  }
};

template <class F>
void for_each_node(const BitMapBTreeNode& node, F&& f) {
  f(node);
  if (const InternalNode* inner = node.internal()) {
    for (uint32_t s = inner->offset; s < inner->offset + inner->count; ++s) {
      for_each_node(inner->children[s], f);
    }
  }
}

std::vector<const LeafNode*> leaves_of(const BitMapBTree& tree) {
  std::vector<const LeafNode*> leaves;
  for_each_node(tree.root(), [&](const BitMapBTreeNode& n) {
    if (n.leaf()) leaves.push_back(n.leaf());
  });
  return leaves;
}

TEST(BitMapBTree, RootLeafSplitsAtTheNinetySixthEntry) {
  BitMapBTree tree;
  for (int64_t v = 0; v < 95; ++v) tree.insert(I(v), static_cast<uint32_t>(v));
  ASSERT_TRUE(tree.root().leaf());
  EXPECT_EQ(tree.root().leaf()->count, 95u);
  EXPECT_EQ(tree.root().leaf()->offset, 0u);
  tree.insert(I(40), 1000);
  const InternalNode* root = tree.root().internal();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->offset, 48u);
  EXPECT_EQ(root->count, 2u);
  EXPECT_EQ(root->children[48].leaf()->count, 48u);  // 47 kept, then the new entry
  EXPECT_EQ(root->children[49].leaf()->count, 48u);
  EXPECT_EQ(tree.verify(), "");
}

TEST(BitMapBTree, AscendingInsertsBuildATreeThatFindsEverything) {
  BitMapBTree tree;
  for (int64_t v = 1; v <= 200; ++v) {
    tree.insert(I(v), static_cast<uint32_t>(v));
    ASSERT_EQ(tree.verify(), "") << "after " << v;
  }
  EXPECT_TRUE(tree.root().internal());
  EXPECT_EQ(ids_in(tree, kOpen, kOpen).size(), 200u);
  EXPECT_EQ(ids_in(tree, incl(F(1.0)), incl(I(200))).size(), 200u);
}

// Ascending inserts (ids and timestamps arrive in order) must not leave every node behind the
// growing edge half empty; a tree that never saw a number holds no node at all.
TEST(BitMapBTree, AscendingInsertsFillTheirNodes) {
  BitMapBTree tree;
  EXPECT_FALSE(tree.root().present());
  EXPECT_TRUE(ids_in(tree, kOpen, kOpen).empty());
  EXPECT_EQ(tree.verify(), "");
  constexpr uint32_t kCount = 200000;
  for (uint32_t v = 0; v < kCount; ++v) ASSERT_TRUE(tree.insert(I(v), v));
  ASSERT_EQ(tree.verify(), "");
  const auto leaves = leaves_of(tree);
  EXPECT_GE(double(kCount) / (leaves.size() * kFanOut), 0.85) << leaves.size() << " leaves";
  EXPECT_EQ(ids_in(tree, incl(I(1000)), excl(I(2000))).size(), 1000u);
  // Out-of-order inserts into the packed nodes still split evenly and find everything.
  for (uint32_t v = 0; v < kCount; v += 7) ASSERT_TRUE(tree.insert(F(v + 0.5), kCount + v));
  ASSERT_EQ(tree.verify(), "");
  EXPECT_EQ(ids_in(tree, kOpen, kOpen).size(), kCount + (kCount + 6) / 7);
}

TEST(BitMapBTree, RemovalReportsAndLeavesNothingBehindInCoveredChildren) {
  BitMapBTree tree;
  for (int64_t v = 0; v < 20000; ++v) tree.insert(I(v), static_cast<uint32_t>(v));
  ASSERT_GE(tree.height(), 3u);
  EXPECT_TRUE(tree.remove(I(2500), 2500));
  EXPECT_FALSE(tree.remove(I(2500), 2500));
  EXPECT_FALSE(tree.remove(I(2501), 2500));
  EXPECT_EQ(tree.verify(), "");
  const auto ids = ids_in(tree, incl(I(10)), excl(I(19990)));  // 2500 lies in a wholly taken child
  EXPECT_EQ(ids.size(), 19979u);
  EXPECT_FALSE(std::binary_search(ids.begin(), ids.end(), 2500u));
}

TEST(BitMapBTree, EmptiedLeafStaysAndIsReused) {
  BitMapBTree tree;
  for (int64_t v = 0; v < 1000; ++v) tree.insert(I(v), static_cast<uint32_t>(v));
  const LeafNode* leaf = leaves_of(tree)[3];
  std::vector<CompositeKey128> entries(leaf->entries.begin() + leaf->offset,
                                       leaf->entries.begin() + leaf->offset + leaf->count);
  for (const auto& e : entries) ASSERT_TRUE(tree.remove(e.number(), e.id()));
  EXPECT_EQ(leaf->count, 0u);
  EXPECT_EQ(leaves_of(tree)[3], leaf);
  EXPECT_EQ(tree.verify(), "");
  EXPECT_TRUE(ids_in(tree, incl(entries.front().number()), incl(entries.back().number())).empty());
  for (const auto& e : entries) tree.insert(e.number(), e.id() + 5000);
  EXPECT_EQ(leaf->count, entries.size());
  EXPECT_EQ(tree.verify(), "");
}

// A sliding window (new numbers in at one end, the oldest out at the other) must not leave a trail
// of empty leaves: the tree rebuilds itself once removals outnumber twice its entries.
TEST(BitMapBTree, ASlidingWindowKeepsTheTreeProportionalToItsEntries) {
  Checked checked;
  std::mt19937 rng(11);
  constexpr uint32_t kWindow = 3000, kSteps = 60000;
  for (uint32_t t = 0; t < kWindow; ++t) checked.insert(F(t + 0.5), t);
  std::size_t most_leaves = 0;
  for (uint32_t t = kWindow; t < kWindow + kSteps; ++t) {
    checked.insert(F(t + 0.5), t);
    checked.remove(F(t - kWindow + 0.5), t - kWindow);
    most_leaves = std::max(most_leaves, leaves_of(checked.tree).size());
  }
  checked.check(rng, kWindow + kSteps);
  // Rebuilt at 2 * 3000 + 4096 removals: the leaves never hold room for more than about 13,000
  // entries (the window and the removals since), where the trail alone would reach 60,000.
  EXPECT_LE(most_leaves * kFanOut, 2 * (3 * kWindow + kRebuildFloor)) << most_leaves << " leaves";
}

// A rebuild keeps every pair, ids entered under several numbers included, and the tree goes on
// answering and changing as before.
TEST(BitMapBTree, ARebuildKeepsEveryPairAndIdsUnderSeveralNumbers) {
  Checked checked;
  std::mt19937 rng(5);
  for (uint32_t i = 0; i < 12000; ++i) checked.insert(I(rng() % 500), i % 4000);  // ids under ~3 numbers
  std::vector<std::pair<NumericValue, uint32_t>> entries;
  for (const auto& [value_part, id] : checked.model) entries.emplace_back(checked.numbers.at(value_part), id);
  std::shuffle(entries.begin(), entries.end(), rng);
  for (std::size_t k = 0; k < entries.size() - 500; ++k) {
    checked.remove(entries[k].first, entries[k].second);
    if (k % 3000 == 0) checked.check(rng, 4000);
  }
  checked.check(rng, 4000);
  // Rebuilt on the way at about 2,600 pairs: some 31 leaves, where the 12,000 filled at least 130.
  EXPECT_LE(leaves_of(checked.tree).size(), 40u);
  for (uint32_t i = 0; i < 3000; ++i) checked.insert(I(rng() % 500), 4000 + i % 1000);
  checked.check(rng, 5000);
}

// A key equal to a separator must go back where removal looks for it, or it stays found forever.
TEST(BitMapBTree, SeparatorKeysCanBeRemovedReinsertedAndRemovedAgain) {
  BitMapBTree tree;
  for (int64_t v = 0; v < 6000; ++v) tree.insert(I(v / 4), static_cast<uint32_t>(v));
  std::vector<CompositeKey128> separators;
  for_each_node(tree.root(), [&](const BitMapBTreeNode& n) {
    if (const InternalNode* inner = n.internal()) {
      for (uint32_t s = inner->offset; s < inner->offset + inner->count; ++s) {
        separators.push_back(inner->keys[s]);
      }
    }
  });
  ASSERT_GT(separators.size(), 50u);
  for (const auto& s : separators) {
    if (!tree.remove(s.number(), s.id())) continue;  // an upper separator repeats a lower one's key
    ASSERT_TRUE(tree.insert(s.number(), s.id()));
    ASSERT_EQ(tree.verify(), "");
    ASSERT_TRUE(tree.remove(s.number(), s.id()));
    const auto left = ids_in(tree, incl(s.number()), incl(s.number()));
    ASSERT_FALSE(std::binary_search(left.begin(), left.end(), s.id()));
    ASSERT_EQ(tree.verify(), "");
  }
}

TEST(BitMapBTree, RepeatedPairsAndIdsUnderSeveralValues) {
  BitMapBTree tree;
  for (int64_t v = 0; v < 2000; ++v) tree.insert(I(v), static_cast<uint32_t>(v));
  EXPECT_FALSE(tree.insert(F(7.0), 7));
  EXPECT_EQ(tree.size(), 2000u);
  EXPECT_TRUE(tree.remove(I(7), 7));
  EXPECT_TRUE(ids_in(tree, incl(I(7)), incl(I(7))).empty());
  // Id 5 also under 1500.5, far away, and under 6 next to its first entry.
  tree.insert(F(1500.5), 5), tree.insert(I(6), 5);
  EXPECT_TRUE(tree.remove(I(5), 5));
  EXPECT_EQ(tree.verify(), "");
  EXPECT_EQ(ids_in(tree, incl(I(1000)), kOpen).size(), 1001u);  // 1000..1999 and id 5
  EXPECT_TRUE(tree.remove(F(1500.5), 5));
  EXPECT_TRUE(tree.remove(I(6), 5));
  EXPECT_TRUE(ids_in(tree, incl(I(1000)), kOpen).size() == 1000 && tree.verify().empty());
}

TEST(BitMapBTree, RangeEdgeCases) {
  BitMapBTree tree;
  tree.insert(I(1), 10), tree.insert(I(2), 11), tree.insert(I(2), 12), tree.insert(I(3), 13);
  using V = std::vector<uint32_t>;
  EXPECT_EQ(ids_in(tree, incl(I(2)), incl(I(2))), (V{11, 12}));
  EXPECT_EQ(ids_in(tree, excl(I(2)), kOpen), (V{13}));
  EXPECT_EQ(ids_in(tree, kOpen, excl(I(2))), (V{10}));
  EXPECT_EQ(ids_in(tree, incl(I(2)), excl(I(3))), (V{11, 12}));
  EXPECT_EQ(ids_in(tree, incl(I(3)), incl(I(1))), V{});
  tree.insert(F(1.5), 20), tree.insert(F(2.0), 21);
  EXPECT_EQ(ids_in(tree, incl(F(1.5)), incl(I(2))), (V{11, 12, 20, 21}));
  tree.insert(F(kInf), 30), tree.insert(F(-kInf), 31), tree.insert(F(kNaN), 32);
  EXPECT_EQ(ids_in(tree, kOpen, excl(F(kInf))), (V{10, 11, 12, 13, 20, 21, 31}));
  EXPECT_EQ(ids_in(tree, kOpen, excl(F(kNaN))), (V{10, 11, 12, 13, 20, 21, 30, 31}));
  EXPECT_EQ(ids_in(tree, excl(F(1.0000000000000002)), excl(F(2.0))), (V{20}));
  EXPECT_EQ(tree.query_range(kOpen, kOpen, Bitmap()).cardinality(), 0u);
}

// Randomized runs, fixed seeds: few distinct numbers (equal numbers span many leaves and
// separators), many distinct numbers, and ascending, descending and shuffled fills emptied again.
TEST(BitMapBTree, RandomOperationsMatchTheModel) {
  const size_t ops = testing::scaled(120'000);
  const size_t batch = std::max<size_t>(ops / 40, 100);
  for (int scenario = 0; scenario < 2; ++scenario) {
    std::mt19937 rng(100 + scenario);
    Checked c;
    const std::vector<NumericValue> few = {I(-3), F(-0.0), I(3), F(3.0), F(3.5), I(int64_t(1) << 60),
                                           F(1e300), I(42), F(-kInf), F(kInf), F(kNaN), I(7)};
    for (size_t op = 1; op <= ops; ++op) {
      const NumericValue v = scenario == 0 ? few[rng() % few.size()]
                             : rng() % 2 ? I(static_cast<int64_t>(rng() % 200000) - 100000)
                                         : F((static_cast<double>(rng()) - 2e9) / 1024);
      const uint32_t id = rng() % 30000;
      if (rng() % 10 < 6 || c.model.empty()) {
        ASSERT_NO_FATAL_FAILURE(c.insert(v, id));
      } else if (rng() % 2) {
        auto it = c.model.lower_bound({vp(v), id});
        if (it == c.model.end()) it = c.model.begin();
        // Possibly through the other kind: 3 and 3.0 are one key.
        ASSERT_NO_FATAL_FAILURE(c.remove(c.numbers.at(it->first), it->second));
      } else {
        ASSERT_NO_FATAL_FAILURE(c.remove(v, id));
      }
      if (op % batch == 0) {
        SCOPED_TRACE("scenario " + std::to_string(scenario) + ", operation " + std::to_string(op));
        ASSERT_NO_FATAL_FAILURE(c.check(rng, 30000));
      }
    }
  }
  const size_t n = testing::scaled(30'000);
  for (int order = 0; order < 3; ++order) {
    std::mt19937 rng(200 + order);
    std::vector<uint32_t> ids(n);
    for (uint32_t i = 0; i < n; ++i) ids[i] = i;
    if (order == 1) std::reverse(ids.begin(), ids.end());
    if (order == 2) std::shuffle(ids.begin(), ids.end(), rng);
    Checked c;
    const auto value = [](uint32_t id) { return id % 2 ? I(id / 3) : F(id / 3.0); };
    for (size_t i = 0; i < n; ++i) {
      ASSERT_NO_FATAL_FAILURE(c.insert(value(ids[i]), ids[i]));
      if ((i + 1) % (n / 5) == 0) {
        ASSERT_NO_FATAL_FAILURE(c.check(rng, n));
      }
    }
    std::shuffle(ids.begin(), ids.end(), rng);
    for (size_t i = 0; i < n; ++i) {
      ASSERT_NO_FATAL_FAILURE(c.remove(value(ids[i]), ids[i]));
      if ((i + 1) % (n / 5) == 0) {
        ASSERT_NO_FATAL_FAILURE(c.check(rng, n));
      }
    }
    EXPECT_TRUE(c.tree.empty() && c.tree.ids().empty());
  }
}

// Batches as a bulk add makes them: unsorted, with pairs already present, pairs repeated within
// the batch and ids entered under several numbers (in one batch or across batches). Removals then
// rely on the shared-id bookkeeping the batch did, so a miss there leaves an id in a bitmap.
TEST(BitMapBTree, BatchInsertsMatchTheModel) {
  std::mt19937 rng(300);
  Checked c;
  const size_t batches = testing::scaled(60);
  for (size_t round = 0; round < batches; ++round) {
    std::vector<CompositeKey128> keys;
    size_t fresh = 0;
    const size_t size = 1 + rng() % 3000;
    for (size_t i = 0; i < size; ++i) {
      const NumericValue v = rng() % 3 ? I(static_cast<int64_t>(rng() % 500)) : F(static_cast<double>(rng() % 500) + 0.5);
      const uint32_t id = rng() % 20000;
      keys.push_back(CompositeKey128::make(v, id));
      if (rng() % 8 == 0) keys.push_back(keys.back());
      if (c.model.emplace(vp(v), id).second) ++fresh;
      if (c.numbers.emplace(vp(v), v).second) c.values.push_back(v);
    }
    ASSERT_EQ(c.tree.insert_many(keys), fresh);
    for (size_t i = 0; i < size / 3 && !c.model.empty(); ++i) {
      auto it = c.model.lower_bound({vp(c.values[rng() % c.values.size()]), rng() % 20000});
      if (it == c.model.end()) it = c.model.begin();
      ASSERT_NO_FATAL_FAILURE(c.remove(c.numbers.at(it->first), it->second));
    }
    if (round % 10 == 9) {
      SCOPED_TRACE("round " + std::to_string(round));
      ASSERT_NO_FATAL_FAILURE(c.check(rng, 20000));
    }
  }
  while (!c.model.empty()) {
    auto [part, id] = *c.model.begin();
    ASSERT_NO_FATAL_FAILURE(c.remove(c.numbers.at(part), id));
  }
  EXPECT_TRUE(c.tree.empty() && c.tree.ids().empty() && c.tree.verify().empty());
}

// A batch that ascends beyond everything fills its leaves as one-by-one appends do.
TEST(BitMapBTree, AscendingBatchesFillTheirNodes) {
  BitMapBTree tree;
  std::vector<CompositeKey128> keys;
  for (uint32_t id = 0; id < 50'000; ++id) keys.push_back(CompositeKey128::make(I(50'000 - id), 50'000 - id));
  ASSERT_EQ(tree.insert_many(keys), 50'000u);
  const auto leaves = leaves_of(tree);
  EXPECT_LT(leaves.size(), 50'000u / 80);
  EXPECT_EQ(tree.verify(), "");
}

TEST(BitMapBTree, ConcurrentQueriesAgree) {
  BitMapBTree tree;
  std::mt19937 rng(5);
  for (uint32_t id = 0; id < 50000; ++id) tree.insert(I(rng() % 10000), id);
  const Bitmap universe = all_ids(40000);
  std::vector<std::pair<Bound, Bound>> ranges;
  std::vector<Bitmap> expected;
  for (int64_t lo = 0; lo < 10000; lo += 500) {
    ranges.emplace_back(incl(I(lo)), excl(I(lo * 2 + 7)));
    expected.push_back(tree.query_range(ranges.back().first, ranges.back().second, universe));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        for (size_t q = 0; q < ranges.size(); ++q) {
          mismatches[t] += !(tree.query_range(ranges[q].first, ranges[q].second, universe) == expected[q]);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

template <class F>
std::string failure_of(F&& f) {
  try {
    f();
  } catch (const InternalFailure& e) {
    return e.what();
  }
  return "no failure";
}

// verify() must notice broken invariants, and operations that meet them must fail clearly.
TEST(BitMapBTree, BrokenInvariantsAreReportedAndFailClearly) {
  BitMapBTree tree;
  for (int64_t v = 0; v < 500; ++v) tree.insert(I(v), static_cast<uint32_t>(v));
  auto& root = *const_cast<BitMapBTreeNode&>(tree.root()).internal();
  const uint32_t slot = root.offset + 2;
  auto& leaf = *root.children[slot].leaf();

  root.bitmaps[slot]->add(99999);
  EXPECT_NE(tree.verify().find("bitmap in slot"), std::string::npos) << tree.verify();
  root.bitmaps[slot]->remove(99999);
  std::swap(leaf.entries[leaf.offset], leaf.entries[leaf.offset + 1]);
  EXPECT_NE(tree.verify().find("ascending"), std::string::npos) << tree.verify();
  std::swap(leaf.entries[leaf.offset], leaf.entries[leaf.offset + 1]);
  std::swap(root.keys[slot], root.keys[slot + 1]);
  EXPECT_NE(tree.verify(), "");
  std::swap(root.keys[slot], root.keys[slot + 1]);
  ASSERT_EQ(tree.verify(), "");

  const NumericValue inside = root.keys[slot].number();
  std::optional<Bitmap> bitmap = std::move(root.bitmaps[slot]);
  root.bitmaps[slot].reset();
  EXPECT_EQ(failure_of([&] { tree.insert(inside, 7777); }), kNoLeafBitmap);
  EXPECT_EQ(failure_of([&] { tree.query_range(kOpen, kOpen, all_ids(1000)); }), kUnwrapNone);
  root.bitmaps[slot] = std::move(bitmap);
  BitMapBTreeNode child = std::move(root.children[slot]);
  EXPECT_EQ(failure_of([&] { tree.insert(inside, 7777); }), kMissingChild);
  EXPECT_EQ(failure_of([&] { tree.remove(inside, 7777); }), kMissingChild);
  root.children[slot] = std::move(child);
  EXPECT_EQ(tree.verify(), "");
}

// Batches that enter the tree in the middle: later batches of repeating values (ids ascend, values
// repeat: a price, a bucket), whose runs of new ids go after the old ones of each value, and
// batches each below the last. Leaves split at the gap a batch fills rather than evenly, so they
// end fuller (even splits left them 59% and 50% full); entries and ids stay exact.
TEST(BitMapBTree, BatchesIntoTheMiddleFillTheirLeaves) {
  BitMapBTree repeating;
  const uint32_t n = 200'000;
  for (uint32_t start = 0; start < n; start += 50'000) {
    std::vector<CompositeKey128> keys;
    for (uint32_t i = start; i < start + 50'000; ++i) keys.push_back(CompositeKey128::make(I(i % 997), i + 1));
    ASSERT_EQ(repeating.insert_many(keys), 50'000u);
  }
  ASSERT_EQ(repeating.verify(), "");
  EXPECT_GE(double(n) / (leaves_of(repeating).size() * kFanOut), 0.62);
  Bitmap expected;
  for (uint32_t i = 0; i < n; ++i) {
    if (i % 997 >= 10 && i % 997 < 20) expected.add(i + 1);
  }
  EXPECT_TRUE(repeating.query_range(incl(I(10)), excl(I(20)), all_ids(n + 1)) == expected);

  BitMapBTree descending;
  for (uint32_t batch = 40; batch-- > 0;) {
    std::vector<CompositeKey128> keys;
    for (uint32_t v = batch * 5000; v < (batch + 1) * 5000; ++v) keys.push_back(CompositeKey128::make(I(v), v + 1));
    ASSERT_EQ(descending.insert_many(keys), 5000u);
  }
  ASSERT_EQ(descending.verify(), "");
  EXPECT_GE(double(n) / (leaves_of(descending).size() * kFanOut), 0.8);
  EXPECT_TRUE(descending.query_range(incl(I(4990)), excl(I(5010)), all_ids(n + 1)) ==
              Bitmap::andnot(all_ids(5011), all_ids(4991)));
}

}  // namespace
}  // namespace vantorelle
