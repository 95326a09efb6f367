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
//
// The count lives in a cell that the first copy allocates: most handles (an object's attribute
// values, the slots of an index) are never copied, and a handle with no cell owns its reference
// alone. The first copy moves that reference into a new cell and publishes the cell in the source
// handle with a compare-and-swap, so copies may be taken from one handle by several threads at
// once (as from any const object: not while its owner moves or destroys it).
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
  static PyHandle take(py::OwnedRef obj) noexcept {
    PyHandle handle;
    handle.obj_ = obj.release();
    return handle;
  }
  // A handle on a new listed cell holding the same object as `other`, for the registry to link.
  static PyHandle listed_copy_of(const PyHandle& other) {
    PyHandle handle;
    auto* listed = new (allocate(sizeof(ListedCell))) ListedCell{Cell{{1}, true, other.obj_}};
    handle.cell_.store(&listed->cell, std::memory_order_relaxed);
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
    handle.cell_.store(&listed->cell, std::memory_order_relaxed);
    handle.obj_ = listed->cell.obj;
    return handle;
  }

  // Throws std::bad_alloc when the first copy of a handle cannot allocate its cell.
  PyHandle(const PyHandle& other) : cell_(other.shared_cell()), obj_(other.obj_) {}
  // Moves and assignments overlap no copy of either handle, so they need no atomic exchange.
  PyHandle(PyHandle&& other) noexcept
      : cell_(other.cell_.load(std::memory_order_relaxed)), obj_(std::exchange(other.obj_, nullptr)) {
    other.cell_.store(nullptr, std::memory_order_relaxed);
  }
  PyHandle& operator=(PyHandle other) noexcept {
    Cell* mine = cell_.load(std::memory_order_relaxed);
    cell_.store(other.cell_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    other.cell_.store(mine, std::memory_order_relaxed);
    std::swap(obj_, other.obj_);
    return *this;
  }
  friend void swap(PyHandle& a, PyHandle& b) noexcept {
    Cell* cell = a.cell_.load(std::memory_order_relaxed);
    a.cell_.store(b.cell_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    b.cell_.store(cell, std::memory_order_relaxed);
    std::swap(a.obj_, b.obj_);
  }
  ~PyHandle() {
    Cell* cell = cell_.load(std::memory_order_acquire);
    if (cell == nullptr) {
      if (obj_) py::release_reference(obj_);
    } else if (last_handle(cell)) {
      if (cell->listed) {
        auto* listed = reinterpret_cast<ListedCell*>(cell);
        UNLINK_HOOK(listed);
        py::release_reference(cell->obj);
        listed->~ListedCell();
        deallocate(listed);
      } else {
        py::release_reference(cell->obj);
        cell->~Cell();
        deallocate(cell);
      }
    }
  }
  // The object itself; kept beside the cell so reading it does not touch the shared cell.
  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Two handles share one reference exactly when they share a cell (a handle without one shares
  // its reference with no other).
  bool same_cell(const PyHandle& other) const noexcept {
    Cell* cell = cell_.load(std::memory_order_acquire);
    return cell != nullptr && cell == other.cell_.load(std::memory_order_acquire);
  }
  // The listed cell behind this handle, or null.
  ListedCell* listed_cell() const noexcept {
    Cell* cell = cell_.load(std::memory_order_acquire);
    return cell && cell->listed ? reinterpret_cast<ListedCell*>(cell) : nullptr;
  }

 private:
  // The cell for one more handle, counted for it: this handle's, or a new one holding this handle's
  // reference (with a count of two) once published here. Of two threads making the first copy at
  // once, one publishes its cell and the other frees its own and counts itself on the winner.
  Cell* shared_cell() const {
    if (obj_ == nullptr) return nullptr;
    Cell* cell = cell_.load(std::memory_order_acquire);
    if (cell == nullptr) {
      Cell* fresh = new (allocate(sizeof(Cell))) Cell{{2}, false, obj_};
      if (cell_.compare_exchange_strong(cell, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return fresh;
      }
      fresh->~Cell();
      deallocate(fresh);
    }
    cell->count.fetch_add(1, std::memory_order_relaxed);
    return cell;
  }

  // Drops this handle's count; true if it was the last. A plain cell whose count reads 1 is held by
  // this handle alone, and no other thread can copy a handle it does not have, so the count needs
  // no atomic decrement; a listed cell may be shared again by its registry at any time.
  static bool last_handle(Cell* cell) noexcept {
    if (!cell->listed && cell->count.load(std::memory_order_acquire) == 1) return true;
    return cell->count.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

  // Cells are numerous (one per value a table keys by, per copied slot): they come from the scalable
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
  // Null until the first copy (see shared_cell); written again only by moves and assignment, which
  // no copy may overlap.
  mutable std::atomic<Cell*> cell_{nullptr};
  PyObject* obj_ = nullptr;  // == cell_->obj once there is a cell
};

}  // namespace vantorelle
