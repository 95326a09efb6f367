// Access flags of instances. A method that reads its instance holds shared access for the whole
// call, one that changes it exclusive access, also while the interpreter lock is released; a
// conflicting call from another thread fails at once instead of waiting.
//
// Every access held is listed, so that a process made by fork() can give back those of the
// threads it did not inherit: their calls never return there, and the instances they held would
// refuse every later call. The fork gate (interpreter/gil.hpp) makes sure such a call is not
// halfway through changing native data at the fork.
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

namespace detail {
// Its address names the thread in the list of accesses held.
inline thread_local char tl_access_holder [[gnu::tls_model("initial-exec")]] = 0;
}  // namespace detail

// One access held, linked into a process-wide list while it is. The list is guarded by the
// interpreter lock: every access is taken and given back by a thread holding it.
class HeldAccess {
 public:
  HeldAccess(BorrowFlag& flag, bool exclusive) noexcept
      : flag_(&flag), holder_(&detail::tl_access_holder), exclusive_(exclusive) {
    next_ = HEAD;
    if (next_ != nullptr) next_->prev_ = this;
    HEAD = this;
  }
  HeldAccess(const HeldAccess&) = delete;
  HeldAccess& operator=(const HeldAccess&) = delete;
  ~HeldAccess() {
    if (flag_ == nullptr) return;
    unlink();
    give_back();
  }

  // In the child of a fork, holding the interpreter lock: gives back every access held by a
  // thread other than the calling one (the only thread the child has).
  static void give_back_foreign() noexcept {
    for (HeldAccess* access = HEAD; access != nullptr;) {
      HeldAccess* next = access->next_;
      if (access->holder_ != &detail::tl_access_holder) {
        access->unlink();
        access->give_back();
        access->flag_ = nullptr;  // its frame is never unwound here; marked for good measure
      }
      access = next;
    }
  }

 private:
  void unlink() noexcept {
    (prev_ != nullptr ? prev_->next_ : HEAD) = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
  }
  void give_back() noexcept {
    if (exclusive_) {
      flag_->release_exclusive();
    } else {
      flag_->release_shared();
    }
  }

  static inline HeldAccess* HEAD = nullptr;
  HeldAccess* prev_ = nullptr;
  HeldAccess* next_ = nullptr;
  BorrowFlag* flag_;
  const char* holder_;
  bool exclusive_;
};

// Shared access; RuntimeError when the instance is held exclusively.
class SharedAccess {
 public:
  explicit SharedAccess(BorrowFlag& flag) : held_(taken(flag), false) {}

 private:
  static BorrowFlag& taken(BorrowFlag& flag) {
    if (!flag.try_shared()) raise(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
    return flag;
  }
  HeldAccess held_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(BorrowFlag& flag) : held_(taken(flag), true) {}

 private:
  static BorrowFlag& taken(BorrowFlag& flag) {
    if (!flag.try_exclusive()) raise(PyExc_RuntimeError, kAlreadyBorrowed);
    return flag;
  }
  HeldAccess held_;
};

}  // namespace vantorelle::py
