// Who holds the interpreter lock. The module tracks it itself instead of asking the interpreter
// (PyGILState_Check lies once any sub-interpreter exists): a Python thread that enters the module
// holds the lock until a ReleaseGil guard gives it up, and threads the module starts never hold it.
#pragma once

#include "python/api.hpp"

namespace vantorelle::py {

namespace detail {
// Static TLS (initial-exec): read on every release, and the module is loaded with dlopen, where
// the default model allocates per-thread blocks lazily and frees them at thread exit.
inline thread_local bool tl_gil_released [[gnu::tls_model("initial-exec")]] = false;
inline thread_local bool tl_native_thread [[gnu::tls_model("initial-exec")]] = false;
inline thread_local int tl_defer_releases [[gnu::tls_model("initial-exec")]] = 0;
}  // namespace detail

inline bool gil_held() noexcept { return !detail::tl_gil_released && !detail::tl_native_thread; }

// True while references may be released at once: the lock is held and no native lock is (a
// release can run arbitrary Python code, which must never run under a native lock).
inline bool may_release_now() noexcept { return gil_held() && detail::tl_defer_releases == 0; }

// Marks the calling thread as one the interpreter never runs on (the worker pool's threads).
inline void mark_native_thread() noexcept { detail::tl_native_thread = true; }

void drain_pending_releases();

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
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) { detail::tl_gil_released = true; }
  ~ReleaseGil() {
    PyEval_RestoreThread(state_);
    detail::tl_gil_released = false;
    if (detail::tl_defer_releases == 0) drain_pending_releases();
  }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace vantorelle::py
