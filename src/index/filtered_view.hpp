// A filtered view: the ids a filter selected over an index core's attribute table and slots,
// which it shares (live) with the core. The ids never change; every narrowing makes a new view.
// Objects that left the core after the view was made are skipped wherever the view reads them.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "index/index_api.hpp"
#include "index/query_expr.hpp"
#include "native/bitmap.hpp"

namespace vantorelle {

struct FilteredView {
  std::shared_ptr<Locked<AttributeTable>> index;
  std::shared_ptr<Locked<Slots>> items;
  std::shared_ptr<Locked<Bitmap>> stored;  // the core's id set: which of `ids` are still stored
  Bitmap ids;

  // A view of `ids` over `core`'s table and slots.
  static FilteredView over(const IndexAPI& core, Bitmap ids) { return {core.index(), core.items(), core.ids(), std::move(ids)}; }
  // A view of `narrower` ids over the same core.
  FilteredView narrowed(Bitmap narrower) const { return {index, items, stored, std::move(narrower)}; }
  // An empty view over nothing (what a cleared view holds).
  static FilteredView empty() {
    return {std::make_shared<Locked<AttributeTable>>(), std::make_shared<Locked<Slots>>(),
            std::make_shared<Locked<Bitmap>>(), Bitmap()};
  }

  // The keyword filter's ids within this view's (read lock on the table).
  Bitmap reduced(const HashQuery& query) const;
  // The expression's ids with this view's ids as the universe (read lock on the table). Call
  // inside pool::run.
  Bitmap reduced_query(const QueryExpr& expr) const;
  // The number of ids (stored or not).
  std::uint64_t size() const noexcept { return ids.cardinality(); }
  // The number of the view's objects still stored.
  std::uint64_t stored_count() const {
    auto guard = stored->lock.read();
    return roaring_bitmap_and_cardinality(ids.raw(), stored->value.raw());
  }
  // Whether object `id` is in the view and still stored.
  bool holds(std::uint32_t id) const {
    if (!ids.contains(id)) return false;
    auto guard = stored->lock.read();
    return stored->value.contains(id);
  }
  // Calls f(PyObject*) for the objects of the view still stored, in ascending id order, under the
  // slot read lock; returns how many it called f for.
  template <class F>
  std::uint64_t for_each_object(F&& f) const {
    std::vector<std::uint32_t> selected = ids.to_vector();
    // The objects' addresses are gathered first and handed on after: each step of the walk then
    // depends only on slot loads, so the loads of scattered objects overlap.
    std::vector<PyObject*> found;
    found.reserve(selected.size());
    auto guard = items->lock.read();
    items->value.for_each_of(selected, [&](const IndexableHandle* obj) {
      if (obj != nullptr) found.push_back(obj->get());
    });
    for (PyObject* obj : found) f(obj);
    return found.size();
  }
  // Handles on the objects of the view still stored, in ascending id order (sharing the slots'
  // references).
  std::vector<IndexableHandle> objects() const;
  // A new top-level core holding `objects` (the view's objects, each with a reference of its own:
  // see IndexAPI::add_objects), indexed from their current attributes, names beginning with "_"
  // included (and kept current on assignment).
  static std::shared_ptr<IndexAPI> rebase(std::span<IndexableHandle> objects);
};

}  // namespace vantorelle
