// PyHandle: shared ownership of one strong Python reference, for native structures that copy and
// drop references on threads without the interpreter lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "interpreter/ref.hpp"

#include "native/scalable.hpp"

namespace vantorelle {

// Copies bump an atomic count, so they are cheap and need no interpreter lock; the last copy
// releases the reference (queued when the lock is not held on this thread).
//
// The count lives in a cell that the first copy allocates: most handles (an object's attribute
// values, the slots of an index) are never copied, and a handle with no cell owns its reference
// alone. The first copy moves that reference into a new cell and publishes the cell in the source
// handle with a compare-and-swap, so copies may be taken from one handle by several threads at
// once (as from any const object: not while its owner moves or destroys it).
//
// A handle is one word: the object's address or, once shared, its cell's (bit 0 set; objects and
// cells are 8-byte aligned). Reading a shared handle's object therefore reads its cell.
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
  static_assert(alignof(Cell) >= 2, "a cell's address leaves bit 0 for the shared mark");
  using UnlinkHook = void (*)(ListedCell*) noexcept;
  // Set once, by the registry, before the first listed cell exists.
  static void set_unlink_hook(UnlinkHook hook) noexcept { UNLINK_HOOK = hook; }

  PyHandle() noexcept = default;
  static PyHandle take(py::OwnedRef obj) noexcept {
    PyHandle handle;
    handle.word_.store(reinterpret_cast<std::uintptr_t>(obj.release()), std::memory_order_relaxed);
    return handle;
  }
  // A handle on a new listed cell holding the same object as `other`, for the registry to link.
  static PyHandle listed_copy_of(const PyHandle& other) {
    PyObject* obj = other.get();
    auto* listed = new (allocate(sizeof(ListedCell))) ListedCell{Cell{{1}, true, obj}};
    Py_INCREF(obj);  // the interpreter lock is held: the registry links at conversion
    return of_cell(&listed->cell);
  }
  // A handle on a listed cell still in use, or an empty one if its last handle is going; call under
  // the registry's lock, which the unlink hook also takes.
  static PyHandle try_share(ListedCell* listed) noexcept {
    std::uint32_t count = listed->cell.count.load(std::memory_order_relaxed);
    do {
      if (count == 0) return {};
    } while (!listed->cell.count.compare_exchange_weak(count, count + 1, std::memory_order_relaxed));
    return of_cell(&listed->cell);
  }

  // Throws std::bad_alloc when the first copy of a handle cannot allocate its cell.
  PyHandle(const PyHandle& other) : word_(other.shared_word()) {}
  // Moves and assignments overlap no copy of either handle, so they need no atomic exchange.
  PyHandle(PyHandle&& other) noexcept : word_(other.word_.load(std::memory_order_relaxed)) {
    other.word_.store(0, std::memory_order_relaxed);
  }
  PyHandle& operator=(PyHandle other) noexcept {
    swap(*this, other);
    return *this;
  }
  friend void swap(PyHandle& a, PyHandle& b) noexcept {
    std::uintptr_t word = a.word_.load(std::memory_order_relaxed);
    a.word_.store(b.word_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    b.word_.store(word, std::memory_order_relaxed);
  }
  ~PyHandle() {
    std::uintptr_t word = word_.load(std::memory_order_acquire);
    if ((word & kShared) == 0) {
      if (word != 0) py::release_reference(reinterpret_cast<PyObject*>(word));
      return;
    }
    Cell* cell = cell_of(word);
    if (!last_handle(cell)) return;
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
  PyObject* get() const noexcept {
    std::uintptr_t word = word_.load(std::memory_order_acquire);
    return word & kShared ? cell_of(word)->obj : reinterpret_cast<PyObject*>(word);
  }
  explicit operator bool() const noexcept { return word_.load(std::memory_order_relaxed) != 0; }
  // Two handles share one reference exactly when they share a cell (a handle without one shares
  // its reference with no other).
  bool same_cell(const PyHandle& other) const noexcept {
    std::uintptr_t word = word_.load(std::memory_order_acquire);
    return (word & kShared) != 0 && word == other.word_.load(std::memory_order_acquire);
  }
  // The listed cell behind this handle, or null.
  ListedCell* listed_cell() const noexcept {
    std::uintptr_t word = word_.load(std::memory_order_acquire);
    if ((word & kShared) == 0 || !cell_of(word)->listed) return nullptr;
    return reinterpret_cast<ListedCell*>(cell_of(word));
  }

 private:
  static constexpr std::uintptr_t kShared = 1;
  static Cell* cell_of(std::uintptr_t word) noexcept { return reinterpret_cast<Cell*>(word & ~kShared); }
  static PyHandle of_cell(Cell* cell) noexcept {
    PyHandle handle;
    handle.word_.store(reinterpret_cast<std::uintptr_t>(cell) | kShared, std::memory_order_relaxed);
    return handle;
  }

  // The word for one more handle, counted for it: this handle's cell, or a new one holding this
  // handle's reference (with a count of two) once published here. Of two threads making the first
  // copy at once, one publishes its cell and the other frees its own and counts itself on the
  // winner.
  std::uintptr_t shared_word() const {
    std::uintptr_t word = word_.load(std::memory_order_acquire);
    if (word == 0) return 0;
    if ((word & kShared) == 0) {
      Cell* fresh = new (allocate(sizeof(Cell))) Cell{{2}, false, reinterpret_cast<PyObject*>(word)};
      const std::uintptr_t shared = reinterpret_cast<std::uintptr_t>(fresh) | kShared;
      if (word_.compare_exchange_strong(word, shared, std::memory_order_acq_rel, std::memory_order_acquire)) {
        return shared;
      }
      fresh->~Cell();
      deallocate(fresh);
    }
    cell_of(word)->count.fetch_add(1, std::memory_order_relaxed);
    return word;
  }

  // Drops this handle's count; true if it was the last. A plain cell whose count reads 1 is held by
  // this handle alone, and no other thread can copy a handle it does not have, so the count needs
  // no atomic decrement; a listed cell may be shared again by its registry at any time.
  static bool last_handle(Cell* cell) noexcept {
    if (!cell->listed && cell->count.load(std::memory_order_acquire) == 1) return true;
    return cell->count.fetch_sub(1, std::memory_order_acq_rel) == 1;
  }

  // Cells are numerous (one per value a table keys by, per copied slot): they come from the
  // scalable allocator's 16-byte size class, without the general allocator's per-block header.
  static void* allocate(std::size_t size) { return scalable_allocate(size); }
  static void deallocate(void* block) noexcept { scalable_deallocate(block); }

  static inline UnlinkHook UNLINK_HOOK = nullptr;
  // 0 (empty), the object's address, or the cell's with kShared. Goes from the object to a cell
  // once, by the first copy (see shared_word); written again only by moves and assignment, which
  // no copy may overlap.
  mutable std::atomic<std::uintptr_t> word_{0};
};
static_assert(sizeof(PyHandle) == sizeof(void*), "a handle is one word");

}  // namespace vantorelle
