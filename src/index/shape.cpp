#include "index/shape.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "native/locks.hpp"

namespace vantorelle {
namespace {


// Tags go round: a dying shape's tag is retired, and becomes free again once the holders of tags
// have forgotten it (take_retired_tags / release_tags). The lists hold at most the tags handed
// out, which is at most the most shapes alive at once plus what waits to be forgotten.
struct ShapeTable {
  SpinLock lock;
  // By hash of the name sequence; a shape is listed from its birth until it is disposed of.
  std::unordered_multimap<std::uint64_t, const Shape*> shapes;
  std::uint32_t next_tag = 1;  // the next never-used tag; past kMaxTag, all have been used
  std::vector<std::uint32_t> free_tags;
  std::vector<std::uint32_t> retired_tags;
};

// How many retired tags make it worth asking the holders to forget them.
constexpr std::size_t kRetiredBatch = 64;
std::atomic<bool> RETIRED_WAITING{false};

// Never destroyed: shapes may outlive static destruction in the interpreter's last collections.
ShapeTable& table() {
  static ShapeTable* TABLE = new ShapeTable();
  return *TABLE;
}

std::uint64_t hash_of(std::span<const AttrName> names) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ names.size();
  for (const AttrName& name : names) h = (h ^ AttrNameHash{}(name)) * 0x100000001b3ull;
  return h;
}

bool same_names(std::span<const AttrName> a, std::span<const AttrName> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i])) return false;
  }
  return true;
}

void unregister(const Shape* shape, std::uint64_t hash) {
  ShapeTable& t = table();
  std::lock_guard guard(t.lock);
  if (shape->tag() != 0) {
    try {
      t.retired_tags.push_back(shape->tag());
    } catch (const std::bad_alloc&) {
      // The tag is lost, which only costs its reuse.
    }
    const bool ran_out = t.free_tags.empty() && t.next_tag > Shape::kMaxTag;
    if (t.retired_tags.size() >= kRetiredBatch || ran_out) RETIRED_WAITING.store(true, std::memory_order_relaxed);
  }
  auto [first, last] = t.shapes.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (it->second == shape) {
      t.shapes.erase(it);
      return;
    }
  }
}

}  // namespace

Shape::Shape(std::vector<AttrName> names, std::uint64_t hash) : names_(std::move(names)), hash_(hash), tag_(0) {
  ShapeTable& t = table();  // its lock is held (see the declaration)
  if (!t.free_tags.empty()) {
    tag_ = t.free_tags.back();
    t.free_tags.pop_back();
  } else if (t.next_tag <= kMaxTag) {
    tag_ = t.next_tag++;
  }
}

bool Shape::retired_tags_waiting() noexcept { return RETIRED_WAITING.load(std::memory_order_relaxed); }

std::vector<std::uint32_t> Shape::take_retired_tags() {
  ShapeTable& t = table();
  std::vector<std::uint32_t> taken;
  std::lock_guard guard(t.lock);
  taken.swap(t.retired_tags);
  RETIRED_WAITING.store(false, std::memory_order_relaxed);
  return taken;
}

void Shape::release_tags(std::span<const std::uint32_t> tags) noexcept {
  ShapeTable& t = table();
  std::lock_guard guard(t.lock);
  try {
    t.free_tags.insert(t.free_tags.end(), tags.begin(), tags.end());
  } catch (const std::bad_alloc&) {
    // Those tags are lost, which only costs their reuse.
  }
}

void Shape::dispose(const Shape* shape) noexcept {
  unregister(shape, shape->hash_);
  release_weak(shape);
}

ShapeRef Shape::of(std::vector<AttrName> names) {
  if (names.empty()) return {};
  const std::uint64_t hash = hash_of(names);
  ShapeTable& t = table();
  // No reference is dropped under the lock: a candidate is counted only while it is not dying.
  std::lock_guard guard(t.lock);
  auto [first, last] = t.shapes.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    const Shape* candidate = it->second;
    if (same_names(candidate->names(), names) && candidate->try_share()) return ShapeRef(candidate);
  }
  std::unique_ptr<Shape> shape(new Shape(std::move(names), hash));
  t.shapes.emplace(hash, shape.get());
  return ShapeRef(shape.release());
}

ShapeRef Shape::with(const Shape* shape, const AttrName& name) {
  std::vector<AttrName> names;
  names.reserve((shape ? shape->size() : 0) + 1);
  if (shape) names.assign(shape->names_.begin(), shape->names_.end());
  names.push_back(name);
  return of(std::move(names));
}

std::size_t Shape::interned() {
  ShapeTable& t = table();
  std::lock_guard guard(t.lock);
  return t.shapes.size();
}

}  // namespace vantorelle
