#include "index/index_api.hpp"

namespace vantorelle {

std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent) {
  auto core = std::make_shared<IndexAPI>();
  core->parent_ = std::move(parent);
  return core;
}

void IndexAPI::update_index(RwLock::WriteGuard guard, const AttrName& name, const PyValue* previous,
                            const PyValue& value, std::uint32_t id) {
  (void)name, (void)previous, (void)value, (void)id;
  guard.unlock();
}

const std::shared_ptr<IndexAPI>& default_index_arc() {
  static const std::shared_ptr<IndexAPI> DEFAULT_INDEX_ARC = IndexAPI::create();
  return DEFAULT_INDEX_ARC;
}

}  // namespace vantorelle
