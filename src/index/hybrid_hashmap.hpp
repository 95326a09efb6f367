// The attribute map of an object: immutable, shared by reference count, in one allocation. Two
// forms:
//  - small (at most kSmallCapacity entries, most objects): a header with the shared Shape (the
//    names, in order) followed by the values, in the same block, found by a linear scan of the
//    shape; one allocation per map and one cache line or two to reach a value;
//  - hash: from the (kSmallCapacity + 1)th name on, a header pointing to a hash table.
// Keys occur once; there is no removal, so a map that became a hash table stays one. Small-form
// order is insertion order (a re-assigned key keeps its place); the hash form's order is
// undefined.
//
// A map never changes once another reference to it may exist: `with` makes the next map. Only a
// holder that can prove it holds the sole reference (see Indexable::assign) may replace a value in
// place, through replace_sole.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/attr_name.hpp"
#include "index/shape.hpp"
#include "index/value.hpp"
#include "native/failure.hpp"
#include "native/prefetch.hpp"
#include "native/scalable.hpp"

namespace vantorelle {

template <class V>
class HybridHashmap {
  using HashForm = std::unordered_map<AttrName, V, AttrNameHash, AttrNameEq>;

 public:
  static constexpr std::size_t kSmallCapacity = 8;
  static constexpr std::size_t kHashInitialCapacity = 28;

  // A counted reference to a map; copies need no lock. The last one frees the map and so drops its
  // values (PyValue handles queue their references when the interpreter lock is not held).
  class Ref {
   public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : map_(other.map_) {
      if (map_) map_->refs_.fetch_add(1, std::memory_order_relaxed);
    }
    Ref(Ref&& other) noexcept : map_(std::exchange(other.map_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
      std::swap(map_, other.map_);
      return *this;
    }
    ~Ref() {
      if (map_ && map_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(map_);
    }
    const HybridHashmap* get() const noexcept { return map_; }
    const HybridHashmap& operator*() const noexcept { return *map_; }
    const HybridHashmap* operator->() const noexcept { return map_; }
    explicit operator bool() const noexcept { return map_ != nullptr; }
    void reset() noexcept { *this = Ref(); }

    // Gives up the reference without dropping it, and takes one over; for holders that keep the
    // map behind an atomic pointer.
    HybridHashmap* release() noexcept { return std::exchange(map_, nullptr); }
    static Ref adopt(HybridHashmap* map) noexcept {
      Ref ref;
      ref.map_ = map;
      return ref;
    }
    // A new reference to a map someone keeps alive meanwhile.
    static Ref share(const HybridHashmap* map) noexcept {
      map->refs_.fetch_add(1, std::memory_order_relaxed);
      return adopt(const_cast<HybridHashmap*>(map));
    }

   private:
    HybridHashmap* map_ = nullptr;
  };

  HybridHashmap(const HybridHashmap&) = delete;
  HybridHashmap& operator=(const HybridHashmap&) = delete;

  static Ref make_empty() { return Ref::adopt(allocate(ShapeRef(), 0)); }

  // A map of distinct `names` with their `values`, in that order.
  static Ref make(std::vector<AttrName> names, std::vector<V> values) {
    if (names.size() <= kSmallCapacity) {
      std::size_t count = values.size();
      HybridHashmap* map = allocate(Shape::of(std::move(names)), count);
      for (std::size_t i = 0; i < count; ++i) map->construct_value(i, std::move(values[i]));
      return Ref::adopt(map);
    }
    auto hash = std::make_unique<HashForm>();
    hash->reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) hash->insert_or_assign(std::move(names[i]), std::move(values[i]));
    return Ref::adopt(allocate_hash(std::move(hash)));
  }
  // A small map of `shape`'s names with `values` (as many), in that order.
  static Ref make(ShapeRef shape, std::span<V> values) {
    if (!shape || shape->size() != values.size() || values.size() > kSmallCapacity) fail("map of a mismatched shape");
    HybridHashmap* map = allocate(std::move(shape), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) map->construct_value(i, std::move(values[i]));
    return Ref::adopt(map);
  }

