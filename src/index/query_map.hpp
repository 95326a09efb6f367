// The attribute map of one attribute name in one core: value -> ids (the value table), numbers ->
// ids (the range tree), and the nested core holding the Indexable values of the attribute.
//
// It is changed only under the owning core's attribute-table write lock and read under its read
// lock. The range tree is built from the value table by the first range query that needs it (most
// attributes are never range-queried, and a tree costs about 30 bytes per number); from then on it
// is kept up to date. Until then the table tells it, together with the few listed objects whose
// value is a number in a set keyed by an equal non-number or the reverse (True beside 1): changes
// only note those (`odd_`), so no change ever has to build a tree. `reduce` builds the trees before
// it narrows the sets. The build lock keeps two queries from building one tree at once.
//
// Nested work (storing or withdrawing an Indexable value in the nested core) is not done here but
// queued on the caller's IndexWork, so that the owning core's lock is released before the nested
// core's is taken and deep chains need no native recursion.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
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

// Positions by object address, for gathering each object once: linear probing over a
// power-of-two table kept at most half full. Addresses stay unique while the objects are held.
class PositionByAddress {
 public:
  // The position recorded for `address`; records `fresh` for it if there is none.
  std::uint32_t find_or_add(const void* address, std::uint32_t fresh) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    for (std::size_t i = start(address);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& slot = slots_[i];
      if (slot.address == address) return slot.position;
      if (slot.address == nullptr) {
        slot = Slot{address, fresh};
        ++used_;
        return fresh;
      }
    }
  }

 private:
  struct Slot {
    const void* address = nullptr;
    std::uint32_t position = 0;
  };
  std::size_t start(const void* address) const noexcept {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(address) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void grow() {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 16 : slots_.size() * 2));
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
    for (const Slot& slot : old) {
      if (slot.address == nullptr) continue;
      std::size_t i = start(slot.address);
      while (slots_[i].address != nullptr) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  unsigned shift_ = 64;
};

// Stores queued for one nested core: each (object, holder id) pair asks to store the object for
// that holder (see IndexAPI::store_nested). Gathered per core so that a bulk add takes the core's
// locks once for all of its holders rather than once per holder, and each object is held once,
// however many holders share it.
struct NestedStore {
  std::uint32_t object;  // position in NestedStores::objects
  std::uint32_t parent_id;
};
struct NestedStores {
  std::shared_ptr<IndexAPI> core;
  // Each object once, in the order of its first pair: positions order the objects by arrival.
  std::vector<IndexableHandle> objects;
  std::vector<NestedStore> items;
  PositionByAddress positions;  // of objects

  // `make_handle()` gives the handle of `obj`, made only for an object not queued yet.
  template <class MakeHandle>
  void add(PyObject* obj, MakeHandle&& make_handle, std::uint32_t parent_id) {
    const auto fresh = static_cast<std::uint32_t>(objects.size());
    const std::uint32_t position = positions.find_or_add(obj, fresh);
    if (position == fresh) objects.push_back(make_handle());
    items.push_back(NestedStore{position, parent_id});
  }
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

  void store(const std::shared_ptr<IndexAPI>& core, const IndexableHandle& obj, std::uint32_t parent_id) {
    stores_for(core).add(obj.get(), [&] { return obj; }, parent_id);
  }
  // As store, for an Indexable value: its handle is copied only the first time.
  void store(const std::shared_ptr<IndexAPI>& core, const PyValue& value, std::uint32_t parent_id) {
    stores_for(core).add(value.obj(), [&] { return value.primitave().as_ind_handle(); }, parent_id);
  }
  NestedStores& stores_for(const std::shared_ptr<IndexAPI>& core) {
    auto at = std::find_if(stores.rbegin(), stores.rend(), [&](const NestedStores& s) { return s.core == core; });
    if (at != stores.rend()) return *at;
    stores.push_back(NestedStores{core});
    return stores.back();
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
  // The range tree, built first if it is not yet (the caller holds the table's read lock).
  const BitMapBTree& range_tree() const;
  // The tree as it is: empty while not built.
  const BitMapBTree& tree() const noexcept { return tree_; }
  bool tree_built() const noexcept { return tree_built_.load(std::memory_order_acquire); }
  // Builds the range tree unless built (under the table's read or write lock), before the value
  // sets stop listing every stored object of their value.
  void build_tree() { static_cast<void>(range_tree()); }
  // Makes `value` (equal to the entry's) the key of `entry`, a set of this map (see IndexAPI::rekey).
  void rekey(ValueTable::Entry& entry, const PyValue& value);
  // Checks the tree, or while it is not built what it will be built from, against `numbers`: the
  // range key of every stored object whose value is a number. Empty while all holds.
  std::string verify_tree(const std::vector<CompositeKey128>& numbers) const;
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
  // Builds the tree from the value table and `odd_`. Requires what an unbuilt tree keeps true: each
  // value set lists every stored object whose value equals the entry's (until reduce), and `odd_`
  // names exactly the listed objects whose value is a number where the entry's is not, or the
  // reverse. Called under tree_build_lock_.
  void build_tree_from_table() const;

  ValueTable map_;
  // Written by a build under tree_build_lock_ (holders of the read lock) or by changes under the
  // write lock; readers see it only after tree_built_.
  mutable BitMapBTree tree_;
  mutable std::atomic<bool> tree_built_{false};
  mutable std::mutex tree_build_lock_;
  // While the tree is not built: each listed id whose value differs in kind (a number or not) from
  // its entry's key, with its range key when it is the number. Emptied by the build.
  mutable std::unordered_map<std::uint32_t, std::optional<Key128>> odd_;
  std::shared_ptr<IndexAPI> nested_;
};

// The range-tree key of a value: exact ints and floats only.
std::optional<NumericValue> numeric_key(const PyValue& value);

}  // namespace vantorelle
