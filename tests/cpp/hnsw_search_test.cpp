#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "hnsw_test_util.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DBErrorKind;
using dovadure::utils::DistanceMetric;
using dovadure::utils::ScoredPoint;

h::SearchOptions with_ef(size_t ef) {
  h::SearchOptions o;
  o.ef = ef;
  return o;
}

std::vector<ScoredPoint> search(const h::HNSWIndex& index, const std::vector<float>& q, size_t k,
                                const h::SearchOptions& options) {
  auto r = index.search_with_options(q, k, options);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().to_string());
  return r.ok() ? r.value() : std::vector<ScoredPoint>{};
}

std::vector<uint64_t> ids_of(const std::vector<ScoredPoint>& points) {
  std::vector<uint64_t> ids;
  for (const auto& p : points) ids.push_back(p.id);
  return ids;
}

struct Built {
  std::unique_ptr<h::HNSWIndex> index;
  std::vector<std::vector<float>> data;
  std::vector<uint64_t> ids;
};

Built build(DistanceMetric metric, std::vector<std::vector<float>> data, size_t m = 8,
            size_t ef_construction = 64) {
  Built b;
  b.index = std::make_unique<h::HNSWIndex>(metric, m, ef_construction, 8, data.front().size());
  b.index->set_exact_fallback(false, 0);
  b.data = std::move(data);
  for (size_t i = 0; i < b.data.size(); ++i) {
    b.ids.push_back(7 * i + 3);
    EXPECT_TRUE(b.index->insert(b.ids.back(), b.data[i]).ok());
  }
  return b;
}

TEST(HnswSearch, EmptyIndexAndWrongLength) {
  h::HNSWIndex index(DistanceMetric::Cosine, 8, 32, 4, 3);
  // No entry point: empty even for a query of the wrong length.
  auto empty = index.search_with_options(std::vector<float>{1}, 5, {});
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
  ASSERT_TRUE(index.insert(1, {1, 0, 0}).ok());
  auto bad = index.search_with_options(std::vector<float>{1, 0}, 5, {});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), DBErrorKind::DimensionMismatch);
  EXPECT_EQ(bad.error().to_string(), "Vector length mismatch: expected 3, got 2");
}

TEST(HnswSearch, EqualsBruteForceWhenEfCoversEveryNode) {
  for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean}) {
    const Built b = build(metric, hnsw_test::random_vectors(300, 12, 11));
    const auto queries = hnsw_test::random_vectors(20, 12, 12);
    for (const auto& q : queries) {
      const auto got = search(*b.index, q, 10, with_ef(400));
      const auto want = hnsw_test::brute_force(metric, b.data, b.ids, q, 10);
      ASSERT_EQ(ids_of(got), ids_of(want)) << "metric " << int(metric);
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_FLOAT_EQ(got[i].score, want[i].score);
        EXPECT_EQ(got[i].sort_key, dovadure::vector::hnsw::sort_key_of(metric, got[i].score));
      }
    }
  }
}

TEST(HnswSearch, RecallOnClusteredData) {
  const auto all = hnsw_test::clustered_vectors(3100, 16, 25, 21);
  const std::vector<std::vector<float>> base(all.begin(), all.begin() + 3000);
  const std::vector<std::vector<float>> queries(all.begin() + 3000, all.end());
  const Built b = build(DistanceMetric::Euclidean, base, 12, 100);
  size_t hits = 0;
  for (const auto& q : queries) {
    const auto got = search(*b.index, q, 10, with_ef(64));
    const auto want = hnsw_test::brute_force(DistanceMetric::Euclidean, b.data, b.ids, q, 10);
    const std::vector<uint64_t> want_ids = ids_of(want);
    const std::set<uint64_t> truth(want_ids.begin(), want_ids.end());
    for (uint64_t id : ids_of(got)) hits += truth.count(id);
  }
  EXPECT_GE(static_cast<double>(hits) / (10.0 * queries.size()), 0.95);
}

TEST(HnswSearch, KZeroAndKBeyondTheLiveCount) {
  const Built b = build(DistanceMetric::Euclidean, hnsw_test::random_vectors(30, 4, 31));
  EXPECT_TRUE(search(*b.index, b.data[0], 0, with_ef(10)).empty());
  b.index->mark_deleted(b.ids[1]);
  b.index->mark_deleted(b.ids[2]);
  const auto all = search(*b.index, b.data[0], 100, with_ef(10));
  EXPECT_EQ(all.size(), 28u);
  EXPECT_EQ(all.front().id, b.ids[0]);
}