  // This map with `updates` applied in order (a later update of a name wins), as a new map.
  Ref with(std::span<const std::pair<AttrName, V>> updates) const {
    if (!is_hash()) {
      ShapeRef shape = shape_;
      for (const auto& [name, value] : updates) {
        if (shape && shape->find(name.view()) != Shape::npos) continue;
        if (shape && shape->size() == kSmallCapacity) return Ref::adopt(allocate_hash(hash_form_with(updates)));
        shape = Shape::with(shape.get(), name);
      }
      const std::size_t capacity = shape ? shape->size() : 0;
      HybridHashmap* map = allocate(std::move(shape), capacity);
      std::size_t built = 0;
      try {
        for (; built < count_; ++built) map->construct_value(built, values()[built]);
        for (; built < capacity; ++built) map->construct_value(built, V{});
      } catch (...) {
        map->count_ = static_cast<std::uint32_t>(built);
        destroy(map);
        throw;
      }
      Ref ref = Ref::adopt(map);
      for (const auto& [name, value] : updates) map->values()[map->shape_->find(name.view())] = value;
      return ref;
    }
    return Ref::adopt(allocate_hash(hash_form_with(updates)));
  }

  // Replaces, in place, the values of names the map already has, exchanging each with its update:
  // the replaced values are left in `updates`, for the caller to release outside its locks. False
  // (and nothing changed) if a name is new. For the holder of the sole reference only.
  bool replace_sole(std::span<std::pair<AttrName, V>> updates) {
    std::size_t positions[kSmallCapacity];
    if (is_hash() || updates.size() > kSmallCapacity || !shape_) return false;
    for (std::size_t i = 0; i < updates.size(); ++i) {
      positions[i] = shape_->find(updates[i].first.view());
      if (positions[i] == Shape::npos) return false;
    }
    // A name given twice: the later value wins, as with `with`.
    using std::swap;
    for (std::size_t i = 0; i < updates.size(); ++i) swap(values()[positions[i]], updates[i].second);
    return true;
  }
  // As replace_sole for the one value at `position` of the small form whose shape has `tag`;
  // false, changing nothing, when this map is not that form.
  bool replace_sole_at(std::uint32_t tag, std::size_t position, V& value) noexcept {
    if (tag == 0 || shape_tag() != tag || position >= count_) return false;
    using std::swap;
    swap(values()[position], value);
    return true;
  }
  // Whether the caller's reference is the only one. Meaningful only while no other reference can
  // be made from the caller's (see Indexable::assign).
  bool sole() const noexcept { return refs_.load(std::memory_order_acquire) == 1; }

  // A hint that `map` is about to be read: starts loading its block, header and small-form values
  // (the lines a full small form would cover). Reads nothing, so a map freed meanwhile is only a
  // wasted hint.
  static void prefetch(const HybridHashmap* map) noexcept {
    const char* block = reinterpret_cast<const char*>(map);
    for (std::size_t at = 0; at < header_size() + kSmallCapacity * sizeof(V); at += 64) prefetch_read(block + at);
  }

  std::size_t size() const noexcept { return is_hash() ? hash_->size() : count_; }
  // The small form's names (for_each visits them in this order); null in the hash form and while
  // empty.
  const ShapeRef& shape() const noexcept { return is_hash() ? kNoShape : shape_; }
  bool is_hash() const noexcept { return count_ == kHashForm; }
  // The tag of the small form's shape; 0 in the hash form, while empty, or for an untagged shape.
  std::uint32_t shape_tag() const noexcept { return is_hash() || !shape_ ? 0 : shape_->tag(); }

