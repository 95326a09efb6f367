// Keyword filtering: the values of one name are united, names are intersected, cheapest name
// first; and `reduce`, which narrows the value tables to what a filter matches.
#include <algorithm>

#include "index/index_api.hpp"
#include "index/indexable.hpp"
#include "index/query_eval.hpp"
#include "interpreter/gil.hpp"

namespace vantorelle {
namespace {

std::uint64_t estimate_cost(const AttributeTable& table, const AttrName& name, const std::vector<PyValue>& values) {
  auto it = table.find(name.view());
  if (it == table.end()) return 0;
  std::uint64_t cost = 0;
  for (const PyValue& value : values) {
    if (const HybridSet* ids = it->second->find(value)) cost += ids->size();
  }
  return cost;
}

}  // namespace

// A name the table does not hold, or an empty intermediate result, ends the work at once.
Bitmap filter_index_by_hashes(const AttributeTable& table, const HashQuery& query) {
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
    SetUnion united;
    for (const HybridSet* ids : found) united.add(*ids);
    Bitmap scratch = united.finish();
    if (first) {
      result = std::move(scratch);
      first = false;
    } else {
      result.and_inplace(scratch);
    }
  }
  return result;
}

Bitmap IndexAPI::filter_by_hashes(const HashQuery& query) const {
  auto guard = index_->lock.read();
  return filter_index_by_hashes(index_->value, query);
}

// Builds the range trees of `names` (of every map when empty) that are not built yet, under the
// table's read lock: a build that runs out of memory then leaves everything as it was, where under
// the write lock it would poison the table.
void IndexAPI::build_trees(std::span<const AttrName> names) const {
  auto guard = index_->lock.read();
  if (names.empty()) {
    for (const auto& [name, map] : index_->value) static_cast<void>(map->range_tree());
  }
  for (const AttrName& name : names) {
    if (auto it = index_->value.find(name.view()); it != index_->value.end()) static_cast<void>(it->second->range_tree());
  }
}

void IndexAPI::reduce(const HashQuery& query) {
  py::DeferReleases defer;
  IndexWork work;
  build_trees({});
  {
    auto guard = index_->lock.write();
    narrowed_.store(true, std::memory_order_relaxed);
    AttributeTable& table = index_->value;
    // Value sets stop telling the range trees (which keep every stored number) once narrowed. (A
    // map added since build_trees is built here.)
    for (auto& [name, map] : table) map->build_tree();
    Bitmap matched = filter_index_by_hashes(table, query);
    HybridSet keep = HybridSet::from_bitmap(matched.copy());
    for (auto& [name, map] : table) {
      for (auto& [value, ids] : map->values()) ids.and_inplace(keep);
    }
    matched.for_each([&](std::uint32_t id) {
      IndexableHandle obj;
      {
        auto items_guard = items_->lock.read();
        const IndexableHandle* slot = items_->value.get(id);
        if (slot == nullptr) return;
        obj = *slot;
      }
      // Read as an add does: an assignment that already re-indexed this core but has not
      // published yet sees the mark and re-indexes again.
      Snapshot snapshot = obj.native().snapshot_for_index();
      index_attributes(table, id, *snapshot, work);
    });
  }
  run(work);
}

std::vector<std::pair<std::uint32_t, std::vector<AttrName>>> IndexAPI::hidden_names() const {
  std::vector<std::pair<std::uint32_t, std::vector<AttrName>>> hidden;
  if (!narrowed()) return hidden;
  py::DeferReleases defer;  // a snapshot replaced meanwhile goes with the copy read here
  std::vector<IndexableHandle> stored;
  {
    auto guard = items_->lock.read();
    items_->value.for_each([&](std::uint32_t, const IndexableHandle& obj) { stored.push_back(obj); });
  }
  // An assignment moves the object between value sets before it publishes the new snapshot; read
  // each object with none under way, or a moving object would look hidden.
  for (const IndexableHandle& obj : stored) {
    Indexable& native = obj.native();
    native.while_unassigned([&] {
      auto guard = index_->lock.read();
      const AttributeTable& table = index_->value;
      Snapshot snapshot = native.snapshot();
      std::vector<AttrName> names;
      snapshot->for_each([&](const AttrName& name, const PyValue& value) {
        if (!indexes(name)) return;
        auto it = table.find(name.view());
        const HybridSet* ids = it == table.end() ? nullptr : it->second->find(value);
        if (ids == nullptr || !ids->contains(native.id())) names.push_back(name);
      });
      if (!names.empty()) hidden.emplace_back(native.id(), std::move(names));
    });
  }
  return hidden;
}

void IndexAPI::hide(std::uint32_t id, std::span<const AttrName> names) {
  py::DeferReleases defer;
  if (!names.empty()) build_trees(names);
  auto guard = index_->lock.write();
  IndexableHandle obj;
  {
    auto items_guard = items_->lock.read();
    const IndexableHandle* slot = items_->value.get(id);
    if (slot == nullptr) return;
    obj = *slot;
  }
  narrowed_.store(true, std::memory_order_relaxed);
  Snapshot snapshot = obj.native().snapshot();
  for (const AttrName& name : names) {
    const PyValue* value = snapshot->get(name.view());
    auto it = index_->value.find(name.view());
    if (value == nullptr || it == index_->value.end()) continue;
    it->second->build_tree();
    if (HybridSet* ids = it->second->values().find(*value)) ids->remove(id);
  }
}

}  // namespace vantorelle
