// PyHandle: shared ownership of one strong Python reference, for native structures that copy and
// drop references on threads without the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "interpreter/ref.hpp"

#ifndef VANTORELLE_PLAIN_ALLOC
#include <oneapi/tbb/scalable_allocator.h>
#endif

namespace vantorelle {

// Copies bump an atomic count, so they are cheap and need no interpreter lock; the last copy
// releases the reference (queued when the lock is not held on this thread).
class PyHandle {
 public:
  struct Cell {
    std::atomic<std::uint32_t> count;
    bool listed;  // a ListedCell
    PyObject* obj;
  };
  // A cell that a registry keeps in a list of its own (the table of representatives lists the
  // values of each class). The registry's hook unlinks it, under the registry's lock, once the
  // last handle is gone and before the cell is freed; until then the registry may share it again
  // with try_share. prev, next and list belong to the registry.
  struct ListedCell {
    Cell cell;
    ListedCell* prev = nullptr;
    ListedCell* next = nullptr;
    void* list = nullptr;
  };
  static_assert(std::is_standard_layout_v<Cell>, "a ListedCell is reached from its Cell");
  using UnlinkHook = void (*)(ListedCell*) noexcept;
  // Set once, by the registry, before the first listed cell exists.
  static void set_unlink_hook(UnlinkHook hook) noexcept { UNLINK_HOOK = hook; }

  PyHandle() noexcept = default;
  static PyHandle take(py::OwnedRef obj) {
    PyHandle handle;
    handle.cell_ = new (allocate(sizeof(Cell))) Cell{{1}, false, obj.get()};
    handle.obj_ = obj.release();
    return handle;
  }
  // A handle on a new listed cell holding the same object as `other`, for the registry to link.
  static PyHandle listed_copy_of(const PyHandle& other) {
    PyHandle handle;
    auto* listed = new (allocate(sizeof(ListedCell))) ListedCell{Cell{{1}, true, other.obj_}};
    handle.cell_ = &listed->cell;
    handle.obj_ = other.obj_;
    Py_INCREF(other.obj_);  // the interpreter lock is held: the registry links at conversion
    return handle;
  }
  // A handle on a listed cell still in use, or an empty one if its last handle is going; call under
  // the registry's lock, which the unlink hook also takes.
  static PyHandle try_share(ListedCell* listed) noexcept {
    std::uint32_t count = listed->cell.count.load(std::memory_order_relaxed);
    do {
      if (count == 0) return {};
    } while (!listed->cell.count.compare_exchange_weak(count, count + 1, std::memory_order_relaxed));
    PyHandle handle;
    handle.cell_ = &listed->cell;
    handle.obj_ = listed->cell.obj;
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
    if (cell_ && last_handle()) {
      if (cell_->listed) {
        auto* listed = reinterpret_cast<ListedCell*>(cell_);
        UNLINK_HOOK(listed);
        py::release_reference(cell_->obj);
        listed->~ListedCell();
        deallocate(listed);
      } else {
        py::release_reference(cell_->obj);
        cell_->~Cell();
        deallocate(cell_);
      }
    }
  }
  // The object itself; kept beside the cell so reading it does not touch the shared cell.
  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Two handles share one reference exactly when they share the cell.
  bool same_cell(const PyHandle& other) const noexcept { return cell_ == other.cell_; }
  // The listed cell behind this handle, or null.
  ListedCell* listed_cell() const noexcept {
    return cell_ && cell_->listed ? reinterpret_cast<ListedCell*>(cell_) : nullptr;
  }

 private:
  // Drops this handle's count; true if it was the last. A plain cell whose count reads 1 is held by
  // this handle alone, and no other thread can copy a handle it does not have, so the count needs
  // no atomic decrement; a listed cell may be shared again by its registry at any time.
  bool last_handle() const noexcept {
    if (!cell_->listed && cell_->count.load(std::memory_order_acquire) == 1) return true;
    return cell_->count.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

  // Cells are the most numerous allocation (one per attribute value): they come from the scalable
  // allocator's 16-byte size class, without the general allocator's per-block header, which would
  // double them. Sanitizer builds use the general allocator, which they can check.
  static void* allocate(std::size_t size) {
#ifdef VANTORELLE_PLAIN_ALLOC
    return ::operator new(size);
#else
    void* block = scalable_malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
#endif
  }
  static void deallocate(void* block) noexcept {
#ifdef VANTORELLE_PLAIN_ALLOC
    ::operator delete(block);
#else
    scalable_free(block);
#endif
  }

  static inline UnlinkHook UNLINK_HOOK = nullptr;
  Cell* cell_ = nullptr;
  PyObject* obj_ = nullptr;  // == cell_->obj
};

}  // namespace vantorelle
