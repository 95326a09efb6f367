// The shared core of an index: object slots by id, the set of ids present, and one QueryMap per
// attribute name, each behind its own reader-writer lock and independently shared, so views can
// keep the table and the slots alive without the core.
//
// What "stored" means: an object is stored in a core exactly when its slot is filled. The id set
// equals the filled slots and the object's membership list names the core; all three change
// together under the slot lock. Value tables, range trees and nested cores hold only stored
// ids (value tables possibly fewer, once `reduce` narrowed them). verify() checks all of it.
//
// Lock discipline (docs/ARCHITECTURE.md has the whole order). Along a chain of cores C0 (top) ..
// Cn (nested), a thread takes locks only in this order:
//   table(C0), ids(C0), table(C1), ids(C1), ..., table(Cn), ids(Cn), items(Cn), ..., items(C0)
// (and, below them, leaf locks: an object's membership list and snapshot, pending releases).
//  - Writers hold at most one core's table write lock. Work on a nested core that a table change
//    causes is queued (IndexWork) and run after the lock is released, never inside it.
//  - A core's id set is locked before its slots; slot locks go from inner cores outward (a nested
//    job checks its holder in the owning core's slots). Queries hold id sets while evaluating
//    deeper cores, whose slots they then read to lift matches to their holders.
//  - No interpreter call under any of these locks; Python references dropped under them are
//    deferred (py::DeferReleases) and released once the locks are gone.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/hybrid_hashmap.hpp"
#include "index/query_map.hpp"
#include "index/stored_item.hpp"
#include "native/bitmap.hpp"
#include "native/locks.hpp"

namespace vantorelle {

class Indexable;
struct QueryExpr;

// Indexable values nested deeper than this below a top-level object are refused before anything
// is stored: each level is a core of its own.
inline constexpr std::uint32_t kMaxNestingDepth = 1000;

using AttributeTable = std::unordered_map<AttrName, std::unique_ptr<QueryMap>, AttrNameHash, AttrNameEq>;

// A keyword filter: for each attribute name, the values any of which it must equal.
using HashQuery = std::vector<std::pair<AttrName, std::vector<PyValue>>>;

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  // A top-level core. A rebased one also indexes the names that begin with "_".
  static std::shared_ptr<IndexAPI> create(bool indexes_private_names = false);
  // The nested core of `owner`'s attribute `name`.
  static std::shared_ptr<IndexAPI> create_nested(IndexAPI& owner, const AttrName& name);
  // Only create and create_nested make cores, with make_shared: objects compare their members by
  // address, which relies on a core's block living as long as weak references to it (see
  // Indexable::Member).
  class MadeByFactory {
    friend class IndexAPI;
    MadeByFactory() = default;
  };
  IndexAPI(MadeByFactory, std::weak_ptr<IndexAPI> parent, std::uint32_t level, AttrName name,
           std::shared_ptr<std::atomic<bool>> cuts_made, bool indexes_private_names);
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;

  // Nesting level: 0 for a top-level core, owner's level + 1 for a nested one.
  std::uint32_t level() const noexcept { return level_; }
  const std::weak_ptr<IndexAPI>& parent() const noexcept { return parent_; }

  // The add protocol, for one object or many (an object listed twice is stored once):
  //  1. under the slot lock, fill each slot (replacing an earlier item of the same object), enter
  //     the id and record the membership;
  //  2. under the table lock, mark and read each object's current snapshot (the race protocol of
  //     Indexable) and index its attributes;
  //  3. with no lock held, store the Indexable values in the nested cores.
  // Interpreter lock not needed. Each handle must carry a reference of its own, shared with no
  // other top-level core's slots: the collector learns of a slot's reference from the one Index
  // holding it, and one reference reported twice would let it free objects still in use. The
  // handles move into the slots (each of `handles` is left empty): a slot's handle is its own.
  void add_objects(std::span<IndexableHandle> handles);

  // Withdraws `obj` from this top-level core: its slot, id and membership, then every value it is
  // listed under, its range entries and, in the nested cores, the objects only it held. False,
  // changing nothing, when the core does not store it. Interpreter lock not needed.
  bool remove_object(const IndexableHandle& obj);

