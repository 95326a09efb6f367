// The attribute map of one attribute name in one core: value -> ids (the value table), numbers ->
// ids (the range tree), and the nested core holding the Indexable values of the attribute.
//
// No lock of its own: it is changed only under the owning core's attribute-table write lock and
// read under its read lock. Nested work (storing or withdrawing an Indexable value in the nested
// core) is not done here but queued on the caller's IndexWork, so that the owning core's lock is
// released before the nested core's is taken and deep chains need no native recursion.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>
#include <unordered_map>

#include "index/attr_name.hpp"
#include "index/value.hpp"
#include "index/value_table.hpp"
#include "native/bitmap.hpp"
#include "native/bitmap_btree.hpp"
#include "native/hybrid_set.hpp"

namespace vantorelle {

class IndexAPI;

// Nested work queued while a core's table lock is held and run after it is released.
struct NestedJob {
  // Remove: withdraw `obj` for holder `parent_id` in nested core `core`.
  // Recheck: `obj`, stored in `core`, lost a holder; retry the stores below it that were skipped
  // as closing a cycle (see IndexAPI::recheck_below).
  enum class Kind { Remove, Recheck };
  Kind kind;
  std::shared_ptr<IndexAPI> core;
  IndexableHandle obj;
  std::uint32_t parent_id;  // Remove: the holder's id in the owning core
};

// Stores queued for one nested core: each (object, holder id) pair asks to store the object for
// that holder (see IndexAPI::store_nested). Gathered per core so that a bulk add takes the core's
// locks once for all of its holders rather than once per holder.
struct NestedStore {
  IndexableHandle obj;
  std::uint32_t obj_id;  // obj's id, kept here so that sorting the batch does not visit the objects
  std::uint32_t parent_id;
  std::uint32_t arrival;  // position in the batch as queued (the batch is sorted when it runs)
};
struct NestedStores {
  std::shared_ptr<IndexAPI> core;
  std::vector<NestedStore> items;
};

// Which objects lie on a cycle of Indexable values (an object reaching itself through indexed
// attributes). Only such an object can be its own holder's ancestor, so only storing one needs
// the walk up the parent links. Learned per run, by object id, and forgotten when GRAPH_EPOCH
// moves (an assignment changed the graph).
struct CycleMemo {
  std::uint64_t epoch = 0;
  std::unordered_map<std::uint32_t, bool> on_cycle;
};

// Every job is checked against the holder's state when it runs, not when it was queued, so jobs
// may run in any order: stores run before the other jobs.
struct IndexWork {
  std::deque<NestedJob> jobs;
  std::vector<NestedStores> stores;
  CycleMemo cycles;

  void store(const std::shared_ptr<IndexAPI>& core, IndexableHandle obj, std::uint32_t obj_id, std::uint32_t parent_id) {
    auto at = std::find_if(stores.rbegin(), stores.rend(), [&](const NestedStores& s) { return s.core == core; });
    if (at == stores.rend()) {
      stores.push_back(NestedStores{core, {}});
      at = stores.rbegin();
    }
    at->items.push_back(NestedStore{std::move(obj), obj_id, parent_id, static_cast<std::uint32_t>(at->items.size())});
  }
  bool empty() const noexcept { return jobs.empty() && stores.empty(); }
};

// One group of a grouping: a value and the ids of the objects it stands for.
struct Group {
  PyValue value;
  Bitmap ids;
};
// Distinct values, each once, with disjoint non-empty id sets; empty when nothing groups.
using GroupList = std::vector<Group>;

class QueryMap {
 public:
  // The map of attribute `name` in core `owner`, with an empty nested core below it.
  QueryMap(IndexAPI& owner, const AttrName& name);
  QueryMap(const QueryMap&) = delete;
  QueryMap& operator=(const QueryMap&) = delete;

  // Records that object `id` carries `value`.
  void insert(const PyValue& value, std::uint32_t id, IndexWork& work);
  // As insert, for a bulk add: a number's range entry is appended to `numbers` (see
  // insert_numbers) and the id of a value already in the table to `pending` (see
  // ValueTable::add_pending), to be entered together later under the same table lock.
  void insert_deferred(const PyValue& value, std::uint32_t id, IndexWork& work, std::vector<CompositeKey128>& numbers,
                       std::vector<ValueTable::PendingId>& pending);
  // Enters the range entries gathered by insert_deferred (and empties `numbers`).
  void insert_numbers(std::vector<CompositeKey128>& numbers);
  // Withdraws object `id` from `value` (from the value table, the range tree and the nested core,
  // whichever hold it); the value's entry stays (see check_prune).
  void remove_id(const PyValue& value, std::uint32_t id, IndexWork& work);
  // Drops the value's entry once its id set is empty. The value must be in the table.
  void check_prune(const PyValue& value);

  const HybridSet* find(const PyValue& value) const { return map_.find(value); }
  ValueTable::Entry* find_entry(const PyValue& value) { return map_.find_entry(value); }
  const ValueTable& values() const noexcept { return map_; }
  ValueTable& values() noexcept { return map_; }
  const BitMapBTree& tree() const noexcept { return tree_; }
  const std::shared_ptr<IndexAPI>& nested() const noexcept { return nested_; }
  // The objects holding this attribute, grouped by its values (one group per value entry with
  // ids). The caller holds the owning core's table read lock.
  GroupList group_by() const;
  // True when nothing is left: no value entry, no range entry, no nested object.
  bool is_empty() const;

 private:
  // Lists `id` under `value` in the value table and queues the nested store of an Indexable value
  // (the caller makes the range entry of a number). With `pending`, an id for a value already
  // listed is appended there instead.
  void list(const PyValue& value, std::uint32_t id, IndexWork& work, std::vector<ValueTable::PendingId>* pending);

  ValueTable map_;
  BitMapBTree tree_;
  std::shared_ptr<IndexAPI> nested_;
};

// The range-tree key of a value: exact ints and floats only.
std::optional<NumericValue> numeric_key(const PyValue& value);

}  // namespace vantorelle
