// The graph of nested objects: walks up the parent links of nested cores, and the cycle test that
// decides whether storing a nested object needs that walk.
//
// Storing object t under holder p closes a cycle when t is p's ancestor (holds p through a chain
// of stored parent links). That chain follows attribute references, so t then also reaches p in
// the object graph, and p holds t: t lies on a cycle. Objects on no cycle (chains, trees, shared
// nested objects) are therefore stored without walking up, which keeps a chain of n objects at
// n^2 / 2 stored items with constant work each. Which objects lie on a cycle is found once per
// run of nested work (Tarjan's strongly connected components over the natively read snapshots)
// and learned again after any assignment changed the graph.
#include <unordered_set>
#include <vector>

#include "index/index_api.hpp"
#include "index/indexable.hpp"

namespace vantorelle {

bool IndexAPI::is_ancestor(std::uint32_t id, std::uint32_t candidate) const {
  std::vector<std::pair<std::shared_ptr<const IndexAPI>, std::uint32_t>> frontier{{shared_from_this(), id}};
  std::unordered_set<std::uint64_t> visited;  // (level, id) pairs already expanded
  std::vector<std::uint32_t> parents;
  while (!frontier.empty()) {
    auto [core, child] = std::move(frontier.back());
    frontier.pop_back();
    parents.clear();
    {
      // One core at a time: the parent ids are copied and the lock released before going up.
      auto guard = core->items_->lock.read();
      const Slots& slots = core->items_->value;
      auto it = slots.links.find(child);
      if (it == slots.links.end()) continue;
      it->second.parent_ids.for_each([&](std::uint32_t p) { parents.push_back(p); });
    }
    std::shared_ptr<const IndexAPI> up = core->parent_.lock();
    for (std::uint32_t p : parents) {
      if (p == candidate) return true;
      if (up && visited.insert((static_cast<std::uint64_t>(up->level_) << 32) | p).second) frontier.emplace_back(up, p);
    }
  }
  return false;
}

namespace {

// The Indexable values an object holds under indexed names, from its current snapshot.
struct Node {
  Snapshot snapshot;
  std::vector<Indexable*> children;
  std::size_t next = 0;
  std::uint32_t index = 0;
  std::uint32_t lowlink = 0;
  bool self_loop = false;
};

Node expand(Indexable& obj, std::uint32_t index) {
  Node node;
  node.snapshot = obj.snapshot();
  node.index = node.lowlink = index;
  node.snapshot->for_each([&](const AttrName& name, const PyValue& value) {
    if (name.is_private() || !value.primitave().is_ind()) return;
    Indexable* child = &value.primitave().ind_native();
    if (child == &obj) node.self_loop = true;
    node.children.push_back(child);
  });
  return node;
}

}  // namespace

bool on_cycle(Indexable& start, CycleMemo& memo) {
  std::uint64_t epoch = GRAPH_EPOCH.load(std::memory_order_seq_cst);
  if (memo.epoch != epoch) {
    memo.on_cycle.clear();
    memo.epoch = epoch;
  }
  if (auto known = memo.on_cycle.find(start.id()); known != memo.on_cycle.end()) return known->second;

  // Iterative Tarjan. Objects learned in an earlier search are finished: nothing reached from them
  // leads back here (or this object would have been learned with them).
  struct Entry {
    std::uint32_t index;
    std::uint32_t lowlink;
    bool on_stack;
  };
  std::unordered_map<std::uint32_t, Entry> seen;
  // The depth-first path. Each object on it is kept alive by the snapshot of the one before it
  // (or, the first, by the caller); Tarjan's stack keeps ids only, as objects that left the path
  // may lose their last holder meanwhile.
  std::vector<std::pair<Indexable*, Node>> path;
  std::vector<std::pair<std::uint32_t, bool>> stack;  // Tarjan's stack: object id, self loop
  std::uint32_t counter = 0;

  auto enter = [&](Indexable& obj) {
    Node node = expand(obj, counter);
    seen.emplace(obj.id(), Entry{counter, counter, true});
    ++counter;
    stack.emplace_back(obj.id(), node.self_loop);
    path.emplace_back(&obj, std::move(node));
  };
  enter(start);
  while (!path.empty()) {
    auto& [obj, node] = path.back();
    if (node.next < node.children.size()) {
      Indexable* child = node.children[node.next++];
      if (memo.on_cycle.count(child->id()) != 0) continue;
      auto it = seen.find(child->id());
      if (it == seen.end()) {
        enter(*child);
      } else if (it->second.on_stack) {
        Entry& mine = seen.at(obj->id());
        mine.lowlink = std::min(mine.lowlink, it->second.index);
      }
      continue;
    }
    Entry& mine = seen.at(obj->id());
    if (mine.lowlink == mine.index) {
      // obj roots a component: pop it off Tarjan's stack.
      std::size_t first = stack.size() - 1;
      while (stack[first].first != obj->id()) --first;
      bool cyclic = stack.size() - first > 1 || stack[first].second;
      for (std::size_t k = first; k < stack.size(); ++k) {
        seen.at(stack[k].first).on_stack = false;
        memo.on_cycle[stack[k].first] = cyclic;
      }
      stack.resize(first);
    }
    std::uint32_t lowlink = mine.lowlink;
    path.pop_back();
    if (!path.empty()) {
      Entry& up = seen.at(path.back().first->id());
      up.lowlink = std::min(up.lowlink, lowlink);
    }
  }
  return memo.on_cycle.at(start.id());
}

}  // namespace vantorelle
