// The radix sort against std::stable_sort: keys spread over every digit, over one digit only, all
// equal, and with only a high digit differing (a pass must not be skipped when a low one is).
#include "native/radix_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace vantorelle {
namespace {

using Record = std::pair<uint32_t, uint32_t>;  // (key, position in the input)

TEST(RadixSort, MatchesAStableSortForEveryKeySpread) {
  std::mt19937 rng(3);
  const std::vector<std::pair<uint32_t, uint32_t>> spreads = {
      {0, 0xFFFFFFFFu}, {0, 7}, {1000, 1000 + 3000}, {5, 5}, {0x40000000u, 0x40000000u + 5}};
  for (const auto& [low, high] : spreads) {
    for (std::size_t size : {0u, 1u, 2u, 100u, 5000u}) {
      std::uniform_int_distribution<uint32_t> pick(low, high);
      std::vector<Record> items;
      for (uint32_t k = 0; k < size; ++k) {
        uint32_t key = pick(rng);
        if (high - low > 7 && k % 3 == 0) key = (key & 0xFFFFF800u) | 0x400u;  // high digits only
        items.emplace_back(key, k);
      }
      std::vector<Record> expected = items, scratch;
      std::stable_sort(expected.begin(), expected.end(), [](const Record& a, const Record& b) { return a.first < b.first; });
      radix_sort(items, scratch, [](const Record& r) { return r.first; });
      ASSERT_EQ(items, expected) << "keys " << low << ".." << high << ", " << size << " records";
    }
  }
}

}  // namespace
}  // namespace vantorelle
