// The value table of an attribute map: value -> ids, keyed by the value's table hash with
// PyValue equality.
//
// Entries live in one dense vector (unordered); an open-addressing index of 8-byte slots points
// into it. A slot holds the entry's position + 1 (0: never used, kTombstone: erased) and the top
// 32 bits of the entry's mixed hash, so a probe rejects other values without touching the entries.
// Erasing moves the last entry into the hole. Capacity is a power of two, at most 3/4 full
// counting tombstones; a table left with four times the room it needs is rebuilt smaller. Lookups
// never call the interpreter.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "index/value.hpp"
#include "native/failure.hpp"
#include "native/hybrid_set.hpp"
#include "native/prefetch.hpp"
#include "native/radix_sort.hpp"

namespace vantorelle {

class ValueTable {
 public:
  struct Entry {
    PyValue value;
    HybridSet ids;
  };
  // An id waiting to join the set of the entry at `entry` (its position), see add_pending.
  struct PendingId {
    std::uint32_t entry;
    std::uint32_t id;
  };

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  auto begin() noexcept { return entries_.begin(); }
  auto end() noexcept { return entries_.end(); }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }

  Entry* find_entry(const PyValue& value) noexcept {
    std::size_t slot = locate(value, mix(value));
    return slot == kNone ? nullptr : &entries_[slots_[slot].entry - 1];
  }

  const HybridSet* find(const PyValue& value) const noexcept {
    std::size_t slot = locate(value, mix(value));
    return slot == kNone ? nullptr : &entries_[slots_[slot].entry - 1].ids;
  }
  HybridSet* find(const PyValue& value) noexcept {
    return const_cast<HybridSet*>(static_cast<const ValueTable&>(*this).find(value));
  }

  // The entry's position: stable until an erase (emplace and reserve move no position).
  std::uint32_t position_of(const Entry& entry) const noexcept {
    return static_cast<std::uint32_t>(&entry - entries_.data());
  }

  // Adds each pending id to the set of its entry and empties `pending`. The positions must still
  // name the entries they were taken for (no erase in between). A set receives its ids in the order
  // they are pending, exactly as one add per id would give them, but in one call per entry: the
  // ids are sorted by entry first (a stable sort, so the order within an entry holds).
  void add_pending(std::vector<PendingId>& pending, std::vector<PendingId>& scratch, std::vector<std::uint32_t>& run) {
    radix_sort(pending, scratch, [](const PendingId& p) { return p.entry; });
    for (std::size_t k = 0; k < pending.size();) {
      const std::uint32_t entry = pending[k].entry;
      run.clear();
      for (; k < pending.size() && pending[k].entry == entry; ++k) run.push_back(pending[k].id);
      entries_[entry].ids.add_many(run.data(), run.size());
    }
    pending.clear();
  }

  // A hint that `value` is looked up soon: starts loading the slot its probe begins at.
  void prefetch(const PyValue& value) const noexcept {
    if (!slots_.empty()) prefetch_read(&slots_[mix(value) & (slots_.size() - 1)]);
  }

  // Adds an entry for a value that is not in the table.
  void emplace(const PyValue& value, HybridSet ids) {
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    std::uint64_t h = mix(value);
    entries_.push_back(Entry{value, std::move(ids)});
    place(h, static_cast<std::uint32_t>(entries_.size()));
  }

  // Makes room for `count` entries in all, so that adding up to that many moves nothing.
  // Changes nothing when it cannot allocate (it only saves later moves).
  void reserve(std::size_t count) noexcept {
    if (count <= entries_.capacity()) return;
    std::size_t capacity = slots_.empty() ? 8 : slots_.size();
    while ((count + 1) * 4 > capacity * 3) capacity *= 2;
    try {
      std::vector<Slot> slots(capacity);
      entries_.reserve(count);
      slots_.swap(slots);
    } catch (const std::bad_alloc&) {
      return;
    }
    place_all();
  }

  // Gives back what a reserve made room for and the entries did not take, when that is more than
  // the table holds: a batch reserves for as many new values as it has objects, on the evidence of
  // its first few thousand, and scattered repeats of a few thousand values look the same there.
  void shrink_to_fit() noexcept {
    if (entries_.capacity() > 2 * std::max<std::size_t>(entries_.size(), kMinRoom)) resize(entries_.size());
  }

