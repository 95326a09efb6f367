// The native half of an Indexable: its attribute snapshot, id and membership list. The Python
// object around it is laid out as py::NativeObject<Indexable> (interpreter/native_object.hpp).
//
// Locks (see docs/ARCHITECTURE.md for the whole order):
//  - assign_mutex_ serialises assignments to this object. It is taken before any index-core lock,
//    never by a thread holding one (a core read that needs the object still, while_unassigned,
//    takes it first), so an index that holds core locks never waits for it.
//  - membership_lock_ is a leaf: held only to change or copy the membership list.
//  - snapshot_lock_ is a leaf: held only to copy or swap the snapshot pointer. The map itself is
//    immutable, so readers never hold a lock while they use it.
//
// The membership list names exactly the cores whose slots hold the object: a core records and
// withdraws it under its own slot lock, in the same step that fills or empties the slot.
//
// An assignment racing with a core operation must leave every core with the final value. A core
// that indexes or withdraws the object reads the snapshot under its attribute-table lock, after
// bumping index_epoch_ (and, for an add, after recording the membership). An assignment
// re-indexes the cores it sees, publishes, and then re-indexes again the cores that joined
// meanwhile, or, if index_epoch_ moved, every core it saw or now sees: a core that read the old
// snapshot has either finished before the first pass reached it or is redone by the second.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "index/hybrid_hashmap.hpp"
#include "index/indexable_handle.hpp"
#include "interpreter/native_object.hpp"
#include "native/locks.hpp"
#include "native/prefetch.hpp"

namespace vantorelle {

class IndexAPI;

using Snapshot = AttributeMap::Ref;

// Process-wide object-id counter: the next id to hand out. The first id is 1; ids are never
// reused, and once past kMaxObjectId the counter stays there.
extern std::atomic<std::uint64_t> GLOBAL_ID_COUNTER;
inline constexpr std::uint64_t kMaxObjectId = 0xFFFFFFFFull;

// Moves whenever an assignment changes which Indexable values an object holds under an indexed
// name: what was learned about the graph of nested objects before it may be stale after it.
extern std::atomic<std::uint64_t> GRAPH_EPOCH;

class Indexable {
 public:
  Indexable(std::uint32_t id, Snapshot attributes) : attributes_(pack(attributes.release())), id_(id) {}
  Indexable(const Indexable&) = delete;
  Indexable& operator=(const Indexable&) = delete;
  ~Indexable();

  // The next object id; DomainError (Overflow) once the id space is exhausted, then for good.
  static std::uint32_t next_id();

  std::uint32_t id() const noexcept { return id_; }
  Snapshot snapshot() const {
    std::lock_guard lock(snapshot_lock_);
    return Snapshot::share(current(std::memory_order_relaxed));
  }
  // The current map without taking a reference, for a reader that holds the interpreter lock and
  // runs no Python code while using it: a replaced map's published reference is only ever
  // dropped by a thread holding that lock.
  const AttributeMap& snapshot_under_gil() const noexcept { return *current(std::memory_order_acquire); }
  // snapshot_under_gil with the tag of its shape (AttributeMap::shape_tag, or 0 where the object
  // could not keep it), read from the object alone: a reader that knows where a name sits in the
  // shape of that tag reads the value without the map's header.
  struct TaggedMap {
    const AttributeMap* map;
    std::uint32_t tag;
  };
  TaggedMap tagged_snapshot_under_gil() const noexcept {
    std::uintptr_t word = attributes_.load(std::memory_order_acquire);
    return {map_of(word), tag_of(word)};
  }

  // For core operations that index or withdraw this object: marks that the snapshot is about to
  // be read (see the class comment), then reads it. Call with the core's attribute-table write
  // lock held and, for an add, the membership recorded.
  Snapshot snapshot_for_index() {
    index_epoch_.fetch_add(1, std::memory_order_seq_cst);
    return snapshot();
  }

  // snapshot_for_index for a reader that only looks: f(const AttributeMap&) runs under the
  // snapshot lock, a leaf, so it takes no lock and never calls the interpreter.
  template <class F>
  auto inspect_for_index(F&& f) {
    index_epoch_.fetch_add(1, std::memory_order_seq_cst);
    std::lock_guard lock(snapshot_lock_);
    return f(*current(std::memory_order_relaxed));
  }

  // Hints for batches that are about to read many objects: the object's first cache line (which
  // snapshot_for_index writes) and its current map. They change nothing; a map replaced meanwhile
  // is only a wasted hint.
  void prefetch() const noexcept { prefetch_write(this); }
  void prefetch_map() const noexcept { AttributeMap::prefetch(current(std::memory_order_relaxed)); }

  // Called by a core under its slot lock when the object's slot is filled / emptied. The process's
  // placeholder core is never recorded; dead cores are dropped on the way.
  void record_membership(const std::shared_ptr<IndexAPI>& core);
  void withdraw_membership(const IndexAPI* core);
  bool has_memberships() const;
  bool is_member_of(const IndexAPI* core) const;
  std::vector<std::shared_ptr<IndexAPI>> live_memberships() const;
  // Between these an assignment is under way: withdrawals keep their cores, as departed, for it.
  // end_assignment returns them (alive) and forgets them.
  void begin_assignment();
  std::vector<std::shared_ptr<IndexAPI>> end_assignment() noexcept;

