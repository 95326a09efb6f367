#include "index/index_api.hpp"

#include <algorithm>
#include <unordered_map>

#include "index/indexable.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"

namespace vantorelle {
namespace {

// Unites the ids of `set` into `into`.
void unite_into(Bitmap& into, const HybridSet& set) {
  if (const Bitmap* bitmap = set.bitmap()) {
    into.or_inplace(*bitmap);
  } else {
    set.for_each([&](std::uint32_t id) { into.add(id); });
  }
}

std::uint64_t estimate_cost(const AttributeTable& table, const AttrName& name, const std::vector<PyValue>& values) {
  auto it = table.find(name.view());
  if (it == table.end()) return 0;
  std::uint64_t cost = 0;
  for (const PyValue& value : values) {
    if (const HybridSet* ids = it->second->find(value)) cost += ids->size();
  }
  return cost;
}

// Values of one name are united, names are intersected, cheapest name first; a name the table
// does not hold, or an empty intermediate result, ends the work at once.
Bitmap filter_table(const AttributeTable& table, const HashQuery& query) {
  if (query.empty() || table.empty()) return Bitmap();
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  order.reserve(query.size());
  for (std::size_t i = 0; i < query.size(); ++i) {
    order.emplace_back(query.size() > 1 ? estimate_cost(table, query[i].first, query[i].second) : 0, i);
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  Bitmap result;
  bool first = true;
  std::vector<const HybridSet*> found;
  for (const auto& [cost, i] : order) {
    const auto& [name, values] = query[i];
    auto it = table.find(name.view());
    if (it == table.end()) return Bitmap();
    if (!first && result.empty()) return Bitmap();
    found.clear();
    for (const PyValue& value : values) {
      if (const HybridSet* ids = it->second->find(value)) found.push_back(ids);
    }
    if (!first && found.size() == 1) {
      // One value: intersect with its set directly instead of copying it first.
      if (const Bitmap* bitmap = found.front()->bitmap()) {
        result.and_inplace(*bitmap);
      } else {
        result.and_inplace(found.front()->to_bitmap());
      }
      continue;
    }
    Bitmap scratch;
    for (const HybridSet* ids : found) unite_into(scratch, *ids);
    if (first) {
      result = std::move(scratch);
      first = false;
    } else {
      result.and_inplace(scratch);
    }
  }
  return result;
}

}  // namespace

std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent, std::uint32_t level) {
  return std::make_shared<IndexAPI>(std::move(parent), level);
}

IndexAPI::IndexAPI(std::weak_ptr<IndexAPI> parent, std::uint32_t level)
    : index_(std::make_shared<Locked<AttributeTable>>()),
      items_(std::make_shared<Locked<Slots>>()),
      ids_(std::make_shared<Locked<Bitmap>>()),
      parent_(std::move(parent)),
      level_(level) {}

void IndexAPI::run(IndexWork& work) {
  py::DeferReleases defer;
  while (!work.empty()) {
    NestedJob job = std::move(work.front());
    work.pop_front();
    if (job.kind == NestedJob::Kind::Add) {
      job.core->nested_add(job.obj, job.parent_id, work);
    } else {
      job.core->nested_remove(job.obj, job.parent_id, work);
    }
  }
}

void IndexAPI::add_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value,
                         IndexWork& work) {
  auto it = table.find(name.view());
  if (it == table.end()) {
    it = table.emplace(name, std::make_unique<QueryMap>(weak_from_this(), level_ + 1)).first;
  }
  it->second->insert(value, id, work);
}

void IndexAPI::remove_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value,
                            IndexWork& work) {
  auto it = table.find(name.view());
  if (it == table.end()) return;
  QueryMap& map = *it->second;
  // The range tree and the nested core are withdrawn from whether or not the value table still
  // lists the value (reduce may have emptied or pruned its set).
  map.remove_id(value, id, work);
  if (map.find(value) != nullptr) map.check_prune(value);
  if (map.is_empty()) table.erase(it);
}

void IndexAPI::index_attributes(AttributeTable& table, Indexable& obj, IndexWork& work) {
  Snapshot snapshot = obj.snapshot_for_add();
  std::uint32_t id = obj.id();
  snapshot->for_each([&](const AttrName& name, const PyValue& value) {
    if (!name.is_private()) add_index(table, id, name, value, work);
  });
}

void IndexAPI::add_object(const PyHandle& obj) {
  py::DeferReleases defer;
  Indexable& native = native_of(obj.get());
  // Membership first: an assignment that starts after this point re-indexes this core.
  native.add_index(shared_from_this());
  PyHandle replaced;
  {
    auto guard = items_->lock.write();
    replaced = items_->value.put(native.id(), obj);
  }
  {
    auto guard = ids_->lock.write();
    ids_->value.add(native.id());
  }
  IndexWork work;
  {
    auto guard = index_->lock.write();
    index_attributes(index_->value, native, work);
  }
  run(work);
}

