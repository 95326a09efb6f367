#include "native/bitmap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

namespace vantorelle {
namespace {

std::vector<uint32_t> sorted(const std::set<uint32_t>& s) { return {s.begin(), s.end()}; }

TEST(Bitmap, EveryOperationMatchesASetModel) {
  std::mt19937 rng(7);
  // Ids from two ranges, so bitmaps span several roaring containers.
  auto id = [&] { return rng() % 2 ? rng() % 300 : 70000 + rng() % 300; };
  for (int round = 0; round < 200; ++round) {
    Bitmap a, b;
    std::set<uint32_t> ma, mb;
    for (int i = 0; i < 60; ++i) {
      uint32_t x = id(), y = id();
      a.add(x), ma.insert(x);
      b.add_many(&y, 1), mb.insert(y);
      if (i % 5 == 0) a.remove(y), ma.erase(y);
    }
    std::set<uint32_t> both, only_a, any = ma;
    for (uint32_t x : ma) (mb.count(x) ? both : only_a).insert(x);
    any.insert(mb.begin(), mb.end());
    ASSERT_EQ(Bitmap::and_(a, b).to_vector(), sorted(both));
    ASSERT_EQ(Bitmap::andnot(a, b).to_vector(), sorted(only_a));
    ASSERT_EQ(Bitmap::or_many({&a, nullptr, &b}).to_vector(), sorted(any));
    ASSERT_EQ(a.cardinality(), ma.size());
    ASSERT_EQ(a.maximum(), *ma.rbegin());
    ASSERT_EQ(a.minimum(), *ma.begin());
    Bitmap c = a.copy(), d = a.copy(), e = a.copy();
    c.and_inplace(b), d.andnot_inplace(b), e.or_inplace(b);
    ASSERT_EQ(c, Bitmap::and_(a, b));
    ASSERT_EQ(d.to_vector(), sorted(only_a));
    ASSERT_EQ(e.to_vector(), sorted(any));
    ASSERT_EQ(a.to_vector(), sorted(ma)) << "copies must not share containers";
  }
  EXPECT_TRUE(Bitmap::or_many(std::vector<const Bitmap*>{}).empty());
}

// of_sorted writes containers itself: each container kind, chunk edges (0, 2^16 - 1, the last
// id), repeats, and then further use as an ordinary bitmap.
TEST(Bitmap, OfSortedIdsEqualsAddingThem) {
  std::mt19937 rng(13);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint32_t> ids;
    const uint32_t chunks = 1 + rng() % 4;
    for (uint32_t c = 0; c < chunks; ++c) {
      const uint32_t key = round % 7 == 0 ? 0xFFFF - c : rng() % 0x10000;
      // Up to a dense chunk: past 4096 distinct ids a chunk is a bitset container.
      const uint32_t n = rng() % 3 == 0 ? 4090 + rng() % 12 : rng() % 40 == 0 ? 60000 : rng() % 50;
      for (uint32_t i = 0; i < n; ++i) ids.push_back(key << 16 | (i % 2 ? 0xFFFF - i % 0x10000 : rng() % 0x10000));
      if (round % 5 == 0) ids.push_back(key << 16);
    }
    if (round % 3 == 0 && !ids.empty()) ids.push_back(ids.front());  // a repeat
    std::sort(ids.begin(), ids.end());
    Bitmap added = Bitmap::of(ids.data(), ids.size());
    Bitmap written = Bitmap::of_sorted(ids.data(), ids.size());
    ASSERT_EQ(written, added) << "round " << round;
    ASSERT_EQ(written.cardinality(), added.cardinality());
    written.add(12345), added.add(12345);
    written.remove(ids.empty() ? 0 : ids.back()), added.remove(ids.empty() ? 0 : ids.back());
    ASSERT_EQ(written.to_vector(), added.to_vector());
  }
  EXPECT_TRUE(Bitmap::of_sorted(nullptr, 0).empty());
  // Out of order is a caller's mistake, but still a correct bitmap (not containers out of order,
  // nor a chunk table overrun by keys that keep changing).
  std::vector<uint32_t> shuffled;
  for (uint32_t i = 0; i < 70000; ++i) shuffled.push_back((i & 1) << 16 | i % 1000);
  EXPECT_EQ(Bitmap::of_sorted(shuffled.data(), shuffled.size()), Bitmap::of(shuffled.data(), shuffled.size()));
  const uint32_t descending[] = {0x20000, 0x10000, 5, 3, 5};
  EXPECT_EQ(Bitmap::of_sorted(descending, 5).to_vector(), (std::vector<uint32_t>{3, 5, 0x10000, 0x20000}));
}

// Unions hand their loose ids over in any order: few, many within a dense range (written from a
// bitset over it, one chunk past 4096 ids), or many spread out (radix-sorted).
TEST(Bitmap, OfUnorderedIdsEqualsAddingThem) {
  std::mt19937 rng(17);
  for (int round = 0; round < 120; ++round) {
    const uint32_t n = round % 3 == 0 ? rng() % 300 : round % 3 == 1 ? 300 + rng() % 20000 : 300 + rng() % 3000;
    const uint32_t range = round % 3 == 2 ? 0xFFFFFFFFu : 1 + n * (1 + rng() % 80);
    const uint32_t start = round % 4 == 0 ? 0xFFFFFFFFu - range : rng() % 1000000;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < n; ++i) ids.push_back(start + rng() % range);
    if (!ids.empty() && round % 2 == 0) ids.push_back(ids.front());  // a repeat
    if (round == 7) {
      ids.clear();  // one chunk past the array limit, and a last partial one
      for (uint32_t i = 0; i < 5000; ++i) ids.push_back(0x30000 + i * 13);
    }
    const Bitmap added = Bitmap::of(ids.data(), ids.size());
    std::vector<uint32_t> work = ids;
    ASSERT_EQ(Bitmap::of_unordered(work), added) << "round " << round;
  }
}

