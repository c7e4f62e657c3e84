#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "hnsw_test_util.hpp"
#include "utils/log.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DBErrorKind;
using dovadure::utils::DistanceMetric;
using hnsw_test::ScopedEnv;

std::vector<h::NodeIdx> list_of(const h::HNSWIndex& index, size_t layer, h::NodeIdx u) {
  std::vector<h::NodeIdx> out;
  index.copy_neighbors(layer, u, out);
  return out;
}

std::vector<float> scores_of(const h::HNSWIndex& index, h::NodeIdx u) {
  const h::ScoreList* list = index.l0_scores(u);
  std::shared_lock<dovadure::utils::SpinRwLock> read(list->lock);
  return std::vector<float>(list->begin(), list->end());
}

TEST(HnswInsert, FirstInsertBecomesTheEntryPoint) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 4, 3);
  ASSERT_TRUE(index.insert(42, {1, 2, 3}).ok());
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(index.entry_point_word(), h::make_entry_word(0, index.level_of(0)));
  EXPECT_EQ(index.state_of(0), h::kStateLive);
  for (size_t l = 0; l <= index.level_of(0); ++l) EXPECT_EQ(list_of(index, l, 0), std::vector<h::NodeIdx>{0});
}

TEST(HnswInsert, DuplicateIdAndWrongLength) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 4, 3);
  ASSERT_TRUE(index.insert(1, {1, 2, 3}).ok());
  ASSERT_TRUE(index.insert(1, {9, 9, 9}).ok());
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(std::vector<float>(index.get_vector(1)->begin(), index.get_vector(1)->end()),
            (std::vector<float>{1, 2, 3}));

  const auto bad = index.insert(2, {1, 2});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), DBErrorKind::DimensionMismatch);
  EXPECT_EQ(bad.error().to_string(), "Vector length mismatch: expected 3, got 2");
  EXPECT_EQ(index.len(), 1u);
  EXPECT_FALSE(index.contains(2));
}

TEST(HnswInsert, TwoNodesLinkEachOtherWithScores) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 0, 2);  // layer 0 only
  ASSERT_TRUE(index.insert(1, {0, 0}).ok());
  ASSERT_TRUE(index.insert(2, {3, 4}).ok());
  EXPECT_EQ(list_of(index, 0, 0), (std::vector<h::NodeIdx>{0, 1}));
  EXPECT_EQ(list_of(index, 0, 1), (std::vector<h::NodeIdx>{1, 0}));
  EXPECT_EQ(scores_of(index, 0), (std::vector<float>{0.0f, 25.0f}));
  EXPECT_EQ(scores_of(index, 1), (std::vector<float>{0.0f, 25.0f}));
}

TEST(HnswInsert, CosineStoresUnitVectors) {
  h::HNSWIndex index(DistanceMetric::Cosine, 4, 20, 2, 2);
  ASSERT_TRUE(index.insert(1, {3, 4}).ok());
  const auto v = index.get_vector(1);
  EXPECT_FLOAT_EQ((*v)[0], 0.6f);
  EXPECT_FLOAT_EQ((*v)[1], 0.8f);
}

// Checks every structural rule a built graph must keep.
void expect_well_formed(const h::HNSWIndex& index, size_t expected_nodes) {
  ASSERT_EQ(index.len(), expected_nodes);
  uint8_t highest = 0;
  for (h::NodeIdx u = 0; u < index.len(); ++u) {
    EXPECT_EQ(index.state_of(u), h::kStateLive);
    highest = std::max(highest, index.level_of(u));
    const auto l0 = list_of(index, 0, u);
    ASSERT_FALSE(l0.empty());
    EXPECT_LE(l0.size(), index.max_neighbors_l0() + 1);
    // Owner first, scores position by position.
    const auto uv = index.get_vector_by_idx(u);
    const auto scores = scores_of(index, u);
    ASSERT_EQ(scores.size(), l0.size());
    for (size_t j = 0; j < l0.size(); ++j) {
      ASSERT_LT(l0[j], index.len());
      if (l0[j] == u) {
        EXPECT_EQ(scores[j], 0.0f);
      } else {
        EXPECT_EQ(scores[j], index.fast_score(*uv, *index.get_vector_by_idx(l0[j])));
      }
    }
    for (size_t l = 1; l < index.num_layers(); ++l) {
      const auto list = list_of(index, l, u);
      EXPECT_LE(list.size(), index.m() + 1) << "layer " << l;
      if (l <= index.level_of(u)) {
        ASSERT_FALSE(list.empty());
      }
    }
  }
  const uint64_t word = index.entry_point_word();
  EXPECT_EQ(h::entry_word_level(word), highest);
  EXPECT_EQ(index.level_of(h::entry_word_idx(word)), highest);
}

