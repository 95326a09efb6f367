// The attribute names of a small attribute map, in order. Maps with the same names in the same
// order share one Shape, as the interpreter's split-key dicts share their keys: an object pays one
// pointer for its names instead of a copy of each.
//
// Shapes are interned in a process-wide table and leave it with their last map, so the table
// holds only shapes some map uses. Each shape also gets a tag that no other live shape has, while
// tags last. A tag outlives its shape in the hands of those who keep tags (the bindings' name
// positions): it is given to another shape only after they have forgotten it, so a holder may
// rely on a tag naming these names at these positions without keeping the shape alive.
//
// The table's lock is a leaf: held only to look up, add or drop an entry or a tag, never while
// taking another lock. A shape whose last reference goes takes it to leave the table, so no
// reference is dropped under it (lookups count a candidate only if it is not already dying).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <span>
#include <string_view>
#include <vector>

#include "index/attr_name.hpp"

namespace vantorelle {

class Shape;

// A counted reference to an interned Shape, one word (an attribute map's header keeps one).
class ShapeRef {
 public:
  ShapeRef() noexcept = default;
  ShapeRef(const ShapeRef& other) noexcept;
  ShapeRef(ShapeRef&& other) noexcept : shape_(std::exchange(other.shape_, nullptr)) {}
  ShapeRef& operator=(ShapeRef other) noexcept {
    std::swap(shape_, other.shape_);
    return *this;
  }
  ~ShapeRef();

  const Shape* get() const noexcept { return shape_; }
  const Shape& operator*() const noexcept { return *shape_; }
  const Shape* operator->() const noexcept { return shape_; }
  explicit operator bool() const noexcept { return shape_ != nullptr; }
  friend bool operator==(const ShapeRef& a, const ShapeRef& b) noexcept { return a.shape_ == b.shape_; }

 private:
  friend class Shape;
  friend class WeakShapeRef;
  // Takes over one count of `shape`.
  explicit ShapeRef(const Shape* shape) noexcept : shape_(shape) {}
  const Shape* shape_ = nullptr;
};

// A reference that keeps a shape's block but not the shape: lock() gives a ShapeRef while the
// shape is alive, and nothing once its last ShapeRef has gone.
class WeakShapeRef {
 public:
  WeakShapeRef() noexcept = default;
  explicit WeakShapeRef(const ShapeRef& ref) noexcept;
  WeakShapeRef(const WeakShapeRef&) = delete;
  WeakShapeRef(WeakShapeRef&& other) noexcept : shape_(std::exchange(other.shape_, nullptr)) {}
  WeakShapeRef& operator=(WeakShapeRef other) noexcept {
    std::swap(shape_, other.shape_);
    return *this;
  }
  ~WeakShapeRef();
  ShapeRef lock() const noexcept;

 private:
  const Shape* shape_ = nullptr;
};

class Shape {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // The interned shape of `names` (distinct); null for no names.
  static ShapeRef of(std::vector<AttrName> names);
  // The interned shape of `shape`'s names (null: none) followed by `name`, which it lacks.
  static ShapeRef with(const Shape* shape, const AttrName& name);

  std::span<const AttrName> names() const noexcept { return names_; }
  std::size_t size() const noexcept { return names_.size(); }
  // The position of `name`, or npos.
  std::size_t find(std::string_view name) const noexcept {
    for (std::size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == name) return i;
    }
    return npos;
  }

  // Tags are 1..kMaxTag (19 bits, which is what Indexable can pack beside a map's address); while
  // none is free, new shapes get 0: no tag.
  static constexpr std::uint32_t kMaxTag = (1u << 19) - 1;
  std::uint32_t tag() const noexcept { return tag_; }

  // The tags of dead shapes go back into use in two steps, by the one holder of tags: it takes the
  // retired tags, forgets whatever it knows of them, then releases them. Waiting tells cheaply
  // that enough have retired (or that tags ran out) to make that worthwhile.
  static bool retired_tags_waiting() noexcept;
  static std::vector<std::uint32_t> take_retired_tags();
  static void release_tags(std::span<const std::uint32_t> tags) noexcept;

  // How many shapes are interned (for tests: the table follows the live maps).
  static std::size_t interned();

 private:
  // Made only by `of`, under the table's lock, which also guards the tags.
  Shape(std::vector<AttrName> names, std::uint64_t hash);
  friend class ShapeRef;
  friend class WeakShapeRef;
  // Unregisters a shape whose count reached 0, and frees it unless weak references remain.
  static void dispose(const Shape* shape) noexcept;
  static void release_weak(const Shape* shape) noexcept {
    if (shape->weak_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete shape;
  }
  // Counts a new reference unless the shape is dying.
  bool try_share() const noexcept {
    std::uint32_t refs = refs_.load(std::memory_order_relaxed);
    while (refs != 0) {
      if (refs_.compare_exchange_weak(refs, refs + 1, std::memory_order_relaxed)) return true;
    }
    return false;
  }

  // The references held (ShapeRef); 0 once dying, when lookups in the table pass it by.
  mutable std::atomic<std::uint32_t> refs_{1};
  // The WeakShapeRefs, plus one for all ShapeRefs together: the last of either frees the block.
  mutable std::atomic<std::uint32_t> weak_{1};
  std::vector<AttrName> names_;
  std::uint64_t hash_;
  std::uint32_t tag_;
};

inline ShapeRef::ShapeRef(const ShapeRef& other) noexcept : shape_(other.shape_) {
  if (shape_) shape_->refs_.fetch_add(1, std::memory_order_relaxed);
}

inline ShapeRef::~ShapeRef() {
  if (shape_ && shape_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) Shape::dispose(shape_);
}

inline WeakShapeRef::WeakShapeRef(const ShapeRef& ref) noexcept : shape_(ref.get()) {
  if (shape_) shape_->weak_.fetch_add(1, std::memory_order_relaxed);
}

inline WeakShapeRef::~WeakShapeRef() {
  if (shape_) Shape::release_weak(shape_);
}

inline ShapeRef WeakShapeRef::lock() const noexcept {
  return shape_ && shape_->try_share() ? ShapeRef(shape_) : ShapeRef();
}

}  // namespace vantorelle
