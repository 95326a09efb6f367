// PyHandle: shared ownership of one strong Python reference, for native structures that copy and
// drop references on threads without the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "interpreter/ref.hpp"

namespace vantorelle {

// Copies bump an atomic count, so they are cheap and need no interpreter lock; the last copy
// releases the reference (queued when the lock is not held on this thread).
class PyHandle {
 public:
  PyHandle() noexcept = default;
  static PyHandle take(py::OwnedRef obj) {
    PyHandle handle;
    handle.cell_ = new Cell{{1}, obj.get()};
    handle.obj_ = obj.release();
    return handle;
  }
  PyHandle(const PyHandle& other) noexcept : cell_(other.cell_), obj_(other.obj_) {
    if (cell_) cell_->count.fetch_add(1, std::memory_order_relaxed);
  }
  PyHandle(PyHandle&& other) noexcept : cell_(other.cell_), obj_(other.obj_) {
    other.cell_ = nullptr;
    other.obj_ = nullptr;
  }
  PyHandle& operator=(PyHandle other) noexcept {
    std::swap(cell_, other.cell_);
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyHandle() {
    if (cell_ && cell_->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      py::release_reference(cell_->obj);
      delete cell_;
    }
  }
  // The object itself; kept beside the cell so reading it does not touch the shared cell.
  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Two handles share one reference exactly when they share the cell.
  bool same_cell(const PyHandle& other) const noexcept { return cell_ == other.cell_; }

 private:
  struct Cell {
    std::atomic<std::uint32_t> count;
    PyObject* obj;
  };
  Cell* cell_ = nullptr;
  PyObject* obj_ = nullptr;  // == cell_->obj
};

}  // namespace vantorelle
