// The attribute map of an object: a short vector scanned linearly while it holds at most
// kSmallCapacity entries (most objects), a hash table from then on. Keys occur once; there is no
// removal, so a map that became a hash table stays one. Small-form order is insertion order (a
// re-assigned key keeps its place); the hash form's order is undefined.
#pragma once

#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/attr_name.hpp"
#include "index/value.hpp"

namespace vantorelle {

template <class V>
class HybridHashmap {
 public:
  static constexpr std::size_t kSmallCapacity = 8;
  static constexpr std::size_t kHashInitialCapacity = 28;

  HybridHashmap() = default;
  explicit HybridHashmap(std::size_t expected) {
    if (expected <= kSmallCapacity) small_.reserve(expected);
  }

  std::size_t size() const noexcept { return is_hash_ ? hash_.size() : small_.size(); }
  bool is_hash() const noexcept { return is_hash_; }

  const V* get(std::string_view key) const {
    if (is_hash_) {
      auto it = hash_.find(key);
      return it == hash_.end() ? nullptr : &it->second;
    }
    for (const auto& [k, v] : small_) {
      if (k == key) return &v;
    }
    return nullptr;
  }

  void insert(AttrName key, V value) {
    if (is_hash_) {
      auto it = hash_.find(key.view());
      if (it != hash_.end()) {
        it->second = std::move(value);
      } else {
        hash_.emplace(std::move(key), std::move(value));
      }
      return;
    }
    for (auto& [k, v] : small_) {
      if (k == key) {
        v = std::move(value);
        return;
      }
    }
    if (small_.size() < kSmallCapacity) {
      small_.emplace_back(std::move(key), std::move(value));
      return;
    }
    hash_.reserve(kHashInitialCapacity);
    for (auto& entry : small_) hash_.emplace(std::move(entry.first), std::move(entry.second));
    hash_.emplace(std::move(key), std::move(value));
    small_ = {};
    is_hash_ = true;
  }

  // Calls f(const AttrName&, const V&) for every entry, in the map's order.
  template <class F>
  void for_each(F&& f) const {
    if (is_hash_) {
      for (const auto& [k, v] : hash_) f(k, v);
    } else {
      for (const auto& [k, v] : small_) f(k, v);
    }
  }

 private:
  bool is_hash_ = false;
  std::vector<std::pair<AttrName, V>> small_;
  std::unordered_map<AttrName, V, AttrNameHash, AttrNameEq> hash_;
};

using AttributeMap = HybridHashmap<PyValue>;

}  // namespace vantorelle
