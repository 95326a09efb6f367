#include "native/hybrid_set.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace vantorelle {
namespace {

enum Form { kEmptyForm, kSmallForm, kSortedForm, kBitmapForm };

Form form_of(const HybridSet& s) {
  return s.is_empty_form() ? kEmptyForm : s.is_small() ? kSmallForm : s.is_sorted() ? kSortedForm : kBitmapForm;
}

std::vector<uint32_t> listed(const HybridSet& s) {
  std::vector<uint32_t> ids;
  s.for_each([&](uint32_t id) { ids.push_back(id); });
  return ids;
}

HybridSet small_of(std::initializer_list<uint32_t> ids) {
  HybridSet s;
  for (uint32_t id : ids) s.add(id);
  return s;
}

// The small form holding no id (what an intersection with an empty set leaves).
HybridSet empty_small() {
  HybridSet s = HybridSet::single(0);
  s.remove(0);
  return s;
}

// A set in the given form together with its ids in the order the set must list them.
struct Sample {
  HybridSet set;
  std::vector<uint32_t> ids;
};

Sample sample(Form form, std::mt19937& rng) {
  Sample s;
  if (form == kEmptyForm) return s;
  // Few distinct ids, so operands overlap often; a sorted set (once past the small form) and a
  // bitmap may hold anything from 0 ids up.
  const size_t want = form == kSmallForm ? rng() % 5 : rng() % 9;
  while (s.ids.size() < want) {
    const uint32_t id = rng() % 10;
    if (std::find(s.ids.begin(), s.ids.end(), id) == s.ids.end()) s.ids.push_back(id);
  }
  if (form == kBitmapForm) {
    s.set = HybridSet::from_bitmap(Bitmap::of(s.ids.data(), s.ids.size()));
    std::sort(s.ids.begin(), s.ids.end());
  } else if (form == kSortedForm) {
    for (uint32_t id = 100; id < 105; ++id) s.set.add(id);
    for (uint32_t id = 100; id < 105; ++id) s.set.remove(id);
    for (uint32_t id : s.ids) s.set.add(id);
    std::sort(s.ids.begin(), s.ids.end());
  } else {
    s.set = empty_small();
    for (uint32_t id : s.ids) s.set.add(id);
  }
  return s;
}

TEST(HybridSet, ListedEdgeCases) {
  HybridSet s = small_of({7, 3, 9, 1});
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{7, 3, 9, 1}));
  s.add(3);  // already present: no repeat and no growth into a bitmap
  EXPECT_TRUE(s.is_small());
  s.add(5);
  EXPECT_TRUE(s.is_sorted());
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{1, 3, 5, 7, 9}));
  for (uint32_t id : {1, 3, 5, 7, 9}) s.remove(id);
  EXPECT_TRUE(s.is_sorted() && s.empty() && s.size() == 0);
  for (uint32_t id = 0; id <= HybridSet::kSortedCapacity; ++id) s.add(id << 16);
  EXPECT_TRUE(s.is_bitmap());
  for (uint32_t id = 0; id <= HybridSet::kSortedCapacity; ++id) s.remove(id << 16);
  EXPECT_TRUE(s.is_bitmap() && s.empty());

  HybridSet parents = small_of({7, 3, 9});
  parents.leave_sorted_form();
  EXPECT_TRUE(parents.is_small());
  parents.add_many(std::vector<uint32_t>{8, 1}.data(), 2);
  parents.leave_sorted_form();
  EXPECT_TRUE(parents.is_bitmap());
  EXPECT_EQ(listed(parents), (std::vector<uint32_t>{1, 3, 7, 8, 9}));

  HybridSet t = small_of({7, 3, 9});
  t.remove(3), t.remove(4);
  EXPECT_EQ(listed(t), (std::vector<uint32_t>{7, 9}));

  // An id added twice and removed once is gone: a re-assigned object is not found by its old value.
  HybridSet twice = small_of({4, 4});
  twice.remove(4);
  EXPECT_FALSE(twice.contains(4));
  HybridSet overlap = small_of({1, 2});
  overlap.or_inplace(small_of({2}));
  EXPECT_EQ(listed(overlap), (std::vector<uint32_t>{1, 2}));

  HybridSet u;
  u.or_inplace(HybridSet());
  EXPECT_TRUE(u.is_empty_form());
  HybridSet i = small_of({4, 8, 15});
  i.and_inplace(HybridSet::from_bitmap(Bitmap::of({8, 15, 16})));
  EXPECT_EQ(listed(i), (std::vector<uint32_t>{8, 15}));
  EXPECT_EQ(std::move(small_of({9, 2})).as_bitmap().to_vector(), (std::vector<uint32_t>{2, 9}));
  EXPECT_TRUE(std::move(u).as_bitmap().empty());
}

