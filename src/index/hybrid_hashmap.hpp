// The attribute map of an object: a short vector scanned linearly while it holds at most
// kSmallCapacity entries (most objects), a hash table from then on. Keys occur once; there is no
// removal, so a map that became a hash table stays one. Small-form order is insertion order (a
// re-assigned key keeps its place); the hash form's order is undefined.
#pragma once

#include <memory>
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
  HybridHashmap(HybridHashmap&&) noexcept = default;
  HybridHashmap& operator=(HybridHashmap&&) noexcept = default;
  HybridHashmap(const HybridHashmap& other)
      : is_hash_(other.is_hash_),
        keys_(other.keys_),
        values_(other.values_),
        hash_(other.hash_ ? std::make_unique<HashForm>(*other.hash_) : nullptr) {}
  HybridHashmap& operator=(const HybridHashmap&) = delete;
  explicit HybridHashmap(std::size_t expected) {
    if (expected <= kSmallCapacity) {
      keys_.reserve(expected);
      values_.reserve(expected);
    }
  }

  std::size_t size() const noexcept { return is_hash_ ? hash_->size() : keys_.size(); }
  bool is_hash() const noexcept { return is_hash_; }

  const V* get(std::string_view key) const {
    if (is_hash_) {
      auto it = hash_->find(key);
      return it == hash_->end() ? nullptr : &it->second;
    }
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] == key) return &values_[i];
    }
    return nullptr;
  }

  // Appends a key known not to be present yet (the keywords of one call are distinct).
  void insert_new(AttrName&& key, V&& value) {
    if (is_hash_ || keys_.size() >= kSmallCapacity) {
      insert(std::move(key), std::move(value));
      return;
    }
    keys_.push_back(std::move(key));
    values_.push_back(std::move(value));
  }

  void insert(AttrName key, V value) {
    if (is_hash_) {
      auto it = hash_->find(key.view());
      if (it != hash_->end()) {
        it->second = std::move(value);
      } else {
        hash_->emplace(std::move(key), std::move(value));
      }
      return;
    }
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (keys_[i] == key) {
        values_[i] = std::move(value);
        return;
      }
    }
    if (keys_.size() < kSmallCapacity) {
      keys_.push_back(std::move(key));
      values_.push_back(std::move(value));
      return;
    }
    auto hash = std::make_unique<HashForm>();
    hash->reserve(kHashInitialCapacity);
    for (std::size_t i = 0; i < keys_.size(); ++i) hash->emplace(std::move(keys_[i]), std::move(values_[i]));
    hash->emplace(std::move(key), std::move(value));
    hash_ = std::move(hash);
    keys_ = {};
    values_ = {};
    is_hash_ = true;
  }

  // Calls f(const AttrName&, const V&) for every entry, in the map's order.
  template <class F>
  void for_each(F&& f) const {
    if (is_hash_) {
      for (const auto& [k, v] : *hash_) f(k, v);
    } else {
      for (std::size_t i = 0; i < keys_.size(); ++i) f(keys_[i], values_[i]);
    }
  }

 private:
  bool is_hash_ = false;
  // Small form: entry i is (keys_[i], values_[i]); names apart so a lookup scans one dense array.
  std::vector<AttrName> keys_;
  std::vector<V> values_;
  using HashForm = std::unordered_map<AttrName, V, AttrNameHash, AttrNameEq>;
  std::unique_ptr<HashForm> hash_;  // set exactly when is_hash_
};

using AttributeMap = HybridHashmap<PyValue>;

}  // namespace vantorelle
