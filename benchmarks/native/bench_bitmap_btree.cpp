// BitMapBTree against std::multimap on N (value, id) entries (default 1,000,000):
//   insert, random and ascending, vs std::multimap::insert;
//   range queries selecting 0.1%, 10% and 50% of the entries vs a scan that walks the same
//   entries of the multimap and adds each id to a bitmap.
// Usage: bench_bitmap_btree [entries] [query repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "native/bitmap_btree.hpp"

using namespace vantorelle;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best of three runs, to damp the noise of a shared machine.
template <class F>
double best_of_three(F&& run) {
  double best = 1e300;
  for (int i = 0; i < 3; ++i) best = std::min(best, run());
  return best;
}

volatile uint64_t sink;

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 20;
  constexpr int64_t kSpan = 1'000'000'000;

  std::mt19937_64 rng(42);
  std::vector<int64_t> random_values(n);
  for (auto& v : random_values) v = static_cast<int64_t>(rng() % kSpan);

  std::printf("entries: %zu\n\n%-22s %12s %12s %8s\n", n, "insert", "BitMapBTree", "multimap",
              "ratio");
  for (int ascending = 0; ascending < 2; ++ascending) {
    const auto value = [&](size_t i) {
      return ascending ? static_cast<int64_t>(i) * (kSpan / static_cast<int64_t>(n))
                       : random_values[i];
    };
    const double tree_s = best_of_three([&] {
      BitMapBTree tree;
      const auto start = Clock::now();
      for (size_t i = 0; i < n; ++i) tree.insert(NumericValue::of_int(value(i)), uint32_t(i + 1));
      const double s = seconds_since(start);
      sink = tree.size();
      return s;
    });
    const double map_s = best_of_three([&] {
      std::multimap<int64_t, uint32_t> map;
      const auto start = Clock::now();
      for (size_t i = 0; i < n; ++i) map.insert({value(i), uint32_t(i + 1)});
      const double s = seconds_since(start);
      sink = map.size();
      return s;
    });
    std::printf("%-22s %9.1f ms %9.1f ms %7.2fx\n", ascending ? "ascending" : "random",
                tree_s * 1e3, map_s * 1e3, tree_s / map_s);
  }

  BitMapBTree tree;
  std::multimap<int64_t, uint32_t> map;
  Bitmap universe;
  for (size_t i = 0; i < n; ++i) {
    tree.insert(NumericValue::of_int(random_values[i]), uint32_t(i + 1));
    map.insert({random_values[i], uint32_t(i + 1)});
    universe.add(uint32_t(i + 1));
  }

  std::printf("\n%-22s %12s %12s %8s\n", "range (per query)", "BitMapBTree", "map scan", "speedup");
  for (double fraction : {0.001, 0.10, 0.50}) {
    const auto width = static_cast<int64_t>(fraction * kSpan);
    std::vector<int64_t> starts(reps);
    for (auto& s : starts) s = static_cast<int64_t>(rng() % static_cast<uint64_t>(kSpan - width));
    uint64_t tree_hits = 0, scan_hits = 0;
    const double tree_s = best_of_three([&] {
      tree_hits = 0;
      const auto start = Clock::now();
      for (int64_t lo : starts) {
        tree_hits += tree.query_range(Bound::included(NumericValue::of_int(lo)),
                                      Bound::excluded(NumericValue::of_int(lo + width)), universe)
                         .cardinality();
      }
      return seconds_since(start) / reps;
    });
    const double scan_s = best_of_three([&] {
      scan_hits = 0;
      const auto start = Clock::now();
      for (int64_t lo : starts) {
        Bitmap ids;
        const auto end = map.lower_bound(lo + width);
        for (auto it = map.lower_bound(lo); it != end; ++it) ids.add(it->second);
        scan_hits += ids.cardinality();
      }
      return seconds_since(start) / reps;
    });
    if (tree_hits != scan_hits) {
      std::printf("result mismatch: tree %llu, scan %llu\n", (unsigned long long)tree_hits,
                  (unsigned long long)scan_hits);
      return 1;
    }
    char label[32];
    std::snprintf(label, sizeof label, "%.1f%% (%llu ids)", fraction * 100,
                  (unsigned long long)(tree_hits / reps));
    std::printf("%-22s %9.3f ms %9.3f ms %7.1fx\n", label, tree_s * 1e3, scan_s * 1e3,
                scan_s / tree_s);
  }
  return 0;
}
