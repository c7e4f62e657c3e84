#include "utils/rwlock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace {

using dovadure::utils::LockedList;
using dovadure::utils::SpinRwLock;

TEST(SpinRwLock, IsFourBytes) {
  EXPECT_EQ(sizeof(SpinRwLock), 4u);
  EXPECT_LE(sizeof(LockedList<uint32_t>), 32u);
}

TEST(SpinRwLock, ReadersShareWritersExclude) {
  SpinRwLock lock;
  ASSERT_TRUE(lock.try_lock_shared());
  EXPECT_TRUE(lock.try_lock_shared());  // a second reader joins
  EXPECT_FALSE(lock.try_lock());
  lock.unlock_shared();
  EXPECT_FALSE(lock.try_lock());  // one reader is still inside
  lock.unlock_shared();
  ASSERT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock_shared());
  lock.unlock();
  {
    std::shared_lock<SpinRwLock> a(lock);
    std::shared_lock<SpinRwLock> b(lock);
    EXPECT_FALSE(lock.try_lock());
  }
  {
    std::unique_lock<SpinRwLock> w(lock);
    EXPECT_FALSE(lock.try_lock_shared());
  }
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
}

TEST(SpinRwLock, WaitingWriterHoldsOffNewReaders) {
  SpinRwLock lock;
  lock.lock_shared();
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    std::unique_lock<SpinRwLock> guard(lock);
    writer_in.store(true);
  });
  // Once the writer is waiting, new readers are turned away. The deadline only
  // keeps a broken lock from hanging the suite.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool turned_away = false;
  while (!turned_away && std::chrono::steady_clock::now() < deadline) {
    if (lock.try_lock_shared()) {
      lock.unlock_shared();
      std::this_thread::yield();
    } else {
      turned_away = true;
    }
  }
  EXPECT_TRUE(turned_away);
  EXPECT_FALSE(writer_in.load());
  lock.unlock_shared();
  writer.join();
  EXPECT_TRUE(writer_in.load());
  EXPECT_TRUE(lock.try_lock_shared());  // the waiting mark is gone with the writer
  lock.unlock_shared();
}

TEST(SpinRwLock, WritersAreMutuallyExclusive) {
  SpinRwLock lock;
  uint64_t counter = 0;  // plain on purpose: only the lock orders the writes
  constexpr int kThreads = 4, kIters = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIters; ++i) {
        std::lock_guard<SpinRwLock> guard(lock);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, uint64_t{kThreads} * kIters);
}

TEST(SpinRwLock, ReadersNeverSeeAHalfWrittenList) {
  LockedList<uint32_t> list;
  list.items = {0, 0, 0, 0};
  std::atomic<bool> done{false};
  std::atomic<uint64_t> reads{0};
  auto reader = [&] {
    while (!done.load(std::memory_order_acquire)) {
      std::shared_lock<SpinRwLock> guard(list.lock);
      // Every writer replaces the list with n copies of n.
      const size_t n = list.items.size();
      for (uint32_t x : list.items) ASSERT_EQ(x, n == 4 && x == 0 ? 0u : n);
      reads.fetch_add(1, std::memory_order_relaxed);
    }
  };
  auto writer = [&](uint32_t base) {
    // Overlap with the readers whatever the scheduling.
    while (reads.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
    for (uint32_t k = 0; k < 3000; ++k) {
      const uint32_t n = 1 + (base + k) % 13;
      std::unique_lock<SpinRwLock> guard(list.lock);
      list.items.assign(n, n);
    }
  };
  std::thread r1(reader), r2(reader), w1(writer, 0), w2(writer, 5);
  w1.join();
  w2.join();
  done.store(true, std::memory_order_release);
  r1.join();
  r2.join();
  EXPECT_GT(reads.load(), 0u);
}

// A frozen lock admits any number of readers, writers never, and reading it
// leaves its state untouched (no write to the shared cache line).
TEST(SpinRwLock, FrozenLockAdmitsReadersOnly) {
  SpinRwLock lock;
  EXPECT_FALSE(lock.frozen());
  lock.freeze();
  ASSERT_TRUE(lock.frozen());
  lock.freeze();  // a second freeze is harmless
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(lock.try_lock_shared());
  {
    std::shared_lock<SpinRwLock> guard(lock);
    EXPECT_TRUE(guard.owns_lock());
  }
  for (int i = 0; i < 3; ++i) lock.unlock_shared();
  EXPECT_TRUE(lock.frozen());
  EXPECT_FALSE(lock.try_lock());
  EXPECT_TRUE(lock.frozen());
}

TEST(SpinRwLockDeathTest, FreezingALockInUseAborts) {
  SpinRwLock read;
  ASSERT_TRUE(read.try_lock_shared());
  EXPECT_DEATH(read.freeze(), "SpinRwLock::freeze on a lock in use");
  read.unlock_shared();
  SpinRwLock write;
  ASSERT_TRUE(write.try_lock());
  EXPECT_DEATH(write.freeze(), "SpinRwLock::freeze on a lock in use");
  write.unlock();
}

TEST(SpinRwLockDeathTest, WriteLockOnFrozenLockAborts) {
  SpinRwLock lock;
  lock.freeze();
  EXPECT_DEATH(lock.lock(), "SpinRwLock: write lock on a frozen lock");
}

}  // namespace
