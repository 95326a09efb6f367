// Shared by the native tests: how much randomized work a build can afford.
#pragma once

#include <cstddef>

namespace vantorelle::testing {

// Optimized builds without sanitizers run the full randomized volumes; Debug and sanitizer builds
// run a tenth, enough to cross every split and recentering many times.
#if defined(__OPTIMIZE__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
inline constexpr size_t kScaleDivisor = 1;
#else
inline constexpr size_t kScaleDivisor = 10;
#endif

constexpr size_t scaled(size_t full) { return full / kScaleDivisor > 0 ? full / kScaleDivisor : 1; }

}  // namespace vantorelle::testing
