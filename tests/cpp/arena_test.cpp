#include "vector/hnsw/arena.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "utils/rwlock.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::LockedList;

TEST(ChunkedArray, GrowsOneChunkPer4096Elements) {
  h::ChunkedArray<std::atomic<uint8_t>> array;
  EXPECT_EQ(array.len(), 0u);
  EXPECT_EQ(array.view().chunk_count, 0u);
  EXPECT_EQ(array.push_default(), 0u);
  auto one = array.view();
  EXPECT_EQ(one.chunk_count, 1u);
  EXPECT_EQ(one.chunk_capacity, 4096u);
  EXPECT_EQ(one.len, 1u);
  for (size_t i = 1; i < 4096; ++i) ASSERT_EQ(array.push_default(), i);
  EXPECT_EQ(array.view().chunk_count, 1u);
  EXPECT_EQ(array.push_default(), 4096u);  // push number 4097
  const auto two = array.view();
  EXPECT_EQ(two.chunk_count, 2u);
  EXPECT_EQ(two.len, 4097u);
  EXPECT_EQ(array.len(), 4097u);
}

TEST(ChunkedArray, ElementsStartAtTheirDefaultAndKeepWrites) {
  h::ChunkedArray<std::atomic<uint64_t>> ids(3);  // not a power of two
  for (size_t i = 0; i < 10; ++i) ids.push_default();
  const auto v = ids.view();
  EXPECT_EQ(v.chunk_count, 4u);
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(v[i].load(), 0u);
  for (size_t i = 0; i < 10; ++i) v.at(i).store(100 + i);
  const auto again = ids.view();
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(again[i].load(), 100 + i);
    EXPECT_EQ(&again[i], &v[i]);
  }
  // Slots past len inside the last chunk exist and hold the default.
  EXPECT_EQ(again[11].load(), 0u);
}

TEST(ChunkedArray, OldViewSurvivesChunkAdditions) {
  h::ChunkedArray<std::atomic<bool>> flags(4);
  for (int i = 0; i < 3; ++i) flags.push_default();
  const auto old = flags.view();
  old[2].store(true);
  for (int i = 0; i < 40; ++i) flags.push_default();
  EXPECT_EQ(old.chunk_count, 1u);
  EXPECT_EQ(old.len, 3u);
  EXPECT_TRUE(old[2].load());
  EXPECT_TRUE(flags.view()[2].load());
  EXPECT_EQ(flags.view().chunk_count, 11u);
}

TEST(ChunkedArray, WithAppliesToTheElementUnderItsOwnLock) {
  h::ChunkedArray<LockedList<uint32_t>> lists(2);
  for (int i = 0; i < 5; ++i) lists.push_default();
  lists.with(3, [](LockedList<uint32_t>& list) {
    std::unique_lock<dovadure::utils::SpinRwLock> guard(list.lock);
    list.items = {3, 7, 9};
  });
  const size_t n = lists.with(3, [](const LockedList<uint32_t>& list) {
    std::shared_lock<dovadure::utils::SpinRwLock> guard(list.lock);
    return list.items.size();
  });
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(lists.view()[3].items, (std::vector<uint32_t>{3, 7, 9}));
  EXPECT_TRUE(lists.view()[4].items.empty());
}

using ChunkedArrayDeathTest = ::testing::Test;

TEST(ChunkedArrayDeathTest, IndexBeyondTheSnapshotIsFatal) {
  h::ChunkedArray<std::atomic<uint8_t>> array(4);
  array.push_default();
  const auto v = array.view();
  EXPECT_DEATH((void)v[4], "arena index out of bounds: element 4 is in chunk 1 but the "
                           "snapshot holds 1 chunk");
  const h::ChunkedArray<std::atomic<uint8_t>>::View empty;
  EXPECT_DEATH((void)empty[0], "out of bounds");
  EXPECT_DEATH(h::ChunkedArray<std::atomic<uint8_t>>(0), "assertion failed: chunk_capacity > 0");
}

std::vector<float> filled(size_t dim, float value) { return std::vector<float>(dim, value); }

TEST(VectorArena, StoresCopiesAndReadsThemBack) {
  h::VectorArena arena(3, 4);
  EXPECT_EQ(arena.dim(), 3u);
  EXPECT_EQ(arena.len(), 0u);
  for (size_t i = 0; i < 9; ++i) {
    std::vector<float> v = {float(i), float(i) + 0.5f, -float(i)};
    ASSERT_EQ(arena.push(v), i);
    v[0] = 999.0f;  // the arena owns its own copy
  }
  EXPECT_EQ(arena.len(), 9u);
  for (size_t i = 0; i < 9; ++i) {
    const auto got = arena.get_direct(i);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(std::vector<float>(got.begin(), got.end()),
              (std::vector<float>{float(i), float(i) + 0.5f, -float(i)}));
  }
  // A longer input contributes only its first dim floats.
  const std::vector<float> longer = {1, 2, 3, 4, 5};
  const size_t idx = arena.push(longer);
  EXPECT_EQ(arena.get_direct(idx)[2], 3.0f);
  EXPECT_EQ(arena.get_direct(idx + 1)[0], 0.0f);
}

