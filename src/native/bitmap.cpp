#include "native/bitmap.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "native/failure.hpp"
#include "native/radix_sort.hpp"

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

namespace {

static_assert(std::endian::native == std::endian::little, "the portable format is little-endian");
constexpr size_t kMaxArray = 4096;  // more distinct ids make a chunk a bitset container

// One container of a bitmap being written: its 2^16-id chunk, where its ids start in the
// writer's input, and how many distinct ids it holds.
struct PortableChunk {
  uint16_t key;
  size_t first;
  uint32_t cardinality;
};

// Writes `chunks` in CRoaring's portable serialization (the format without run containers:
// cookie, container count, per container its key and cardinality - 1, then its byte offset, then
// the containers: up to 4096 low halves as a uint16 array, more as an 8 KiB bitset) and reads it
// back, which allocates each container once at its final size. fill(chunk, next chunk's first,
// out) writes one container's bytes. Null if there was no memory.
template <class Fill>
roaring_bitmap_t* write_portable(const PortableChunk* chunks, size_t n_chunks, size_t end, Fill&& fill) {
  constexpr uint32_t kNoRunCookie = 12346;
  const size_t header = 8 + 8 * n_chunks;
  size_t bytes = header;
  for (size_t k = 0; k < n_chunks; ++k) {
    bytes += chunks[k].cardinality > kMaxArray ? 8192 : 2 * size_t{chunks[k].cardinality};
  }
  // Small bitmaps (the sets of single values) keep their buffer on the stack.
  char small_buffer[1024];
  std::vector<char> large_buffer;
  if (bytes > sizeof(small_buffer)) large_buffer.resize(bytes);
  char* out = bytes > sizeof(small_buffer) ? large_buffer.data() : small_buffer;
  auto put32 = [](char* at, uint32_t v) { std::memcpy(at, &v, 4); };
  auto put16 = [](char* at, uint16_t v) { std::memcpy(at, &v, 2); };
  put32(out, kNoRunCookie);
  put32(out + 4, static_cast<uint32_t>(n_chunks));
  size_t offset = header;
  for (size_t k = 0; k < n_chunks; ++k) {
    const PortableChunk& chunk = chunks[k];
    put16(out + 8 + 4 * k, chunk.key);
    put16(out + 8 + 4 * k + 2, static_cast<uint16_t>(chunk.cardinality - 1));
    put32(out + 8 + 4 * n_chunks + 4 * k, static_cast<uint32_t>(offset));
    fill(chunk, k + 1 < n_chunks ? chunks[k + 1].first : end, out + offset);
    offset += chunk.cardinality > kMaxArray ? 8192 : 2 * size_t{chunk.cardinality};
  }
  return roaring_bitmap_portable_deserialize_safe(out, bytes);
}

void put_low_half(char*& at, uint32_t id) {
  const auto low = static_cast<uint16_t>(id);
  std::memcpy(at, &low, 2);
  at += 2;
}

// Reads back the ids marked in `words` (bit b of word w: id base + 64 w + b, with `base` a
// multiple of 2^16).
roaring_bitmap_t* from_marks(uint32_t base, const std::vector<uint64_t>& words) {
  constexpr size_t kChunkWords = 1024;
  std::vector<PortableChunk> chunks;
  for (size_t w = 0; w < words.size(); w += kChunkWords) {
    uint32_t cardinality = 0;
    for (size_t i = w; i < std::min(words.size(), w + kChunkWords); ++i) cardinality += std::popcount(words[i]);
    if (cardinality != 0) {
      chunks.push_back(PortableChunk{static_cast<uint16_t>((base >> 16) + w / kChunkWords), w, cardinality});
    }
  }
  if (chunks.empty()) return roaring_bitmap_create_with_capacity(0);
  return write_portable(chunks.data(), chunks.size(), words.size(), [&](const PortableChunk& chunk, size_t next, char* out) {
    // Chunks without ids are skipped, so the next one may start further than one chunk on.
    const size_t end = std::min(next, chunk.first + kChunkWords);
    if (chunk.cardinality > kMaxArray) {
      // The last chunk of the range may have fewer words; its bitset ends in zeros.
      std::memset(out, 0, 8192);
      std::memcpy(out, words.data() + chunk.first, (end - chunk.first) * sizeof(uint64_t));
      return;
    }
    for (size_t w = chunk.first; w < end; ++w) {
      for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
        put_low_half(out, static_cast<uint32_t>((w - chunk.first) * 64 + static_cast<size_t>(std::countr_zero(bits))));
      }
    }
  });
}

}  // namespace

Bitmap Bitmap::of_sorted(const uint32_t* ids, size_t count) {
  if (count == 0) return Bitmap();
  // The containers and their distinct counts.
  constexpr size_t kSmall = 64;
  PortableChunk small_chunks[kSmall];
  std::vector<PortableChunk> large_chunks;
  if (count > kSmall) large_chunks.resize(std::min<size_t>(count, size_t{1} << 16));
  PortableChunk* chunks = count > kSmall ? large_chunks.data() : small_chunks;
  size_t n_chunks = 0;
  for (size_t i = 0; i < count; ++i) {
    // Ids out of order would make containers out of order and overrun the chunk table: a
    // caller's mistake, answered the slow way rather than with a corrupt bitmap.
    if (i > 0 && ids[i] < ids[i - 1]) return of(ids, count);
    const auto key = static_cast<uint16_t>(ids[i] >> 16);
    if (n_chunks == 0 || chunks[n_chunks - 1].key != key) {
      chunks[n_chunks++] = PortableChunk{key, i, 0};
    } else if (ids[i] == ids[i - 1]) {
      continue;
    }
    ++chunks[n_chunks - 1].cardinality;
  }
  return adopt(write_portable(chunks, n_chunks, count, [&](const PortableChunk& chunk, size_t end, char* out) {
    if (chunk.cardinality > kMaxArray) {
      uint64_t words[1024] = {};
      for (size_t i = chunk.first; i < end; ++i) words[(ids[i] & 0xFFFF) >> 6] |= uint64_t{1} << (ids[i] & 63);
      std::memcpy(out, words, sizeof(words));
      return;
    }
    for (size_t i = chunk.first; i < end; ++i) {
      if (i == chunk.first || ids[i] != ids[i - 1]) put_low_half(out, ids[i]);
    }
  }), kAllocFailed);
}

// Few ids are sorted in place. Many ids within a range of at most 64 times their count are marked
// in a bitset over the range, which is then written container by container: one pass over the
// ids, against the two or three scattering passes of a radix sort. Others are radix-sorted.
Bitmap Bitmap::of_unordered(std::vector<uint32_t>& ids) {
  if (ids.size() <= 256) {
    std::sort(ids.begin(), ids.end());
    return of_sorted(ids.data(), ids.size());
  }
  const auto [low, high] = std::minmax_element(ids.begin(), ids.end());
  const uint32_t base = *low & ~uint32_t{0xFFFF};
  const uint64_t span = uint64_t{*high} - base + 1;
  if (span > 64 * uint64_t{ids.size()}) {
    std::vector<uint32_t> scratch;
    radix_sort(ids, scratch, [](uint32_t id) { return id; });
    return of_sorted(ids.data(), ids.size());
  }
  std::vector<uint64_t> marks((span + 63) / 64);
  for (uint32_t id : ids) marks[(id - base) >> 6] |= uint64_t{1} << ((id - base) & 63);
  return adopt(from_marks(base, marks), kAllocFailed);
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
