#include "index/shape.hpp"

#include <mutex>
#include <unordered_map>

#include "native/locks.hpp"

namespace vantorelle {
namespace {

struct Entry {
  const Shape* shape;  // identifies the entry once the weak reference has expired
  std::weak_ptr<const Shape> live;
};

struct ShapeTable {
  SpinLock lock;
  std::unordered_multimap<std::uint64_t, Entry> shapes;  // by hash of the name sequence
};

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
  auto [first, last] = t.shapes.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (it->second.shape == shape) {
      t.shapes.erase(it);
      return;
    }
  }
}

// The next tag to hand out; past kMaxTag, tags have run out. Only ever read and moved under the
// table's lock (shapes are made under it).
std::uint32_t NEXT_TAG = 1;

}  // namespace

Shape::Shape(std::vector<AttrName> names, std::uint64_t hash) : names_(std::move(names)), hash_(hash), tag_(0) {
  if (NEXT_TAG <= kMaxTag) tag_ = NEXT_TAG++;
}

std::shared_ptr<const Shape> Shape::of(std::vector<AttrName> names) {
  if (names.empty()) return nullptr;
  const std::uint64_t hash = hash_of(names);
  ShapeTable& t = table();
  std::vector<std::shared_ptr<const Shape>> looked_at;  // dropped after the lock (see the header)
  std::lock_guard guard(t.lock);
  auto [first, last] = t.shapes.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    std::shared_ptr<const Shape> candidate = it->second.live.lock();
    if (candidate && same_names(candidate->names(), names)) return candidate;
    looked_at.push_back(std::move(candidate));
  }
  auto* raw = new Shape(std::move(names), hash);
  std::shared_ptr<const Shape> shape(raw, [](const Shape* dying) {
    unregister(dying, dying->hash_);
    delete dying;
  });
  t.shapes.emplace(hash, Entry{raw, shape});
  return shape;
}

std::shared_ptr<const Shape> Shape::with(const Shape* shape, const AttrName& name) {
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
