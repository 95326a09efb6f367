// Object slots of an index core, addressed by object id.
//
// Ids are process-wide, so a core holding a few recently created objects sees large ids. Slots
// live in fixed pages allocated on first use: lookup is two array indexings, and a nested core
// holding ten objects with scattered ids costs ten pages rather than one slot per id below them.
//
// Objects stored in a nested core carry parent links: the ids, in the owning core, of the objects
// that hold them under the attribute. Top-level cores have no links.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "index/value.hpp"
#include "native/hybrid_set.hpp"

namespace vantorelle {

class IndexAPI;

struct StoredItemParent {
  HybridSet parent_ids;         // ids of the holders in the owning core; never empty while stored
  std::weak_ptr<IndexAPI> core;  // the core the item is stored in
};

class Slots {
 public:
  static constexpr std::uint32_t kPageBits = 8;
  static constexpr std::uint32_t kPageSize = 1u << kPageBits;

  // One past the largest id ever stored; never shrinks.
  std::uint64_t length() const noexcept { return length_; }
  std::uint64_t filled() const noexcept { return filled_; }

  // The object in slot `id`, or null for an empty or never-filled slot.
  const PyHandle* get(std::uint32_t id) const noexcept {
    std::size_t page = id >> kPageBits;
    if (page >= pages_.size() || !pages_[page]) return nullptr;
    const PyHandle& slot = (*pages_[page])[id & (kPageSize - 1)];
    return slot.get() ? &slot : nullptr;
  }

  // Puts `obj` into slot `id`; returns the object it replaces (empty handle if none), for the
  // caller to drop once its locks are released.
  PyHandle put(std::uint32_t id, PyHandle obj) {
    std::size_t page = id >> kPageBits;
    if (page >= pages_.size()) pages_.resize(page + 1);
    if (!pages_[page]) pages_[page] = std::make_unique<Page>();
    PyHandle& slot = (*pages_[page])[id & (kPageSize - 1)];
    if (!slot.get()) ++filled_;
    std::swap(slot, obj);
    if (static_cast<std::uint64_t>(id) + 1 > length_) length_ = static_cast<std::uint64_t>(id) + 1;
    return obj;
  }

  // Empties slot `id`; returns its object for the caller to drop after unlocking.
  PyHandle take(std::uint32_t id) noexcept {
    std::size_t page = id >> kPageBits;
    if (page >= pages_.size() || !pages_[page]) return {};
    PyHandle taken;
    std::swap(taken, (*pages_[page])[id & (kPageSize - 1)]);
    if (taken.get()) --filled_;
    links.erase(id);
    return taken;
  }

  // Calls f(id, const PyHandle&) for every filled slot in ascending id order.
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t p = 0; p < pages_.size(); ++p) {
      if (!pages_[p]) continue;
      for (std::uint32_t k = 0; k < kPageSize; ++k) {
        const PyHandle& slot = (*pages_[p])[k];
        if (slot.get()) f(static_cast<std::uint32_t>((p << kPageBits) | k), slot);
      }
    }
  }

  // Parent links of the items of a nested core, by id; only filled slots have an entry.
  std::unordered_map<std::uint32_t, StoredItemParent> links;

 private:
  using Page = std::array<PyHandle, kPageSize>;
  std::vector<std::unique_ptr<Page>> pages_;
  std::uint64_t length_ = 0;
  std::uint64_t filled_ = 0;
};

}  // namespace vantorelle
