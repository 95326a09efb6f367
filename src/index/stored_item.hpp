// Object slots of an index core, addressed by object id.
//
// Ids are process-wide, so one core's ids are scattered over the whole 32-bit space: a small
// index created late in a long-running process sees large ids. Slots are a two-level radix
// table whose memory follows the ids actually held:
//   id = [chunk: 17 bits][page: 8 bits][slot: 7 bits]
// `chunks_` lists the chunks holding at least one object, sorted by chunk number (binary search;
// a million consecutive ids make 31 chunks); a chunk points to its pages, allocated when their
// first slot fills; a page holds 128 slots. A page is freed when its last slot empties, a chunk
// when its last page goes.
//
// Objects stored in a nested core carry parent links: the ids, in the owning core, of the objects
// that hold them under the attribute. Top-level cores have no links.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/indexable_handle.hpp"
#include "native/hybrid_set.hpp"
#include "native/prefetch.hpp"

namespace vantorelle {

struct StoredItemParent {
  // Ids of the holders in the owning core; never empty while stored. Small or a bitmap, never
  // sorted (see HybridSet::leave_sorted_form).
  HybridSet parent_ids;
};

class Slots {
 public:
  static constexpr std::uint32_t kSlotBits = 7;
  static constexpr std::uint32_t kPageBits = 8;
  static constexpr std::uint32_t kSlotsPerPage = 1u << kSlotBits;
  static constexpr std::uint32_t kPagesPerChunk = 1u << kPageBits;

  Slots() = default;
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;

  std::uint64_t filled() const noexcept { return filled_; }

  // The object in slot `id`, or null for an empty slot.
  const IndexableHandle* get(std::uint32_t id) const noexcept {
    const Chunk* chunk = find_chunk(id >> (kSlotBits + kPageBits));
    if (chunk == nullptr) return nullptr;
    const Page* page = chunk->pages[(id >> kSlotBits) & (kPagesPerChunk - 1)].get();
    if (page == nullptr) return nullptr;
    const IndexableHandle& slot = page->slots[id & (kSlotsPerPage - 1)];
    return slot ? &slot : nullptr;
  }
  bool contains(std::uint32_t id) const noexcept { return get(id) != nullptr; }
  // A hint that slot `id` is about to be read; changes nothing.
  void prefetch(std::uint32_t id) const noexcept {
    const Chunk* chunk = find_chunk(id >> (kSlotBits + kPageBits));
    if (chunk == nullptr) return;
    if (const Page* page = chunk->pages[(id >> kSlotBits) & (kPagesPerChunk - 1)].get()) {
      prefetch_read(&page->slots[id & (kSlotsPerPage - 1)]);
    }
  }

  // Puts `obj` into slot `id`; returns the object it replaces (empty if none), for the caller to
  // drop once its locks are released.
  IndexableHandle put(std::uint32_t id, IndexableHandle obj) {
    std::uint32_t chunk_no = id >> (kSlotBits + kPageBits);
    auto at = std::lower_bound(chunks_.begin(), chunks_.end(), chunk_no,
                               [](const ChunkEntry& entry, std::uint32_t key) { return entry.first < key; });
    if (at == chunks_.end() || at->first != chunk_no) at = chunks_.emplace(at, chunk_no, std::make_unique<Chunk>());
    Chunk& chunk = *at->second;
    std::unique_ptr<Page>& page = chunk.pages[(id >> kSlotBits) & (kPagesPerChunk - 1)];
    if (!page) {
      page = std::make_unique<Page>();
      ++chunk.live_pages;
    }
    IndexableHandle& slot = page->slots[id & (kSlotsPerPage - 1)];
    if (!slot) {
      ++page->filled;
      ++filled_;
    }
    std::swap(slot, obj);
    return obj;
  }

  // Empties slot `id` and drops its parent links; returns its object for the caller to drop after
  // unlocking. Frees the page, and then the chunk, that it leaves empty.
  IndexableHandle take(std::uint32_t id) noexcept {
    std::uint32_t chunk_no = id >> (kSlotBits + kPageBits);
    auto at = std::lower_bound(chunks_.begin(), chunks_.end(), chunk_no,
                               [](const ChunkEntry& entry, std::uint32_t key) { return entry.first < key; });
    if (at == chunks_.end() || at->first != chunk_no) return {};
    Chunk& chunk = *at->second;
    std::unique_ptr<Page>& page = chunk.pages[(id >> kSlotBits) & (kPagesPerChunk - 1)];
    if (!page) return {};
    IndexableHandle taken;
    std::swap(taken, page->slots[id & (kSlotsPerPage - 1)]);
    if (!taken) return {};
    --filled_;
    if (links.erase(id) != 0 && links.bucket_count() > 4 * links.size() + 64) {
      // A hash map keeps its largest bucket array until asked to give it back.
      try {
        links.rehash(0);
      } catch (const std::bad_alloc&) {
      }
    }
    if (--page->filled == 0) {
      page.reset();
      if (--chunk.live_pages == 0) chunks_.erase(at);
    }
    return taken;
  }

