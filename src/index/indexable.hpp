// The native half of an Indexable: its attribute snapshot, id and membership list.
//
// Locks (see docs/ARCHITECTURE.md for the whole order):
//  - assign_mutex_ serialises assignments to this object. It is taken before any index-core lock
//    and never by index operations, so an index that holds core locks never waits for it.
//  - membership_mutex_ is a leaf: held only to append to or copy the membership list.
//  - snapshot_mutex_ is a leaf: held only to copy or swap the snapshot pointer. The map itself is
//    immutable, so readers never hold a lock while they use it.
//
// An assignment racing with an index add must leave the index with the final value. Adds record
// the membership first and then, under the core's attribute-table lock, bump add_epoch_ and
// read the snapshot. An assignment re-indexes the cores it sees, publishes, and then re-indexes
// again every core that joined meanwhile, or every core if add_epoch_ moved: an add that read the
// old snapshot either finished before the first pass reached its core or is redone by the second.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "index/hybrid_hashmap.hpp"
#include "native/locks.hpp"
#include "python/borrow.hpp"

namespace vantorelle {

class IndexAPI;

using Snapshot = std::shared_ptr<const AttributeMap>;

// Process-wide object-id counter; the first id is 1 and ids are never reused.
extern std::atomic<std::uint64_t> GLOBAL_ID_COUNTER;
inline constexpr std::uint64_t kMaxObjectId = 0xFFFFFFFFull;

class Indexable {
 public:
  Indexable(std::uint32_t id, Snapshot attributes)
      : current_(attributes.get()), attributes_(std::move(attributes)), id_(id) {}
  Indexable(const Indexable&) = delete;
  Indexable& operator=(const Indexable&) = delete;

  std::uint32_t id() const noexcept { return id_; }
  Snapshot snapshot() const {
    std::lock_guard lock(snapshot_mutex_);
    return attributes_;
  }
  // The current map without taking a reference, for a reader that holds the interpreter lock and
  // runs no Python code while using it: a replaced map's published reference is only ever
  // dropped by a thread holding that lock.
  const AttributeMap& snapshot_under_gil() const noexcept { return *current_.load(std::memory_order_acquire); }

  // For index adds: marks that an add is about to read the snapshot (see the class comment), then
  // reads it. Call with the core's attribute-table write lock held and the membership recorded.
  Snapshot snapshot_for_add() {
    add_epoch_.fetch_add(1, std::memory_order_seq_cst);
    return snapshot();
  }

  // Records that `core` holds this object; a core already listed is not listed again. Returns
  // whether it was added. Dead cores and the process's placeholder core are dropped on the way.
  bool add_index(const std::shared_ptr<IndexAPI>& core);
  bool has_memberships() const;
  std::vector<std::shared_ptr<IndexAPI>> live_memberships() const;

  // Sets attributes and re-indexes them in every core holding the object. May run with the
  // interpreter lock released. Names beginning with "_" are stored but never indexed.
  void assign(std::span<const std::pair<AttrName, PyValue>> updates);

  // Drops the attributes (cyclic garbage collection clears objects this way).
  void clear_attributes();

 private:
  // Makes `next` current; returns the replaced map, which must go through py::release_later.
  [[nodiscard]] Snapshot publish(Snapshot next);
  void reindex(IndexAPI& core, const AttributeMap& previous, std::span<const std::pair<AttrName, PyValue>> updates);

  std::mutex assign_mutex_;
  mutable SpinLock membership_mutex_;
  // Sorted by core address, each core once; guarded by membership_mutex_.
  std::vector<std::pair<const IndexAPI*, std::weak_ptr<IndexAPI>>> membership_;
  std::atomic<const AttributeMap*> current_;  // == attributes_'s pointer
  // A plain mutex rather than std::atomic<shared_ptr>: with that, the mark an add makes before
  // reading the snapshot was seen missing by the assignment that published after it (found by
  // the assignment/reduce race test), and the mutex's acquire/release order is what the race
  // protocol relies on.
  mutable SpinLock snapshot_mutex_;
  Snapshot attributes_;  // guarded by snapshot_mutex_
  std::atomic<std::uint64_t> add_epoch_{0};
  const std::uint32_t id_;
};

// The Python object. Index slots hold strong references to it, so native code holding a slot's
// handle may read `native` without the interpreter lock.
struct IndexableObject {
  PyObject_HEAD
  PyObject* weakreflist;
  py::BorrowFlag borrow;
  Indexable native;  // constructed in place by tp_new, destroyed by tp_dealloc
};

inline Indexable& native_of(PyObject* obj) noexcept { return reinterpret_cast<IndexableObject*>(obj)->native; }

}  // namespace vantorelle