  const V* get(std::string_view key) const {
    if (is_hash()) {
      auto it = hash_->find(key);
      return it == hash_->end() ? nullptr : &it->second;
    }
    if (!shape_) return nullptr;
    std::size_t at = shape_->find(key);
    return at == Shape::npos ? nullptr : &values()[at];
  }

  // The value at `position` of the small form (position < size(), shape() not null).
  const V& at(std::size_t position) const noexcept { return values()[position]; }

  // Calls f(const AttrName&, const V&) for every entry, in the map's order.
  template <class F>
  void for_each(F&& f) const {
    if (is_hash()) {
      for (const auto& [k, v] : *hash_) f(k, v);
    } else if (shape_) {
      for (std::size_t i = 0; i < count_; ++i) f(shape_->names()[i], values()[i]);
    }
  }

 private:
  // The small form's values follow the header in the same block: values()[i] is shape_'s name i.
  explicit HybridHashmap(ShapeRef shape) : shape_(std::move(shape)) {}
  explicit HybridHashmap(std::unique_ptr<HashForm> hash) : count_(kHashForm), hash_(hash.release()) {}
  ~HybridHashmap() {
    if (is_hash()) {
      delete hash_;
      return;
    }
    for (std::size_t i = 0; i < count_; ++i) values()[i].~V();
    shape_.~ShapeRef();
  }

  static constexpr std::size_t header_size() noexcept {
    return (sizeof(HybridHashmap) + alignof(V) - 1) / alignof(V) * alignof(V);
  }
  V* values() noexcept { return std::launder(reinterpret_cast<V*>(reinterpret_cast<char*>(this) + header_size())); }
  const V* values() const noexcept {
    return std::launder(reinterpret_cast<const V*>(reinterpret_cast<const char*>(this) + header_size()));
  }
  // Values are constructed one by one; count_ counts those built so far, so a failure destroys
  // exactly them.
  void construct_value(std::size_t i, V value) {
    new (&values()[i]) V(std::move(value));
    count_ = static_cast<std::uint32_t>(i + 1);
  }

  // Maps come from the scalable allocator, whose size classes fit a small map more closely than
  // the general allocator's chunks do (six values: 160 bytes against 176).
  static HybridHashmap* allocate(ShapeRef shape, std::size_t capacity) {
    void* block = scalable_allocate(header_size() + capacity * sizeof(V));
    return new (block) HybridHashmap(std::move(shape));
  }
  static HybridHashmap* allocate_hash(std::unique_ptr<HashForm> hash) {
    void* block = scalable_allocate(sizeof(HybridHashmap));
    return new (block) HybridHashmap(std::move(hash));
  }
  static void destroy(HybridHashmap* map) noexcept {
    map->~HybridHashmap();
    scalable_deallocate(map);
  }

  std::unique_ptr<HashForm> hash_form_with(std::span<const std::pair<AttrName, V>> updates) const {
    auto hash = std::make_unique<HashForm>();
    hash->reserve(std::max(kHashInitialCapacity, size() + updates.size()));
    for_each([&](const AttrName& name, const V& value) { hash->emplace(name, value); });
    for (const auto& [name, value] : updates) hash->insert_or_assign(name, value);
    return hash;
  }

  // Marks the hash form in count_, which no small form reaches.
  static constexpr std::uint32_t kHashForm = 0xFFFFFFFFu;
  static inline const ShapeRef kNoShape{};

  // The header is two words, so that a map of six 24-byte values fills the allocator's 160-byte
  // size class.
  mutable std::atomic<std::uint32_t> refs_{1};
  std::uint32_t count_ = 0;  // small form: values built in the block; kHashForm in the hash form
  union {
    ShapeRef shape_;  // small form: the names; null while empty
    HashForm* hash_;                      // hash form: owned
  };
};

using AttributeMap = HybridHashmap<PyValue>;
static_assert(sizeof(AttributeMap) == 16, "a map's header stays two words");

}  // namespace vantorelle
