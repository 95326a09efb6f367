// HybridSet: the id set kept for every attribute value and every parent list.
//
// Most values are carried by a handful of objects, and many more by a few dozen scattered over
// the id space (the objects of one owner, of one day). A set has one of four forms:
//  - empty: no payload, the neutral starting value of unions;
//  - small: up to kSmallCapacity ids inline, in the order they were added;
//  - sorted: up to kSortedCapacity ids, ascending, in one heap block, while that takes at most
//    half the memory of a bitmap of the same ids. A roaring bitmap spends about 75 bytes on every
//    2^16-id chunk it touches, so for a few dozen ids spread over many chunks it costs several
//    times this block; ids packed into one chunk leave the block at 13;
//  - bitmap: a roaring bitmap, for everything else.
// Adds only move a set forward through these forms (small -> sorted -> bitmap). The small form
// ends at the fifth distinct id whether the ids come one by one or in a batch, so both list the
// same ids in the same order; a sorted block decides when it is full, so a batch and single adds
// may end in different ones of the two ascending forms, which differ only in memory and speed.
// A set never holds an id twice in any form: if the small form listed a repeat, one later removal
// would leave the other copy behind and the object would still be found under a value it no
// longer has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#include "native/bitmap.hpp"

namespace vantorelle {

class HybridSet {
 public:
  static constexpr uint32_t kSmallCapacity = 4;
  static constexpr uint32_t kSortedCapacity = 128;

  HybridSet() noexcept : length_(0), form_(Form::Empty) {}
  static HybridSet single(uint32_t id) noexcept;
  static HybridSet from_bitmap(Bitmap bitmap) noexcept;

  HybridSet(HybridSet&& other) noexcept;
  HybridSet& operator=(HybridSet&& other) noexcept;
  HybridSet(const HybridSet&) = delete;
  HybridSet& operator=(const HybridSet&) = delete;
  ~HybridSet() { reset(); }
  // Duplicates the payload; for the bitmap form a full copy of the bitmap.
  HybridSet copy() const;

  // add and remove treat the empty form as a small set of length 0. Adding an id already
  // present changes nothing; removing an absent one changes nothing. A sorted or bitmap set keeps
  // its form when ids go, even when it becomes empty. A failed allocation leaves the set as it was.
  void add(uint32_t id);
  // As add for each of `ids` in order (repeats allowed), with the same ids listed in the same
  // order; sorted and bitmap sets take the batch in one merge.
  void add_many(const uint32_t* ids, std::size_t count);
  void remove(uint32_t id) noexcept;
  // Makes a sorted set a bitmap; other forms stay. For sets that are mostly read by the hundred in
  // unions (parent lists), where a bitmap's many-way union beats sorting loose ids. Adds then keep
  // the bitmap, as they keep any bitmap.
  void leave_sorted_form();

  // Both accept `other` being this very set, and leave this set as it was if they fail. Forms of
  // the result: or with the empty form leaves the other side (copied); or takes a bitmap when
  // either side is one, and otherwise what adding the other's ids gives. and with the empty form
  // gives an empty small set; a small set stays small except against a bitmap, which gives a
  // bitmap; a sorted set stays sorted and a bitmap a bitmap.
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

  // Calls f(id) for every id: small form in slot order, sorted and bitmap forms ascending. When f
  // returns bool, false stops the walk.
  template <class F>
  void for_each(F&& f) const;

  bool is_empty_form() const noexcept { return form_ == Form::Empty; }
  bool is_small() const noexcept { return form_ == Form::Small; }
  bool is_sorted() const noexcept { return form_ == Form::Sorted; }
  bool is_bitmap() const noexcept { return form_ == Form::Bitmap; }
  // The ids of a small set (slot order) or a sorted one (ascending); empty for the other forms.
  std::span<const uint32_t> ids() const noexcept;
  // The bitmap of the bitmap form, else null.
  const Bitmap* bitmap() const noexcept { return form_ == Form::Bitmap ? &bitmap_ : nullptr; }

  // Empty string while the invariants hold, otherwise the first broken one.
  std::string verify() const;

 private:
  enum class Form : uint8_t { Empty, Small, Sorted, Bitmap };

  // The sorted form's block: `size` ids ascending, then room up to `capacity`
  // (size <= capacity <= kSortedCapacity). Whether a sorted set is worth keeping over a bitmap
  // is decided each time its block is full.
  struct Sorted {
    uint32_t size;
    uint32_t capacity;
    uint32_t* ids() noexcept { return reinterpret_cast<uint32_t*>(this + 1); }
    const uint32_t* ids() const noexcept { return reinterpret_cast<const uint32_t*>(this + 1); }

    // A block with room for at least `capacity` ids (rounded to fill its allocation), holding
    // none; std::bad_alloc if there is no memory.
    static Sorted* make(uint32_t capacity);
    static void free(Sorted* block) noexcept;
  };

  void reset() noexcept;
  // Makes this set the sorted set of `ids` (ascending, distinct, at most kSortedCapacity).
  void become_sorted(const uint32_t* ids, std::size_t count);
  void become_bitmap(Bitmap bitmap) noexcept;
  // add_many for the sorted form.
  void merge_sorted(const uint32_t* ids, std::size_t count);

  // Invariants by form:
  //  - Empty: no payload;
  //  - Small: small_[0 .. length_) hold distinct ids in the order they were added;
  //    length_ <= kSmallCapacity;
  //  - Sorted: sorted_ is an owned block (see Sorted), its ids strictly ascending;
  //  - Bitmap: bitmap_ is live.
  union {
    uint32_t small_[kSmallCapacity];
    Sorted* sorted_;
    Bitmap bitmap_;
  };
  uint32_t length_;  // Small only
  Form form_;
};

static_assert(sizeof(HybridSet) == 24, "an id set stays three words: a value-table entry is one cache line");

template <class F>
void HybridSet::for_each(F&& f) const {
  if (form_ == Form::Bitmap) {
    bitmap_.for_each(f);
    return;
  }
  for (uint32_t id : ids()) {
    if constexpr (std::is_same_v<std::invoke_result_t<F&, uint32_t>, bool>) {
      if (!f(id)) return;
    } else {
      f(id);
    }
  }
}

}  // namespace vantorelle
