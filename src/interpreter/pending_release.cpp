// References dropped on threads without the interpreter lock wait here until a thread that holds
// it drains the queue. The mutex is a leaf: nothing else is locked while it is held, and the
// drain releases the references only after letting go of it, because a release can run
// arbitrary Python code (finalizers) that may drop further references into the queue.
#include <atomic>
#include <mutex>
#include <vector>

#include "interpreter/ref.hpp"

namespace vantorelle::py {
namespace {

std::mutex g_pending_mutex;
std::vector<PyObject*> g_pending;                       // guarded by g_pending_mutex
std::vector<std::shared_ptr<const void>> g_pending_owners;  // guarded by g_pending_mutex

}  // namespace

void release_reference(PyObject* obj) noexcept {
  if (may_release_now()) {
    Py_DECREF(obj);
    return;
  }
  std::lock_guard lock(g_pending_mutex);
  try {
    g_pending.push_back(obj);
  } catch (...) {
    // Out of memory: leaking one reference is the only safe choice without the lock.
    return;
  }
  detail::pending_nonempty.store(true, std::memory_order_release);
}

void release_later(std::shared_ptr<const void> owner) noexcept {
  if (!owner || may_release_now()) return;
  std::lock_guard lock(g_pending_mutex);
  try {
    g_pending_owners.push_back(std::move(owner));
  } catch (...) {
    // Out of memory: keeping the owner alive forever is the only safe choice without the lock.
    new std::shared_ptr<const void>(std::move(owner));
    return;
  }
  detail::pending_nonempty.store(true, std::memory_order_release);
}

void drain_pending_queue() {
  while (detail::pending_nonempty.load(std::memory_order_acquire)) {
    std::vector<PyObject*> batch;
    std::vector<std::shared_ptr<const void>> owners;
    {
      std::lock_guard lock(g_pending_mutex);
      batch.swap(g_pending);
      owners.swap(g_pending_owners);
      detail::pending_nonempty.store(false, std::memory_order_relaxed);
    }
    owners.clear();
    for (PyObject* obj : batch) Py_DECREF(obj);
  }
}

}  // namespace vantorelle::py
