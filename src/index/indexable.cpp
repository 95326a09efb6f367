#include "index/indexable.hpp"

#include <algorithm>

#include "index/index_api.hpp"
#include "interpreter/gil.hpp"

namespace vantorelle {

std::atomic<std::uint64_t> GLOBAL_ID_COUNTER{1};
std::atomic<std::uint64_t> GRAPH_EPOCH{0};

std::uint32_t Indexable::next_id() {
  std::uint64_t id = GLOBAL_ID_COUNTER.load(std::memory_order_relaxed);
  do {
    if (id > kMaxObjectId) {
      throw DomainError(DomainError::Kind::Overflow,
                        "object ids exhausted: this process has created 4294967295 Indexable objects");
    }
  } while (!GLOBAL_ID_COUNTER.compare_exchange_weak(id, id + 1, std::memory_order_relaxed));
  return static_cast<std::uint32_t>(id);
}

Indexable::~Indexable() {
  keep_members([](std::weak_ptr<IndexAPI>&, bool) { return false; });
  Snapshot::adopt(current(std::memory_order_relaxed));
}

namespace {

bool same_core(const std::weak_ptr<IndexAPI>& ref, const std::weak_ptr<const IndexAPI>& core) noexcept {
  return !ref.owner_before(core) && !core.owner_before(ref);
}

}  // namespace

template <class F>
bool Indexable::any_member(F&& f) const {
  switch (membership_form_.load(std::memory_order_relaxed)) {
    case kOne: return f(members_.one, false);
    case kOneDeparted: return f(members_.one, true);
    case kMany:
      return std::any_of(members_.many->begin(), members_.many->end(),
                         [&](const Member& member) { return f(member.ref, member.departed); });
    default: return false;
  }
}

template <class Keep>
void Indexable::keep_members(Keep&& keep) {
  const std::uint8_t form = membership_form_.load(std::memory_order_relaxed);
  if ((form == kOne || form == kOneDeparted) && !keep(members_.one, form == kOneDeparted)) {
    members_.one.~weak_ptr();
    membership_form_.store(kNone, std::memory_order_seq_cst);
  } else if (form == kMany) {
    std::erase_if(*members_.many, [&](Member& member) { return !keep(member.ref, member.departed); });
    if (members_.many->empty()) {
      delete members_.many;
      membership_form_.store(kNone, std::memory_order_seq_cst);
    }
  }
}

void Indexable::record_membership(const std::shared_ptr<IndexAPI>& core) {
  if (core.get() == default_index_arc().get()) return;
  std::lock_guard lock(membership_lock_);
  // Dead cores go when the list would grow, so it stays proportional to the live ones at
  // amortised constant cost.
  const std::uint8_t form = membership_form_.load(std::memory_order_relaxed);
  if (form != kNone && (form != kMany || members_.many->size() == members_.many->capacity())) {
    keep_members([](std::weak_ptr<IndexAPI>& ref, bool) { return !ref.expired(); });
  }
  switch (const std::uint8_t now = membership_form_.load(std::memory_order_relaxed)) {
    case kNone:
      new (&members_.one) std::weak_ptr<IndexAPI>(core);
      membership_form_.store(kOne, std::memory_order_seq_cst);
      return;
    case kOne:
    case kOneDeparted: {
      auto many = std::make_unique<std::vector<Member>>();
      many->reserve(2);
      many->push_back(Member{std::move(members_.one), now == kOneDeparted});
      many->push_back(Member{core});
      members_.one.~weak_ptr();
      members_.many = many.release();
      membership_form_.store(kMany, std::memory_order_seq_cst);
      return;
    }
    default:
      members_.many->push_back(Member{core});
      return;
  }
}

void Indexable::withdraw_membership(const IndexAPI* core) {
  const std::weak_ptr<const IndexAPI> target = core->weak_from_this();
  std::lock_guard lock(membership_lock_);
  const std::uint8_t form = membership_form_.load(std::memory_order_relaxed);
  if (assigning_) {
    // departed: the assignment under way withdraws its values there (see assign)
    if (form == kOne && same_core(members_.one, target)) {
      membership_form_.store(kOneDeparted, std::memory_order_seq_cst);
    } else if (form == kMany) {
      for (Member& member : *members_.many) {
        if (!member.departed && same_core(member.ref, target)) {
          member.departed = true;
          return;
        }
      }
    }
    return;
  }
  bool found = false;
  keep_members([&](std::weak_ptr<IndexAPI>& ref, bool departed) {
    if (found || departed || !same_core(ref, target)) return true;
    found = true;
    return false;
  });
}

bool Indexable::has_memberships() const {
  std::lock_guard lock(membership_lock_);
  return any_member([](const std::weak_ptr<IndexAPI>&, bool departed) { return !departed; });
}

bool Indexable::is_member_of(const IndexAPI* core) const {
  const std::weak_ptr<const IndexAPI> target = core->weak_from_this();
  std::lock_guard lock(membership_lock_);
  return any_member([&](const std::weak_ptr<IndexAPI>& ref, bool departed) {
    return !departed && same_core(ref, target);
  });
}

std::vector<std::shared_ptr<IndexAPI>> Indexable::live_memberships() const {
  std::vector<std::shared_ptr<IndexAPI>> cores;
  std::lock_guard lock(membership_lock_);
  any_member([&](const std::weak_ptr<IndexAPI>& ref, bool departed) {
    if (departed) return false;
    if (auto core = ref.lock()) cores.push_back(std::move(core));
    return false;
  });
  return cores;
}

void Indexable::begin_assignment() {
  std::lock_guard lock(membership_lock_);
  assigning_ = true;
}

std::vector<std::shared_ptr<IndexAPI>> Indexable::end_assignment() noexcept {
  std::vector<std::shared_ptr<IndexAPI>> departed;
  std::lock_guard lock(membership_lock_);
  assigning_ = false;
  // Cores that are gone go too, so an object whose indexes were all dropped takes the unindexed
  // path again.
  keep_members([&](std::weak_ptr<IndexAPI>& ref, bool gone) {
    if (!gone) return !ref.expired();
    if (auto core = ref.lock()) departed.push_back(std::move(core));
    return false;
  });
  return departed;
}

void Indexable::reindex(IndexAPI& core, const AttributeMap& previous,
                        std::span<const std::pair<AttrName, PyValue>> updates) {
  for (const auto& [name, value] : updates) {
    if (!core.indexes(name)) continue;
    core.update_index(core.get_index_writer(), name, previous.get(name.view()), value, id_);
  }
}

namespace {

// A replaced map goes at once where references may be released on this thread, else to the
// pending-release queue: readers holding the interpreter lock may still be using it.
void release_map_later(Snapshot map) noexcept {
  if (!map || py::may_release_now()) return;
  AttributeMap* raw = map.release();
  try {
    py::release_later(std::shared_ptr<const AttributeMap>(raw, [](const AttributeMap* dying) {
      Snapshot::adopt(const_cast<AttributeMap*>(dying));
    }));
  } catch (...) {
    // Out of memory for the queue's owner: keeping the map alive is the only safe choice.
  }
}

// Whether `updates` change which Indexable values the object holds under indexed names.
bool changes_graph(const AttributeMap& previous, std::span<const std::pair<AttrName, PyValue>> updates) {
  for (const auto& [name, value] : updates) {
    if (name.is_private()) continue;
    if (value.primitave().is_ind()) return true;
    const PyValue* old = previous.get(name.view());
    if (old != nullptr && old->primitave().is_ind()) return true;
  }
  return false;
}

bool holds_indexable(std::span<const std::pair<AttrName, PyValue>> updates) {
  return std::any_of(updates.begin(), updates.end(), [](const auto& update) {
    return !update.first.is_private() && update.second.primitave().is_ind();
  });
}

}  // namespace

template <class Exchange>
bool Indexable::replace_in_place(Exchange&& exchange) {
  // Readers without a copy of the map hold the interpreter lock; holding it here keeps them out.
  if (!py::gil_held() || listed()) return false;
  bool graph_changes = false;
  {
    // No assign_mutex_ here. Any thread that reads the map without the interpreter lock holds a
    // copy, taken under snapshot_lock_, so the map is sole only when no such reader exists: an
    // assignment on the full path holds its copy of the map from before its re-indexing until it
    // has published, and a core read under while_unassigned holds one while it compares. Against
    // either, this path finds the map shared and gives way; otherwise it is ordered before or
    // after them, as a locked assignment would be.
    const std::uint32_t epoch_before = index_epoch_.load(std::memory_order_seq_cst);
    if (listed()) return false;
    std::lock_guard lock(snapshot_lock_);
    // A core that records the object after the check above marks the epoch before it copies the
    // map (under this lock): either the mark shows here, or its copy sees the new values.
    if (index_epoch_.load(std::memory_order_seq_cst) != epoch_before) return false;
    AttributeMap* map = current(std::memory_order_relaxed);
    if (!map->sole() || !exchange(*map, graph_changes)) return false;
  }
  if (graph_changes) GRAPH_EPOCH.fetch_add(1, std::memory_order_seq_cst);
  return true;
}

bool Indexable::assign_unindexed(std::span<std::pair<AttrName, PyValue>> updates) {
  if (updates.size() > AttributeMap::kSmallCapacity) return false;
  return replace_in_place([&](AttributeMap& map, bool& graph_changes) {
    // The replaced values go back in `updates`: the caller releases them after the lock (a
    // finalizer may assign to this object again). So the graph changes if a value is an Indexable
    // before the exchange (a new one) or after it (a replaced one).
    graph_changes = holds_indexable(updates);
    if (!map.replace_sole(updates)) return false;
    graph_changes = graph_changes || holds_indexable(updates);
    return true;
  });
}

bool Indexable::assign_unindexed_at(std::uint32_t tag, std::size_t position, PyValue& value) {
  if (value.primitave().is_ind()) return false;
  return replace_in_place([&](AttributeMap& map, bool& graph_changes) {
    if (!map.replace_sole_at(tag, position, value)) return false;
    // The replaced value is an Indexable leaving the graph (unless its name is private).
    graph_changes = value.primitave().is_ind() && !map.shape()->names()[position].is_private();
    return true;
  });
}

void Indexable::assign(std::span<const std::pair<AttrName, PyValue>> updates) {
  Snapshot replaced;  // dropped last: lock-free readers may still use it (see publish)
  {
    // Values dropped in here may run finalizers that assign to this very object: they are
    // released only after the mutex is unlocked.
    py::DeferReleases defer;
    Snapshot previous;
    std::lock_guard assigning(assign_mutex_);
    previous = snapshot();
    // Names beginning with "_" are indexed by rebased cores only; reindex asks each core.
    bool indexed = !updates.empty();
    bool graph_changes = changes_graph(*previous, updates);

    std::uint32_t epoch_before = index_epoch_.load(std::memory_order_seq_cst);
    std::vector<std::shared_ptr<IndexAPI>> first_pass;
    // A core that stores the object after the first pass, from the snapshot before this one, and
    // withdraws it before the second pass, would keep that snapshot's values: withdrawals while
    // this assignment runs leave the core behind as departed, and the assignment withdraws both
    // its old and new values there at the end.
    struct Mark {  // an exception must not leave the object marked as being assigned
      Indexable* obj = nullptr;
      ~Mark() {
        if (obj) obj->end_assignment();
      }
    } mark;
    if (indexed) {
      begin_assignment();
      mark.obj = this;
      first_pass = live_memberships();
      for (const auto& core : first_pass) reindex(*core, *previous, updates);
    }

    replaced = publish(previous->with(updates));
    // After publishing: a run that learned the graph before this point learned it under the old
    // epoch, and forgets it at its next look.
    if (graph_changes) GRAPH_EPOCH.fetch_add(1, std::memory_order_seq_cst);

    if (indexed) {
      bool raced = index_epoch_.load(std::memory_order_seq_cst) != epoch_before;
      std::vector<std::shared_ptr<IndexAPI>> second_pass = live_memberships();
      for (const auto& core : second_pass) {
        bool seen = std::find(first_pass.begin(), first_pass.end(), core) != first_pass.end();
        if (raced || !seen) reindex(*core, *previous, updates);
      }
      // A core that withdrew the object meanwhile may have withdrawn the old snapshot's values
      // after the first pass indexed the new ones; re-indexing a core that no longer stores the
      // object withdraws both.
      if (raced) {
        for (const auto& core : first_pass) {
          bool still = std::find(second_pass.begin(), second_pass.end(), core) != second_pass.end();
          if (!still) reindex(*core, *previous, updates);
        }
      }
      mark.obj = nullptr;
      for (const auto& core : end_assignment()) reindex(*core, *previous, updates);
    }
  }
  release_map_later(std::move(replaced));
}

Snapshot Indexable::publish(Snapshot next) {
  std::lock_guard lock(snapshot_lock_);
  return Snapshot::adopt(map_of(attributes_.exchange(pack(next.release()), std::memory_order_acq_rel)));
}

void Indexable::clear_attributes() { release_map_later(publish(AttributeMap::make_empty())); }

}  // namespace vantorelle
