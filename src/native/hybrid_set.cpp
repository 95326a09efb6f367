#include "native/hybrid_set.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace vantorelle {

namespace {

// Capacities that fill their allocation: the header and the ids then make 16k + 8 bytes, the
// usable size of the general allocator's chunks.
uint32_t rounded_capacity(uint64_t wanted) {
  const uint64_t rounded = std::max<uint64_t>(8, (wanted + 3) & ~uint64_t{3});
  return static_cast<uint32_t>(std::min<uint64_t>(rounded, HybridSet::kSortedCapacity));
}

// Whether a sorted block with room for `capacity` ids is worth keeping instead of a roaring
// bitmap of ids over `chunks` 2^16-id chunks (which holds at most `capacity` of them). Bytes with
// allocation headers: a block 24 + 4 per id of room; a bitmap about 64 for itself and its arrays,
// 75 per chunk (an entry in each array, a container and its id array) and 2 per id. The block is
// kept only where it takes at most half the bitmap's memory: a query reads a sorted set by
// building a bitmap, where it copies a bitmap set, which costs more the more ids there are.
// Asked with the room a block would grow to, so a set of one chunk is sorted up to 12 ids, of
// two up to 20, of five up to 48, of sixteen or more up to the cap.
bool sorted_pays(std::size_t capacity, std::size_t chunks) {
  const std::size_t block = 24 + 4 * capacity;
  const std::size_t bitmap = 64 + 75 * chunks + 2 * capacity;
  return capacity <= HybridSet::kSortedCapacity && 2 * block <= bitmap;
}

// The chunks that ascending `ids` touch.
std::size_t chunks_of(const uint32_t* ids, std::size_t count) {
  std::size_t chunks = 0;
  for (std::size_t i = 0; i < count; ++i) chunks += i == 0 || (ids[i] >> 16) != (ids[i - 1] >> 16);
  return chunks;
}

}  // namespace

HybridSet::Sorted* HybridSet::Sorted::make(uint32_t capacity) {
  capacity = rounded_capacity(capacity);
  void* block = std::malloc(sizeof(Sorted) + sizeof(uint32_t) * capacity);
  if (block == nullptr) throw std::bad_alloc();
  return new (block) Sorted{0, capacity};
}

void HybridSet::Sorted::free(Sorted* block) noexcept { std::free(block); }

HybridSet HybridSet::single(uint32_t id) noexcept {
  HybridSet set;
  set.small_[0] = id;
  set.length_ = 1;
  set.form_ = Form::Small;
  return set;
}

HybridSet HybridSet::from_bitmap(Bitmap bitmap) noexcept {
  HybridSet set;
  set.become_bitmap(std::move(bitmap));
  return set;
}

HybridSet::HybridSet(HybridSet&& other) noexcept : length_(other.length_), form_(other.form_) {
  switch (form_) {
    case Form::Small: std::copy(other.small_, other.small_ + length_, small_); break;
    case Form::Sorted: sorted_ = other.sorted_; break;
    case Form::Bitmap: new (&bitmap_) Bitmap(std::move(other.bitmap_)); break;
    case Form::Empty: break;
  }
  // The block changed hands; the moved-from bitmap holds nothing but is still destroyed.
  if (other.form_ == Form::Bitmap) other.bitmap_.~Bitmap();
  other.form_ = Form::Empty;
  other.length_ = 0;
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this != &other) {
    reset();
    new (this) HybridSet(std::move(other));
  }
  return *this;
}

void HybridSet::reset() noexcept {
  if (form_ == Form::Sorted) {
    Sorted::free(sorted_);
  } else if (form_ == Form::Bitmap) {
    bitmap_.~Bitmap();
  }
  form_ = Form::Empty;
  length_ = 0;
}

void HybridSet::become_sorted(const uint32_t* ids, std::size_t count) {
  Sorted* block = Sorted::make(static_cast<uint32_t>(count));
  std::copy(ids, ids + count, block->ids());
  block->size = static_cast<uint32_t>(count);
  reset();
  sorted_ = block;
  form_ = Form::Sorted;
}

void HybridSet::become_bitmap(Bitmap bitmap) noexcept {
  reset();
  new (&bitmap_) Bitmap(std::move(bitmap));
  form_ = Form::Bitmap;
}

HybridSet HybridSet::copy() const {
  HybridSet set;
  switch (form_) {
    case Form::Small:
      std::copy(small_, small_ + length_, set.small_);
      set.length_ = length_;
      set.form_ = Form::Small;
      break;
    case Form::Sorted: set.become_sorted(sorted_->ids(), sorted_->size); break;
    case Form::Bitmap: set.become_bitmap(bitmap_.copy()); break;
    case Form::Empty: break;
  }
  return set;
}

std::span<const uint32_t> HybridSet::ids() const noexcept {
  if (form_ == Form::Small) return {small_, length_};
  if (form_ == Form::Sorted) return {sorted_->ids(), sorted_->size};
  return {};
}