  // Sets attributes and re-indexes them in every core holding the object. May run with the
  // interpreter lock released. Names beginning with "_" are stored but never indexed.
  void assign(std::span<const std::pair<AttrName, PyValue>> updates);
  // The fast path for an object no core holds: replaces the values of names the object already has
  // in place, exchanging them with `updates`' values (the caller then holds the replaced ones).
  // Call holding the interpreter lock; false, with nothing changed, where it does not apply (then
  // assign).
  bool assign_unindexed(std::span<std::pair<AttrName, PyValue>> updates);
  // As assign_unindexed for one value, not an Indexable, at `position` of the small-form map whose
  // shape has `tag` (found by the caller in the current map); `value` gets the replaced value back.
  bool assign_unindexed_at(std::uint32_t tag, std::size_t position, PyValue& value);

  // Runs f() while no assignment to this object is under way: the snapshot and every core's value
  // sets then agree. For core reads that compare the two; call holding no core lock (an
  // assignment takes this before any).
  template <class F>
  auto while_unassigned(F&& f) {
    std::lock_guard assigning(assign_mutex_);
    return f();
  }

  // Drops the attributes (cyclic garbage collection clears objects this way).
  void clear_attributes();

 private:
  // The in-place protocol of the unindexed assignments: `exchange(map, graph_changes)` changes the
  // sole map of an object no core holds, under snapshot_lock_; false (nothing done) otherwise.
  template <class Exchange>
  bool replace_in_place(Exchange&& exchange);
  // Makes `next` current; returns the replaced map, which must go through release_map_later.
  [[nodiscard]] Snapshot publish(Snapshot next);
  void reindex(IndexAPI& core, const AttributeMap& previous, std::span<const std::pair<AttrName, PyValue>> updates);

  // The current map's address, which owns one reference, and its shape's tag, packed in one word
  // so that a reader sees the two together. A tagged word has bit 0 set, the tag's low 3 bits in
  // bits 1-3 (a map is 16-byte aligned) and its high 16 bits above bit 47 (no address reaches
  // them); any other word is the plain address of a map whose tag is not kept.
  static constexpr std::uintptr_t kTagged = 1, kAddressBits = 0x0000FFFFFFFFFFF0ull;
  static_assert(sizeof(std::uintptr_t) == 8, "tags are packed in the bits a 64-bit address leaves unused");
  static std::uintptr_t pack(AttributeMap* map) noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(map);
    std::uint32_t tag = map->shape_tag();
    if (tag == 0 || (address & ~kAddressBits) != 0) return address;
#if defined(__SANITIZE_ADDRESS__)
    // LeakSanitizer finds a block only through a word that points into it, so the tag stays in
    // the low bits; other shapes go untagged.
    if (tag > 7) return address;
#endif
    return address | kTagged | (std::uintptr_t{tag & 7u} << 1) | (std::uintptr_t{tag >> 3} << 48);
  }
  static AttributeMap* map_of(std::uintptr_t word) noexcept {
    return reinterpret_cast<AttributeMap*>(word & kTagged ? word & kAddressBits : word);
  }
  static std::uint32_t tag_of(std::uintptr_t word) noexcept {
    return word & kTagged ? static_cast<std::uint32_t>(((word >> 1) & 7u) | ((word >> 48) << 3)) : 0;
  }
  AttributeMap* current(std::memory_order order) const noexcept { return map_of(attributes_.load(order)); }

  // What reads and unindexed assignments touch comes first, in the object's first cache line.
  std::atomic<std::uintptr_t> attributes_;
  // Compared only for change across one assignment, which 2^32 core operations on this object
  // would have to span for a wrap to hide one.
  std::atomic<std::uint32_t> index_epoch_{0};
  const std::uint32_t id_;
  // Copies of the map are taken, and the map replaced, under this lock: the race protocol needs
  // the epoch mark of a core operation to be ordered before its read of the snapshot, and the
  // lock's acquire/release gives exactly that. Holders of the interpreter lock may read the
  // pointer without it (snapshot_under_gil).
  mutable SpinLock snapshot_lock_;
  // Which form the membership list has (kNone, kOne, kOneDeparted, kMany); written under
  // membership_lock_.
  // Doubles as "listed" (not kNone, since the list is never empty in the other forms), which the
  // unindexed fast path reads without the lock.
  std::atomic<std::uint8_t> membership_form_{kNone};
  mutable SpinLock membership_lock_;
  bool assigning_ = false;  // guarded by membership_lock_; see begin_assignment
  SmallMutex assign_mutex_;

  // The membership list: each core once, in the order they took the object; guarded by
  // membership_lock_. A departed member is a core that withdrew the object while an assignment was
  // under way (kept for it). Most objects are in one index at most, so a single member lives
  // inline (its form says whether it departed) and only a second one allocates. Members are
  // compared by their weak references' owner, which is sound even for dead cores: cores are made by
  // make_shared, so a core's block stays allocated while a member's weak reference to it lives,
  // and no later core can share it.
  struct Member {
    std::weak_ptr<IndexAPI> ref;
    bool departed = false;
  };
  static constexpr std::uint8_t kNone = 0, kOne = 1, kMany = 2, kOneDeparted = 3;
  union MemberStore {
    MemberStore() noexcept {}
    ~MemberStore() {}
    std::weak_ptr<IndexAPI> one;  // kOne, kOneDeparted
    std::vector<Member>* many;    // kMany: never empty
  } members_;

  bool listed() const noexcept { return membership_form_.load(std::memory_order_seq_cst) != kNone; }
  // Whether f(ref, departed) holds for some member.
  template <class F>
  bool any_member(F&& f) const;
  // Drops the members for which keep(ref, departed) is false; the list's form follows its size.
  template <class Keep>
  void keep_members(Keep&& keep);
};

inline Indexable& IndexableHandle::native() const noexcept { return py::native_in<Indexable>(handle_.get()); }
inline Indexable& CastView::ind_native() const noexcept { return py::native_in<Indexable>(as_ind()); }

}  // namespace vantorelle
