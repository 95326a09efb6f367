// Whole-index operations on the attribute tables: grouping by an attribute path, and the union of
// another index's objects into this one.
#include <string_view>

#include "index/index_api.hpp"
#include "interpreter/gil.hpp"

namespace vantorelle {

GroupList IndexAPI::group_by(std::string_view path) const {
  auto table_guard = index_->lock.read();
  std::size_t dot = path.find('.');
  auto it = index_->value.find(path.substr(0, dot));
  if (it == index_->value.end()) return {};
  if (dot == std::string_view::npos) return it->second->group_by(path);
  // Lifted groups are checked against the id set, held (as a query holds it) while the cores
  // below are read, and made disjoint: a holder moving between nested objects while the nested
  // links change must land in one group only.
  auto ids_guard = ids_->lock.read();
  GroupList groups = it->second->group_by(path);
  Bitmap seen;
  GroupList disjoint;
  disjoint.reserve(groups.size());
  for (Group& group : groups) {
    group.ids.and_inplace(ids_->value);
    group.ids.andnot_inplace(seen);
    if (group.ids.empty()) continue;
    seen.or_inplace(group.ids);
    disjoint.push_back(std::move(group));
  }
  return disjoint;
}

GroupList QueryMap::group_by(std::string_view path) const {
  std::size_t dot = path.find('.');
  GroupList groups;
  if (dot == std::string_view::npos) {
    groups.reserve(map_.size());
    for (const ValueTable::Entry& entry : map_) {
      if (!entry.ids.empty()) groups.push_back(Group{entry.value, entry.ids.to_bitmap()});
    }
    return groups;
  }
  GroupList nested = nested_->group_by(path.substr(dot + 1));
  groups.reserve(nested.size());
  for (Group& group : nested) {
    Bitmap holders = nested_->get_direct_parents(group.ids);
    if (!holders.empty()) groups.push_back(Group{std::move(group.value), std::move(holders)});
  }
  return groups;
}

void IndexAPI::union_with(const IndexAPI& other) {
  if (&other == this) return;
  py::DeferReleases defer;
  Bitmap present;
  {
    auto guard = ids_->lock.read();
    present = ids_->value.copy();
  }
  // The two cores' locks are never held together: no order between unrelated cores is needed.
  std::vector<IndexableHandle> incoming;
  {
    auto guard = other.items_->lock.read();
    other.items_->value.for_each([&](std::uint32_t id, const IndexableHandle& obj) {
      if (!present.contains(id)) incoming.push_back(obj);
    });
  }
  if (!incoming.empty()) add_objects(incoming);
}

}  // namespace vantorelle
