// Numbers for the fuzz targets, drawn where an encoding of numbers goes wrong: few small values
// (so entries share numbers, in both kinds), the integer/double precision edge near powers of
// two, subnormals, infinities, NaNs, the ends of int64, and raw bit patterns.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "fuzz_input.hpp"
#include "native/bitmap_btree.hpp"

namespace vantorelle::fuzz {

inline NumericValue I(int64_t v) { return NumericValue::of_int(v); }
inline NumericValue F(double v) { return NumericValue::of_float(v); }

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr int64_t kMinInt = std::numeric_limits<int64_t>::min();
inline constexpr int64_t kMaxInt = std::numeric_limits<int64_t>::max();

inline const std::array<NumericValue, 26> kEdgeNumbers = {
    F(0.0), F(-0.0), I(0), F(kInf), F(-kInf), F(kNaN), F(-kNaN), I(kMinInt), I(kMaxInt),
    I(kMaxInt - 1), I(kMinInt + 1), F(0x1p63), F(-0x1p63), F(0x1p64), I(int64_t(1) << 53),
    I((int64_t(1) << 53) + 1), F(0x1p53), F(0x1p53 + 2), F(std::numeric_limits<double>::denorm_min()),
    F(-std::numeric_limits<double>::denorm_min()), F(std::numeric_limits<double>::max()),
    F(-std::numeric_limits<double>::max()), F(0x1p-1022), F(std::nextafter(0x1p-1022, 0.0)),
    F(std::nextafter(1.0, 2.0)), F(-std::nextafter(1.0, 0.0))};

// With `canonical_nan`, every NaN becomes the quiet NaN of its sign: the tree keys NaNs of one
// sign apart by payload, which the model does not follow.
inline NumericValue read_number(FuzzInput& in, bool canonical_nan) {
  switch (in.byte() % 7) {
    case 0:
      return I(static_cast<int8_t>(in.byte()));
    case 1:
      return F(static_cast<int8_t>(in.byte()) / 4.0);
    case 2:
      return kEdgeNumbers[in.below(kEdgeNumbers.size())];
    case 3:
      return I(in.bits<int64_t>());
    case 4: {
      const double d = std::bit_cast<double>(in.bits<uint64_t>());
      return F(canonical_nan && std::isnan(d) ? std::copysign(kNaN, d) : d);
    }
    case 5: {
      // 2^p plus a small offset, as either kind; p = 63 wraps the integer to the negative end.
      const uint32_t p = in.byte() % 64;
      const auto offset = static_cast<int8_t>(in.byte());
      const bool negative = in.byte() & 1;
      if (in.byte() & 1) {
        const auto v = static_cast<int64_t>((uint64_t(1) << p) + static_cast<uint64_t>(int64_t(offset)));
        return I(negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(v)) : v);
      }
      const double d = std::ldexp(1.0, static_cast<int>(p)) + offset;
      return F(negative ? -d : d);
    }
    default: {
      // A few ulps around a power of two anywhere in the exponent range, subnormals included.
      const int exponent = static_cast<int8_t>(in.byte()) * 9;
      double d = std::ldexp(1.0, exponent);
      const auto steps = static_cast<int8_t>(in.byte()) % 4;
      for (int s = 0; s < std::abs(steps); ++s) d = std::nextafter(d, steps > 0 ? kInf : 0.0);
      return F(in.byte() & 1 ? -d : d);
    }
  }
}

}  // namespace vantorelle::fuzz