TEST(VectorArena, UnwrittenSlotsOfTheLastChunkReadAsZeros) {
  h::VectorArena arena(5, 4096);
  arena.push(filled(5, 2.0f));
  const auto tail = arena.get_direct(4095);
  EXPECT_EQ(std::vector<float>(tail.begin(), tail.end()), filled(5, 0.0f));
}

TEST(VectorArena, ViewsAndSpansStayValidAcrossChunkAdditions) {
  h::VectorArena arena(8, 2);
  arena.push(filled(8, 1.0f));
  const auto early_view = arena.view();
  const auto early_span = arena.get_direct(0);
  for (int i = 1; i < 100; ++i) arena.push(filled(8, float(i + 1)));
  EXPECT_EQ(early_view.len, 1u);
  EXPECT_EQ(early_view.chunk_count, 1u);
  EXPECT_EQ(early_view.ptr(0), early_span.data());
  EXPECT_EQ(early_span[7], 1.0f);
  const auto now = arena.view();
  EXPECT_EQ(now.len, 100u);
  EXPECT_EQ(now.chunk_count, 50u);
  for (size_t i = 0; i < 100; ++i) {
    ASSERT_EQ(now.ptr(i), arena.get_direct(i).data());
    ASSERT_EQ(now.get(i)[3], float(i + 1));
  }
}

TEST(VectorArena, AdoptedRowsAreReadInPlaceAndKeepTheirOwnerAlive) {
  // Rows of 3 floats, 5 apart: two whole chunks of 4 rows in someone's memory.
  auto rows = std::make_shared<std::vector<float>>(8 * 5, -1.0f);
  for (size_t i = 0; i < 8; ++i) {
    for (size_t d = 0; d < 3; ++d) (*rows)[i * 5 + d] = float(10 * i + d);
  }
  const float* base = rows->data();
  const std::weak_ptr<std::vector<float>> watch = rows;
  {
    h::VectorArena arena(3, 4);
    arena.set_stride(5);
    EXPECT_EQ(arena.adopt_chunk(rows->data(), rows), 0u);
    EXPECT_EQ(arena.adopt_chunk(rows->data() + 20, rows), 4u);
    EXPECT_EQ(arena.push(std::vector<float>{7, 8, 9}), 8u);  // copied, same stride
    rows.reset();
    EXPECT_FALSE(watch.expired());
    const auto view = arena.view();
    ASSERT_EQ(view.len, 9u);
    for (size_t i = 0; i < 8; ++i) {
      ASSERT_EQ(view.ptr(i), base + i * 5);
      ASSERT_EQ(arena.get_direct(i).data(), base + i * 5);
      EXPECT_EQ(std::vector<float>(view.get(i).begin(), view.get(i).end()),
                (std::vector<float>{float(10 * i), float(10 * i + 1), float(10 * i + 2)}));
    }
    EXPECT_EQ(std::vector<float>(view.get(8).begin(), view.get(8).end()),
              (std::vector<float>{7, 8, 9}));
    EXPECT_EQ(view.ptr(9) - view.ptr(8), 5);
  }
  EXPECT_TRUE(watch.expired());
}

using VectorArenaDeathTest = ::testing::Test;

TEST(VectorArenaDeathTest, StrideAndAdoptionMisuseIsFatal) {
  h::VectorArena narrow(4, 4);
  EXPECT_DEATH(narrow.set_stride(3), "^assertion failed: stride set on an empty arena");
  narrow.push(filled(4, 1.0f));
  EXPECT_DEATH(narrow.set_stride(8), "^assertion failed: stride set on an empty arena");
  std::vector<float> rows(16);
  EXPECT_DEATH(narrow.adopt_chunk(rows.data(), nullptr),
               "^assertion failed: chunks are adopted at a chunk boundary");
}

