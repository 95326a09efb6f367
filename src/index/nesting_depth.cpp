// The nesting limit, checked before anything is stored: a walk down the Indexable values of the
// objects about to be stored, without recursion, memoised (an object reached again is not walked
// again) and with cycles cut, as the cores themselves cut them.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "index/index_api.hpp"
#include "index/indexable.hpp"

namespace vantorelle {

void check_nesting_depth(std::span<Indexable* const> roots, std::uint32_t base_level, const Indexable* holder,
                         bool private_names) {
  // Below a root, only its own core indexes names beginning with "_": what it holds under them sits
  // one level down, with the root as its holder, and is walked as any value there is.
  if (private_names) {
    for (Indexable* root : roots) {
      std::vector<Indexable*> values;
      root->snapshot_under_gil().for_each([&](const AttrName& name, const PyValue& value) {
        if (name.is_private() && value.primitave().is_ind()) values.push_back(&value.primitave().ind_native());
      });
      if (!values.empty()) check_nesting_depth(values, base_level + 1, root);
    }
  }
  struct Frame {
    Indexable* obj;
    std::vector<Indexable*> children;
    std::size_t next = 0;
    std::uint32_t below = 0;  // deepest chain found under obj so far, in levels
  };
  auto children_of = [](Indexable* obj) {
    std::vector<Indexable*> children;
    obj->snapshot_under_gil().for_each([&](const AttrName& name, const PyValue& value) {
      if (!name.is_private() && value.primitave().is_ind()) children.push_back(&value.primitave().ind_native());
    });
    return children;
  };
  auto has_children = [](Indexable* obj) {
    bool any = false;
    obj->snapshot_under_gil().for_each([&](const AttrName& name, const PyValue& value) {
      any = any || (!name.is_private() && value.primitave().is_ind());
    });
    return any;
  };
  // Most objects hold no Indexable value (one level), or only values that hold none themselves
  // (two levels), known without the memo: a value that holds nothing can lie on no cycle. The
  // holder is an ancestor, not a leaf: the cores cut the cycle back to it, which only the full
  // walk sees.
  enum class Holds { Nothing, Leaves, More };
  auto holds = [&](Indexable* obj) {
    Holds found = Holds::Nothing;
    obj->snapshot_under_gil().for_each([&](const AttrName& name, const PyValue& value) {
      if (found == Holds::More || name.is_private() || !value.primitave().is_ind()) return;
      Indexable* child = &value.primitave().ind_native();
      found = child != holder && !has_children(child) ? Holds::Leaves : Holds::More;
    });
    return found;
  };
  auto too_deep = [&](std::uint64_t deepest_level) {
    if (deepest_level <= kMaxNestingDepth) return;
    throw DomainError(DomainError::Kind::Recursion, "Indexable values are nested more than " +
                                                        std::to_string(kMaxNestingDepth) +
                                                        " levels deep; nothing was indexed");
  };
  // Levels from an object down to its deepest nested value, itself included.
  std::unordered_map<const Indexable*, std::uint32_t> height;
  std::unordered_set<const Indexable*> on_path;
  std::vector<Frame> stack;
  // Roots of a bulk add lie scattered over memory, each with its map: both are fetched a few roots
  // ahead, the object before its map.
  constexpr std::size_t kAhead = 8;
  for (std::size_t at = 0; at < roots.size(); ++at) {
    if (at + 2 * kAhead < roots.size()) roots[at + 2 * kAhead]->prefetch();
    if (at + kAhead < roots.size()) roots[at + kAhead]->prefetch_map();
    Indexable* root = roots[at];
    const Holds held = holds(root);
    if (held != Holds::More) {
      too_deep(held == Holds::Nothing ? base_level : base_level + 1);
      continue;
    }
    if (height.count(root) == 0) {
      on_path.clear();
      if (holder != nullptr) on_path.insert(holder);
      stack.push_back(Frame{root, children_of(root)});
      on_path.insert(root);
      while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next < frame.children.size()) {
          Indexable* child = frame.children[frame.next++];
          if (on_path.count(child) != 0) continue;
          auto known = height.find(child);
          if (known != height.end()) {
            frame.below = std::max(frame.below, known->second);
            too_deep(base_level + stack.size() + known->second - 1);
            continue;
          }
          too_deep(base_level + stack.size());
          on_path.insert(child);
          stack.push_back(Frame{child, children_of(child)});
          continue;
        }
        std::uint32_t levels = frame.below + 1;
        height[frame.obj] = levels;
        on_path.erase(frame.obj);
        stack.pop_back();
        if (!stack.empty()) stack.back().below = std::max(stack.back().below, levels);
      }
    }
    too_deep(base_level + height[root] - 1);
  }
}

}  // namespace vantorelle
