// Typed Python references. OwnedRef is the single owner of one strong reference; BorrowedRef
// names an object someone else keeps alive. Converting between them is always spelled out.
#pragma once

#include <memory>
#include <utility>

#include "interpreter/api.hpp"
#include "interpreter/gil.hpp"

namespace vantorelle::py {

// Hands one strong reference to the pending-release queue when the interpreter lock is not held
// on this thread; otherwise releases it at once. Safe from any thread.
void release_reference(PyObject* obj) noexcept;

// Drops `owner` at once when references may be released on this thread, otherwise hands it to
// the pending-release queue (for native objects whose destruction releases Python references or
// that lock-free readers under the interpreter lock may still use).
void release_later(std::shared_ptr<const void> owner) noexcept;

class BorrowedRef {
 public:
  constexpr BorrowedRef() noexcept = default;
  constexpr explicit BorrowedRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

class OwnedRef {
 public:
  constexpr OwnedRef() noexcept = default;
  // Takes over a reference the caller already owns (a "new reference" from the C API).
  static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }
  // Adds a reference; the interpreter lock must be held.
  static OwnedRef incref(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return OwnedRef(obj);
  }
  static OwnedRef incref(BorrowedRef obj) noexcept { return incref(obj.get()); }

  OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { reset(); }

  PyObject* get() const noexcept { return obj_; }
  BorrowedRef borrow() const noexcept { return BorrowedRef(obj_); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Gives the reference back to the interpreter (a return value, a list item).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset() noexcept {
    if (PyObject* obj = std::exchange(obj_, nullptr)) release_reference(obj);
  }

 private:
  explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vantorelle::py