TEST(VectorArenaDeathTest, FatalErrors) {
  EXPECT_DEATH(h::VectorArena(4, 0), "^assertion failed: chunk_capacity > 0\n");
  // Dimension 0 makes an empty arena that never takes a row.
  h::VectorArena none(0, 4096);
  EXPECT_EQ(none.len(), 0u);
  EXPECT_DEATH(none.push(std::vector<float>()), "^vector arena push: the arena has dimension 0\n");
  h::VectorArena arena(4, 4096);
  arena.push(filled(4, 1.0f));
  EXPECT_DEATH((void)arena.get_direct(4096), "element 4096 is in chunk 1 but the snapshot holds 1");
  EXPECT_DEATH((void)arena.view().ptr(4096), "element 4096 is in chunk 1");
  EXPECT_DEATH(arena.push(filled(3, 1.0f)), "vector arena push: expected 4 floats, got 3");
}

TEST(ChunkedArrayConcurrency, AppendersGetDistinctConsecutiveIndicesWhileReadersRead) {
  constexpr size_t kWriters = 3, kPerWriter = 3000;
  h::ChunkedArray<std::atomic<uint64_t>> array(64);
  std::vector<std::vector<size_t>> got(kWriters);
  std::atomic<bool> done{false};
  std::atomic<size_t> reads{0};

  std::thread reader([&] {
    while (!done.load(std::memory_order_acquire)) {
      const auto v = array.view();
      ASSERT_LE(v.len, v.chunk_count * v.chunk_capacity);
      // Every element below len is either unwritten (0) or tags its own index.
      for (size_t i = 0; i < v.len; i += 7) {
        const uint64_t tag = v[i].load(std::memory_order_acquire);
        ASSERT_TRUE(tag == 0 || tag == i + 1) << i;
      }
      reads.fetch_add(1, std::memory_order_relaxed);
    }
  });
  std::vector<std::thread> writers;
  for (size_t w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      // Start appending only once the reader runs, so that the two overlap
      // however the threads are scheduled.
      while (reads.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
      for (size_t k = 0; k < kPerWriter; ++k) {
        const size_t i = array.push_default();
        array.view()[i].store(i + 1, std::memory_order_release);
        got[w].push_back(i);
      }
    });
  }
  for (auto& t : writers) t.join();
  done.store(true, std::memory_order_release);
  reader.join();

  std::vector<size_t> all;
  for (const auto& g : got) {
    EXPECT_TRUE(std::is_sorted(g.begin(), g.end()));
    all.insert(all.end(), g.begin(), g.end());
  }
  std::sort(all.begin(), all.end());
  std::vector<size_t> expected(kWriters * kPerWriter);
  std::iota(expected.begin(), expected.end(), size_t{0});
  EXPECT_EQ(all, expected);
  EXPECT_EQ(array.len(), kWriters * kPerWriter);
  EXPECT_GT(reads.load(), 0u);
}

TEST(VectorArenaConcurrency, ReadersSeePublishedVectorsWhileWritersAppend) {
  constexpr size_t kDim = 16, kWriters = 2, kPerWriter = 2000, kTotal = kWriters * kPerWriter;
  h::VectorArena arena(kDim, 32);
  // The publication protocol of the index: the vector is written first, then
  // a flag is released; readers only look at flagged slots.
  auto ready = std::make_unique<std::atomic<uint32_t>[]>(kTotal);
  std::atomic<bool> done{false};
  std::atomic<size_t> checked{0};

  auto reader = [&] {
    while (!done.load(std::memory_order_acquire)) {
      const auto v = arena.view();
      for (size_t i = 0; i < v.len; i += 3) {
        const uint32_t tag = ready[i].load(std::memory_order_acquire);
        if (tag == 0) continue;
        const float* p = (i % 2 == 0) ? v.ptr(i) : arena.get_direct(i).data();
        for (size_t d = 0; d < kDim; ++d) ASSERT_EQ(p[d], float(tag)) << i;
        checked.fetch_add(1, std::memory_order_relaxed);
      }
    }
  };
  std::thread r1(reader), r2(reader);
  std::vector<std::thread> writers;
  for (size_t w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (size_t k = 0; k < kPerWriter; ++k) {
        const uint32_t tag = static_cast<uint32_t>(w * kPerWriter + k + 1);
        const size_t i = arena.push(std::vector<float>(kDim, float(tag)));
        ready[i].store(tag, std::memory_order_release);
      }
    });
  }
  for (auto& t : writers) t.join();
  done.store(true, std::memory_order_release);
  r1.join();
  r2.join();

  std::vector<uint32_t> tags;
  for (size_t i = 0; i < kTotal; ++i) {
    const uint32_t tag = ready[i].load();
    ASSERT_NE(tag, 0u) << i;
    EXPECT_EQ(arena.get_direct(i)[kDim - 1], float(tag));
    tags.push_back(tag);
  }
  std::sort(tags.begin(), tags.end());
  EXPECT_EQ(std::adjacent_find(tags.begin(), tags.end()), tags.end());
  EXPECT_EQ(arena.len(), kTotal);
}

}  // namespace
