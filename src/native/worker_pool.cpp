#include "native/worker_pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>
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

// Set in a process made by fork() from one whose arena existed: the arena's threads were not
// copied, and oneTBB's own state (its locks, the threads it believes asleep) is as the fork left
// it, so the child never enters oneTBB and runs every step on the calling thread. Nothing resets
// it: a child's child inherits it.
std::atomic<bool> FORKED_FROM_POOL{false};

void forked_child() noexcept { FORKED_FROM_POOL.store(true, std::memory_order_relaxed); }

// The arena once created, for the fork hooks, which must not create it.
std::atomic<oneapi::tbb::task_arena*> CREATED{nullptr};

oneapi::tbb::task_arena& arena() {
  // Created on first use and kept for the process (never destroyed: tasks may run at exit).
  static auto* ARENA = [] {
    // Any fork() (not only the interpreter's os.fork) reaches this; a failed registration leaves
    // children to use the pool, as before.
    pthread_atfork(nullptr, nullptr, forked_child);
    auto* created = new oneapi::tbb::task_arena(static_cast<int>(configured_threads()));
    CREATED.store(created, std::memory_order_release);
    return created;
  }();
  return *ARENA;
}

// Workers parked for a fork: each parking task holds a reference, so the state outlives the
// hooks until the last worker has left.
struct Parking {
  std::atomic<int> arrived{0};
  std::atomic<bool> released{false};
};
std::shared_ptr<Parking> PARKED;  // touched only by the forking thread, between the fork hooks

bool serial() noexcept { return FORKED_FROM_POOL.load(std::memory_order_relaxed); }

}  // namespace

void park_for_fork() noexcept {
  oneapi::tbb::task_arena* pool = CREATED.load(std::memory_order_acquire);
  if (pool == nullptr || serial() || PARKED) return;
  // The workers that can be in the arena at once: its slots, and no more than oneTBB runs.
  const int allowed = static_cast<int>(
      oneapi::tbb::global_control::active_value(oneapi::tbb::global_control::max_allowed_parallelism));
  const int workers = std::min(pool->max_concurrency(), allowed) - 1;
  if (workers <= 0) return;
  try {
    auto parking = std::make_shared<Parking>();
    for (int i = 0; i < workers; ++i) {
      pool->enqueue([parking] {
        parking->arrived.fetch_add(1, std::memory_order_acq_rel);
        while (!parking->released.load(std::memory_order_acquire)) std::this_thread::yield();
      });
    }
    PARKED = parking;
    // Bounded: a worker that does not come (taken by another arena of the process) leaves the
    // fork as unprotected as it was without parking, not stuck.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (parking->arrived.load(std::memory_order_acquire) < workers && std::chrono::steady_clock::now() < until) {
      std::this_thread::yield();
    }
  } catch (...) {
    // Out of memory for the tasks: fork unparked, as before.
  }
}

void resume_after_fork() noexcept {
  if (std::shared_ptr<Parking> parking = std::move(PARKED)) parking->released.store(true, std::memory_order_release);
  PARKED.reset();
}

std::size_t thread_count() { return serial() ? 1 : static_cast<std::size_t>(arena().max_concurrency()); }

void run(const std::function<void()>& body) {
  if (serial()) {
    body();
    return;
  }
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
  if (serial()) {
    std::exception_ptr first;
    for (std::size_t i = 0; i < n; ++i) {
      try {
        task(i);
      } catch (...) {
        if (!first) first = std::current_exception();
      }
    }
    if (first) std::rethrow_exception(first);
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
