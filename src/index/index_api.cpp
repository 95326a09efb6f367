// The mutation protocol of an index core: adding objects, re-indexing an assigned attribute, and
// storing and withdrawing Indexable values in nested cores.
#include "index/index_api.hpp"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "index/indexable.hpp"
#include "interpreter/gil.hpp"
#include "native/radix_sort.hpp"

namespace vantorelle {

std::shared_ptr<IndexAPI> IndexAPI::create(bool indexes_private_names) {
  return std::make_shared<IndexAPI>(MadeByFactory(), std::weak_ptr<IndexAPI>(), 0, AttrName(),
                                    std::make_shared<std::atomic<bool>>(false), indexes_private_names);
}

std::shared_ptr<IndexAPI> IndexAPI::create_nested(IndexAPI& owner, const AttrName& name) {
  return std::make_shared<IndexAPI>(MadeByFactory(), owner.weak_from_this(), owner.level_ + 1, name, owner.cuts_made_,
                                    false);
}

IndexAPI::IndexAPI(MadeByFactory, std::weak_ptr<IndexAPI> parent, std::uint32_t level, AttrName name,
                   std::shared_ptr<std::atomic<bool>> cuts_made, bool indexes_private_names)
    : index_(std::make_shared<Locked<AttributeTable>>()),
      items_(std::make_shared<Locked<Slots>>()),
      ids_(std::make_shared<Locked<Bitmap>>()),
      parent_(std::move(parent)),
      level_(level),
      name_(std::move(name)),
      cuts_made_(std::move(cuts_made)),
      indexes_private_names_(indexes_private_names) {}

const std::shared_ptr<IndexAPI>& default_index_arc() {
  static const std::shared_ptr<IndexAPI> DEFAULT_INDEX_ARC = IndexAPI::create();
  return DEFAULT_INDEX_ARC;
}

void IndexAPI::run(IndexWork& work) {
  py::DeferReleases defer;
  while (!work.empty()) {
    if (!work.stores.empty()) {
      std::vector<NestedStores> stores = std::move(work.stores);
      work.stores.clear();
      for (NestedStores& batch : stores) batch.core->store_nested(batch, work);
      continue;
    }
    NestedJob job = std::move(work.jobs.front());
    work.jobs.pop_front();
    switch (job.kind) {
      case NestedJob::Kind::Remove: job.core->withdraw_nested(job.obj, job.parent_id, work); break;
      case NestedJob::Kind::Recheck: job.core->recheck_below(job.obj, work); break;
    }
  }
}

void IndexAPI::add_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value,
                         IndexWork& work) {
  auto it = table.find(name.view());
  if (it == table.end()) {
    it = table.emplace(name, std::make_unique<QueryMap>(*this, name)).first;
  }
  it->second->insert(value, id, work);
}

void IndexAPI::remove_index(AttributeTable& table, std::uint32_t id, const AttrName& name, const PyValue& value,
                            IndexWork& work) {
  auto it = table.find(name.view());
  if (it == table.end()) return;
  QueryMap& map = *it->second;
  // The range tree and the nested core are withdrawn from whether or not the value table still
  // lists the value (reduce may have emptied or pruned its set).
  map.remove_id(value, id, work);
  if (ValueTable::Entry* entry = map.find_entry(value)) {
    if (entry->ids.empty()) {
      map.check_prune(value);
    } else if (entry->value.handle().same_cell(value.handle())) {
      rekey(map, *entry, name);
    }
  }
  if (map.is_empty()) table.erase(it);
}

// The entry's key is the value of the object that created it, which just left it: the key becomes
// the equal value of an object still listed. A key is then always a value some listed object
// carries, which the collector sees through that object; the old key goes with its last holder.
void IndexAPI::rekey(QueryMap& map, ValueTable::Entry& entry, const AttrName& name) {
  entry.ids.for_each([&](std::uint32_t other) {
    IndexableHandle holder;
    {
      auto guard = items_->lock.read();
      if (const IndexableHandle* slot = items_->value.get(other)) holder = *slot;
    }
    if (!holder) return true;
    Snapshot snapshot = holder.native().snapshot();
    const PyValue* carried = snapshot->get(name.view());
    if (carried == nullptr || !(*carried == entry.value)) return true;
    map.rekey(entry, *carried);
    return false;
  });
}

