// The attribute map of an object, in two forms: small, a shared Shape (the names, in order) beside
// a vector of the values, scanned linearly while it holds at most kSmallCapacity entries (most
// objects); a hash table from then on. Keys occur once; there is no removal, so a map that became
// a hash table stays one. Small-form order is insertion order (a re-assigned key keeps its place);
// the hash form's order is undefined.
#pragma once

#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index/attr_name.hpp"
#include "index/shape.hpp"
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
      : shape_(other.shape_), values_(other.values_), hash_(other.hash_ ? std::make_unique<HashForm>(*other.hash_) : nullptr) {}
  HybridHashmap& operator=(const HybridHashmap&) = delete;

  // A map of distinct `names` with their `values`, in that order.
  HybridHashmap(std::vector<AttrName> names, std::vector<V> values) {
    if (names.size() <= kSmallCapacity) {
      shape_ = Shape::of(std::move(names));
      values_ = std::move(values);
      return;
    }
    for (std::size_t i = 0; i < names.size(); ++i) insert(std::move(names[i]), std::move(values[i]));
  }

  std::size_t size() const noexcept { return hash_ ? hash_->size() : values_.size(); }
  bool is_hash() const noexcept { return hash_ != nullptr; }

  const V* get(std::string_view key) const {
    if (hash_) {
      auto it = hash_->find(key);
      return it == hash_->end() ? nullptr : &it->second;
    }
    if (!shape_) return nullptr;
    std::size_t at = shape_->find(key);
    return at == Shape::npos ? nullptr : &values_[at];
  }

  void insert(AttrName key, V value) {
    if (hash_) {
      auto it = hash_->find(key.view());
      if (it != hash_->end()) {
        it->second = std::move(value);
      } else {
        hash_->emplace(std::move(key), std::move(value));
      }
      return;
    }
    if (shape_) {
      std::size_t at = shape_->find(key.view());
      if (at != Shape::npos) {
        values_[at] = std::move(value);
        return;
      }
    }
    if (values_.size() < kSmallCapacity) {
      shape_ = Shape::with(shape_.get(), key);
      values_.push_back(std::move(value));
      return;
    }
    auto hash = std::make_unique<HashForm>();
    hash->reserve(kHashInitialCapacity);
    for (std::size_t i = 0; i < values_.size(); ++i) hash->emplace(shape_->names()[i], std::move(values_[i]));
    hash->emplace(std::move(key), std::move(value));
    hash_ = std::move(hash);
    shape_ = nullptr;
    values_ = {};
  }

  // Calls f(const AttrName&, const V&) for every entry, in the map's order.
  template <class F>
  void for_each(F&& f) const {
    if (hash_) {
      for (const auto& [k, v] : *hash_) f(k, v);
    } else if (shape_) {
      for (std::size_t i = 0; i < values_.size(); ++i) f(shape_->names()[i], values_[i]);
    }
  }

 private:
  // Small form: entry i is (shape_->names()[i], values_[i]); no shape while empty.
  std::shared_ptr<const Shape> shape_;
  std::vector<V> values_;
  using HashForm = std::unordered_map<AttrName, V, AttrNameHash, AttrNameEq>;
  std::unique_ptr<HashForm> hash_;  // set exactly in the hash form
};

using AttributeMap = HybridHashmap<PyValue>;

}  // namespace vantorelle
