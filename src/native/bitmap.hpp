// Bitmap: the one owner of a CRoaring bitmap of 32-bit ids.
//
// CRoaring is the release in third_party/croaring, linked in statically. Every const member only
// reads the bitmap, so any number of threads may call const members on one Bitmap at once while
// nobody mutates it.
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <vector>

// Newer CRoaring puts its C API into roaring::api when compiled as C++; older ones use the global
// namespace. Naming the namespace first makes the directive valid against both.
namespace roaring {
namespace api {}
}  // namespace roaring

namespace vantorelle {

using namespace ::roaring::api;

// Failure text of an operation that returns a new bitmap computed from others (intersection,
// difference, union, copy) when CRoaring could not allocate it.
inline constexpr const char* kNullBitmap = "assertion failed: !p.is_null()";

class Bitmap {
 public:
  // An empty bitmap, created with capacity 0. Throws InternalFailure(kAllocFailed) when CRoaring
  // cannot allocate it.
  Bitmap();
  static Bitmap with_capacity(uint32_t capacity);
  static Bitmap of(std::initializer_list<uint32_t> ids);
  static Bitmap of(const uint32_t* ids, size_t count);
  // The same from ascending ids (repeats allowed): each 2^16-id chunk becomes one container,
  // allocated once at its size and filled in one copy, instead of growing id by id. Ids out of
  // order are still a correct bitmap, made the slow way.
  static Bitmap of_sorted(const uint32_t* ids, size_t count);
  // The same from ids in any order (repeats allowed), with each container written once; `ids`
  // is work space, left in an unspecified order.
  static Bitmap of_unordered(std::vector<uint32_t>& ids);

  // Moved-from state: the source holds no allocation and behaves as an empty bitmap. Readers see
  // no ids; a mutator (and the non-const raw()) allocates a fresh bitmap first.
  Bitmap(Bitmap&& other) noexcept : bitmap_(std::exchange(other.bitmap_, nullptr)) {}
  Bitmap& operator=(Bitmap&& other) noexcept;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap();

  // The only way to duplicate: a deep copy of every container.
  Bitmap copy() const;

  void add(uint32_t id);
  void add_many(const uint32_t* ids, size_t count);
  void remove(uint32_t id);
  void clear();

  // Each in-place operation accepts `other` being this very bitmap.
  void or_inplace(const Bitmap& other);
  void and_inplace(const Bitmap& other);
  void andnot_inplace(const Bitmap& other);

  static Bitmap and_(const Bitmap& a, const Bitmap& b);
  static Bitmap andnot(const Bitmap& a, const Bitmap& b);
  // Union of all bitmaps in `bitmaps`; null entries are skipped.
  static Bitmap or_many(const std::vector<const Bitmap*>& bitmaps);
  static Bitmap or_many(const roaring_bitmap_t* const* bitmaps, size_t count);

  bool contains(uint32_t id) const noexcept { return roaring_bitmap_contains(view(), id); }
  uint64_t cardinality() const noexcept { return roaring_bitmap_get_cardinality(view()); }
  bool empty() const noexcept { return roaring_bitmap_is_empty(view()); }
  // Both are meaningful only when the bitmap is not empty: maximum() is then 0 and minimum()
  // UINT32_MAX, which are also legitimate ids.
  uint32_t maximum() const noexcept { return roaring_bitmap_maximum(view()); }
  uint32_t minimum() const noexcept { return roaring_bitmap_minimum(view()); }

  // Calls f(id) for every id in ascending order. When f returns bool, false stops the walk. An
  // exception thrown by f is carried across CRoaring's C frames and rethrown here.
  template <class F>
  void for_each(F&& f) const;

  std::vector<uint32_t> to_vector() const;

  friend bool operator==(const Bitmap& a, const Bitmap& b) noexcept {
    return roaring_bitmap_equals(a.view(), b.view());
  }

  // Mutable access for C API calls; never null (a moved-from bitmap is re-created first).
  roaring_bitmap_t* raw();
  // Read access; never null. A moved-from bitmap yields a shared, never-mutated empty bitmap.
  const roaring_bitmap_t* raw() const noexcept { return view(); }

 private:
  explicit Bitmap(roaring_bitmap_t* bitmap) noexcept : bitmap_(bitmap) {}
  static Bitmap adopt(roaring_bitmap_t* bitmap, const char* failure);
  static const roaring_bitmap_t* shared_empty() noexcept;

  const roaring_bitmap_t* view() const noexcept { return bitmap_ ? bitmap_ : shared_empty(); }
  roaring_bitmap_t* mutate();

  // Null only in the moved-from state.
  roaring_bitmap_t* bitmap_;
};

template <class F>
void Bitmap::for_each(F&& f) const {
  struct Walk {
    std::remove_reference_t<F>* f;
    std::exception_ptr error;
  };
  Walk walk{&f, nullptr};
  roaring_iterate(
      view(),
      [](uint32_t id, void* param) -> bool {
        auto* w = static_cast<Walk*>(param);
        try {
          if constexpr (std::is_same_v<std::invoke_result_t<decltype(*w->f), uint32_t>, bool>) {
            return (*w->f)(id);
          } else {
            (*w->f)(id);
            return true;
          }
        } catch (...) {
          // Unwinding through CRoaring's C frames is not guaranteed to work; stop the walk
          // instead and rethrow once back in C++.
          w->error = std::current_exception();
          return false;
        }
      },
      &walk);
  if (walk.error) std::rethrow_exception(walk.error);
}

}  // namespace vantorelle
