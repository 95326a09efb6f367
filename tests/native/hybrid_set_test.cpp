#include "native/hybrid_set.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

namespace vantorelle {
namespace {

enum Form { kEmptyForm, kSmallForm, kBitmapForm };

Form form_of(const HybridSet& s) {
  return s.is_empty_form() ? kEmptyForm : s.is_small() ? kSmallForm : kBitmapForm;
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

// A set in the given form together with its ids in the order the set must list them.
struct Sample {
  HybridSet set;
  std::vector<uint32_t> ids;
};

Sample sample(Form form, std::mt19937& rng) {
  Sample s;
  if (form == kEmptyForm) return s;
  // Few distinct ids, so operands overlap often; a bitmap may hold anything from 0 ids up.
  const size_t want = form == kSmallForm ? rng() % 5 : rng() % 9;
  while (s.ids.size() < want) {
    const uint32_t id = rng() % 10;
    if (std::find(s.ids.begin(), s.ids.end(), id) == s.ids.end()) s.ids.push_back(id);
  }
  if (form == kBitmapForm) {
    s.set = HybridSet::from_bitmap(Bitmap::of(s.ids.data(), s.ids.size()));
    std::sort(s.ids.begin(), s.ids.end());
  } else {
    s.set = HybridSet::from_small(Small{});
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
  EXPECT_TRUE(s.is_bitmap());
  EXPECT_EQ(listed(s), (std::vector<uint32_t>{1, 3, 5, 7, 9}));
  for (uint32_t id : {1, 3, 5, 7, 9}) s.remove(id);
  EXPECT_TRUE(s.is_bitmap() && s.empty() && s.size() == 0);

  HybridSet t = small_of({7, 3, 9});
  t.remove(3), t.remove(4);
  EXPECT_EQ(listed(t), (std::vector<uint32_t>{7, 9}));

  // An id added twice and removed once is gone: a re-assigned object is not found by its old value.
  HybridSet twice = small_of({4, 4});
  twice.remove(4);
  EXPECT_FALSE(twice.contains(4));
  EXPECT_EQ(small_of({1, 2}).small()->or_inplace_small(*small_of({2}).small()).size(), 2u);

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
  for (int round = 0; round < 3000; ++round) {
    const Form fa = Form(round % 3), fb = Form(round / 3 % 3);
    Sample a = sample(fa, rng), b = sample(fb, rng);
    const bool is_or = round % 2 == 0;

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
             : expected.size() > 4 ? kBitmapForm
                                   : kSmallForm;
    } else {
      form = fa == kEmptyForm || fb == kEmptyForm ? kSmallForm
             : fa == kSmallForm && fb == kSmallForm ? kSmallForm
                                                    : kBitmapForm;
    }
    if (form == kBitmapForm) std::sort(expected.begin(), expected.end());

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

TEST(HybridSet, RandomAddsAndRemovesMatchASet) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    HybridSet s;
    std::set<uint32_t> model;
    for (int step = 0; step < 40; ++step) {
      const uint32_t id = rng() % 8;
      if (rng() % 3) {
        s.add(id), model.insert(id);
      } else {
        s.remove(id), model.erase(id);
      }
      ASSERT_EQ(s.verify(), "");
      ASSERT_EQ(s.size(), model.size());
      ASSERT_EQ(s.to_bitmap().to_vector(), std::vector<uint32_t>(model.begin(), model.end()));
      for (uint32_t x = 0; x < 8; ++x) ASSERT_EQ(s.contains(x), model.count(x) == 1);
    }
  }
}

// add_many must leave exactly what one add per id leaves: the same form, the small form's order,
// and no repeat, whichever form the batch starts or crosses into.
TEST(HybridSet, AddManyIsOneAddPerId) {
  std::mt19937 rng(5);
  for (int round = 0; round < 400; ++round) {
    HybridSet one, many;
    for (uint32_t k = 0, start = rng() % 6; k < start; ++k) {
      const uint32_t id = rng() % 10;
      one.add(id), many.add(id);
    }
    std::vector<uint32_t> batch(rng() % 12);
    for (uint32_t& id : batch) id = rng() % 10 + (rng() % 4 == 0 ? 70000 : 0);
    for (uint32_t id : batch) one.add(id);
    many.add_many(batch.data(), batch.size());
    ASSERT_EQ(many.verify(), "");
    ASSERT_EQ(many.is_small(), one.is_small());
    ASSERT_EQ(many.is_bitmap(), one.is_bitmap());
    std::vector<uint32_t> in_one, in_many;
    one.for_each([&](uint32_t id) { in_one.push_back(id); });
    many.for_each([&](uint32_t id) { in_many.push_back(id); });
    ASSERT_EQ(in_many, in_one);
  }
}

}  // namespace
}  // namespace vantorelle
