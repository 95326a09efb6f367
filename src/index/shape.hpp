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
// The table's lock is a leaf: held only to look up, add or drop an entry or a tag,
// never while taking another lock; a shape whose last reference goes while a thread holds the
// table lock would deadlock, so lookups drop the shapes they looked at only after releasing it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "index/attr_name.hpp"

namespace vantorelle {

class Shape {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // The interned shape of `names` (distinct); null for no names.
  static std::shared_ptr<const Shape> of(std::vector<AttrName> names);
  // The interned shape of `shape`'s names (null: none) followed by `name`, which it lacks.
  static std::shared_ptr<const Shape> with(const Shape* shape, const AttrName& name);

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

  std::vector<AttrName> names_;
  std::uint64_t hash_;
  std::uint32_t tag_;
};

}  // namespace vantorelle
