// Cache hints for loops that know which lines they will touch a few steps ahead.
#pragma once

namespace vantorelle {

// The optimizer sees no side effect in __builtin_prefetch alone: a function that only prefetches
// (an out-of-line lambda walking a map, say) is found pure and its calls are dropped. The empty asm
// taking the address keeps the hint without emitting anything.
inline void prefetch_read(const void* address) noexcept {
  __builtin_prefetch(address, 0);
  asm volatile("" : : "r"(address));
}
inline void prefetch_write(const void* address) noexcept {
  __builtin_prefetch(address, 1);
  asm volatile("" : : "r"(address));
}

}  // namespace vantorelle