  RwLock::WriteGuard get_index_writer() { return index_->lock.write(); }
  // Re-indexes attribute `name` of object `id` from `previous` (null: none) to `value` if this core
  // stores the object; otherwise withdraws both. Releases `guard`, then runs the nested work.
  void update_index(RwLock::WriteGuard guard, const AttrName& name, const PyValue* previous, const PyValue& value,
                    std::uint32_t id);

  bool has_object_id(std::uint32_t id) const;

  // True when `candidate` holds `id` (stored here), directly or further up, through the parent
  // links of this core and the cores above it; `id` itself counts only if it holds itself.
  bool is_ancestor(std::uint32_t id, std::uint32_t candidate) const;

  // Evaluates `expr` (index/query_eval.hpp) with this core's id set as the universe, under read
  // locks on the table, then the id set. Call inside pool::run.
  Bitmap reduced_query(const QueryExpr& expr) const;
  // The holders, in the owning core, of the objects `ids` stored in this nested core, each once.
  Bitmap get_direct_parents(const Bitmap& ids) const;

  // Partitions the stored objects by the value of attribute `path` (a dotted path reaches into
  // nested objects, one core per dot, and lifts each nested group to its holders): one group per
  // distinct value, each object in at most one. Empty when the path names nothing here. Takes
  // read locks along the path, outer to inner.
  GroupList group_by(std::string_view path) const;
  // The objects stored in `other` that this core does not store: what a union brings, through
  // add_objects, once each has a reference of its own. Reads `other` under its own slot lock,
  // never together with a lock of this core.
  std::vector<IndexableHandle> lacking_from(const IndexAPI& other) const;

  // Keyword filtering over the attribute table.
  Bitmap filter_by_hashes(const HashQuery& query) const;
  // Narrows every value set to the objects matching `query`, then re-inserts their attributes.
  void reduce(const HashQuery& query);

  // What `reduce` hides: for each stored object, the indexed names whose value set does not list
  // it (empty while never narrowed). With hide(), rebuilds a narrowed index over new objects.
  std::vector<std::pair<std::uint32_t, std::vector<AttrName>>> hidden_names() const;
  // Drops stored object `id` from the value sets of `names` (its current values), as `reduce` does
  // to objects it does not match.
  void hide(std::uint32_t id, std::span<const AttrName> names);

  std::uint64_t item_count() const {
    auto guard = items_->lock.read();
    return items_->value.filled();
  }
  // Calls f(id, PyObject*) for each stored object in ascending id order, under the slot read lock.
  template <class F>
  void for_each_item(F&& f) const {
    auto guard = items_->lock.read();
    items_->value.for_each([&](std::uint32_t id, const IndexableHandle& obj) { f(id, obj.get()); });
  }
  // Calls f(PyObject* or null) for each of `ids` in order, under the slot read lock.
  template <class F>
  void for_each_object(const std::vector<std::uint32_t>& ids, F&& f) const {
    auto guard = items_->lock.read();
    items_->value.for_each_of(ids, [&](const IndexableHandle* obj) { f(obj ? obj->get() : nullptr); });
  }

  const std::shared_ptr<Locked<AttributeTable>>& index() const noexcept { return index_; }
  const std::shared_ptr<Locked<Slots>>& items() const noexcept { return items_; }
  const std::shared_ptr<Locked<Bitmap>>& ids() const noexcept { return ids_; }
  bool is_empty() const;
  bool narrowed() const noexcept { return narrowed_.load(std::memory_order_relaxed); }
  // Whether this core indexes attribute `name` (names beginning with "_" only in rebased cores).
  bool indexes(const AttrName& name) const noexcept { return indexes_private_names_ || !name.is_private(); }
  bool indexes_private_names() const noexcept { return indexes_private_names_; }

  // Checks every invariant of this core and the cores nested below it against the stored objects'
  // current attributes; empty while they hold, else the first broken one. For tests, with no
  // writer running.
  std::string verify() const;

