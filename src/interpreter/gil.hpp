// Who holds the interpreter lock. The module tracks it itself instead of asking the interpreter
// (PyGILState_Check lies once any sub-interpreter exists). A thread holds the lock exactly while
// an entry point from the interpreter says so (HoldingGil, opened by every method, slot function
// and deallocator) and no ReleaseGil guard has given it up; every other thread, the worker pool's
// included, is taken not to hold it, so references it drops are queued.
//
// The same guards keep fork() safe. Native locks are taken without the interpreter lock only
// inside a ReleaseGil scope (a native section) and by the worker pool on behalf of one; a thread
// holding the interpreter lock takes them only for work that runs no Python code, so while the
// forking thread holds it, no other thread holding that lock can be holding a native lock. The
// fork gate counts the threads inside native sections; before a fork it is closed (no thread
// enters, one about to waits, holding no lock of any kind) and the fork waits until none is
// inside. So at fork() no native lock is held by another thread, and the child starts with every
// one of them free.
#pragma once

#include <atomic>
#include <cstdint>

#include "interpreter/api.hpp"

namespace vantorelle::py {

namespace detail {
// Static TLS (initial-exec): read on every release, and the module is loaded with dlopen, where
// the default model allocates per-thread blocks lazily and frees them at thread exit.
inline thread_local bool tl_gil_held [[gnu::tls_model("initial-exec")]] = false;
inline thread_local int tl_defer_releases [[gnu::tls_model("initial-exec")]] = 0;
// How many forks the thread has prepared and not yet seen return (more than one when code run
// while preparing a fork forks again). The thread that closed the fork gate passes it: code it
// runs meanwhile (a finalizer, another at-fork hook) may enter native sections, which end before
// the fork itself.
inline thread_local int tl_forks_prepared [[gnu::tls_model("initial-exec")]] = 0;
// Set while the pending-release queue may hold something; every call into the module ends by
// looking at it, so the look stays inline.
inline std::atomic<bool> pending_nonempty{false};
}  // namespace detail

// State: bits 0..30 count the threads inside a native section; kClosed is set from the moment a
// fork is prepared until it returned, in parent and child. A thread counted here never waits for
// the interpreter lock (it leaves before taking it back), and one waiting to enter holds no lock,
// so closing the gate waits only for native work that finishes without help.
class ForkGate {
 public:
  static void enter() noexcept {
    std::uint32_t state = STATE.load(std::memory_order_relaxed);
    for (;;) {
      if ((state & kClosed) != 0 && detail::tl_forks_prepared == 0) {
        STATE.wait(state, std::memory_order_relaxed);
        state = STATE.load(std::memory_order_relaxed);
      } else if (STATE.compare_exchange_weak(state, state + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return;
      }
    }
  }
  static void leave() noexcept {
    if (STATE.fetch_sub(1, std::memory_order_release) == (kClosed | 1)) STATE.notify_all();
  }

  // Called by the forking thread without the interpreter lock: waits for a fork prepared by
  // another thread to return, closes the gate, and waits until no thread is inside.
  static void close() noexcept {
    if (detail::tl_forks_prepared++ > 0) return;  // closed by this thread already
    std::uint32_t state = STATE.load(std::memory_order_relaxed);
    for (;;) {
      if ((state & kClosed) != 0) {
        STATE.wait(state, std::memory_order_relaxed);
        state = STATE.load(std::memory_order_relaxed);
      } else if (STATE.compare_exchange_weak(state, state | kClosed, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
        break;
      }
    }
    for (state = STATE.load(std::memory_order_acquire); state != kClosed; state = STATE.load(std::memory_order_acquire)) {
      STATE.wait(state, std::memory_order_acquire);
    }
  }
  // After the fork, in the parent and in the child (where no other thread exists, so none is
  // inside or waiting); also when the fork failed.
  static void open() noexcept {
    // Nothing to open when the fork was prepared before this module was imported.
    if (detail::tl_forks_prepared == 0 || --detail::tl_forks_prepared > 0) return;
    STATE.fetch_and(~kClosed, std::memory_order_release);
    STATE.notify_all();
  }
  // Whether the calling thread closed the gate for a fork that has not returned.
  static bool prepared_here() noexcept { return detail::tl_forks_prepared > 0; }

 private:
  static constexpr std::uint32_t kClosed = 1u << 31;
  static inline std::atomic<std::uint32_t> STATE{0};
};

inline bool gil_held() noexcept { return detail::tl_gil_held; }

// True while references may be released at once: the lock is held and no native lock is (a
// release can run arbitrary Python code, which must never run under a native lock).
inline bool may_release_now() noexcept { return detail::tl_gil_held && detail::tl_defer_releases == 0; }

void drain_pending_queue();
inline void drain_pending_releases() {
  if (detail::pending_nonempty.load(std::memory_order_acquire)) drain_pending_queue();
}

// Marks the calling thread as holding the interpreter lock for the guard's lifetime. Only code
// the interpreter called (and so holding its lock) opens one. Nests; the outermost releases what
// was queued meanwhile.
class HoldingGil {
 public:
  HoldingGil() noexcept : previous_(detail::tl_gil_held) { detail::tl_gil_held = true; }
  ~HoldingGil() {
    if (!previous_ && detail::tl_defer_releases == 0) drain_pending_releases();
    detail::tl_gil_held = previous_;
  }
  HoldingGil(const HoldingGil&) = delete;
  HoldingGil& operator=(const HoldingGil&) = delete;

 private:
  bool previous_;
};

// Queues every reference dropped on this thread while alive; wrap any code that drops references
// under native locks. The outermost guard releases the queue if the interpreter lock is held.
class DeferReleases {
 public:
  DeferReleases() noexcept { ++detail::tl_defer_releases; }
  ~DeferReleases() {
    if (--detail::tl_defer_releases == 0 && gil_held()) drain_pending_releases();
  }
  DeferReleases(const DeferReleases&) = delete;
  DeferReleases& operator=(const DeferReleases&) = delete;
};

// Releases the interpreter lock for the guard's lifetime and takes it back on every exit path,
// exceptions included; references queued meanwhile are released right after re-acquiring. The
// scope is a native section: it passes the fork gate after letting go of the interpreter lock and
// leaves it before taking the lock back. Open one only while holding no native lock.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : ReleaseGil(true) {}
  // For the forking thread only, which closes the gate itself.
  static ReleaseGil outside_fork_gate() noexcept { return ReleaseGil(false); }
  ~ReleaseGil() {
    if (gated_) ForkGate::leave();
    PyEval_RestoreThread(state_);
    detail::tl_gil_held = previous_;
    if (previous_ && detail::tl_defer_releases == 0) drain_pending_releases();
  }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  explicit ReleaseGil(bool gated) noexcept
      : gated_(gated), previous_(detail::tl_gil_held), state_(PyEval_SaveThread()) {
    detail::tl_gil_held = false;
    if (gated_) ForkGate::enter();
  }

  bool gated_;
  bool previous_;
  PyThreadState* state_;
};

}  // namespace vantorelle::py
