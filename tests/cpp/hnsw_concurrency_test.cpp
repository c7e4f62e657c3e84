// One thread inserts while several search; run under TSan as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "hnsw_test_util.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DistanceMetric;

TEST(HnswConcurrency, SearchesWhileOneThreadInserts) {
  constexpr size_t kPoints = 2500;
  constexpr size_t kDim = 12;
  constexpr int kSearchers = 3;
  for (DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::Cosine}) {
    h::HNSWIndex index(metric, 8, 48, 6, kDim);
    index.set_exact_fallback(false, 0);
    const auto data = hnsw_test::random_vectors(kPoints, kDim, 71);
    const auto queries = hnsw_test::random_vectors(64, kDim, 72);
    // Point id i + 1 carries data[i]; searchers check every score they see
    // against that vector, which a torn read would break.
    std::atomic<bool> done{false};
    std::atomic<size_t> searches{0};
    std::atomic<size_t> bad{0};

    std::vector<std::thread> searchers;
    for (int t = 0; t < kSearchers; ++t) {
      searchers.emplace_back([&, t] {
        size_t i = static_cast<size_t>(t);
        while (!done.load(std::memory_order_acquire)) {
          const auto& q = queries[i++ % queries.size()];
          h::SearchOptions options;
          options.ef = 32;
          auto result = index.search_with_options(q, 10, options);
          if (!result.ok()) {
            ++bad;
            continue;
          }
          const auto nq = h::maybe_normalize(metric, q);
          std::set<uint64_t> seen;
          float previous = -1e30f;
          for (const auto& p : result.value()) {
            const bool known = p.id >= 1 && p.id <= kPoints;
            const bool fresh = seen.insert(p.id).second;
            bool consistent = false;
            if (known) {
              const auto v = h::maybe_normalize(metric, data[p.id - 1]);
              consistent = p.score == h::fast_score(metric, nq, v) && p.sort_key >= previous;
            }
            if (!known || !fresh || !consistent) ++bad;
            previous = p.sort_key;
          }
          ++searches;
        }
      });
    }

    for (size_t i = 0; i < kPoints; ++i) ASSERT_TRUE(index.insert(i + 1, data[i]).ok());
    // Let the searchers see the finished graph for a moment too.
    const size_t seen_before = searches.load();
    while (searches.load() < seen_before + 50) std::this_thread::yield();
    done.store(true, std::memory_order_release);
    for (auto& t : searchers) t.join();

    EXPECT_EQ(bad.load(), 0u);
    EXPECT_GT(searches.load(), 50u);
    // No lost points: every point is stored, live, and found by its own vector.
    ASSERT_EQ(index.len(), kPoints);
    size_t found = 0;
    for (size_t i = 0; i < kPoints; ++i) {
      const auto idx = index.idx_of(i + 1);
      ASSERT_TRUE(idx.has_value());
      ASSERT_EQ(index.state_of(*idx), h::kStateLive);
      h::SearchOptions options;
      options.ef = 64;
      const auto r = index.search_with_options(data[i], 1, options);
      ASSERT_TRUE(r.ok());
      found += !r.value().empty() && r.value()[0].id == i + 1;
    }
    EXPECT_EQ(found, kPoints);
  }
}

}  // namespace
