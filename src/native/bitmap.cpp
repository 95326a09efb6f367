#include "native/bitmap.hpp"

#include "native/failure.hpp"

namespace vantorelle {

Bitmap::Bitmap() : Bitmap(with_capacity(0)) {}

Bitmap Bitmap::with_capacity(uint32_t capacity) {
  return adopt(roaring_bitmap_create_with_capacity(capacity), kAllocFailed);
}

Bitmap Bitmap::of(std::initializer_list<uint32_t> ids) { return of(ids.begin(), ids.size()); }

Bitmap Bitmap::of(const uint32_t* ids, size_t count) {
  Bitmap result = with_capacity(0);
  result.add_many(ids, count);
  return result;
}

Bitmap Bitmap::adopt(roaring_bitmap_t* bitmap, const char* failure) {
  if (bitmap == nullptr) fail(failure);
  return Bitmap(bitmap);
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    if (bitmap_) roaring_bitmap_free(bitmap_);
    bitmap_ = std::exchange(other.bitmap_, nullptr);
  }
  return *this;
}

Bitmap::~Bitmap() {
  if (bitmap_) roaring_bitmap_free(bitmap_);
}

const roaring_bitmap_t* Bitmap::shared_empty() noexcept {
  // Created once and deliberately never freed: a reader may still look at it while other
  // statics are destroyed at exit. Should the allocation fail, a zeroed roaring_bitmap_t is an
  // empty bitmap to every read-only call.
  static const roaring_bitmap_t* const empty = [] {
    static const roaring_bitmap_t zeroed{};
    const roaring_bitmap_t* created = roaring_bitmap_create_with_capacity(0);
    return created ? created : &zeroed;
  }();
  return empty;
}

roaring_bitmap_t* Bitmap::mutate() {
  if (bitmap_ == nullptr) *this = with_capacity(0);
  return bitmap_;
}

roaring_bitmap_t* Bitmap::raw() { return mutate(); }

Bitmap Bitmap::copy() const { return adopt(roaring_bitmap_copy(view()), kNullBitmap); }

void Bitmap::add(uint32_t id) { roaring_bitmap_add(mutate(), id); }

void Bitmap::add_many(const uint32_t* ids, size_t count) {
  if (count == 0) return;
  if (count == 1) {
    roaring_bitmap_add(mutate(), ids[0]);
  } else {
    roaring_bitmap_add_many(mutate(), count, ids);
  }
}

void Bitmap::remove(uint32_t id) {
  if (bitmap_) roaring_bitmap_remove(bitmap_, id);
}

void Bitmap::clear() {
  if (bitmap_) roaring_bitmap_clear(bitmap_);
}

void Bitmap::or_inplace(const Bitmap& other) {
  if (this == &other) return;
  roaring_bitmap_or_inplace(mutate(), other.view());
}

void Bitmap::and_inplace(const Bitmap& other) {
  if (this == &other) return;
  roaring_bitmap_and_inplace(mutate(), other.view());
}

void Bitmap::andnot_inplace(const Bitmap& other) {
  if (this == &other) {
    clear();
    return;
  }
  roaring_bitmap_andnot_inplace(mutate(), other.view());
}

Bitmap Bitmap::and_(const Bitmap& a, const Bitmap& b) {
  return adopt(roaring_bitmap_and(a.view(), b.view()), kNullBitmap);
}

Bitmap Bitmap::andnot(const Bitmap& a, const Bitmap& b) {
  return adopt(roaring_bitmap_andnot(a.view(), b.view()), kNullBitmap);
}

Bitmap Bitmap::or_many(const std::vector<const Bitmap*>& bitmaps) {
  std::vector<const roaring_bitmap_t*> raws;
  raws.reserve(bitmaps.size());
  for (const Bitmap* b : bitmaps) {
    if (b) raws.push_back(b->view());
  }
  return or_many(raws.data(), raws.size());
}

Bitmap Bitmap::or_many(const roaring_bitmap_t* const* bitmaps, size_t count) {
  // Old CRoaring releases differ on what zero or one input returns; neither needs a union.
  if (count == 0) return with_capacity(0);
  if (count == 1) return adopt(roaring_bitmap_copy(bitmaps[0]), kNullBitmap);
  // The C signature takes a non-const array of const pointers but only reads it.
  return adopt(roaring_bitmap_or_many(count, const_cast<const roaring_bitmap_t**>(bitmaps)),
               kNullBitmap);
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> ids(cardinality());
  if (!ids.empty()) roaring_bitmap_to_uint32_array(view(), ids.data());
  return ids;
}

}  // namespace vantorelle
