// Blocks from the scalable allocator, for the numerous small blocks whose size the general
// allocator's per-block header would noticeably grow (reference cells, attribute maps): its size
// classes carry no header. Sanitizer builds use the general allocator, which they can check.
#pragma once

#include <cstddef>
#include <new>

#ifndef VANTORELLE_PLAIN_ALLOC
#include <oneapi/tbb/scalable_allocator.h>
#endif

namespace vantorelle {

// Throws std::bad_alloc.
inline void* scalable_allocate(std::size_t size) {
#ifdef VANTORELLE_PLAIN_ALLOC
  return ::operator new(size);
#else
  void* block = scalable_malloc(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
#endif
}

inline void scalable_deallocate(void* block) noexcept {
#ifdef VANTORELLE_PLAIN_ALLOC
  ::operator delete(block);
#else
  scalable_free(block);
#endif
}

}  // namespace vantorelle