  // Removes the value's entry; false if there is none.
  bool erase(const PyValue& value) {
    std::size_t slot = locate(value, mix(value));
    if (slot == kNone) return false;
    std::uint32_t position = slots_[slot].entry - 1;
    slots_[slot].entry = kTombstone;
    std::uint32_t last = static_cast<std::uint32_t>(entries_.size() - 1);
    if (position != last) {
      slots_[slot_of(last)].entry = position + 1;
      entries_[position] = std::move(entries_[last]);
    }
    entries_.pop_back();
    // A table emptied by removals keeps room for what it holds, not for what it once held.
    if (entries_.capacity() > 4 * std::max<std::size_t>(entries_.size(), kMinRoom)) resize(2 * entries_.size());
    return true;
  }

 private:
  struct Slot {
    std::uint32_t entry = 0;  // position + 1; 0 never used; kTombstone erased
    std::uint32_t tag = 0;    // top 32 bits of the mixed hash
  };
  static constexpr std::uint32_t kTombstone = 0xFFFFFFFFu;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  static std::uint64_t mix(const PyValue& value) noexcept {
    std::uint64_t h = value.table_hash();
    std::uint64_t lo = h & 0xFFFFFFFFu, hi = h >> 32;
    return (lo * 0x9E3779B97F4A7C15ull) ^ (hi * 0xC2B2AE3D27D4EB4Full) ^ (h >> 29);
  }

  std::size_t locate(const PyValue& value, std::uint64_t h) const noexcept {
    if (slots_.empty()) return kNone;
    std::size_t mask = slots_.size() - 1;
    auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.entry == 0) return kNone;
      if (slot.entry != kTombstone && slot.tag == tag && entries_[slot.entry - 1].value == value) return i;
    }
  }

  // The slot that points at the entry at `position`, found by position rather than by equality:
  // equality that Python code decides need not be consistent (the very same object compares
  // equal under any key), and a value that another entry's value also equals must not take that
  // entry's slot.
  std::size_t slot_of(std::uint32_t position) const {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = mix(entries_[position].value) & mask;
    for (std::size_t probed = 0; probed < slots_.size(); ++probed, i = (i + 1) & mask) {
      if (slots_[i].entry == position + 1) return i;
    }
    fail("value table: an entry without its slot");
  }

  void place(std::uint64_t h, std::uint32_t entry) {
    std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    while (slots_[i].entry != 0 && slots_[i].entry != kTombstone) i = (i + 1) & mask;
    if (slots_[i].entry == 0) ++used_;
    slots_[i] = Slot{entry, static_cast<std::uint32_t>(h >> 32)};
  }

  static constexpr std::size_t kMinRoom = 16;  // below this, room is not worth a rebuild

  // Moves the entries into a block with room for `room` of them and rebuilds the index at the size
  // growth would give it; positions stay. Changes nothing when it cannot allocate.
  void resize(std::size_t room) noexcept {
    room = std::max(room, entries_.size());
    std::size_t capacity = 8;
    while ((room + 1) * 2 > capacity) capacity *= 2;
    try {
      std::vector<Entry> entries;
      entries.reserve(room);
      std::vector<Slot> slots(capacity);
      for (Entry& entry : entries_) entries.push_back(std::move(entry));
      entries_.swap(entries);
      slots_.swap(slots);
    } catch (const std::bad_alloc&) {
      return;
    }
    place_all();
  }

  // Points the slots, all free, at every entry.
  void place_all() noexcept {
    used_ = 0;
    for (std::size_t k = 0; k < entries_.size(); ++k) place(mix(entries_[k].value), static_cast<std::uint32_t>(k + 1));
  }

  // Rebuilds the index without tombstones, doubling it when the entries need the room.
  void grow() {
    std::size_t capacity = slots_.empty() ? 8 : slots_.size();
    while ((entries_.size() + 1) * 2 > capacity) capacity *= 2;
    slots_.assign(capacity, Slot{});
    place_all();
  }

  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;  // slots that are not 0 (live entries and tombstones)
};

}  // namespace vantorelle