void HybridSet::add(uint32_t id) {
  switch (form_) {
    case Form::Bitmap: bitmap_.add(id); return;
    case Form::Empty: *this = single(id); return;
    case Form::Small: {
      if (std::find(small_, small_ + length_, id) != small_ + length_) return;
      if (length_ < kSmallCapacity) {
        small_[length_++] = id;
        return;
      }
      uint32_t grown[kSmallCapacity + 1];
      std::copy(small_, small_ + length_, grown);
      grown[length_] = id;
      std::sort(grown, grown + kSmallCapacity + 1);
      become_sorted(grown, kSmallCapacity + 1);
      return;
    }
    case Form::Sorted: {
      Sorted* block = sorted_;
      uint32_t* at = std::lower_bound(block->ids(), block->ids() + block->size, id);
      if (at != block->ids() + block->size && *at == id) return;
      if (block->size == block->capacity) {
        const bool new_chunk = std::none_of(block->ids(), block->ids() + block->size,
                                            [&](uint32_t other) { return other >> 16 == id >> 16; });
        const uint32_t room = block->capacity == kSortedCapacity ? kSortedCapacity + 1
                                                                  : rounded_capacity(block->capacity + block->capacity / 2);
        if (!sorted_pays(room, chunks_of(block->ids(), block->size) + new_chunk)) {
          Bitmap grown = Bitmap::of_sorted(block->ids(), block->size);
          grown.add(id);
          become_bitmap(std::move(grown));
          return;
        }
        const std::size_t offset = static_cast<std::size_t>(at - block->ids());
        Sorted* larger = Sorted::make(room);
        std::copy(block->ids(), block->ids() + block->size, larger->ids());
        larger->size = block->size;
        Sorted::free(block);
        sorted_ = block = larger;
        at = block->ids() + offset;
      }
      std::copy_backward(at, block->ids() + block->size, block->ids() + block->size + 1);
      *at = id;
      ++block->size;
      return;
    }
  }
}

void HybridSet::add_many(const uint32_t* ids, std::size_t count) {
  // The small form keeps arrival order, so it takes ids one at a time until it grows out of it.
  std::size_t k = 0;
  for (; k < count && (form_ == Form::Empty || form_ == Form::Small); ++k) add(ids[k]);
  if (k == count) return;
  if (form_ == Form::Bitmap) {
    bitmap_.add_many(ids + k, count - k);
  } else {
    merge_sorted(ids + k, count - k);
  }
}

void HybridSet::merge_sorted(const uint32_t* ids, std::size_t count) {
  const Sorted& block = *sorted_;
  if (block.size + count > kSortedCapacity) {
    // Likely past the sorted form; repeats may still bring the batch back within it.
    Bitmap merged = Bitmap::of_sorted(block.ids(), block.size);
    merged.add_many(ids, count);
    if (merged.cardinality() > kSortedCapacity) {
      become_bitmap(std::move(merged));
      return;
    }
    const std::vector<uint32_t> all = merged.to_vector();
    if (all.size() <= block.capacity || sorted_pays(rounded_capacity(all.size()), chunks_of(all.data(), all.size()))) {
      become_sorted(all.data(), all.size());
    } else {
      become_bitmap(std::move(merged));
    }
    return;
  }
  uint32_t incoming[kSortedCapacity];
  std::copy(ids, ids + count, incoming);
  std::sort(incoming, incoming + count);
  uint32_t merged[kSortedCapacity];
  uint32_t* end = std::set_union(block.ids(), block.ids() + block.size, incoming, incoming + count, merged);
  end = std::unique(merged, end);
  const std::size_t size = static_cast<std::size_t>(end - merged);
  if (size <= block.capacity) {
    std::copy(merged, end, sorted_->ids());
    sorted_->size = static_cast<uint32_t>(size);
  } else if (sorted_pays(rounded_capacity(size), chunks_of(merged, size))) {
    become_sorted(merged, size);
  } else {
    become_bitmap(Bitmap::of_sorted(merged, size));
  }
}

void HybridSet::remove(uint32_t id) noexcept {
  switch (form_) {
    case Form::Bitmap: bitmap_.remove(id); return;
    case Form::Empty: return;
    case Form::Small: {
      uint32_t* end = small_ + length_;
      uint32_t* at = std::find(small_, end, id);
      if (at == end) return;
      std::copy(at + 1, end, at);
      --length_;
      return;
    }
    case Form::Sorted: {
      Sorted* block = sorted_;
      uint32_t* end = block->ids() + block->size;
      uint32_t* at = std::lower_bound(block->ids(), end, id);
      if (at == end || *at != id) return;
      std::copy(at + 1, end, at);
      --block->size;
      // Memory follows what the set holds: a block left three-quarters empty is halved.
      if (block->size * 4 <= block->capacity && block->capacity > 8) {
        const uint32_t capacity = rounded_capacity(block->capacity / 2);
        if (void* smaller = std::realloc(block, sizeof(Sorted) + sizeof(uint32_t) * capacity)) {
          sorted_ = static_cast<Sorted*>(smaller);
          sorted_->capacity = capacity;
        }
      }
      return;
    }
  }
}

