// The shared core of an index. (Grows into the full object store; for now it holds the lock that
// attribute assignments re-index under.)
#pragma once

#include <cstdint>
#include <memory>

#include "index/hybrid_hashmap.hpp"
#include "native/locks.hpp"

namespace vantorelle {

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});

  RwLock::WriteGuard get_index_writer() { return index_lock_.write(); }
  // Re-indexes attribute `name` of object `id` from `previous` (null: none) to `value`, then
  // releases `guard`.
  void update_index(RwLock::WriteGuard guard, const AttrName& name, const PyValue* previous, const PyValue& value,
                    std::uint32_t id);

 private:
  RwLock index_lock_;
  std::weak_ptr<IndexAPI> parent_;
};

// The placeholder core that membership lists ignore; created on first use, kept for the process.
const std::shared_ptr<IndexAPI>& default_index_arc();

}  // namespace vantorelle
