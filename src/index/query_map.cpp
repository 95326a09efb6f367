#include "index/query_map.hpp"

#include "index/index_api.hpp"
#include "index/indexable.hpp"

namespace vantorelle {

std::optional<NumericValue> numeric_key(const PyValue& value) {
  const CastView cast = value.primitave();
  if (cast.is_int()) return NumericValue::of_int(cast.as_int());
  if (cast.is_float()) return NumericValue::of_float(cast.as_float());
  return std::nullopt;
}

QueryMap::QueryMap(IndexAPI& owner, const AttrName& name) : nested_(IndexAPI::create_nested(owner, name)) {}

void QueryMap::insert(const PyValue& value, std::uint32_t id, IndexWork& work) {
  list(value, id, work, nullptr);
  if (!tree_built()) return;
  if (auto key = numeric_key(value)) tree_.insert(*key, id);
}

void QueryMap::insert_deferred(const PyValue& value, std::uint32_t id, IndexWork& work,
                               std::vector<CompositeKey128>& numbers, std::vector<ValueTable::PendingId>& pending) {
  list(value, id, work, &pending);
  if (!tree_built()) return;
  if (auto key = numeric_key(value)) numbers.push_back(CompositeKey128::make(*key, id));
}

void QueryMap::list(const PyValue& value, std::uint32_t id, IndexWork& work, std::vector<ValueTable::PendingId>* pending) {
  if (ValueTable::Entry* entry = map_.find_entry(value)) {
    // A number joining a set of equal non-numbers (or the reverse): the table would no longer tell
    // the tree, so it is built now, before this id is listed.
    if (!tree_built() && numeric_key(value).has_value() != numeric_key(entry->value).has_value()) {
      build_tree_from_table(pending);
    }
    if (pending) {
      pending->push_back(ValueTable::PendingId{map_.position_of(*entry), id});
    } else {
      entry->ids.add(id);
    }
  } else {
    map_.emplace(value, HybridSet::single(id));
  }
  if (value.primitave().is_ind()) work.store(nested_, value, id);
}

void QueryMap::insert_numbers(std::vector<CompositeKey128>& numbers) {
  tree_.insert_many(numbers);
  numbers.clear();
}

void QueryMap::remove_id(const PyValue& value, std::uint32_t id, IndexWork& work) {
  if (!map_.empty()) {
    if (HybridSet* ids = map_.find(value)) ids->remove(id);
  }
  if (auto key = numeric_key(value)) {
    if (tree_built()) tree_.remove(*key, id);
  } else if (value.primitave().is_ind()) {
    work.jobs.push_back(NestedJob{NestedJob::Kind::Remove, nested_, value.primitave().as_ind_handle(), id});
  }
}

void QueryMap::check_prune(const PyValue& value) {
  const HybridSet* ids = map_.find(value);
  if (ids == nullptr) fail("no entry found for key");
  if (ids->empty()) map_.erase(value);
}

const BitMapBTree& QueryMap::range_tree() const {
  if (!tree_built()) {
    std::lock_guard lock(tree_build_lock_);
    if (!tree_built_.load(std::memory_order_relaxed)) build_tree_from_table(nullptr);
  }
  return tree_;
}

void QueryMap::build_tree_from_table(const std::vector<ValueTable::PendingId>* pending) const {
  std::vector<CompositeKey128> keys;
  std::size_t count = pending ? pending->size() : 0;
  for (const auto& [value, ids] : map_) {
    if (numeric_key(value)) count += ids.size();
  }
  keys.reserve(count);
  for (const auto& [value, ids] : map_) {
    if (auto key = numeric_key(value)) {
      const Key128 high = CompositeKey128::value_part(*key) << 32;
      ids.for_each([&](std::uint32_t id) { keys.push_back(CompositeKey128{high | id}); });
    }
  }
  if (pending) {
    for (const ValueTable::PendingId& p : *pending) {
      if (auto key = numeric_key(map_.entry_at(p.entry).value)) keys.push_back(CompositeKey128::make(*key, p.id));
    }
  }
  BitMapBTree built;
  built.insert_many(keys);
  tree_ = std::move(built);
  tree_built_.store(true, std::memory_order_release);
}

bool QueryMap::is_empty() const { return map_.empty() && tree_.empty() && nested_->is_empty(); }

}  // namespace vantorelle