void HybridSet::leave_sorted_form() {
  if (form_ == Form::Sorted) become_bitmap(Bitmap::of_sorted(sorted_->ids(), sorted_->size));
}

// Each case builds the result before storing it, so a failed allocation leaves the set as it was.
void HybridSet::or_inplace(const HybridSet& other) {
  if (&other == this || other.is_empty_form()) return;
  if (form_ == Form::Empty) {
    *this = other.copy();
  } else if (form_ == Form::Bitmap) {
    if (const Bitmap* b = other.bitmap()) {
      bitmap_.or_inplace(*b);
    } else {
      const std::span<const uint32_t> more = other.ids();
      bitmap_.add_many(more.data(), more.size());
    }
  } else if (const Bitmap* b = other.bitmap()) {
    Bitmap result = to_bitmap();
    result.or_inplace(*b);
    become_bitmap(std::move(result));
  } else {
    HybridSet result = copy();
    const std::span<const uint32_t> more = other.ids();
    result.add_many(more.data(), more.size());
    *this = std::move(result);
  }
}

void HybridSet::and_inplace(const HybridSet& other) {
  if (&other == this) {
    // The intersection of a set with itself is the set; only the empty form changes, into the
    // empty small set, as with any empty operand.
    if (is_empty_form()) form_ = Form::Small;
    return;
  }
  if (is_empty_form() || other.is_empty_form()) {
    reset();
    form_ = Form::Small;
    return;
  }
  if (form_ == Form::Bitmap) {
    if (const Bitmap* b = other.bitmap()) {
      bitmap_.and_inplace(*b);
    } else {
      bitmap_.and_inplace(other.to_bitmap());
    }
  } else if (form_ == Form::Small && other.is_bitmap()) {
    Bitmap result = to_bitmap();
    result.and_inplace(other.bitmap_);
    become_bitmap(std::move(result));
  } else {
    // Filtering in place keeps the order and needs no memory.
    uint32_t* first = form_ == Form::Small ? small_ : sorted_->ids();
    uint32_t* last = form_ == Form::Small ? small_ + length_ : sorted_->ids() + sorted_->size;
    uint32_t* end = std::remove_if(first, last, [&](uint32_t id) { return !other.contains(id); });
    const auto kept = static_cast<uint32_t>(end - first);
    (form_ == Form::Small ? length_ : sorted_->size) = kept;
  }
}

Bitmap HybridSet::as_bitmap() && {
  Bitmap result = form_ == Form::Bitmap ? std::move(bitmap_) : to_bitmap();
  reset();
  return result;
}

Bitmap HybridSet::to_bitmap() const {
  if (form_ == Form::Bitmap) return bitmap_.copy();
  if (form_ == Form::Sorted) return Bitmap::of_sorted(sorted_->ids(), sorted_->size);
  const std::span<const uint32_t> all = ids();
  return all.empty() ? Bitmap() : Bitmap::of(all.data(), all.size());
}

uint64_t HybridSet::size() const noexcept {
  switch (form_) {
    case Form::Small: return length_;
    case Form::Sorted: return sorted_->size;
    case Form::Bitmap: return bitmap_.cardinality();
    case Form::Empty: break;
  }
  return 0;
}

bool HybridSet::contains(uint32_t id) const noexcept {
  switch (form_) {
    case Form::Small: return std::find(small_, small_ + length_, id) != small_ + length_;
    case Form::Sorted: return std::binary_search(sorted_->ids(), sorted_->ids() + sorted_->size, id);
    case Form::Bitmap: return bitmap_.contains(id);
    case Form::Empty: break;
  }
  return false;
}

std::string HybridSet::verify() const {
  if (form_ == Form::Small) {
    if (length_ > kSmallCapacity) {
      return "small set has length " + std::to_string(length_) + ", more than " + std::to_string(kSmallCapacity);
    }
    for (uint32_t i = 0; i < length_; ++i) {
      for (uint32_t j = 0; j < i; ++j) {
        if (small_[i] == small_[j]) {
          return "small set lists id " + std::to_string(small_[i]) + " twice (slots " + std::to_string(j) + " and " +
                 std::to_string(i) + ")";
        }
      }
    }
  } else if (form_ == Form::Sorted) {
    const Sorted& block = *sorted_;
    if (block.size > block.capacity || block.capacity > kSortedCapacity) {
      return "sorted set holds " + std::to_string(block.size) + " ids in room for " + std::to_string(block.capacity);
    }
    for (uint32_t i = 1; i < block.size; ++i) {
      if (block.ids()[i - 1] >= block.ids()[i]) {
        return "sorted set lists id " + std::to_string(block.ids()[i]) + " after " + std::to_string(block.ids()[i - 1]);
      }
    }
  }
  return {};
}

}  // namespace vantorelle
