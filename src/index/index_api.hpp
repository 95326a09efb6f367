// The shared core of an index: object slots by id, the set of ids present, and one QueryMap per
// attribute name, each behind its own reader-writer lock and independently shared, so views can
// keep the table and the slots alive without the core.
//
// Lock discipline (docs/ARCHITECTURE.md has the whole order):
//  - A thread holds at most one core's attribute-table (`index`) write lock at a time. Work on a
//    nested core that a table change causes is queued (IndexWork) and run after the lock is
//    released, never inside it.
//  - Slot (`items`) and id-set (`ids`) locks are taken under at most a table lock; `ids` may be
//    taken while holding `items` (a nested slot and its id change together), never the reverse;
//    nothing but leaf locks (membership list, pending releases) is taken while holding either.
//  - Readers may hold table read locks of an owning core and then of its nested cores (outer to
//    inner); writers never wait for a second table lock, so this cannot close a cycle.
//  - No interpreter call under any of these locks; Python references dropped under them are
//    deferred (py::DeferReleases) and released once the locks are gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "index/hybrid_hashmap.hpp"
#include "index/query_map.hpp"
#include "index/stored_item.hpp"
#include "native/bitmap.hpp"
#include "native/locks.hpp"

namespace vantorelle {

class Indexable;

// Indexable values nested deeper than this below a top-level object are refused before anything
// is stored: each level is a core of its own, and paths to the root are walked per level.
inline constexpr std::uint32_t kMaxNestingDepth = 1000;

using AttributeTable = std::unordered_map<AttrName, std::unique_ptr<QueryMap>, AttrNameHash, AttrNameEq>;

// A keyword filter: for each attribute name, the values any of which it must equal.
using HashQuery = std::vector<std::pair<AttrName, std::vector<PyValue>>>;

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {}, std::uint32_t level = 0);
  IndexAPI(std::weak_ptr<IndexAPI> parent, std::uint32_t level);
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;

  // Nesting level: 0 for a top-level core, owner's level + 1 for a nested one.
  std::uint32_t level() const noexcept { return level_; }
  const std::weak_ptr<IndexAPI>& parent() const noexcept { return parent_; }

  // Stores one Indexable (slot, ids, attributes) and records the membership; nested values are
  // stored in nested cores before this returns.
  void add_object(const PyHandle& obj);
  // Fills the slots of many objects under one slot lock (the objects are not indexed yet).
  void fill_slots(const std::vector<PyHandle>& objs);
  // Indexes objects whose slots are filled and whose memberships are recorded.
  void add_object_many(const std::vector<PyHandle>& objs);

  RwLock::WriteGuard get_index_writer() { return index_->lock.write(); }
  // Re-indexes attribute `name` of object `id` from `previous` (null: none) to `value`, releases
  // `guard`, then runs the nested work this caused.
  void update_index(RwLock::WriteGuard guard, const AttrName& name, const PyValue* previous, const PyValue& value,
                    std::uint32_t id);

  bool has_object_id(std::uint32_t id) const;

  // The ids of the holders (in the owning core) of the objects `ids` stored in this nested core.
  HybridSet get_direct_parents(const Bitmap& ids) const;
  // Every id on the paths from object `id` stored here up to the top-level core.
  std::unordered_set<std::uint32_t> ancestors_of(std::uint32_t id) const;

  // Keyword filtering over the attribute table.
  Bitmap filter_by_hashes(const HashQuery& query) const;
  // Narrows every value set to the objects matching `query`, then re-inserts their attributes.
  void reduce(const HashQuery& query);

  std::uint64_t item_count() const {
    auto guard = items_->lock.read();
    return items_->value.filled();
  }
  // Calls f(id, PyObject*) for each stored object in ascending id order, under the slot read lock.
  template <class F>
  void for_each_item(F&& f) const {
    auto guard = items_->lock.read();
    items_->value.for_each([&](std::uint32_t id, const PyHandle& obj) { f(id, obj.get()); });
  }
  // Calls f(PyObject* or null) for each of `ids` in order, under the slot read lock.
  template <class F>
  void for_each_object(const std::vector<std::uint32_t>& ids, F&& f) const {
    auto guard = items_->lock.read();
    const Slots& slots = items_->value;
    for (std::uint32_t id : ids) {
      const PyHandle* obj = slots.get(id);
      f(obj ? obj->get() : nullptr);
    }
  }

  const std::shared_ptr<Locked<AttributeTable>>& index() const noexcept { return index_; }
  const std::shared_ptr<Locked<Slots>>& items() const noexcept { return items_; }
  const std::shared_ptr<Locked<Bitmap>>& ids() const noexcept { return ids_; }
  bool is_empty() const;

  // Runs queued nested work until none is left. Each job runs with no lock of the caller held.
  static void run(IndexWork& work);

 private:
  // Stores nested object `obj` for holder `parent_id`, or adds the holder if already stored.
  void nested_add(const PyHandle& obj, std::uint32_t parent_id, IndexWork& work);
  // Withdraws holder `parent_id` from nested object `obj`; removes the object when none is left.
  void nested_remove(const PyHandle& obj, std::uint32_t parent_id, IndexWork& work);
  // Indexes the current attributes of `obj` (membership recorded, slot filled, table locked).
  void index_attributes(AttributeTable& table, Indexable& obj, IndexWork& work);
  void add_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value, IndexWork& work);
  void remove_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value,
                    IndexWork& work);

  std::shared_ptr<Locked<AttributeTable>> index_;
  std::shared_ptr<Locked<Slots>> items_;
  std::shared_ptr<Locked<Bitmap>> ids_;
  std::weak_ptr<IndexAPI> parent_;
  std::uint32_t level_;
};

// The placeholder core that membership lists ignore; created on first use, kept for the process.
const std::shared_ptr<IndexAPI>& default_index_arc();

// Raises RecursionError (nothing changed) when storing `roots` in a core of `base_level` would nest
// Indexable values deeper than kMaxNestingDepth. `holder`, if given, counts as an ancestor of the
// roots (an assignment checks the value it stores in the holder). Interpreter lock held.
void check_nesting_depth(const std::vector<Indexable*>& roots, std::uint32_t base_level, const Indexable* holder);

// A dotted attribute path split at its first dot: head and, if there was a dot, the rest.
std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path);

}  // namespace vantorelle