void IndexAPI::index_attributes(AttributeTable& table, std::uint32_t id, const AttributeMap& snapshot,
                                IndexWork& work) {
  snapshot.for_each([&](const AttrName& name, const PyValue& value) {
    if (indexes(name)) add_index(table, id, name, value, work);
  });
}

// Attribute names are resolved to their maps once per shape rather than once per value, and the
// range entries of each map are gathered and entered sorted: consecutive entries then share their
// path down the tree, which an object-by-object order scatters over it. Likewise the ids of values
// already in a table are gathered and added per value, one call per set instead of one per id.
// Both are flushed in bounded runs, so what is gathered never costs more than a fixed amount per
// map. Everything is entered by flush(); the caller holds the table write lock throughout.
class IndexAPI::AttributeBatch {
 public:
  // `expected`: how many objects the batch will add, to size the value tables of attributes whose
  // values turn out unique.
  AttributeBatch(IndexAPI& core, AttributeTable& table, std::size_t expected)
      : core_(core), table_(table), expected_(expected) {}
  AttributeBatch(const AttributeBatch&) = delete;
  AttributeBatch& operator=(const AttributeBatch&) = delete;

  void add(std::uint32_t id, const AttributeMap& snapshot, IndexWork& work) {
    if (const ShapeRef& shape = snapshot.shape()) {
      if (shape != shape_) resolve(shape);
      std::size_t position = 0;
      snapshot.for_each([&](const AttrName&, const PyValue& value) {
        const std::uint32_t at = by_position_[position++];
        if (at != kSkipped) insert(staged_[at], value, id, work);
      });
    } else {
      snapshot.for_each([&](const AttrName& name, const PyValue& value) {
        if (core_.indexes(name)) insert(staged_[stage(name)], value, id, work);
      });
    }
  }

  // A hint that `snapshot` is added soon (after the current shape's others): starts loading the
  // value-table slots its values will probe. Changes nothing.
  void prefetch(const AttributeMap& snapshot) const noexcept {
    if (!shape_ || snapshot.shape() != shape_) return;
    std::size_t position = 0;
    snapshot.for_each([&](const AttrName&, const PyValue& value) {
      const std::uint32_t at = by_position_[position++];
      if (at != kSkipped) staged_[at].map->values().prefetch(value);
    });
  }

  void flush() {
    for (Staged& staged : staged_) {
      enter(staged);
      if (staged.reserved) staged.map->values().shrink_to_fit();
    }
  }

 private:
  static constexpr std::uint32_t kSkipped = 0xFFFFFFFFu;
  static constexpr std::size_t kRun = std::size_t{1} << 16;  // gathered range entries per map

  static constexpr std::size_t kProbe = 4096;  // values seen before a table may be sized

  // Nothing is erased from a map during the batch, so the pending entry positions stay valid
  // until they are entered.
  struct Staged {
    QueryMap* map;  // stable: add never erases a map
    std::vector<CompositeKey128> numbers;
    std::vector<ValueTable::PendingId> pending;
    std::size_t entries_before;  // the value table's size when the batch began
    std::size_t inserted = 0;
    bool reserved = false;  // the table was sized for the rest of the batch
  };

  void enter(Staged& staged) {
    if (!staged.numbers.empty()) staged.map->insert_numbers(staged.numbers);
    if (!staged.pending.empty()) staged.map->values().add_pending(staged.pending, scratch_, run_);
  }

  void insert(Staged& staged, const PyValue& value, std::uint32_t id, IndexWork& work) {
    staged.map->insert_deferred(value, id, work, staged.numbers, staged.pending);
    if (staged.numbers.size() >= kRun || staged.pending.size() >= kRun) enter(staged);
    // An attribute whose first values were nearly all new (an id, a timestamp) gets its table sized
    // for the rest of the batch at once, instead of growing through every doubling.
    if (++staged.inserted == kProbe && expected_ > kProbe) {
      ValueTable& values = staged.map->values();
      if ((values.size() - staged.entries_before) * 4 >= kProbe * 3) {
        values.reserve(values.size() + expected_ - kProbe);
        staged.reserved = true;
      }
    }
  }

