#include "index/indexable.hpp"

#include <algorithm>

#include "index/index_api.hpp"
#include "python/gil.hpp"

namespace vantorelle {

std::atomic<std::uint64_t> GLOBAL_ID_COUNTER{1};

bool Indexable::add_index(const std::shared_ptr<IndexAPI>& core) {
  const IndexAPI* placeholder = default_index_arc().get();
  std::lock_guard lock(membership_mutex_);
  std::erase_if(membership_, [&](const auto& entry) { return entry.second.expired() || entry.first == placeholder; });
  if (core.get() == placeholder) return false;
  auto at = std::lower_bound(membership_.begin(), membership_.end(), core.get(),
                             [](const auto& entry, const IndexAPI* key) { return entry.first < key; });
  if (at != membership_.end() && at->first == core.get()) return false;
  membership_.emplace(at, core.get(), core);
  return true;
}

bool Indexable::has_memberships() const {
  std::lock_guard lock(membership_mutex_);
  return !membership_.empty();
}

std::vector<std::shared_ptr<IndexAPI>> Indexable::live_memberships() const {
  std::vector<std::shared_ptr<IndexAPI>> cores;
  std::lock_guard lock(membership_mutex_);
  cores.reserve(membership_.size());
  for (const auto& entry : membership_) {
    if (auto core = entry.second.lock()) cores.push_back(std::move(core));
  }
  return cores;
}

void Indexable::reindex(IndexAPI& core, const AttributeMap& previous,
                        std::span<const std::pair<AttrName, PyValue>> updates) {
  for (const auto& [name, value] : updates) {
    if (name.is_private()) continue;
    core.update_index(core.get_index_writer(), name, previous.get(name.view()), value, id_);
  }
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
    bool indexed = std::any_of(updates.begin(), updates.end(), [](const auto& u) { return !u.first.is_private(); });

    std::uint64_t epoch_before = add_epoch_.load(std::memory_order_seq_cst);
    std::vector<std::shared_ptr<IndexAPI>> first_pass;
    if (indexed) {
      first_pass = live_memberships();
      for (const auto& core : first_pass) reindex(*core, *previous, updates);
    }

    std::shared_ptr<AttributeMap> next = std::make_shared<AttributeMap>(*previous);
    for (const auto& [name, value] : updates) next->insert(name, value);
    replaced = publish(std::move(next));

    if (indexed) {
      bool add_raced = add_epoch_.load(std::memory_order_seq_cst) != epoch_before;
      for (const auto& core : live_memberships()) {
        bool seen = std::find(first_pass.begin(), first_pass.end(), core) != first_pass.end();
        if (add_raced || !seen) reindex(*core, *previous, updates);
      }
    }
  }
  py::release_later(std::move(replaced));
}

Snapshot Indexable::publish(Snapshot next) {
  const AttributeMap* raw = next.get();
  {
    std::lock_guard lock(snapshot_mutex_);
    std::swap(attributes_, next);
  }
  current_.store(raw, std::memory_order_release);
  return next;
}

void Indexable::clear_attributes() { py::release_later(publish(std::make_shared<const AttributeMap>())); }

}  // namespace vantorelle
