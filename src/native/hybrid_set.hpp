// HybridSet: the id set kept for every attribute value and every parent list.
//
// Most values are carried by a handful of objects, so a set lives inline as up to four ids and
// becomes a roaring bitmap only when a fifth distinct id arrives. A set never holds an id twice
// in any form: if the small form listed a repeat, one later removal would leave the other copy
// behind and the object would still be found under a value it no longer has.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "native/bitmap.hpp"

namespace vantorelle {

class HybridSet;

// Inline payload of the small form.
struct Small {
  static constexpr uint32_t kCapacity = 4;

  // Slots 0 .. length-1 hold distinct ids in the order they were added; later slots are
  // meaningless. length <= kCapacity.
  std::array<uint32_t, kCapacity> ids{};
  uint32_t length = 0;

  bool contains(uint32_t id) const noexcept;
  // The union: this set's ids in their order, then the other's ids not already present, in
  // theirs. Small while at most four distinct ids result, a bitmap otherwise.
  HybridSet or_inplace_small(const Small& other) const;
};

static_assert(sizeof(Small) == 20, "the small form must stay inline and tight");

class HybridSet {
 public:
  // The empty form: the neutral starting value of unions.
  HybridSet() noexcept = default;
  static HybridSet single(uint32_t id) noexcept;
  // The ids of `small` must be distinct (verify() reports a repeat).
  static HybridSet from_small(const Small& small);
  static HybridSet from_bitmap(Bitmap bitmap) noexcept;

  HybridSet(HybridSet&&) noexcept = default;
  HybridSet& operator=(HybridSet&&) noexcept = default;
  HybridSet(const HybridSet&) = delete;
  HybridSet& operator=(const HybridSet&) = delete;
  // Duplicates the payload; for the bitmap form a full copy of the bitmap.
  HybridSet copy() const;

  // add and remove treat the empty form as a small set of length 0. Adding an id already
  // present changes nothing; removing an absent one changes nothing. A bitmap set stays a
  // bitmap, even when it becomes empty.
  void add(uint32_t id);
  // As add for each of `ids` in order (repeats allowed); the bitmap form takes them in one call.
  void add_many(const uint32_t* ids, std::size_t count);
  void remove(uint32_t id) noexcept;

  // Both accept `other` being this very set. The forms of the result follow the table of each
  // operation: or with the empty form leaves the other side (copied), and with the empty form
  // gives an empty small set.
  void or_inplace(const HybridSet& other);
  void and_inplace(const HybridSet& other);

  // The ids as a bitmap; the set is left in the empty form. The bitmap form hands over its own
  // bitmap without a copy.
  Bitmap as_bitmap() &&;
  // The ids as a new bitmap; the set is unchanged.
  Bitmap to_bitmap() const;

  uint64_t size() const noexcept;
  // No ids, whatever the form.
  bool empty() const noexcept { return size() == 0; }
  bool contains(uint32_t id) const noexcept;

  // Calls f(id) for every id: small form in slot order, bitmap form ascending. When f returns
  // bool, false stops the walk.
  template <class F>
  void for_each(F&& f) const;

  bool is_empty_form() const noexcept { return std::holds_alternative<std::monostate>(form_); }
  bool is_small() const noexcept { return std::holds_alternative<Small>(form_); }
  bool is_bitmap() const noexcept { return std::holds_alternative<Bitmap>(form_); }
  // The payload of that form, or null when the set has another form.
  const Small* small() const noexcept { return std::get_if<Small>(&form_); }
  const Bitmap* bitmap() const noexcept { return std::get_if<Bitmap>(&form_); }

  // Empty string while the invariants hold, otherwise the first broken one.
  std::string verify() const;

 private:
  std::variant<std::monostate, Small, Bitmap> form_;
};

template <class F>
void HybridSet::for_each(F&& f) const {
  if (const Small* s = small()) {
    for (uint32_t i = 0; i < s->length; ++i) {
      if constexpr (std::is_same_v<std::invoke_result_t<F&, uint32_t>, bool>) {
        if (!f(s->ids[i])) return;
      } else {
        f(s->ids[i]);
      }
    }
  } else if (const Bitmap* b = bitmap()) {
    b->for_each(f);
  }
}

}  // namespace vantorelle
