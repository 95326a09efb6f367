#include "native/hybrid_set.hpp"

#include <algorithm>

namespace vantorelle {

namespace {

Bitmap bitmap_of(const Small& s) { return Bitmap::of(s.ids.data(), s.length); }

}  // namespace

bool Small::contains(uint32_t id) const noexcept {
  return std::find(ids.begin(), ids.begin() + length, id) != ids.begin() + length;
}

HybridSet Small::or_inplace_small(const Small& other) const {
  Small merged = *this;
  for (uint32_t i = 0; i < other.length; ++i) {
    const uint32_t id = other.ids[i];
    if (merged.contains(id)) continue;
    if (merged.length == kCapacity) {
      Bitmap result = bitmap_of(*this);
      result.add_many(other.ids.data(), other.length);
      return HybridSet::from_bitmap(std::move(result));
    }
    merged.ids[merged.length++] = id;
  }
  return HybridSet::from_small(merged);
}

HybridSet HybridSet::single(uint32_t id) noexcept {
  HybridSet set;
  set.form_ = Small{{id, 0, 0, 0}, 1};
  return set;
}

HybridSet HybridSet::from_small(const Small& small) {
  HybridSet set;
  set.form_ = small;
  return set;
}

HybridSet HybridSet::from_bitmap(Bitmap bitmap) noexcept {
  HybridSet set;
  set.form_ = std::move(bitmap);
  return set;
}

HybridSet HybridSet::copy() const {
  if (const Bitmap* b = bitmap()) return from_bitmap(b->copy());
  HybridSet set;
  if (const Small* s = small()) set.form_ = *s;
  return set;
}

void HybridSet::add(uint32_t id) {
  if (Bitmap* b = std::get_if<Bitmap>(&form_)) {
    b->add(id);
    return;
  }
  if (is_empty_form()) form_ = Small{};
  Small& s = std::get<Small>(form_);
  if (s.contains(id)) return;
  if (s.length < Small::kCapacity) {
    s.ids[s.length++] = id;
    return;
  }
  Bitmap grown = bitmap_of(s);
  grown.add(id);
  form_ = std::move(grown);
}

void HybridSet::add_many(const uint32_t* ids, std::size_t count) {
  std::size_t k = 0;
  for (; k < count && !is_bitmap(); ++k) add(ids[k]);
  if (k < count) std::get<Bitmap>(form_).add_many(ids + k, count - k);
}

void HybridSet::remove(uint32_t id) noexcept {
  if (Bitmap* b = std::get_if<Bitmap>(&form_)) {
    b->remove(id);
    return;
  }
  Small* s = std::get_if<Small>(&form_);
  if (s == nullptr) return;
  auto end = s->ids.begin() + s->length;
  auto it = std::find(s->ids.begin(), end, id);
  if (it == end) return;
  std::copy(it + 1, end, it);
  --s->length;
}

// Each case builds the result before storing it, so a failed allocation leaves the set as it was.
void HybridSet::or_inplace(const HybridSet& other) {
  if (&other == this || other.is_empty_form()) return;
  const Small* other_small = other.small();
  const Bitmap* other_bitmap = other.bitmap();
  if (is_empty_form()) {
    form_ = other.copy().form_;
  } else if (Small* s = std::get_if<Small>(&form_)) {
    if (other_small) {
      form_ = s->or_inplace_small(*other_small).form_;
    } else {
      Bitmap result = bitmap_of(*s);
      result.or_inplace(*other_bitmap);
      form_ = std::move(result);
    }
  } else {
    Bitmap& b = std::get<Bitmap>(form_);
    if (other_small) {
      b.add_many(other_small->ids.data(), other_small->length);
    } else {
      b.or_inplace(*other_bitmap);
    }
  }
}

void HybridSet::and_inplace(const HybridSet& other) {
  if (&other == this) {
    // The intersection of a set with itself is the set; only the empty form changes, into the
    // empty small set, as with any empty operand.
    if (is_empty_form()) form_ = Small{};
    return;
  }
  if (is_empty_form() || other.is_empty_form()) {
    form_ = Small{};
    return;
  }
  const Small* other_small = other.small();
  const Bitmap* other_bitmap = other.bitmap();
  if (Small* s = std::get_if<Small>(&form_)) {
    if (other_small) {
      Small kept;
      for (uint32_t i = 0; i < s->length; ++i) {
        if (other_small->contains(s->ids[i])) kept.ids[kept.length++] = s->ids[i];
      }
      *s = kept;
    } else {
      Bitmap result = bitmap_of(*s);
      result.and_inplace(*other_bitmap);
      form_ = std::move(result);
    }
  } else {
    Bitmap& b = std::get<Bitmap>(form_);
    if (other_small) {
      b.and_inplace(bitmap_of(*other_small));
    } else {
      b.and_inplace(*other_bitmap);
    }
  }
}

Bitmap HybridSet::as_bitmap() && {
  Bitmap result = [&] {
    if (Bitmap* b = std::get_if<Bitmap>(&form_)) return std::move(*b);
    if (const Small* s = small()) return bitmap_of(*s);
    return Bitmap();
  }();
  form_ = std::monostate{};
  return result;
}

Bitmap HybridSet::to_bitmap() const {
  if (const Bitmap* b = bitmap()) return b->copy();
  if (const Small* s = small()) return bitmap_of(*s);
  return Bitmap();
}

uint64_t HybridSet::size() const noexcept {
  if (const Small* s = small()) return s->length;
  if (const Bitmap* b = bitmap()) return b->cardinality();
  return 0;
}

bool HybridSet::contains(uint32_t id) const noexcept {
  if (const Small* s = small()) return s->contains(id);
  if (const Bitmap* b = bitmap()) return b->contains(id);
  return false;
}

std::string HybridSet::verify() const {
  const Small* s = small();
  if (s == nullptr) return {};
  if (s->length > Small::kCapacity) {
    return "small set has length " + std::to_string(s->length) + ", more than 4";
  }
  for (uint32_t i = 0; i < s->length; ++i) {
    for (uint32_t j = 0; j < i; ++j) {
      if (s->ids[i] == s->ids[j]) {
        return "small set lists id " + std::to_string(s->ids[i]) + " twice (slots " +
               std::to_string(j) + " and " + std::to_string(i) + ")";
      }
    }
  }
  return {};
}

}  // namespace vantorelle