  // Calls f(const IndexableHandle* or null) for each of `ids` in order. Consecutive ids share their
  // chunk and page, so those are looked up again only when the id leaves them.
  template <class F>
  void for_each_of(const std::vector<std::uint32_t>& ids, F&& f) const {
    std::uint32_t chunk_no = kNoChunk, page_no = kNoChunk;
    const Chunk* chunk = nullptr;
    const Page* page = nullptr;
    for (std::uint32_t id : ids) {
      std::uint32_t c = id >> (kSlotBits + kPageBits);
      if (c != chunk_no) {
        chunk_no = c;
        chunk = find_chunk(c);
        page_no = kNoChunk;
      }
      if (chunk == nullptr) {
        f(static_cast<const IndexableHandle*>(nullptr));
        continue;
      }
      std::uint32_t p = id >> kSlotBits;
      if (p != page_no) {
        page_no = p;
        page = chunk->pages[p & (kPagesPerChunk - 1)].get();
      }
      const IndexableHandle* slot = page ? &page->slots[id & (kSlotsPerPage - 1)] : nullptr;
      f(slot && *slot ? slot : nullptr);
    }
  }

  // Calls f(id, const IndexableHandle&) for every filled slot in ascending id order.
  template <class F>
  void for_each(F&& f) const {
    for (const auto& [chunk_no, chunk] : chunks_) {
      for (std::uint32_t p = 0; p < kPagesPerChunk; ++p) {
        const Page* page = chunk->pages[p].get();
        if (page == nullptr) continue;
        std::uint32_t base = (chunk_no << (kSlotBits + kPageBits)) | (p << kSlotBits);
        for (std::uint32_t k = 0; k < kSlotsPerPage; ++k) {
          if (page->slots[k]) f(base | k, page->slots[k]);
        }
      }
    }
  }

  // The bookkeeping against the slots themselves; empty while it holds, else the first mismatch.
  std::string verify() const {
    std::uint64_t seen = 0;
    std::uint32_t previous = 0;
    for (std::size_t c = 0; c < chunks_.size(); ++c) {
      const auto& [chunk_no, chunk] = chunks_[c];
      if (c > 0 && chunk_no <= previous) return "slot chunks out of order";
      previous = chunk_no;
      std::uint32_t pages = 0;
      for (const auto& page : chunk->pages) {
        if (!page) continue;
        ++pages;
        std::uint32_t filled = 0;
        for (const auto& slot : page->slots) filled += slot ? 1 : 0;
        if (filled == 0) return "an empty slot page is kept";
        if (filled != page->filled) return "a slot page miscounts its objects";
        seen += filled;
      }
      if (pages == 0) return "an empty slot chunk is kept";
      if (pages != chunk->live_pages) return "a slot chunk miscounts its pages";
    }
    if (seen != filled_) return "the slot count differs from the filled slots";
    for (const auto& [id, link] : links) {
      if (!contains(id)) return "parent links of an empty slot " + std::to_string(id);
    }
    return {};
  }

  // Parent links of the items of a nested core, by id; only filled slots have an entry.
  std::unordered_map<std::uint32_t, StoredItemParent> links;

 private:
  struct Page {
    std::array<IndexableHandle, kSlotsPerPage> slots;
    std::uint32_t filled = 0;  // slots holding an object; the page exists only while > 0
  };
  struct Chunk {
    std::array<std::unique_ptr<Page>, kPagesPerChunk> pages;
    std::uint32_t live_pages = 0;  // pages present; the chunk exists only while > 0
  };
  using ChunkEntry = std::pair<std::uint32_t, std::unique_ptr<Chunk>>;
  static constexpr std::uint32_t kNoChunk = 0xFFFFFFFFu;  // above every chunk and page number

  const Chunk* find_chunk(std::uint32_t chunk_no) const noexcept {
    auto at = std::lower_bound(chunks_.begin(), chunks_.end(), chunk_no,
                               [](const ChunkEntry& entry, std::uint32_t key) { return entry.first < key; });
    return at != chunks_.end() && at->first == chunk_no ? at->second.get() : nullptr;
  }

  std::vector<ChunkEntry> chunks_;  // ascending chunk number, each with at least one page
  std::uint64_t filled_ = 0;
};

}  // namespace vantorelle
