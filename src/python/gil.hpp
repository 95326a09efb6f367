// Who holds the interpreter lock. The module tracks it itself instead of asking the interpreter
// (PyGILState_Check lies once any sub-interpreter exists): a Python thread that enters the module
// holds the lock until a ReleaseGil guard gives it up, and threads the module starts never hold it.
#pragma once

#include "python/api.hpp"

namespace vantorelle::py {

namespace detail {
inline thread_local bool tl_gil_released = false;
inline thread_local bool tl_native_thread = false;
}  // namespace detail

inline bool gil_held() noexcept { return !detail::tl_gil_released && !detail::tl_native_thread; }

// Marks the calling thread as one the interpreter never runs on (the worker pool's threads).
inline void mark_native_thread() noexcept { detail::tl_native_thread = true; }

void drain_pending_releases();

// Releases the interpreter lock for the guard's lifetime and takes it back on every exit path,
// exceptions included; references queued meanwhile are released right after re-acquiring.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) { detail::tl_gil_released = true; }
  ~ReleaseGil() {
    PyEval_RestoreThread(state_);
    detail::tl_gil_released = false;
    drain_pending_releases();
  }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace vantorelle::py