TEST(HnswSearch, DeletedPointsNeverComeBackAndTheEntryPointMoves) {
  Built b = build(DistanceMetric::Cosine, hnsw_test::random_vectors(600, 8, 41));
  std::set<uint64_t> deleted;
  for (size_t i = 0; i < b.ids.size(); i += 2) {
    b.index->mark_deleted(b.ids[i]);
    deleted.insert(b.ids[i]);
  }
  // Delete the entry point too, whatever it is now.
  const uint64_t entry_id = b.index->point_id(h::entry_word_idx(b.index->entry_point_word()));
  b.index->mark_deleted(entry_id);
  deleted.insert(entry_id);
  const uint64_t word = b.index->entry_point_word();
  ASSERT_NE(h::entry_word_idx(word), h::kNoNode);
  EXPECT_FALSE(b.index->is_deleted(h::entry_word_idx(word)));
  EXPECT_EQ(h::entry_word_level(word), b.index->level_of(h::entry_word_idx(word)));

  for (const auto& q : hnsw_test::random_vectors(30, 8, 42)) {
    const auto got = search(*b.index, q, 20, with_ef(100));
    EXPECT_EQ(got.size(), 20u);
    for (const auto& p : got) EXPECT_EQ(deleted.count(p.id), 0u) << p.id;
  }
  // Insertion keeps working after the deletions and finds the new point.
  ASSERT_TRUE(b.index->insert(1, {1, 1, 1, 1, 1, 1, 1, 1}).ok());
  const auto got = search(*b.index, {2, 2, 2, 2, 2, 2, 2, 2}, 1, with_ef(50));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 1u);
  EXPECT_NEAR(got[0].score, 0.0f, 1e-6f);
}

TEST(HnswSearch, EqualKeysAreOrderedByPointIdInBothPaths) {
  for (bool exact : {true, false}) {
    h::HNSWIndex index(DistanceMetric::Euclidean, 4, 32, 4, 2);
    index.set_exact_fallback(exact, 256);
    // Same vector under five ids, inserted in descending id order.
    for (uint64_t id : {50, 40, 30, 20, 10}) ASSERT_TRUE(index.insert(id, {1, 1}).ok());
    ASSERT_TRUE(index.insert(5, {4, 4}).ok());
    const auto got = search(index, {1, 1}, 4, with_ef(32));
    EXPECT_EQ(ids_of(got), (std::vector<uint64_t>{10, 20, 30, 40})) << "exact " << exact;
  }
}

TEST(HnswSearch, ExactFallbackUsesTheLiveCountAndIncludesUnlinkedNodes) {
  // A node allocated but never linked is invisible to the graph search but
  // counted by the exact scan.
  for (size_t threshold : {size_t{3}, size_t{2}}) {
    h::HNSWIndex index(DistanceMetric::Euclidean, 4, 32, 0, 1);
    index.set_exact_fallback(true, threshold);
    ASSERT_TRUE(index.insert(1, {0}).ok());
    ASSERT_TRUE(index.insert(2, {1}).ok());
    ASSERT_TRUE(index.insert(3, {2}).ok());
    index.allocate_node(4, std::vector<float>{0.5f}, 0);  // state 0
    ASSERT_TRUE(index.insert(5, {3}).ok());
    index.mark_deleted(5);  // live count: 5 nodes - 1 deleted = 4
    index.mark_deleted(3);  // live count 3
    const auto got = search(index, {0.4f}, 10, with_ef(10));
    if (threshold == 3) {
      EXPECT_EQ(ids_of(got), (std::vector<uint64_t>{4, 1, 2}));
    } else {
      EXPECT_EQ(ids_of(got), (std::vector<uint64_t>{1, 2}));
    }
  }
}

TEST(HnswSearch, EntrySeedsAndAdaptiveRetryKeepResultsExact) {
  const Built b = build(DistanceMetric::Euclidean, hnsw_test::random_vectors(400, 6, 51));
  for (const auto& q : hnsw_test::random_vectors(10, 6, 52)) {
    h::SearchOptions o;
    o.ef = 500;
    o.num_entry_seeds = 4;
    o.adaptive_ef_high = 600;
    o.adaptive_ef_score_threshold = 0.0001f;  // always retried
    const auto got = search(*b.index, q, 5, o);
    EXPECT_EQ(ids_of(got), ids_of(hnsw_test::brute_force(DistanceMetric::Euclidean, b.data, b.ids, q, 5)));
  }
}

TEST(HnswSearch, NanVectorsInTheIndexDoNotBreakInsertOrSearch) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Dot, DistanceMetric::Euclidean}) {
    for (bool exact : {true, false}) {
      h::HNSWIndex index(metric, 4, 32, 4, 4);
      index.set_exact_fallback(exact, 1000);
      auto data = hnsw_test::random_vectors(200, 4, 61);
      for (size_t i = 0; i < data.size(); i += 5) data[i][i % 4] = nan;
      for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
      for (const auto& q : hnsw_test::random_vectors(10, 4, 62)) {
        const auto got = search(index, q, 200, with_ef(200));
        ASSERT_FALSE(got.empty());
        // Numbers ascending, then every NaN key.
        bool seen_nan = false;
        std::set<uint64_t> unique;
        for (size_t i = 0; i < got.size(); ++i) {
          unique.insert(got[i].id);
          if (std::isnan(got[i].sort_key)) {
            seen_nan = true;
          } else {
            EXPECT_FALSE(seen_nan);
            if (i > 0) {
              EXPECT_LE(got[i - 1].sort_key, got[i].sort_key);
            }
          }
        }
        EXPECT_EQ(unique.size(), got.size());
        if (exact) {
          EXPECT_EQ(got.size(), 200u);
          EXPECT_TRUE(seen_nan);
        }
      }
    }
  }
}

}  // namespace
