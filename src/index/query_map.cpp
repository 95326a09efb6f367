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
    // A number joining a set of equal non-numbers (or the reverse): the table alone would no
    // longer tell the tree.
    if (!tree_built()) {
      std::optional<NumericValue> key = numeric_key(value);
      if (key.has_value() != numeric_key(entry->value).has_value()) {
        odd_[id] = key ? std::optional<Key128>(CompositeKey128::make(*key, id).key) : std::nullopt;
      }
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
  if (!tree_built()) odd_.erase(id);
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
    if (!tree_built_.load(std::memory_order_relaxed)) build_tree_from_table();
  }
  return tree_;
}

void QueryMap::build_tree_from_table() const {
  std::vector<CompositeKey128> keys;
  std::size_t count = odd_.size();
  for (const auto& [value, ids] : map_) {
    if (numeric_key(value)) count += ids.size();
  }
  keys.reserve(count);
  for (const auto& [value, ids] : map_) {
    if (auto key = numeric_key(value)) {
      const Key128 high = CompositeKey128::value_part(*key) << 32;
      ids.for_each([&](std::uint32_t id) {
        if (odd_.empty() || !odd_.contains(id)) keys.push_back(CompositeKey128{high | id});
      });
    }
  }
  for (const auto& [id, key] : odd_) {
    if (key) keys.push_back(CompositeKey128{*key});
  }
  BitMapBTree built;
  built.insert_many(keys);
  tree_ = std::move(built);
  odd_.clear();
  tree_built_.store(true, std::memory_order_release);
}

void QueryMap::rekey(ValueTable::Entry& entry, const PyValue& value) {
  std::optional<NumericValue> before = numeric_key(entry.value);
  if (!tree_built() && before.has_value() != numeric_key(value).has_value()) {
    // Every member changes sides: the odd ones are like the new key, the others were like the old.
    entry.ids.for_each([&](std::uint32_t id) {
      if (odd_.erase(id) == 0) {
        odd_[id] = before ? std::optional<Key128>(CompositeKey128::make(*before, id).key) : std::nullopt;
      }
    });
  }
  entry.value = value;
}

std::string QueryMap::verify_tree(const std::vector<CompositeKey128>& numbers) const {
  std::lock_guard lock(tree_build_lock_);  // a query may be building the tree meanwhile
  if (tree_built()) {
    if (!odd_.empty()) return "odd listings kept beside a built range tree";
    if (std::string broken = tree_.verify(); !broken.empty()) return broken;
    Bitmap ids;
    for (const CompositeKey128& key : numbers) ids.add(key.id());
    if (!(tree_.ids() == ids) || tree_.size() != numbers.size()) return "the range tree differs from the stored numeric values";
    return {};
  }
  if (!tree_.empty()) return "a range tree not built holds entries";
  // What a build would take: the numbers of numeric entries, less odd ids, plus odd numbers.
  std::vector<Key128> expected;
  for (const CompositeKey128& key : numbers) expected.push_back(key.key);
  std::vector<Key128> found;
  for (const auto& [value, ids] : map_) {
    std::optional<NumericValue> key = numeric_key(value);
    std::string broken;
    ids.for_each([&](std::uint32_t id) {
      auto odd = odd_.find(id);
      if (key && odd == odd_.end()) {
        found.push_back(CompositeKey128::make(*key, id).key);
      } else if (!key && odd != odd_.end() && odd->second) {
        found.push_back(*odd->second);
      } else if (odd != odd_.end() && odd->second.has_value() == key.has_value()) {
        broken = "an odd listing of id " + std::to_string(id) + " is of its entry's kind";
      }
    });
    if (!broken.empty()) return broken;
  }
  std::size_t listed_odd = 0;
  for (const auto& [value, ids] : map_) {
    ids.for_each([&](std::uint32_t id) { listed_odd += odd_.contains(id) ? 1 : 0; });
  }
  if (listed_odd != odd_.size()) return "an odd listing names an id that is not listed";
  std::sort(expected.begin(), expected.end());
  std::sort(found.begin(), found.end());
  if (expected != found) return "the value table and its odd listings would build another range tree";
  return {};
}

bool QueryMap::is_empty() const { return map_.empty() && tree_.empty() && nested_->is_empty(); }

}  // namespace vantorelle
