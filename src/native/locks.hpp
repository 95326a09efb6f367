// Reader-writer locks that remember a failed writer. A write guard released while an exception
// unwinds poisons the lock: the data it guards may be half-updated, so every later attempt to
// take the lock fails with the internal-failure message instead of working on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "native/failure.hpp"

namespace vantorelle {

class RwLock {
 public:
  class ReadGuard {
   public:
    explicit ReadGuard(RwLock& lock) : lock_(&lock) {
      lock.mutex_.lock_shared();
      if (lock.poisoned_.load(std::memory_order_acquire)) {
        lock.mutex_.unlock_shared();
        fail(kUnwrapErr);
      }
    }
    // Takes the lock only if no writer holds or awaits it and it is not poisoned; holds nothing
    // (and tests false) otherwise.
    static ReadGuard try_take(RwLock& lock) noexcept {
      ReadGuard guard;
      if (!lock.mutex_.try_lock_shared()) return guard;
      if (lock.poisoned_.load(std::memory_order_acquire)) {
        lock.mutex_.unlock_shared();
        return guard;
      }
      guard.lock_ = &lock;
      return guard;
    }
    ReadGuard(ReadGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    explicit operator bool() const noexcept { return lock_ != nullptr; }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() { unlock(); }
    void unlock() noexcept {
      if (lock_) std::exchange(lock_, nullptr)->mutex_.unlock_shared();
    }

   private:
    ReadGuard() noexcept : lock_(nullptr) {}
    RwLock* lock_;
  };

  class WriteGuard {
   public:
    explicit WriteGuard(RwLock& lock) : lock_(&lock), exceptions_(std::uncaught_exceptions()) {
      lock.mutex_.lock();
      if (lock.poisoned_.load(std::memory_order_acquire)) {
        lock.mutex_.unlock();
        fail(kUnwrapErr);
      }
    }
    WriteGuard(WriteGuard&& other) noexcept : lock_(other.lock_), exceptions_(other.exceptions_) {
      other.lock_ = nullptr;
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() {
      if (lock_ && std::uncaught_exceptions() > exceptions_) lock_->poisoned_.store(true, std::memory_order_release);
      unlock();
    }
    void unlock() noexcept {
      if (lock_) std::exchange(lock_, nullptr)->mutex_.unlock();
    }
    bool owns(const RwLock& lock) const noexcept { return lock_ == &lock; }

   private:
    RwLock* lock_;
    int exceptions_;
  };

  ReadGuard read() { return ReadGuard(*this); }
  ReadGuard try_read() noexcept { return ReadGuard::try_take(*this); }
  WriteGuard write() { return WriteGuard(*this); }
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

 private:
  std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
};

// A one-byte lock for leaf critical sections of a few instructions (copying a pointer or a short
// list), kept in every indexed object where a std::mutex would cost 40 bytes. Spins briefly, then
// yields, so a holder that was preempted is not starved.
class SpinLock {
 public:
  void lock() noexcept {
    for (int spins = 0; flag_.exchange(true, std::memory_order_acquire); ++spins) {
      while (flag_.load(std::memory_order_relaxed)) {
        if (++spins > 64) std::this_thread::yield();
      }
    }
  }
  void unlock() noexcept { flag_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> flag_{false};
};

// A four-byte mutex for sections that may be held long (an assignment re-indexing several cores)
// and are kept in every object, where a std::mutex costs 40 bytes. Waiters sleep on the word
// (futex) instead of spinning. State: 0 free, 1 held, 2 held with waiters.
class SmallMutex {
 public:
  void lock() noexcept {
    std::uint32_t state = 0;
    if (state_.compare_exchange_strong(state, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    if (state != 2) state = state_.exchange(2, std::memory_order_acquire);
    while (state != 0) {
      state_.wait(2, std::memory_order_relaxed);
      state = state_.exchange(2, std::memory_order_acquire);
    }
  }
  bool try_lock() noexcept {
    std::uint32_t state = 0;
    return state_.compare_exchange_strong(state, 1, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
  }

 private:
  std::atomic<std::uint32_t> state_{0};
};

// A value that is only reached through its lock.
template <class T>
struct Locked {
  RwLock lock;
  T value;
};

}  // namespace vantorelle