  void resolve(const ShapeRef& shape) {
    shape_ = shape;  // kept, so that the address cannot come back as another shape
    by_position_.clear();
    for (const AttrName& name : shape->names()) by_position_.push_back(core_.indexes(name) ? stage(name) : kSkipped);
  }

  std::uint32_t stage(const AttrName& name) {
    auto it = table_.find(name.view());
    if (it == table_.end()) it = table_.emplace(name, std::make_unique<QueryMap>(core_, name)).first;
    QueryMap* map = it->second.get();
    auto [at, added] = staged_of_.emplace(map, static_cast<std::uint32_t>(staged_.size()));
    if (added) staged_.push_back(Staged{map, {}, {}, map->values().size()});
    return at->second;
  }

  IndexAPI& core_;
  AttributeTable& table_;
  const std::size_t expected_;
  ShapeRef shape_;     // the shape by_position_ was resolved for
  std::vector<std::uint32_t> by_position_;  // staged_ index of each name of shape_, or kSkipped
  std::vector<Staged> staged_;
  std::unordered_map<const QueryMap*, std::uint32_t> staged_of_;
  std::vector<ValueTable::PendingId> scratch_;  // add_pending's work space, shared by the maps
  std::vector<std::uint32_t> run_;
};

void IndexAPI::add_objects(std::span<IndexableHandle> handles) {
  py::DeferReleases defer;
  std::vector<IndexableHandle> replaced;  // dropped after the locks
  std::vector<std::uint32_t> added;       // reserved before the locks: a failure there poisons them
  added.reserve(handles.size());
  // The objects, once their handles are in the slots (which keep them alive).
  std::vector<Indexable*> objs(handles.size());
  for (std::size_t at = 0; at < handles.size(); ++at) objs[at] = &handles[at].native();
  {
    auto ids_guard = ids_->lock.write();
    auto guard = items_->lock.write();
    Slots& slots = items_->value;
    std::shared_ptr<IndexAPI> self = shared_from_this();
    for (std::size_t at = 0; at < objs.size(); ++at) {
      if (at + 8 < objs.size()) objs[at + 8]->prefetch();
      Indexable& native = *objs[at];
      IndexableHandle old = slots.put(native.id(), std::move(handles[at]));
      if (old) {
        replaced.push_back(std::move(old));
      } else {
        added.push_back(native.id());
        native.record_membership(self);
      }
    }
    ids_->value.add_many(added.data(), added.size());
  }
  IndexWork work;
  {
    auto guard = index_->lock.write();
    AttributeBatch batch(*this, index_->value, objs.size());
    // A large table (a unique id) misses the cache on every lookup, so the snapshots are taken a
    // few objects ahead and their lookups started early; each object is fetched a step before.
    // Taken early or not, each snapshot is taken under this lock, which is what an add's read
    // needs (see update_index).
    constexpr std::size_t kAhead = 8;
    std::array<Snapshot, kAhead> ahead;
    auto take_ahead = [&](std::size_t at) {
      if (at + 2 * kAhead < objs.size()) objs[at + 2 * kAhead]->prefetch();
      if (at + kAhead < objs.size()) objs[at + kAhead]->prefetch_map();
      if (at < objs.size()) {
        ahead[at % kAhead] = objs[at]->snapshot_for_index();
        batch.prefetch(*ahead[at % kAhead]);
      }
    };
    for (std::size_t at = 0; at < kAhead; ++at) take_ahead(at);
    for (std::size_t at = 0; at < objs.size(); ++at) {
      Snapshot snapshot = std::move(ahead[at % kAhead]);
      take_ahead(at + kAhead);
      batch.add(objs[at]->id(), *snapshot, work);
    }
    batch.flush();
  }
  run(work);
}