void IndexAPI::fill_slots(const std::vector<PyHandle>& objs) {
  py::DeferReleases defer;
  std::vector<PyHandle> replaced;
  auto guard = items_->lock.write();
  for (const PyHandle& obj : objs) {
    PyHandle old = items_->value.put(native_of(obj.get()).id(), obj);
    if (old.get()) replaced.push_back(std::move(old));
  }
  guard.unlock();
}

void IndexAPI::add_object_many(const std::vector<PyHandle>& objs) {
  py::DeferReleases defer;
  {
    auto guard = ids_->lock.write();
    for (const PyHandle& obj : objs) ids_->value.add(native_of(obj.get()).id());
  }
  IndexWork work;
  {
    auto guard = index_->lock.write();
    for (const PyHandle& obj : objs) index_attributes(index_->value, native_of(obj.get()), work);
  }
  run(work);
}

void IndexAPI::update_index(RwLock::WriteGuard guard, const AttrName& name, const PyValue* previous,
                            const PyValue& value, std::uint32_t id) {
  py::DeferReleases defer;
  IndexWork work;
  {
    RwLock::WriteGuard held = std::move(guard);
    if (name.is_private()) return;
    if (previous != nullptr) remove_index(index_->value, id, name, *previous, work);
    add_index(index_->value, id, name, value, work);
  }
  run(work);
}

void IndexAPI::nested_add(const PyHandle& obj, std::uint32_t parent_id, IndexWork& work) {
  if (level_ > kMaxNestingDepth) return;
  Indexable& nested = native_of(obj.get());
  std::uint32_t id = nested.id();
  // A value that already holds its holder (directly or further up) is a cycle: it stays in the
  // value table, but the descent stops here.
  // Items of a top-level core have no holders, so only nested owners can close a cycle.
  if (auto owner = parent_.lock(); owner && owner->level_ > 0) {
    if (owner->ancestors_of(parent_id).count(id) != 0) return;
  }
  nested.add_index(shared_from_this());
  {
    // The slot and the id set change together, so a racing removal of the same object cannot
    // take the id away from a slot that was just filled again.
    auto guard = items_->lock.write();
    Slots& slots = items_->value;
    if (slots.get(id) != nullptr) {
      auto it = slots.links.find(id);
      if (it != slots.links.end()) it->second.parent_ids.add(parent_id);
      return;
    }
    slots.put(id, obj);
    slots.links[id] = StoredItemParent{HybridSet::single(parent_id), weak_from_this()};
    auto ids_guard = ids_->lock.write();
    ids_->value.add(id);
  }
  auto guard = index_->lock.write();
  index_attributes(index_->value, nested, work);
}

void IndexAPI::nested_remove(const PyHandle& obj, std::uint32_t parent_id, IndexWork& work) {
  Indexable& nested = native_of(obj.get());
  std::uint32_t id = nested.id();
  PyHandle dropped;  // released after the locks below
  auto table_guard = index_->lock.write();
  {
    auto guard = items_->lock.write();
    Slots& slots = items_->value;
    // Already withdrawn (re-assignments inside cycles held by several indexes get here): nothing.
    if (slots.get(id) == nullptr) return;
    auto it = slots.links.find(id);
    if (it == slots.links.end()) return;
    it->second.parent_ids.remove(parent_id);
    if (!it->second.parent_ids.empty()) return;
    dropped = slots.take(id);
    auto ids_guard = ids_->lock.write();
    ids_->value.remove(id);
  }
  Snapshot snapshot = nested.snapshot();
  snapshot->for_each([&](const AttrName& name, const PyValue& value) {
    if (!name.is_private()) remove_index(index_->value, id, name, value, work);
  });
}

bool IndexAPI::has_object_id(std::uint32_t id) const {
  auto guard = items_->lock.read();
  return items_->value.get(id) != nullptr;
}

bool IndexAPI::is_empty() const {
  auto guard = ids_->lock.read();
  return ids_->value.empty();
}

HybridSet IndexAPI::get_direct_parents(const Bitmap& ids) const {
  HybridSet result;
  auto guard = items_->lock.read();
  const Slots& slots = items_->value;
  ids.for_each([&](std::uint32_t id) {
    if (id >= slots.length()) {
      fail("index out of bounds: the len is " + std::to_string(slots.length()) + " but the index is " +
           std::to_string(id));
    }
    auto it = slots.links.find(id);
    if (slots.get(id) != nullptr && it != slots.links.end()) result.or_inplace(it->second.parent_ids);
  });
  return result;
}