// Every form pair, against a model that fixes both the ids and their listing order, and the form
// of the result.
TEST(HybridSet, UnionAndIntersectionOfEveryFormPairMatchTheModel) {
  std::mt19937 rng(3);
  for (int round = 0; round < 4000; ++round) {
    const Form fa = Form(round % 4), fb = Form(round / 4 % 4);
    Sample a = sample(fa, rng), b = sample(fb, rng);
    const bool is_or = round / 16 % 2 == 0;

    std::vector<uint32_t> expected;
    if (is_or) {
      expected = a.ids;
      for (uint32_t id : b.ids) {
        if (std::find(expected.begin(), expected.end(), id) == expected.end()) expected.push_back(id);
      }
    } else {
      for (uint32_t id : a.ids) {
        if (std::find(b.ids.begin(), b.ids.end(), id) != b.ids.end()) expected.push_back(id);
      }
    }
    Form form;
    if (is_or) {
      form = fa == kEmptyForm ? fb
             : fa == kBitmapForm || fb == kBitmapForm ? kBitmapForm
             : fa == kSortedForm || expected.size() > 4 ? kSortedForm
                                                        : kSmallForm;
    } else {
      form = fa == kEmptyForm || fb == kEmptyForm ? kSmallForm
             : fa == kSmallForm ? (fb == kBitmapForm ? kBitmapForm : kSmallForm)
                                : fa;
    }
    if (form == kSortedForm || form == kBitmapForm) std::sort(expected.begin(), expected.end());

    const HybridSet b_before = b.set.copy();
    is_or ? a.set.or_inplace(b.set) : a.set.and_inplace(b.set);
    ASSERT_EQ(form_of(a.set), form) << "round " << round;
    ASSERT_EQ(listed(a.set), expected) << "round " << round;
    ASSERT_EQ(a.set.size(), expected.size());
    ASSERT_EQ(a.set.verify(), "");
    ASSERT_EQ(listed(b.set), listed(b_before)) << "the other operand must stay untouched";
    const std::vector<uint32_t> copied = b.set.to_bitmap().to_vector();
    ASSERT_EQ(std::move(b.set).as_bitmap().to_vector(), copied);
    ASSERT_TRUE(b.set.is_empty_form());

    HybridSet self = b_before.copy();
    is_or ? self.or_inplace(self) : self.and_inplace(self);
    ASSERT_EQ(listed(self), listed(b_before));
  }
}

// Adds and removes over id ranges that keep a set small, take it through the sorted form, or past
// it into a bitmap and back down to nothing; ids spread over 2^16-id chunks or packed in one.
TEST(HybridSet, RandomAddsAndRemovesMatchASet) {
  std::mt19937 rng(11);
  const uint32_t ranges[] = {8, 40, 200, 400};
  for (int round = 0; round < 120; ++round) {
    const uint32_t range = ranges[round % 4];
    const uint32_t stride = round / 4 % 2 ? 70001 : 1;
    HybridSet s;
    std::set<uint32_t> model;
    Form form = kEmptyForm;
    for (uint32_t step = 0; step < range * 3; ++step) {
      const uint32_t id = rng() % range * stride;
      // Adds win for the first two thirds, removes for the last: sets grow, then drain.
      if (rng() % 3 < (step < range * 2 ? 2u : 1u)) {
        s.add(id), model.insert(id);
      } else {
        s.remove(id), model.erase(id);
      }
      ASSERT_EQ(s.verify(), "");
      ASSERT_EQ(s.size(), model.size());
      ASSERT_EQ(s.contains(id), model.count(id) == 1);
      ASSERT_GE(form_of(s), form) << "forms only move forward";
      form = form_of(s);
      if (step % 16 == 0 || range <= 8) {
        ASSERT_EQ(s.to_bitmap().to_vector(), std::vector<uint32_t>(model.begin(), model.end()));
      }
    }
  }
}