bool IndexAPI::remove_object(const IndexableHandle& obj) {
  py::DeferReleases defer;
  Indexable& native = obj.native();
  const std::uint32_t id = native.id();
  IndexableHandle dropped;  // released after the locks
  IndexWork work;
  {
    // As a nested withdrawal: the slot empties under the table lock, so an assignment's stored
    // check (also under it) sees either the object with its values or neither.
    auto table_guard = index_->lock.write();
    // Marked like an add: an assignment that re-indexed this core before the slot emptied, and
    // whose new values this read may miss, sees the epoch move and withdraws them itself. Read
    // while the object is still listed: once it is not, an assignment may replace its values in
    // place, and a later read would withdraw the new values instead of those the sets hold.
    Snapshot snapshot = native.snapshot_for_index();
    {
      auto ids_guard = ids_->lock.write();
      auto guard = items_->lock.write();
      Slots& slots = items_->value;
      const IndexableHandle* slot = slots.get(id);
      if (slot == nullptr || slot->get() != obj.get()) return false;
      dropped = slots.take(id);
      ids_->value.remove(id);
      native.withdraw_membership(this);
    }
    snapshot->for_each([&](const AttrName& name, const PyValue& value) {
      if (indexes(name)) remove_index(index_->value, id, name, value, work);
    });
  }
  run(work);
  return true;
}

void IndexAPI::update_index(RwLock::WriteGuard guard, const AttrName& name, const PyValue* previous,
                            const PyValue& value, std::uint32_t id) {
  py::DeferReleases defer;
  IndexWork work;
  {
    RwLock::WriteGuard held = std::move(guard);
    if (!indexes(name)) return;
    if (previous != nullptr) remove_index(index_->value, id, name, *previous, work);
    // Checked under the table lock, which every change of the slot's indexed state also holds.
    if (stored(id)) {
      add_index(index_->value, id, name, value, work);
    } else {
      remove_index(index_->value, id, name, value, work);
    }
  }
  run(work);
}

bool IndexAPI::closes_cycle(Indexable& obj, std::uint32_t parent_id, CycleMemo& memo) const {
  // Items of a top-level core have no holders, so only a core below a nested one can close a cycle.
  std::shared_ptr<const IndexAPI> owner = parent_.lock();
  if (!owner || owner->level_ == 0) return false;
  if (!on_cycle(obj, memo)) return false;
  return owner->is_ancestor(parent_id, obj.id());
}

bool IndexAPI::holder_carries(std::uint32_t parent_id, const Indexable& child) const {
  std::shared_ptr<const IndexAPI> owner = parent_.lock();
  return owner && holder_carries(*owner, parent_id, child);
}

bool IndexAPI::holder_carries(const IndexAPI& owner, std::uint32_t parent_id, const Indexable& child) const {
  auto guard = owner.items_->lock.read();
  return holder_carries(owner.items_->value, parent_id, child);
}

bool IndexAPI::holder_carries(const Slots& owner_slots, std::uint32_t parent_id, const Indexable& child) const {
  const IndexableHandle* holder = owner_slots.get(parent_id);
  if (holder == nullptr) return false;
  // Marked like an add: an assignment to the holder that has not published yet re-indexes the
  // owning core after this read, and its nested jobs, checked after this one, repair it.
  return holder->native().inspect_for_index([&](const AttributeMap& snapshot) {
    const PyValue* value = snapshot.get(name_.view());
    return value != nullptr && value->primitave().is_ind() && &value->primitave().ind_native() == &child;
  });
}