std::unordered_set<std::uint32_t> IndexAPI::ancestors_of(std::uint32_t id) const {
  std::unordered_set<std::uint32_t> result;
  std::vector<std::pair<std::shared_ptr<const IndexAPI>, std::uint32_t>> frontier{{shared_from_this(), id}};
  std::unordered_set<std::uint64_t> visited;  // (level, id) pairs already expanded
  std::vector<std::uint32_t> parents;
  while (!frontier.empty()) {
    auto [core, child] = std::move(frontier.back());
    frontier.pop_back();
    parents.clear();
    {
      auto guard = core->items_->lock.read();
      const Slots& slots = core->items_->value;
      auto it = slots.links.find(child);
      if (it == slots.links.end()) continue;
      it->second.parent_ids.for_each([&](std::uint32_t p) { parents.push_back(p); });
    }
    std::shared_ptr<const IndexAPI> up = core->parent_.lock();
    for (std::uint32_t p : parents) {
      result.insert(p);
      if (up && visited.insert((static_cast<std::uint64_t>(up->level_) << 32) | p).second) frontier.emplace_back(up, p);
    }
  }
  return result;
}

Bitmap IndexAPI::filter_by_hashes(const HashQuery& query) const {
  auto guard = index_->lock.read();
  return filter_table(index_->value, query);
}

void IndexAPI::reduce(const HashQuery& query) {
  py::DeferReleases defer;
  IndexWork work;
  {
    auto guard = index_->lock.write();
    AttributeTable& table = index_->value;
    Bitmap matched = filter_table(table, query);
    HybridSet keep = HybridSet::from_bitmap(matched.copy());
    for (auto& [name, map] : table) {
      for (auto& [value, ids] : map->values()) ids.and_inplace(keep);
    }
    matched.for_each([&](std::uint32_t id) {
      PyHandle obj;
      {
        auto items_guard = items_->lock.read();
        const PyHandle* slot = items_->value.get(id);
        if (slot == nullptr) return;  // only maps merged in from elsewhere name such ids
        obj = *slot;
      }
      // Read as an add does: an assignment that already re-indexed this core but has not
      // published yet sees the mark and re-indexes again.
      Snapshot snapshot = native_of(obj.get()).snapshot_for_add();
      snapshot->for_each([&](const AttrName& name, const PyValue& value) {
        if (!name.is_private()) add_index(table, id, name, value, work);
      });
    });
  }
  run(work);
}

const std::shared_ptr<IndexAPI>& default_index_arc() {
  static const std::shared_ptr<IndexAPI> DEFAULT_INDEX_ARC = IndexAPI::create();
  return DEFAULT_INDEX_ARC;
}

void check_nesting_depth(const std::vector<Indexable*>& roots, std::uint32_t base_level, const Indexable* holder) {
  struct Frame {
    Indexable* obj;
    std::vector<Indexable*> children;
    std::size_t next = 0;
    std::uint32_t below = 0;  // deepest chain found under obj so far, in levels
  };
  auto children_of = [](Indexable* obj) {
    std::vector<Indexable*> children;
    obj->snapshot_under_gil().for_each([&](const AttrName& name, const PyValue& value) {
      if (!name.is_private() && value.primitave().is_ind()) children.push_back(&native_of(value.primitave().as_ind()));
    });
    return children;
  };
  auto has_children = [](Indexable* obj) {
    bool any = false;
    obj->snapshot_under_gil().for_each([&](const AttrName& name, const PyValue& value) {
      any = any || (!name.is_private() && value.primitave().is_ind());
    });
    return any;
  };
  auto too_deep = [&](std::uint64_t deepest_level) {
    if (deepest_level <= kMaxNestingDepth) return;
    py::raise(PyExc_RecursionError, "Indexable values are nested more than " + std::to_string(kMaxNestingDepth) +
                                        " levels deep; nothing was indexed");
  };
  // Levels from an object down to its deepest nested value, itself included. Memoised across
  // roots: an object reached again is not walked again.
  std::unordered_map<const Indexable*, std::uint32_t> height;
  std::unordered_set<const Indexable*> on_path;
  std::vector<Frame> stack;
  for (Indexable* root : roots) {
    if (!has_children(root)) {
      too_deep(base_level);
      continue;
    }
    if (height.count(root) == 0) {
      on_path.clear();
      if (holder != nullptr) on_path.insert(holder);
      stack.push_back(Frame{root, children_of(root)});
      on_path.insert(root);
      while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.children.size()) {
          Indexable* child = frame.children[frame.next++];
          if (on_path.count(child) != 0) continue;
          auto known = height.find(child);
          if (known != height.end()) {
            frame.below = std::max(frame.below, known->second);
            too_deep(base_level + stack.size() + known->second - 1);
            continue;
          }
          too_deep(base_level + stack.size());
          on_path.insert(child);
          stack.push_back(Frame{child, children_of(child)});
          continue;
        }
        std::uint32_t levels = frame.below + 1;
        height[frame.obj] = levels;
        on_path.erase(frame.obj);
        stack.pop_back();
        if (!stack.empty()) stack.back().below = std::max(stack.back().below, levels);
      }
    }
    too_deep(base_level + height[root] - 1);
  }
}

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path) {
  std::size_t dot = path.find('.');
  if (dot == std::string_view::npos) return {path, std::nullopt};
  return {path.substr(0, dot), path.substr(dot + 1)};
}

}  // namespace vantorelle
