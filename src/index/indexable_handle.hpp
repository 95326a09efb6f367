// A handle whose object is known to be an Indexable, so the core can reach its native half
// (Indexable, defined in index/indexable.hpp) without a type check.
#pragma once

#include "interpreter/py_handle.hpp"

namespace vantorelle {

class Indexable;

class IndexableHandle {
 public:
  IndexableHandle() noexcept = default;
  // `handle` must hold an instance of Indexable or of a subclass: made only by the bindings after
  // their type check, and by value conversion for values of those types.
  static IndexableHandle of_checked(PyHandle handle) noexcept { return IndexableHandle(std::move(handle)); }

  PyObject* get() const noexcept { return handle_.get(); }
  const PyHandle& handle() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
  // Defined in index/indexable.hpp.
  inline Indexable& native() const noexcept;

 private:
  explicit IndexableHandle(PyHandle handle) noexcept : handle_(std::move(handle)) {}
  PyHandle handle_;
};

}  // namespace vantorelle
