// The order the composite key must reproduce, computed without the key: integers and doubles
// compared exactly, with no rounding in either direction, and NaNs placed where the key puts
// them (sign bit clear: above +inf; sign bit set: below -inf). Two NaNs of one sign compare
// equal here; the key orders them by payload, which no caller relies on.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "native/bitmap_btree.hpp"

namespace vantorelle::fuzz {

inline int sign_of(auto a, auto b) { return (a > b) - (a < b); }

// -1 for a NaN with the sign bit set, 1 for one with it clear, 0 for every number.
inline int nan_side(NumericValue v) {
  if (v.kind == NumericValue::Kind::Int || !std::isnan(v.f)) return 0;
  return std::signbit(v.f) ? -1 : 1;
}

inline int exact_int_vs_float(int64_t i, double d) {
  if (d >= 0x1p63) return -1;
  if (d < -0x1p63) return 1;
  const auto t = static_cast<int64_t>(d);  // exact: |d| < 2^63 and truncation drops only a fraction
  if (i != t) return sign_of(i, t);
  return sign_of(0.0, d - static_cast<double>(t));
}

inline int exact_compare(NumericValue a, NumericValue b) {
  const int na = nan_side(a), nb = nan_side(b);
  if (na != 0 || nb != 0) return sign_of(na, nb);
  using Kind = NumericValue::Kind;
  if (a.kind == Kind::Int && b.kind == Kind::Int) return sign_of(a.i, b.i);
  if (a.kind == Kind::Float && b.kind == Kind::Float) return sign_of(a.f, b.f);
  if (a.kind == Kind::Int) return exact_int_vs_float(a.i, b.f);
  return -exact_int_vs_float(b.i, a.f);
}

// Whether `v` lies on the inner side of one end of a range.
inline bool within(NumericValue v, const Bound& bound, bool lower) {
  if (bound.kind == Bound::Kind::Unbounded) return true;
  const int c = exact_compare(v, bound.value);
  if (bound.kind == Bound::Kind::Included) return lower ? c >= 0 : c <= 0;
  return lower ? c > 0 : c < 0;
}

}  // namespace vantorelle::fuzz