TEST(HnswInsert, CapsHoldOnEveryLayer) {
  ScopedEnv scale("DOROVOZU_LEVEL_SCALE", "1.5");  // many nodes above layer 0
  h::HNSWIndex index(DistanceMetric::Euclidean, 2, 16, 3, 4);
  const auto data = hnsw_test::random_vectors(400, 4, 1);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  expect_well_formed(index, data.size());
}

TEST(HnswInsert, ListsStartWithTheirOwnerUnderDistanceMetrics) {
  for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
    h::HNSWIndex index(metric, 6, 32, 4, 8);
    const auto data = hnsw_test::random_vectors(500, 8, 2);
    for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(index.insert(1000 + i, data[i]).ok());
    expect_well_formed(index, data.size());
    for (h::NodeIdx u = 0; u < index.len(); ++u) {
      for (size_t l = 0; l <= index.level_of(u); ++l) ASSERT_EQ(list_of(index, l, u).front(), u);
    }
  }
}

TEST(HnswInsert, DotGraphIsWellFormed) {
  h::HNSWIndex index(DistanceMetric::Dot, 6, 32, 4, 8);
  const auto data = hnsw_test::random_vectors(300, 8, 3);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  expect_well_formed(index, data.size());
}

TEST(HnswInsert, InsertAfterDeletingTheEntryPoint) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 4, 2);
  const auto data = hnsw_test::random_vectors(50, 2, 4);
  for (size_t i = 0; i < 40; ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  const h::NodeIdx entry = h::entry_word_idx(index.entry_point_word());
  index.mark_deleted(index.point_id(entry));
  EXPECT_NE(h::entry_word_idx(index.entry_point_word()), entry);
  for (size_t i = 40; i < 50; ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  for (h::NodeIdx u = 40; u < 50; ++u) {
    EXPECT_EQ(index.state_of(u), h::kStateLive);
    EXPECT_GE(list_of(index, 0, u).size(), 2u);
  }
}

TEST(HnswSelect, DiversityRuleAndFillPass) {
  ScopedEnv env("DOROVOZU_DIVERSITY_ALPHA", nullptr);
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 0, 2);
  // Base at the origin; keys are squared distances from it.
  index.allocate_node(0, std::vector<float>{1, 0}, 0);    // a: key 1
  index.allocate_node(1, std::vector<float>{1, 1}, 0);    // b: key 2, 1 from a -> rejected
  index.allocate_node(2, std::vector<float>{0.5f, 1}, 0); // c: key 1.25, 1.25 from a -> kept (tie)
  index.allocate_node(3, std::vector<float>{-3, 0}, 0);   // d: key 9, tombstoned
  index.mark_deleted(3);
  const std::vector<h::NodeCandidate> w{{0, 1.0f, 1.0f}, {2, 1.25f, 1.25f}, {1, 2.0f, 2.0f},
                                        {3, 9.0f, 9.0f}, {0, 1.0f, 1.0f}};
  EXPECT_EQ(index.select_diverse_neighbors(w, 2, false, 0), (std::vector<h::NodeIdx>{0, 2}));
  // Not enough diverse ones: the fill pass adds the rejected and the
  // tombstoned candidates in their order, without duplicates.
  EXPECT_EQ(index.select_diverse_neighbors(w, 10, false, 0), (std::vector<h::NodeIdx>{0, 2, 1, 3}));
  EXPECT_TRUE(index.select_diverse_neighbors(w, 0, false, 0).empty());
}