TEST(Bitmap, MovedFromIsAnEmptyUsableBitmapAndSelfOperationsHold) {
  Bitmap a = Bitmap::of({1, 2, 3});
  Bitmap b = std::move(a);
  EXPECT_TRUE(a.empty());
  EXPECT_FALSE(a.contains(1));
  EXPECT_EQ(a.to_vector(), std::vector<uint32_t>{});
  EXPECT_EQ(Bitmap::and_(a, b).cardinality(), 0u);
  a.add(9);
  EXPECT_EQ(a.to_vector(), std::vector<uint32_t>{9});
  b = std::move(b);
  EXPECT_EQ(b.cardinality(), 3u);
  b.or_inplace(b), b.and_inplace(b);
  EXPECT_EQ(b.to_vector(), (std::vector<uint32_t>{1, 2, 3}));
  b.andnot_inplace(b);
  EXPECT_TRUE(b.empty());
}

TEST(Bitmap, ForEachIsAscendingStopsOnFalseAndCarriesExceptions) {
  const Bitmap b = Bitmap::of({70000, 5, 3, 100});
  std::vector<uint32_t> seen;
  b.for_each([&](uint32_t id) { seen.push_back(id); });
  EXPECT_EQ(seen, (std::vector<uint32_t>{3, 5, 100, 70000}));
  seen.clear();
  b.for_each([&](uint32_t id) { seen.push_back(id); return id < 5; });
  EXPECT_EQ(seen, (std::vector<uint32_t>{3, 5}));
  int calls = 0;
  EXPECT_THROW(b.for_each([&](uint32_t) { ++calls; throw std::out_of_range("stop"); }),
               std::out_of_range);
  EXPECT_EQ(calls, 1);
}

TEST(Bitmap, ConcurrentConstReadersSeeTheSameContent) {
  Bitmap a, b;
  for (uint32_t i = 0; i < 200000; i += 3) a.add(i);
  for (uint32_t i = 0; i < 200000; i += 5) b.add(i);
  const Bitmap expected = Bitmap::and_(a, b);
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      uint64_t sum = 0;
      a.for_each([&](uint32_t id) { sum += b.contains(id); });
      ok[t] = Bitmap::and_(a, b) == expected && sum == expected.cardinality();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok, std::vector<int>(4, 1));
}

}  // namespace
}  // namespace vantorelle
