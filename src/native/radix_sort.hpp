// A stable sort of records by a 32-bit key, for the large batches of a bulk add, where a
// comparison sort costs more than the rest of the work on the same records.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace vantorelle {

// Sorts `items` by key(item) (std::uint32_t), keeping the order of equal keys. `scratch` is work
// space, left with unspecified contents. One pass per 11-bit digit in which the keys differ, so
// keys that lie close together (ids of one batch) take one or two passes.
template <class T, class Key>
void radix_sort(std::vector<T>& items, std::vector<T>& scratch, Key key) {
  constexpr unsigned kDigit = 11;
  constexpr std::uint32_t kBuckets = 1u << kDigit;
  if (items.size() < 2) return;
  const std::uint32_t first = key(items.front());
  std::uint32_t differing = 0;
  for (const T& item : items) differing |= key(item) ^ first;
  scratch.resize(items.size());
  for (unsigned shift = 0; shift < 32 && (differing >> shift) != 0; shift += kDigit) {
    if (((differing >> shift) & (kBuckets - 1)) == 0) continue;
    std::array<std::uint32_t, kBuckets> start{};
    for (const T& item : items) ++start[(key(item) >> shift) & (kBuckets - 1)];
    std::uint32_t sum = 0;
    for (std::uint32_t& s : start) sum += std::exchange(s, sum);
    for (T& item : items) scratch[start[(key(item) >> shift) & (kBuckets - 1)]++] = std::move(item);
    items.swap(scratch);
  }
}

}  // namespace vantorelle