// add_many must leave what one add per id leaves: the small form with its order, or an ascending
// form (sorted or bitmap, which may differ), with no repeat, whichever form the batch starts in or
// crosses into (repeats included, which may keep a large batch within the sorted form).
TEST(HybridSet, AddManyIsOneAddPerId) {
  std::mt19937 rng(5);
  const uint32_t ranges[] = {10, 60, 150, 400};
  for (int round = 0; round < 800; ++round) {
    const uint32_t range = ranges[round % 4];
    HybridSet one, many;
    for (uint32_t k = 0, start = rng() % (range / 2 + 6); k < start; ++k) {
      const uint32_t id = rng() % range;
      one.add(id), many.add(id);
    }
    std::vector<uint32_t> batch(rng() % (range + 12));
    for (uint32_t& id : batch) id = rng() % range + (rng() % 4 == 0 ? 70000 : 0);
    for (uint32_t id : batch) one.add(id);
    many.add_many(batch.data(), batch.size());
    ASSERT_EQ(many.verify(), "");
    ASSERT_EQ(many.is_small(), one.is_small()) << "round " << round;
    ASSERT_EQ(many.is_empty_form(), one.is_empty_form()) << "round " << round;
    std::vector<uint32_t> in_one, in_many;
    one.for_each([&](uint32_t id) { in_one.push_back(id); });
    many.for_each([&](uint32_t id) { in_many.push_back(id); });
    ASSERT_EQ(in_many, in_one);
  }
}

// The sorted form lasts while it takes at most half a bitmap's memory: ids packed into one
// 2^16-id chunk leave it after a dozen, over five chunks after 48, and ids spread over many
// chunks keep it up to the cap.
TEST(HybridSet, SortedFormOnlyWhileItHalvesABitmap) {
  HybridSet packed, five, spread;
  for (uint32_t i = 0; i < 100; ++i) {
    packed.add(1000 + i);
    five.add((i % 5) << 16 | i);
    spread.add((i % 20) << 16 | i);
    // 12 ids fill a block's room; growing it for the 13th would take more than half a bitmap.
    if (i == 11) EXPECT_TRUE(packed.is_sorted());
    if (i == 12) EXPECT_TRUE(packed.is_bitmap());
    if (i == 47) EXPECT_TRUE(five.is_sorted());
    if (i == 48) EXPECT_TRUE(five.is_bitmap());
  }
  EXPECT_TRUE(spread.is_sorted());
  for (uint32_t i = 100; i <= HybridSet::kSortedCapacity; ++i) spread.add((i % 20) << 16 | i);
  EXPECT_TRUE(spread.is_bitmap());
  EXPECT_EQ(spread.size(), HybridSet::kSortedCapacity + 1);
}

// Sets outlive many owners: a moved-from set holds nothing, copies are deep, and a sorted set that
// drains gives its room back.
TEST(HybridSet, MovesCopiesAndDrainedSortedSetsOwnTheirMemory) {
  for (uint32_t count : {3u, 20u, 128u, 129u, 500u}) {
    HybridSet s;
    for (uint32_t id = 0; id < count; ++id) s.add(id * 70001);
    HybridSet copied = s.copy();
    HybridSet moved = std::move(s);
    EXPECT_TRUE(s.is_empty_form() && s.empty());
    copied.remove(0);
    EXPECT_EQ(moved.size(), count);
    EXPECT_EQ(copied.size(), count - 1);
    EXPECT_TRUE(moved.contains(0));
    s = std::move(copied);
    EXPECT_EQ(s.size(), count - 1);
    EXPECT_TRUE(copied.is_empty_form());
    for (uint32_t id = 0; id < count; ++id) s.remove(id * 70001);
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.verify(), "");
  }
}

}  // namespace
}  // namespace vantorelle