// Nested jobs from different threads (an add's, an assignment's, a withdrawal's) reach a nested
// core in any order, each computed from what its thread saw. So a job does not trust its kind: under
// this core's slot lock it asks whether the holder carries the object now (holder_carries): a store
// links the pair only if so, a withdrawal drops it only if not. Jobs about one (object, holder) pair
// are thereby applied in the order of that lock, each against the holder's then current state; a
// holder assignment still unpublished at that moment is caught by its second pass (the epoch mark).
//
// The pairs of one batch are sorted by object, so each object's holders are linked together and a
// newly stored object is indexed once, with the others of the batch, under one table lock.
void IndexAPI::store_nested(NestedStores& queued, IndexWork& work) {
  if (level_ > kMaxNestingDepth) return;
  std::shared_ptr<const IndexAPI> owner = parent_.lock();
  if (!owner) return;
  const std::vector<IndexableHandle>& objects = queued.objects;
  std::vector<NestedStore>& items = queued.items;
  // A value that already holds its holder (directly or further up) is a cycle: it stays in the
  // owning core's value table, but the descent stops here.
  const std::size_t queued_pairs = items.size();
  if (owner->level_ != 0) {
    std::erase_if(items, [&](const NestedStore& item) {
      if (!closes_cycle(objects[item.object].native(), item.parent_id, work.cycles)) return false;
      cuts_made_->store(true, std::memory_order_relaxed);
      return true;
    });
  }
  // Grouped by object, in the order the objects arrived: a value table keeps the first of equal
  // values as its key, which dotted groups show. An object arrives with its first pair left after
  // the cut, which is its first pair (its position) unless that one closed a cycle. The order of
  // an object's holders does not matter: they go into one set.
  std::vector<NestedStore> scratch;
  if (items.size() == queued_pairs) {
    radix_sort(items, scratch, [](const NestedStore& item) { return item.object; });
  } else {
    std::vector<std::uint32_t> arrival(objects.size(), 0xFFFFFFFFu);
    for (std::size_t k = 0; k < items.size(); ++k) {
      std::uint32_t& first = arrival[items[k].object];
      if (first == 0xFFFFFFFFu) first = static_cast<std::uint32_t>(k);
    }
    radix_sort(items, scratch, [&](const NestedStore& item) { return arrival[item.object]; });
  }
  std::vector<IndexableHandle> fresh;  // stored by this batch, in arrival order
  {
    auto ids_guard = ids_->lock.write();
    auto guard = items_->lock.write();
    // Slot locks go from inner cores outward: the holders are read in place under this one.
    auto owner_guard = owner->items_->lock.read();
    const Slots& owner_slots = owner->items_->value;
    Slots& slots = items_->value;
    // Holders lie scattered over the owning core, and each check waits on three misses in a row
    // (slot, object, map), so the checks a few pairs ahead are started early, one step each.
    auto prefetch_ahead = [&](std::size_t at) {
      if (at + 12 < items.size()) owner_slots.prefetch(items[at + 12].parent_id);
      if (at + 8 < items.size()) {
        if (const IndexableHandle* holder = owner_slots.get(items[at + 8].parent_id)) holder->native().prefetch();
      }
      if (at + 4 < items.size()) {
        if (const IndexableHandle* holder = owner_slots.get(items[at + 4].parent_id)) holder->native().prefetch_map();
      }
    };
    std::vector<std::uint32_t> carried;  // holders of the current object that carry it
    for (std::size_t first = 0; first < items.size();) {
      const std::uint32_t position = items[first].object;
      const IndexableHandle& obj = objects[position];
      Indexable& nested = obj.native();
      const std::uint32_t id = nested.id();
      std::size_t end = first;
      carried.clear();
      for (; end < items.size() && items[end].object == position; ++end) {
        prefetch_ahead(end);
        if (holder_carries(owner_slots, items[end].parent_id, nested)) carried.push_back(items[end].parent_id);
      }
      first = end;
      if (carried.empty()) continue;
      HybridSet holders;
      holders.add_many(carried.data(), carried.size());
      // Parent lists are united by the hundred in dotted queries: they skip the sorted form.
      holders.leave_sorted_form();
      if (slots.contains(id)) {
        HybridSet& parents = slots.links[id].parent_ids;
        parents.or_inplace(holders);
        parents.leave_sorted_form();
        continue;
      }
      slots.put(id, obj);
      slots.links[id] = StoredItemParent{std::move(holders)};
      ids_->value.add(id);
      nested.record_membership(shared_from_this());
      fresh.push_back(obj);
    }
  }
  if (fresh.empty()) return;
  auto guard = index_->lock.write();
  AttributeBatch batch(*this, index_->value, fresh.size());
  for (const IndexableHandle& obj : fresh) {
    Indexable& nested = obj.native();
    // A withdrawal that ran between the slot lock and this one removed values not indexed yet: the
    // object is indexed only if it is still stored (withdrawals empty the slot under this lock).
    if (!stored(nested.id())) continue;
    // Filled before this lock: an assignment in between re-indexes this core (it is stored) and
    // then, seeing the epoch move, once more after this read.
    Snapshot snapshot = nested.snapshot_for_index();
    batch.add(nested.id(), *snapshot, work);
  }
  batch.flush();
}

