#include "index/filtered_view.hpp"

#include "index/query_eval.hpp"

namespace vantorelle {

Bitmap FilteredView::reduced(const HashQuery& query) const {
  Bitmap result;
  {
    auto guard = index->lock.read();
    result = filter_index_by_hashes(index->value, query);
  }
  result.and_inplace(ids);
  return result;
}

Bitmap FilteredView::reduced_query(const QueryExpr& expr) const {
  Bitmap result;
  {
    auto guard = index->lock.read();
    result = evaluate_query(index->value, ids, expr);
  }
  result.and_inplace(ids);
  return result;
}

std::vector<IndexableHandle> FilteredView::objects() const {
  std::vector<std::uint32_t> selected = ids.to_vector();
  std::vector<IndexableHandle> handles;
  handles.reserve(selected.size());
  auto guard = items->lock.read();
  items->value.for_each_of(selected, [&](const IndexableHandle* obj) {
    if (obj != nullptr) handles.push_back(*obj);
  });
  return handles;
}

std::shared_ptr<IndexAPI> FilteredView::rebase(std::span<IndexableHandle> objects) {
  std::shared_ptr<IndexAPI> core = IndexAPI::create(true);
  core->add_objects(objects);
  return core;
}

}  // namespace vantorelle
