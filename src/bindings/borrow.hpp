// Access flags of instances. A method that reads its instance holds shared access for the whole
// call, one that changes it exclusive access, also while the interpreter lock is released; a
// conflicting call from another thread fails at once instead of waiting.
#pragma once

#include <atomic>
#include <cstdint>

#include "interpreter/errors.hpp"

namespace vantorelle::py {

class BorrowFlag {
 public:
  // state_: 0 free, n > 0 held shared n times, kExclusive held exclusively.
  bool try_shared() noexcept {
    std::intptr_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur == kExclusive) return false;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  bool try_exclusive() noexcept {
    std::intptr_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::intptr_t kExclusive = -1;
  std::atomic<std::intptr_t> state_{0};
};

inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";

// Shared access; RuntimeError when the instance is held exclusively.
class SharedAccess {
 public:
  explicit SharedAccess(BorrowFlag& flag) : flag_(&flag) {
    if (!flag.try_shared()) raise(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
  }
  SharedAccess(SharedAccess&& other) noexcept : flag_(other.flag_) { other.flag_ = nullptr; }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  SharedAccess& operator=(SharedAccess&&) = delete;
  ~SharedAccess() {
    if (flag_) flag_->release_shared();
  }

 private:
  BorrowFlag* flag_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(BorrowFlag& flag) : flag_(&flag) {
    if (!flag.try_exclusive()) raise(PyExc_RuntimeError, kAlreadyBorrowed);
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  ~ExclusiveAccess() { flag_->release_exclusive(); }

 private:
  BorrowFlag* flag_;
};

}  // namespace vantorelle::py
