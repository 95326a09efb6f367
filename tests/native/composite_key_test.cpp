// The value part of a key must order numbers exactly as mathematics does, across int64 and double.
// The reference below compares the two kinds without any rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "native/bitmap_btree.hpp"
#include "test_support.hpp"

namespace vantorelle {
namespace {

using Kind = NumericValue::Kind;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

NumericValue I(int64_t v) { return NumericValue::of_int(v); }
NumericValue F(double v) { return NumericValue::of_float(v); }
Key128 vp(NumericValue v) { return CompositeKey128::value_part(v); }

int sign(auto a, auto b) { return (a > b) - (a < b); }

int exact_int_vs_float(int64_t i, double d) {
  if (d >= 0x1p63) return -1;
  if (d < -0x1p63) return 1;
  const auto t = static_cast<int64_t>(d);  // exact: |d| < 2^63 and truncation drops only a fraction
  if (i != t) return sign(i, t);
  return sign(0.0, d - static_cast<double>(t));
}

int exact_compare(NumericValue a, NumericValue b) {
  if (a.kind == Kind::Int && b.kind == Kind::Int) return sign(a.i, b.i);
  if (a.kind == Kind::Float && b.kind == Kind::Float) return sign(a.f, b.f);
  if (a.kind == Kind::Int) return exact_int_vs_float(a.i, b.f);
  return -exact_int_vs_float(b.i, a.f);
}

void expect_same_order(NumericValue a, NumericValue b) {
  const int want = exact_compare(a, b);
  const int got = sign(vp(a), vp(b));
  ASSERT_EQ(got, want) << (a.kind == Kind::Int ? "int " : "float ") << a.i << "/" << a.f << " vs "
                       << (b.kind == Kind::Int ? "int " : "float ") << b.i << "/" << b.f;
}

std::vector<NumericValue> edge_values() {
  std::vector<NumericValue> values;
  const double sub_max = std::nextafter(0x1p-1022, 0.0);
  for (double d : {0.0, -0.0, 1.0, 0.5, 1.5, 3.0, 0x1p52, 0x1p52 + 1, 0x1p53, 0x1p63, 0x1p64,
                   std::numeric_limits<double>::denorm_min(), sub_max, 0x1p-1022, 0x1p-1000,
                   std::nextafter(1.0, 2.0), std::nextafter(1.0, 0.0), 9.2e18, 1e308,
                   std::numeric_limits<double>::max(), kInf}) {
    values.push_back(F(d));
    values.push_back(F(-d));
  }
  for (int64_t i : {int64_t(0), int64_t(1), int64_t(2), int64_t(3), int64_t(1) << 52,
                    (int64_t(1) << 52) + 1, int64_t(1) << 53, (int64_t(1) << 53) + 1,
                    int64_t(9200000000000000000), kMax - 1, kMax}) {
    values.push_back(I(i));
    values.push_back(I(-i));
  }
  values.push_back(I(kMin));
  values.push_back(I(kMin + 1));
  return values;
}

TEST(CompositeKey, EdgeValuesOrderExactly) {
  EXPECT_EQ(CompositeKey128::make(I(3), 9).key, CompositeKey128::make(F(3.0), 9).key);
  EXPECT_EQ(vp(I(0)), Key128(1) << 95);
  EXPECT_EQ(vp(F(-0.0)), Key128(1) << 95);
  // Exact keeps: the lowest fraction bit, 2^52 + 1 as a float, 2^53 + 1 as an int.
  EXPECT_GT(vp(F(std::nextafter(1.0, 2.0))), vp(F(1.0)));
  EXPECT_EQ(vp(F(0x1p52 + 1)), vp(I((int64_t(1) << 52) + 1)));
  EXPECT_GT(vp(I((int64_t(1) << 53) + 1)), vp(F(0x1p53)));
  EXPECT_LT(vp(F(std::nextafter(0x1p-1022, 0.0))), vp(F(0x1p-1022)));
  EXPECT_LT(vp(I(kMin)), vp(F(-9.2e18)));

  const auto values = edge_values();
  for (NumericValue a : values) {
    for (NumericValue b : values) expect_same_order(a, b);
  }
  // NaN placement: a NaN with the sign bit clear above +inf, one with it set below -inf.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_GT(vp(F(nan)), vp(F(kInf)));
  EXPECT_LT(vp(F(-nan)), vp(F(-kInf)));
  EXPECT_LT(vp(F(-kInf)), vp(I(kMin)));
  EXPECT_GT(vp(F(kInf)), vp(I(kMax)));
}

// Random numbers biased towards the places where an encoding goes wrong: neighbours across the
// kinds, the integer/double precision edge, subnormals, and random bit patterns.
NumericValue random_number(std::mt19937_64& rng) {
  const uint64_t r = rng();
  switch (rng() % 7) {
    case 0: return I(static_cast<int64_t>(r));
    case 1: return I(static_cast<int64_t>(r % 2001) - 1000);
    case 2: return I(static_cast<int64_t>((r % 128) - 64) + (int64_t(1) << (rng() % 63)) * (r % 2 ? 1 : -1));
    case 3: {
      const double d = std::bit_cast<double>(r);
      return F(std::isnan(d) ? std::bit_cast<double>(r & ~(uint64_t(1) << 62)) : d);
    }
    case 4: return F(std::bit_cast<double>((r & ((uint64_t(1) << 52) - 1)) | (r & (uint64_t(1) << 63))));
    case 5: return F(static_cast<double>(static_cast<int64_t>(r) >> (rng() % 64)));
    default: return F(static_cast<double>(static_cast<int64_t>(r % 2001) - 1000) / 8);
  }
}

NumericValue neighbour(NumericValue a, std::mt19937_64& rng) {
  switch (rng() % 4) {
    case 0:  // the same number as the other kind, when it converts exactly, or nearly
      return a.kind == Kind::Int ? F(static_cast<double>(a.i))
                                 : (std::abs(a.f) < 0x1p63 ? I(static_cast<int64_t>(a.f)) : F(-a.f));
    case 1: return a.kind == Kind::Int ? I(a.i + (a.i < kMax ? 1 : -1)) : F(std::nextafter(a.f, kInf));
    case 2: return a.kind == Kind::Int ? I(a.i ^ 1) : F(std::nextafter(a.f, -kInf));
    default: return random_number(rng);
  }
}

TEST(CompositeKey, MillionsOfRandomPairsOrderExactly) {
  std::mt19937_64 rng(12345);
  for (size_t n = 0; n < testing::scaled(3'000'000); ++n) {
    const NumericValue a = random_number(rng);
    expect_same_order(a, neighbour(a, rng));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Keys keep no copy of their number: number() must give back one with the very same key, as an Int
// exactly when the number is an integer within 64 bits.
TEST(CompositeKey, TheNumberComesBackFromTheKey) {
  std::mt19937_64 rng(7);
  std::vector<NumericValue> values = edge_values();
  for (int i = 0; i < 20000; ++i) values.push_back(random_number(rng));
  for (NumericValue v : values) {
    const CompositeKey128 key = CompositeKey128::make(v, 42);
    const NumericValue back = key.number();
    ASSERT_EQ(vp(back), vp(v)) << v.i << "/" << v.f;
    const bool integral = v.kind == Kind::Int || (std::isfinite(v.f) && v.f == std::trunc(v.f) &&
                                                  v.f >= -0x1p63 && v.f < 0x1p63);
    ASSERT_EQ(back.kind, integral ? Kind::Int : Kind::Float) << v.i << "/" << v.f;
    if (back.kind == Kind::Float && !std::isnan(v.f)) ASSERT_EQ(back.f, v.f);
    if (back.kind == Kind::Int && v.kind == Kind::Int) ASSERT_EQ(back.i, v.i);
  }
}

}  // namespace
}  // namespace vantorelle
