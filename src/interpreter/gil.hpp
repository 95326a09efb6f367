// Who holds the interpreter lock. The module tracks it itself instead of asking the interpreter
// (PyGILState_Check lies once any sub-interpreter exists). A thread holds the lock exactly while
// an entry point from the interpreter says so (HoldingGil, opened by every method, slot function
// and deallocator) and no ReleaseGil guard has given it up; every other thread, the worker pool's
// included, is taken not to hold it, so references it drops are queued.
#pragma once

#include "interpreter/api.hpp"

namespace vantorelle::py {

namespace detail {
// Static TLS (initial-exec): read on every release, and the module is loaded with dlopen, where
// the default model allocates per-thread blocks lazily and frees them at thread exit.
inline thread_local bool tl_gil_held [[gnu::tls_model("initial-exec")]] = false;
inline thread_local int tl_defer_releases [[gnu::tls_model("initial-exec")]] = 0;
}  // namespace detail

inline bool gil_held() noexcept { return detail::tl_gil_held; }

// True while references may be released at once: the lock is held and no native lock is (a
// release can run arbitrary Python code, which must never run under a native lock).
inline bool may_release_now() noexcept { return detail::tl_gil_held && detail::tl_defer_releases == 0; }

void drain_pending_releases();

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
// exceptions included; references queued meanwhile are released right after re-acquiring.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : previous_(detail::tl_gil_held), state_(PyEval_SaveThread()) { detail::tl_gil_held = false; }
  ~ReleaseGil() {
    PyEval_RestoreThread(state_);
    detail::tl_gil_held = previous_;
    if (previous_ && detail::tl_defer_releases == 0) drain_pending_releases();
  }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  bool previous_;
  PyThreadState* state_;
};

}  // namespace vantorelle::py
