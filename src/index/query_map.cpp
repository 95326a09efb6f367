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
  if (auto key = numeric_key(value)) tree_.insert(*key, id);
}

void QueryMap::insert_deferred(const PyValue& value, std::uint32_t id, IndexWork& work,
                               std::vector<CompositeKey128>& numbers, std::vector<ValueTable::PendingId>& pending) {
  list(value, id, work, &pending);
  if (auto key = numeric_key(value)) numbers.push_back(CompositeKey128::make(*key, id));
}

void QueryMap::list(const PyValue& value, std::uint32_t id, IndexWork& work, std::vector<ValueTable::PendingId>* pending) {
  if (ValueTable::Entry* entry = map_.find_entry(value)) {
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
    tree_.remove(*key, id);
  } else if (value.primitave().is_ind()) {
    work.jobs.push_back(NestedJob{NestedJob::Kind::Remove, nested_, value.primitave().as_ind_handle(), id});
  }
}

void QueryMap::check_prune(const PyValue& value) {
  const HybridSet* ids = map_.find(value);
  if (ids == nullptr) fail("no entry found for key");
  if (ids->empty()) map_.erase(value);
}

bool QueryMap::is_empty() const { return map_.empty() && tree_.empty() && nested_->is_empty(); }

}  // namespace vantorelle
