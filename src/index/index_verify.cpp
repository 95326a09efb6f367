// The core's verifier: every invariant of a core and of the cores nested below it, checked against
// the stored objects' current attributes. A testing aid: it copies what it needs under each lock
// and compares after, so it is exact only while no writer runs.
#include <algorithm>
#include <string>
#include <vector>

#include "index/index_api.hpp"
#include "index/indexable.hpp"

namespace vantorelle {
namespace {

struct StoredObject {
  std::uint32_t id;
  IndexableHandle obj;
  Snapshot snapshot;
};

std::string where(const IndexAPI& core, std::string_view name = {}) {
  std::string text = "core at level " + std::to_string(core.level());
  if (!name.empty()) text += ", attribute '" + std::string(name) + "'";
  return text + ": ";
}

}  // namespace

std::string IndexAPI::verify() const {
  std::vector<std::shared_ptr<const IndexAPI>> pending{shared_from_this()};
  while (!pending.empty()) {
    std::shared_ptr<const IndexAPI> core = std::move(pending.back());
    pending.pop_back();
    if (std::string broken = core->verify_one(pending); !broken.empty()) return broken;
  }
  return {};
}

std::string IndexAPI::verify_one(std::vector<std::shared_ptr<const IndexAPI>>& pending) const {
  std::vector<StoredObject> stored_objects;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> links;
  {
    auto ids_guard = ids_->lock.read();
    auto items_guard = items_->lock.read();
    const Slots& slots = items_->value;
    if (std::string broken = slots.verify(); !broken.empty()) return where(*this) + broken;
    std::vector<std::uint32_t> slot_ids;
    slots.for_each([&](std::uint32_t id, const IndexableHandle& obj) {
      slot_ids.push_back(id);
      stored_objects.push_back(StoredObject{id, obj, obj.native().snapshot()});
    });
    if (slot_ids != ids_->value.to_vector()) return where(*this) + "the id set differs from the filled slots";
    for (const auto& [id, link] : slots.links) {
      if (link.parent_ids.is_sorted()) return where(*this) + "the parent list of " + std::to_string(id) + " is sorted";
      if (std::string broken = link.parent_ids.verify(); !broken.empty()) return where(*this) + broken;
      std::vector<std::uint32_t>& parents = links[id];
      link.parent_ids.for_each([&](std::uint32_t p) { parents.push_back(p); });
    }
  }
  for (const StoredObject& item : stored_objects) {
    if (item.obj.native().id() != item.id) return where(*this) + "slot " + std::to_string(item.id) + " holds another object";
    if (!item.obj.native().is_member_of(this)) {
      return where(*this) + "object " + std::to_string(item.id) + " is stored but does not list the core";
    }
    for (const auto& core : item.obj.native().live_memberships()) {
      if (!core->has_object_id(item.id)) {
        return where(*this) + "object " + std::to_string(item.id) + " lists a core that does not store it";
      }
    }
  }

  // Parent links, against the owning core's stored objects.
  std::shared_ptr<const IndexAPI> owner = parent_.lock();
  if (level_ > 0) {
    if (!owner) return where(*this) + "a nested core without its owner";
    if (owner->level_ + 1 != level_) return where(*this) + "nested one level below its owner expected";
    for (const StoredObject& item : stored_objects) {
      auto it = links.find(item.id);
      if (it == links.end() || it->second.empty()) {
        return where(*this) + "nested object " + std::to_string(item.id) + " without holders";
      }
    }
  } else if (!links.empty()) {
    return where(*this) + "a top-level core with parent links";
  }

  CycleMemo cycles;
  auto table_guard = index_->lock.read();
  for (const auto& [name, map] : index_->value) {
    std::string_view text = name.view();
    if (!indexes(name)) return where(*this, text) + "an attribute beginning with '_' is indexed";
    auto current = [&](const StoredObject& item) { return item.snapshot->get(text); };
    auto find_stored = [&](std::uint32_t id) -> const StoredObject* {
      auto at = std::lower_bound(stored_objects.begin(), stored_objects.end(), id,
                                 [](const StoredObject& item, std::uint32_t key) { return item.id < key; });
      return at != stored_objects.end() && at->id == id ? &*at : nullptr;
    };

    for (const auto& [value, ids] : map->values()) {
      if (std::string broken = ids.verify(); !broken.empty()) return where(*this, text) + broken;
      if (!narrowed() && ids.empty()) return where(*this, text) + "a value entry with no ids is kept";
      std::string broken;
      ids.for_each([&](std::uint32_t id) {
        if (!broken.empty()) return;
        const StoredObject* item = find_stored(id);
        if (item == nullptr) {
          broken = "value set lists id " + std::to_string(id) + ", which is not stored";
        } else if (const PyValue* now = current(*item); now == nullptr || !(*now == value)) {
          broken = "value set lists id " + std::to_string(id) + ", which no longer carries the value";
        }
      });
      if (!broken.empty()) return where(*this, text) + broken;
    }

    std::vector<CompositeKey128> numbers;
    for (const StoredObject& item : stored_objects) {
      const PyValue* value = current(item);
      if (value == nullptr) continue;
      if (auto key = numeric_key(*value)) numbers.push_back(CompositeKey128::make(*key, item.id));
      // An unbuilt tree is built from the sets, so they must still list every number. (A map
      // dropped as empty after `reduce` comes back unbuilt, with the hidden values beside it: no
      // numbers, since the tree that `reduce` built keeps its map until they leave.)
      if (!narrowed() || (!map->tree_built() && numeric_key(*value))) {
        const HybridSet* ids = map->find(*value);
        if (ids == nullptr || !ids->contains(item.id)) {
          return where(*this, text) + "object " + std::to_string(item.id) + " is missing from its value's set";
        }
      }
    }
    if (std::string broken = map->verify_tree(numbers); !broken.empty()) return where(*this, text) + broken;

    // The nested core: its holders are exactly the stored objects whose value it is, except, below
    // the first nesting level, where storing a value on a cycle closed that cycle.
    const IndexAPI& nested = *map->nested();
    if (nested.parent_.lock().get() != this) return where(*this, text) + "nested core owned elsewhere";
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> nested_links;
    {
      auto guard = nested.items_->lock.read();
      for (const auto& [id, link] : nested.items_->value.links) {
        std::vector<std::uint32_t>& parents = nested_links[id];
        link.parent_ids.for_each([&](std::uint32_t p) { parents.push_back(p); });
      }
    }
    for (const auto& [id, parents] : nested_links) {
      for (std::uint32_t p : parents) {
        const StoredObject* holder = find_stored(p);
        const PyValue* value = holder ? current(*holder) : nullptr;
        if (value == nullptr || !value->primitave().is_ind() || value->primitave().ind_native().id() != id) {
          return where(*this, text) + "nested object " + std::to_string(id) + " lists holder " + std::to_string(p) +
                 ", which does not hold it";
        }
      }
    }
    for (const StoredObject& item : stored_objects) {
      const PyValue* value = current(item);
      if (value == nullptr || !value->primitave().is_ind()) continue;
      std::uint32_t child = value->primitave().ind_native().id();
      auto it = nested_links.find(child);
      bool linked = it != nested_links.end() && std::find(it->second.begin(), it->second.end(), item.id) != it->second.end();
      if (!linked && !(level_ > 0 && on_cycle(value->primitave().ind_native(), cycles))) {
        return where(*this, text) + "object " + std::to_string(item.id) + " holds " + std::to_string(child) +
               ", which the nested core does not store for it";
      }
    }
    pending.push_back(map->nested());
  }
  return {};
}

}  // namespace vantorelle
