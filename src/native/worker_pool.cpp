#include "native/worker_pool.hpp"

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <cstdlib>
#include <string>
#include <thread>

// ThreadSanitizer does not see the synchronisation inside the (uninstrumented) oneTBB library, so
// sanitizer builds state the happens-before edges a task start and a task end give.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define VANTORELLE_TSAN_ACQUIRE(addr) __tsan_acquire(addr)
#define VANTORELLE_TSAN_RELEASE(addr) __tsan_release(addr)
#else
#define VANTORELLE_TSAN_ACQUIRE(addr) (void)(addr)
#define VANTORELLE_TSAN_RELEASE(addr) (void)(addr)
#endif

namespace vantorelle::pool {
namespace {

// A positive decimal number, or 0 for anything else (unset, empty, signs, other characters).
std::size_t positive_number(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  std::size_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    if (value > 1'000'000) return 0;
    value = value * 10 + static_cast<std::size_t>(*c - '0');
  }
  return value;
}

std::size_t configured_threads() {
  if (std::size_t n = positive_number(std::getenv("RAYON_NUM_THREADS"))) return n;
  if (std::size_t n = positive_number(std::getenv("RAYON_RS_NUM_CPUS"))) return n;
  unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : hardware;
}

oneapi::tbb::task_arena& arena() {
  // Created on first use and kept for the process (never destroyed: tasks may run at exit).
  static auto* ARENA = new oneapi::tbb::task_arena(static_cast<int>(configured_threads()));
  return *ARENA;
}

}  // namespace

std::size_t thread_count() { return static_cast<std::size_t>(arena().max_concurrency()); }

void run(const std::function<void()>& body) {
  int edge = 0;
  VANTORELLE_TSAN_RELEASE(&edge);
  arena().execute([&] {
    VANTORELLE_TSAN_ACQUIRE(&edge);
    body();
    VANTORELLE_TSAN_RELEASE(&edge);
  });
  VANTORELLE_TSAN_ACQUIRE(&edge);
}

void for_each(std::size_t n, const std::function<void(std::size_t)>& task) {
  if (n == 0) return;
  if (n == 1) {
    task(0);
    return;
  }
  int edge = 0;
  VANTORELLE_TSAN_RELEASE(&edge);
  oneapi::tbb::this_task_arena::isolate([&] {
    oneapi::tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) {
      VANTORELLE_TSAN_ACQUIRE(&edge);
      task(i);
      VANTORELLE_TSAN_RELEASE(&edge);
    });
  });
  VANTORELLE_TSAN_ACQUIRE(&edge);
}

}  // namespace vantorelle::pool