void IndexAPI::withdraw_nested(const IndexableHandle& obj, std::uint32_t parent_id, IndexWork& work) {
  Indexable& nested = obj.native();
  std::uint32_t id = nested.id();
  IndexableHandle dropped;  // released after the locks below
  auto table_guard = index_->lock.write();
  // Marked like an add: an assignment that re-indexed this core before the slot emptied, and
  // whose new values this read may miss, sees the epoch move and withdraws them itself. Read
  // while the object is still listed (see remove_object).
  Snapshot snapshot = nested.snapshot_for_index();
  {
    auto ids_guard = ids_->lock.write();
    auto guard = items_->lock.write();
    Slots& slots = items_->value;
    // Not stored (the value closed a cycle, or was withdrawn already): nothing to do.
    if (!slots.contains(id)) return;
    auto it = slots.links.find(id);
    if (it == slots.links.end() || !it->second.parent_ids.contains(parent_id)) return;
    if (holder_carries(parent_id, nested)) return;
    it->second.parent_ids.remove(parent_id);
    if (!it->second.parent_ids.empty()) {
      if (cuts_made_->load(std::memory_order_relaxed)) {
        work.jobs.push_back(NestedJob{NestedJob::Kind::Recheck, shared_from_this(), obj, 0});
      }
      return;
    }
    dropped = slots.take(id);
    ids_->value.remove(id);
    nested.withdraw_membership(this);
  }
  snapshot->for_each([&](const AttrName& name, const PyValue& value) {
    if (indexes(name)) remove_index(index_->value, id, name, value, work);
  });
}

void IndexAPI::recheck_below(const IndexableHandle& obj, IndexWork& work) {
  // Walks down from `obj` through the stored links (each item once per core); every holder and
  // value found unlinked gets its store queued again.
  std::vector<std::pair<std::shared_ptr<IndexAPI>, IndexableHandle>> frontier{{shared_from_this(), obj}};
  std::unordered_set<std::uint64_t> visited;  // (core serial, id)
  std::unordered_map<const IndexAPI*, std::uint32_t> serial;
  while (!frontier.empty()) {
    auto [core, item] = std::move(frontier.back());
    frontier.pop_back();
    auto at = serial.emplace(core.get(), static_cast<std::uint32_t>(serial.size())).first;
    std::uint32_t holder = item.native().id();
    if (!visited.insert((static_cast<std::uint64_t>(at->second) << 32) | holder).second) continue;
    if (!core->has_object_id(holder)) continue;
    Snapshot snapshot = item.native().snapshot();
    snapshot->for_each([&](const AttrName& name, const PyValue& value) {
      if (!core->indexes(name) || !value.primitave().is_ind()) return;
      std::shared_ptr<IndexAPI> nested;
      {
        auto guard = core->index_->lock.read();
        auto it = core->index_->value.find(name.view());
        if (it != core->index_->value.end()) nested = it->second->nested();
      }
      if (!nested) return;
      const IndexableHandle& child = value.primitave().as_ind_handle();
      bool linked = false;
      {
        auto guard = nested->items_->lock.read();
        const Slots& slots = nested->items_->value;
        auto link = slots.links.find(child.native().id());
        linked = link != slots.links.end() && link->second.parent_ids.contains(holder);
      }
      if (linked) {
        frontier.emplace_back(std::move(nested), child);
      } else {
        work.store(nested, child, holder);
      }
    });
  }
}

bool IndexAPI::has_object_id(std::uint32_t id) const {
  auto guard = items_->lock.read();
  return items_->value.contains(id);
}

bool IndexAPI::is_empty() const {
  auto guard = ids_->lock.read();
  return ids_->value.empty();
}

}  // namespace vantorelle