TEST(HnswSelect, NanCandidatesNeitherRejectNorCrash) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 0, 2);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  index.allocate_node(0, std::vector<float>{nan, 0}, 0);
  index.allocate_node(1, std::vector<float>{1, 0}, 0);
  index.allocate_node(2, std::vector<float>{1.1f, 0}, 0);
  const std::vector<h::NodeCandidate> w{{1, 1.0f, 1.0f}, {0, nan, nan}, {2, 1.21f, 1.21f}};
  // The NaN candidate is never rejected (its comparisons are false).
  EXPECT_EQ(index.select_diverse_neighbors(w, 2, false, 0), (std::vector<h::NodeIdx>{1, 0}));
  // Node 2 is 0.01 from node 1 (key 1.21): rejected, then only the fill pass
  // brings it back at the end.
  const std::vector<h::NodeCandidate> w2{{1, 1.0f, 1.0f}, {2, 1.21f, 1.21f}, {0, nan, nan}};
  EXPECT_EQ(index.select_diverse_neighbors(w2, 3, false, 0), (std::vector<h::NodeIdx>{1, 0, 2}));
}

TEST(HnswGreedy, SelfOnlyListsKeepTheStartAndCloserNeighboursAreFollowed) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 2, 1);
  for (uint64_t i = 0; i < 4; ++i) index.allocate_node(i, std::vector<float>{float(i)}, 1);
  for (h::NodeIdx u = 0; u < 4; ++u) index.set_state(u, h::kStateLive);
  const std::vector<float> q{3};
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 0u);
  // A chain 0 -> 1 -> 2 -> 3 at layer 1; node 2 is not live, so the walk
  // stops at 1 (first strictly closer live entry).
  index.set_neighbors(1, 0, std::vector<h::NodeIdx>{0, 1});
  index.set_neighbors(1, 1, std::vector<h::NodeIdx>{1, 2});
  index.set_neighbors(1, 2, std::vector<h::NodeIdx>{2, 3});
  index.set_state(2, h::kStateAllocated);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 1u);
  index.set_state(2, h::kStateLive);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 3u);
  // Layers that do not exist, or out-of-range starts, return the start.
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 3), 0u);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 9, 1), 9u);
}

TEST(HnswGreedy, WalkStopsAfterAThousandMovesAndWarns) {
  std::vector<std::string> warnings;
  std::mutex mu;
  dovadure::utils::set_log_sink(
      [&](dovadure::utils::LogLevel level, std::string_view, std::string_view message) {
        std::lock_guard<std::mutex> g(mu);
        if (level == dovadure::utils::LogLevel::Warn) warnings.emplace_back(message);
      },
      dovadure::utils::LogLevel::Warn);
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 1, 1);
  constexpr h::NodeIdx kNodes = 1200;
  for (h::NodeIdx i = 0; i < kNodes; ++i) index.allocate_node(i, std::vector<float>{float(i)}, 1);
  for (h::NodeIdx i = 0; i < kNodes; ++i) {
    index.set_state(i, h::kStateLive);
    if (i + 1 < kNodes) index.set_neighbors(1, i, std::vector<h::NodeIdx>{i, i + 1});
  }
  const std::vector<float> q{float(kNodes)};
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 1000u);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 1000, 1), 1199u);
  dovadure::utils::clear_log_sink();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "[GREEDY] Reached max steps at level 1, current = 1000");
}

TEST(HnswCap, PrunesAnOverFullListBackToTheCap) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 2, 20, 1, 1);
  for (uint64_t i = 0; i < 6; ++i) index.allocate_node(i, std::vector<float>{float(i * i)}, 1);
  index.set_neighbors(1, 0, std::vector<h::NodeIdx>{0, 5, 4, 3, 2, 1});
  index.cap_layer_neighbors(1, 0);
  // Cap m = 2 plus the owner; sorted by distance, diversity keeps 0 and 1,
  // rejects 2..5 (each closer to 1 than to 0) and the fill pass adds 2.
  EXPECT_EQ(list_of(index, 1, 0), (std::vector<h::NodeIdx>{0, 1, 2}));
  // A list at its cap is left alone, order included.
  index.set_neighbors(1, 1, std::vector<h::NodeIdx>{1, 5, 0});
  index.cap_layer_neighbors(1, 1);
  EXPECT_EQ(list_of(index, 1, 1), (std::vector<h::NodeIdx>{1, 5, 0}));
}

}  // namespace
