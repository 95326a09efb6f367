// Whole-index operations on the attribute tables: grouping by an attribute path, and finding the
// objects a union brings.
#include <string_view>

#include "index/index_api.hpp"
#include "interpreter/gil.hpp"

namespace vantorelle {

GroupList QueryMap::group_by() const {
  GroupList groups;
  groups.reserve(map_.size());
  for (const ValueTable::Entry& entry : map_) {
    if (!entry.ids.empty()) groups.push_back(Group{entry.value, entry.ids.to_bitmap()});
  }
  return groups;
}

GroupList IndexAPI::group_by(std::string_view path) const {
  // One level per dot, walked without native recursion (paths may be a thousand levels deep).
  // Each level keeps its table and id-set read locks, outer to inner, until the groups have been
  // lifted through it.
  struct Level {
    const IndexAPI* core;
    const QueryMap* map;
    RwLock::ReadGuard table;
    RwLock::ReadGuard ids;
  };
  std::vector<Level> levels;
  const IndexAPI* core = this;
  GroupList groups;
  for (;;) {
    RwLock::ReadGuard table = core->index_->lock.read();
    std::size_t dot = path.find('.');
    auto it = core->index_->value.find(path.substr(0, dot));
    if (it == core->index_->value.end()) return {};
    if (dot == std::string_view::npos) {
      groups = it->second->group_by();
      break;
    }
    RwLock::ReadGuard ids = core->ids_->lock.read();
    levels.push_back(Level{core, it->second.get(), std::move(table), std::move(ids)});
    core = it->second->nested().get();
    path = path.substr(dot + 1);
  }
  // Lifted groups are kept to the stored ids and made disjoint: a holder moving between nested
  // objects while their parent links change must land in one group only.
  for (auto level = levels.rbegin(); level != levels.rend() && !groups.empty(); ++level) {
    const IndexAPI& nested = *level->map->nested();
    Bitmap seen;
    GroupList lifted;
    lifted.reserve(groups.size());
    for (Group& group : groups) {
      Bitmap holders = nested.get_direct_parents(group.ids);
      holders.and_inplace(level->core->ids_->value);
      holders.andnot_inplace(seen);
      if (holders.empty()) continue;
      seen.or_inplace(holders);
      lifted.push_back(Group{std::move(group.value), std::move(holders)});
    }
    groups = std::move(lifted);
  }
  return groups;
}

std::vector<IndexableHandle> IndexAPI::lacking_from(const IndexAPI& other) const {
  if (&other == this) return {};
  Bitmap present;
  {
    auto guard = ids_->lock.read();
    present = ids_->value.copy();
  }
  // The two cores' locks are never held together: no order between unrelated cores is needed.
  std::vector<IndexableHandle> lacking;
  auto guard = other.items_->lock.read();
  other.items_->value.for_each([&](std::uint32_t id, const IndexableHandle& obj) {
    if (!present.contains(id)) lacking.push_back(obj);
  });
  return lacking;
}

}  // namespace vantorelle
