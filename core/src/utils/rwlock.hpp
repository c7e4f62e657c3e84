// A four-byte reader-writer spin lock and the lock-guarded list element the
// graph keeps per node (adjacency lists, layer-0 score lists).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace dovadure::utils {

// Critical sections guarded by this lock are a few hundred nanoseconds (a list
// copy or replacement), so spinning beats parking; after a short spin the
// waiter yields so that an over-subscribed machine still makes progress.
// A waiting writer blocks new readers, so a steady stream of searches cannot
// starve an insertion.
//
// A lock whose data will never change again can be frozen: read locks then
// take and release it with one plain load and no write, so readers on
// different cores stop pulling the lock's cache line back and forth. A
// write lock on a frozen lock is a programming error and aborts.
//
// Meets the SharedLockable requirements: works with std::shared_lock,
// std::unique_lock and std::lock_guard.
class SpinRwLock {
 public:
  SpinRwLock() = default;
  SpinRwLock(const SpinRwLock&) = delete;
  SpinRwLock& operator=(const SpinRwLock&) = delete;

  bool try_lock_shared() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    if (s == kFrozen) return true;
    return (s & (kWriter | kWriterWaiting)) == 0 &&
           state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed);
  }

  void lock_shared() {
    for (uint32_t spins = 0; !try_lock_shared(); ++spins) backoff(spins);
  }

  void unlock_shared() {
    if (state_.load(std::memory_order_relaxed) == kFrozen) return;
    state_.fetch_sub(1, std::memory_order_release);
  }

  bool try_lock() {
    uint32_t s = state_.load(std::memory_order_relaxed);
    // Free apart from (possibly our own) waiting mark.
    return (s & ~kWriterWaiting) == 0 &&
           state_.compare_exchange_strong(s, kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

  void lock() {
    for (uint32_t spins = 0;; ++spins) {
      uint32_t s = state_.load(std::memory_order_relaxed);
      if (s == kFrozen) frozen_write();
      if ((s & ~kWriterWaiting) == 0) {
        if (state_.compare_exchange_weak(s, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      // Taking the lock clears the mark; every writer still waiting sets it
      // again here, so readers keep backing off while any writer waits.
      if ((s & kWriterWaiting) == 0) state_.fetch_or(kWriterWaiting, std::memory_order_relaxed);
      backoff(spins);
    }
  }

  void unlock() { state_.fetch_and(~kWriter, std::memory_order_release); }

  // Freezes a lock that nobody holds or waits for. Nothing may use the lock
  // concurrently; the threads that read it later must be started, or handed
  // the data, after this returns.
  void freeze() {
    uint32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, kFrozen, std::memory_order_acq_rel)) {
      if (expected != kFrozen) fatal("SpinRwLock::freeze on a lock in use");
    }
  }
  bool frozen() const { return state_.load(std::memory_order_relaxed) == kFrozen; }

 private:
  static constexpr uint32_t kWriter = 1u << 31;
  static constexpr uint32_t kWriterWaiting = 1u << 30;
  // Every bit: a writer-held lock never also counts readers, so no lock in
  // use has this state.
  static constexpr uint32_t kFrozen = 0xFFFFFFFFu;

  [[noreturn, gnu::cold, gnu::noinline]] static void fatal(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::abort();
  }
  [[noreturn, gnu::cold, gnu::noinline]] static void frozen_write() {
    fatal("SpinRwLock: write lock on a frozen lock");
  }

  static void backoff(uint32_t spins) {
    if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();
    }
  }

  // Bit 31: held by a writer. Bit 30: a writer is waiting. Bits 0-29: readers.
  // All 32 bits: frozen.
  std::atomic<uint32_t> state_{0};
};

static_assert(sizeof(SpinRwLock) == 4);

// A growable list behind its own lock: read under lock_shared, replaced or
// edited under lock.
template <class T>
struct LockedList {
  mutable SpinRwLock lock;
  std::vector<T> items;
};

}  // namespace dovadure::utils
