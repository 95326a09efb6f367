// The composite key encoding against exact arithmetic: pairs of numbers must compare as their
// keys do, number() must give back the number of a key, and a range turned into a key interval
// must hold exactly the keys of the numbers inside it.
#include <string>

#include "exact_order.hpp"
#include "fuzz_input.hpp"
#include "fuzz_numbers.hpp"
#include "native/bitmap_btree.hpp"

namespace vantorelle::fuzz {
namespace {

constexpr const char* kTarget = "fuzz_composite_key";

std::string describe(NumericValue v) {
  if (v.kind == NumericValue::Kind::Int) return "int " + std::to_string(v.i);
  char text[64];
  std::snprintf(text, sizeof text, "float %a (bits %016llx)", v.f,
                static_cast<unsigned long long>(std::bit_cast<uint64_t>(v.f)));
  return text;
}

Key128 vp(NumericValue v) { return CompositeKey128::value_part(v); }

void check_order(NumericValue a, NumericValue b) {
  // Same-sign NaNs are keyed by payload, an order nothing promises.
  if (nan_side(a) != 0 && nan_side(a) == nan_side(b)) return;
  const int want = exact_compare(a, b);
  if (sign_of(vp(a), vp(b)) != want) {
    fuzz_fail(kTarget, describe(a) + " vs " + describe(b) + ": keys order as " +
                           std::to_string(sign_of(vp(a), vp(b))) + ", numbers as " + std::to_string(want));
  }
}

void check_round_trip(NumericValue v, uint32_t id) {
  const CompositeKey128 key = CompositeKey128::make(v, id);
  if (key.id() != id || key.value_bits() != vp(v)) fuzz_fail(kTarget, describe(v) + ": id or value bits lost");
  const NumericValue back = key.number();
  if (vp(back) != vp(v)) fuzz_fail(kTarget, describe(v) + " came back as " + describe(back));
  const bool integral = v.kind == NumericValue::Kind::Int ||
                        (std::isfinite(v.f) && v.f == std::trunc(v.f) && v.f >= -0x1p63 && v.f < 0x1p63);
  if (back.kind != (integral ? NumericValue::Kind::Int : NumericValue::Kind::Float)) {
    fuzz_fail(kTarget, describe(v) + " came back as the other kind: " + describe(back));
  }
}

Bound read_bound(FuzzInput& in) {
  switch (in.byte() % 3) {
    case 0: return Bound::included(read_number(in, false));
    case 1: return Bound::excluded(read_number(in, false));
    default: return Bound::unbounded();
  }
}

void check_range(const Bound& lower, const Bound& upper, NumericValue v, uint32_t id) {
  // Same-sign NaNs again: whether one lies beyond another is the payload's business.
  for (const Bound* b : {&lower, &upper}) {
    if (b->kind != Bound::Kind::Unbounded && nan_side(v) != 0 && nan_side(v) == nan_side(b->value)) return;
  }
  const KeyRange range = KeyRange::from_bounds(lower, upper);
  const Key128 key = CompositeKey128::make(v, id).key;
  const bool inside = within(v, lower, true) && within(v, upper, false);
  if ((range.first <= key && key <= range.last) != inside) {
    fuzz_fail(kTarget, describe(v) + " with id " + std::to_string(id) + " is " +
                           (inside ? "inside" : "outside") + " the range but its key is not");
  }
  if (inside && range.empty()) fuzz_fail(kTarget, "a range holding " + describe(v) + " reads as empty");
}

void run(FuzzInput& in) {
  while (!in.done()) {
    const NumericValue a = read_number(in, false);
    const NumericValue b = read_number(in, false);
    const uint32_t id = in.bits<uint32_t>();
    check_order(a, b);
    check_order(b, a);
    check_round_trip(a, id);
    const Bound lower = read_bound(in);
    const Bound upper = read_bound(in);
    check_range(lower, upper, a, id);
    check_range(lower, upper, b, ~id);
  }
}

}  // namespace
}  // namespace vantorelle::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vantorelle::fuzz::FuzzInput in(data, size);
  vantorelle::fuzz::run(in);
  return 0;
}