  // Runs queued nested work until none is left. Each job runs with no lock of the caller held.
  static void run(IndexWork& work);

 private:
  // Stores each nested object of `queued` for its holder ids, or adds the holders to an object
  // already stored. Sorts the batch's pairs.
  void store_nested(NestedStores& queued, IndexWork& work);
  // Withdraws holder `parent_id` from nested object `obj`; withdraws the object when none is left.
  void withdraw_nested(const IndexableHandle& obj, std::uint32_t parent_id, IndexWork& work);
  // `obj`, stored here, lost a holder: the ancestors of everything stored below it shrank, so a
  // store skipped there as closing a cycle may not close one any more. Queues those stores again
  // (each checks itself when it runs).
  void recheck_below(const IndexableHandle& obj, IndexWork& work);
  // Whether holder `parent_id` is stored in the owning core and carries `child` under this core's
  // attribute now; the truth every nested job is checked against when it runs (see store_nested).
  bool holder_carries(std::uint32_t parent_id, const Indexable& child) const;
  bool holder_carries(const IndexAPI& owner, std::uint32_t parent_id, const Indexable& child) const;
  // The same with the owning core's slots at hand, their lock held.
  bool holder_carries(const Slots& owner_slots, std::uint32_t parent_id, const Indexable& child) const;
  // Would storing `obj` under holder `parent_id` close a cycle of nested objects?
  bool closes_cycle(Indexable& obj, std::uint32_t parent_id, CycleMemo& memo) const;
  // Indexes the attributes of `snapshot` for object `id` (table write lock held).
  void index_attributes(AttributeTable& table, std::uint32_t id, const AttributeMap& snapshot, IndexWork& work);
  // index_attributes for many objects under one hold of the table write lock (index_api.cpp).
  class AttributeBatch;
  void add_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value, IndexWork& work);
  void remove_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value,
                    IndexWork& work);
  void rekey(QueryMap& map, ValueTable::Entry& entry, const AttrName& name);
  // See reduce.
  void build_trees(std::span<const AttrName> names) const;
  bool stored(std::uint32_t id) const { return has_object_id(id); }
  std::string verify_one(std::vector<std::shared_ptr<const IndexAPI>>& pending) const;

  std::shared_ptr<Locked<AttributeTable>> index_;
  std::shared_ptr<Locked<Slots>> items_;
  std::shared_ptr<Locked<Bitmap>> ids_;
  std::weak_ptr<IndexAPI> parent_;
  std::uint32_t level_;
  AttrName name_;  // nested cores: the owning core's attribute whose values this core holds
  // Shared by a top-level core and every core nested below it: set once a store was skipped as
  // closing a cycle, so that trees without cycles never pay for rechecks.
  std::shared_ptr<std::atomic<bool>> cuts_made_;
  const bool indexes_private_names_;
  std::atomic<bool> narrowed_{false};  // reduce has run: value sets may miss stored objects
};

// Keyword filtering: the values of one name are united, names are intersected, cheapest name
// first. The caller holds the table's read lock.
Bitmap filter_index_by_hashes(const AttributeTable& table, const HashQuery& query);

// The placeholder core that membership lists ignore; created on first use, kept for the process.
const std::shared_ptr<IndexAPI>& default_index_arc();

// Throws DomainError (Recursion), with nothing changed, when storing `roots` in a core of
// `base_level` would nest Indexable values deeper than kMaxNestingDepth. `holder`, if given, counts
// as an ancestor of the roots (an assignment checks the value it stores in the holder).
// `private_names`: the core indexes the roots' names beginning with "_" too (a rebased top-level
// core; nested cores never do). Interpreter lock held: reads snapshots without references.
void check_nesting_depth(std::span<Indexable* const> roots, std::uint32_t base_level, const Indexable* holder,
                         bool private_names = false);

// Whether `obj` lies on a cycle of Indexable values; learns every object reached on the way.
// Reads snapshots natively (no interpreter lock needed).
bool on_cycle(Indexable& obj, CycleMemo& memo);

}  // namespace vantorelle
