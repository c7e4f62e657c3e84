// Layer-0 dispatch and the walk over SQ8 codes, on brute-force k-NN graphs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "vector/hnsw/core.hpp"
#include "vector/hnsw/quantize.hpp"

namespace dovadure::vector::hnsw {
namespace {

using utils::DistanceMetric;

std::vector<float> unit(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> dist;
  std::vector<float> v(dim);
  double sum = 0;
  for (auto& x : v) {
    x = dist(rng);
    sum += double{x} * x;
  }
  for (auto& x : v) x = static_cast<float>(x / std::sqrt(sum));
  return v;
}

// n random unit vectors (all live), each linked to its k nearest.
struct KnnGraph {
  KnnGraph(DistanceMetric metric, size_t n, size_t dim, size_t k, uint32_t seed)
      : index(std::make_unique<HNSWIndex>(metric, 8, 32, 0, dim)) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i) add(unit(rng, dim));
    for (size_t i = 0; i < n; ++i) {
      std::vector<NodeIdx> list{static_cast<NodeIdx>(i)};
      for (NodeIdx j : exact_top(vectors[i], k + 1)) {
        if (j != i) list.push_back(j);
      }
      list.resize(std::min(list.size(), k + 1));
      index->set_neighbors(0, static_cast<NodeIdx>(i), list);
    }
  }

  NodeIdx add(std::vector<float> v) {
    const auto idx = index->allocate_node(1000 + vectors.size(), v, 0);
    EXPECT_TRUE(idx.has_value());
    index->set_state(*idx, kStateLive);
    vectors.push_back(std::move(v));
    return *idx;
  }

  std::vector<NodeIdx> exact_top(const std::vector<float>& q, size_t k) const {
    std::vector<std::pair<float, NodeIdx>> all;
    for (size_t j = 0; j < vectors.size(); ++j) {
      all.push_back({index->fast_score(q, vectors[j]), static_cast<NodeIdx>(j)});
    }
    std::sort(all.begin(), all.end());
    std::vector<NodeIdx> out;
    for (size_t t = 0; t < k && t < all.size(); ++t) out.push_back(all[t].second);
    return out;
  }

  // Appends `late` to the layer-0 list of every node before it.
  void link_all_to(NodeIdx late) {
    for (NodeIdx u = 0; u < late; ++u) {
      std::vector<NodeIdx> list;
      index->copy_neighbors(0, u, list);
      list.push_back(late);
      index->set_neighbors(0, u, list);
    }
  }

  std::unique_ptr<HNSWIndex> index;
  std::vector<std::vector<float>> vectors;
};

std::vector<NodeCandidate> l0(const HNSWIndex& index, const std::vector<float>& q,
                              std::vector<NodeIdx> entries, size_t ef, const SearchOptions& o) {
  const bool negate = index.metric() != DistanceMetric::Euclidean;
  auto r = index.run_l0_search(q, entries, ef, o, negate, nullptr, nullptr);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : std::vector<NodeCandidate>{};
}

SearchOptions rerank(size_t factor) {
  SearchOptions o;
  o.sq8_rerank_factor = factor;
  o.sq8_score_only = Tristate::False;
  return o;
}

void expect_sorted(const std::vector<NodeCandidate>& nodes) {
  for (size_t i = 1; i < nodes.size(); ++i) EXPECT_LE(nodes[i - 1].sort_key, nodes[i].sort_key);
}

double recall(const std::vector<NodeCandidate>& got, const std::vector<NodeIdx>& truth) {
  size_t hit = 0;
  for (NodeIdx t : truth) {
    hit += std::count_if(got.begin(), got.end(), [t](const NodeCandidate& c) { return c.idx == t; });
  }
  return static_cast<double>(hit) / truth.size();
}

class RerankTest : public ::testing::TestWithParam<DistanceMetric> {};

TEST_P(RerankTest, PoolIsRescoredExactlyAndCutToEf) {
  KnnGraph g(GetParam(), 500, 16, 12, 21);
  g.index->quantize_all();
  std::mt19937 rng(5);
  double total = 0;
  const int queries = 20;
  for (int i = 0; i < queries; ++i) {
    const auto q = unit(rng, 16);
    const auto nodes = l0(*g.index, q, {0}, 10, rerank(4));
    ASSERT_EQ(nodes.size(), 10u);
    expect_sorted(nodes);
    for (const auto& n : nodes) {
      EXPECT_EQ(n.score, g.index->fast_score(q, g.vectors[n.idx]));
      EXPECT_EQ(n.sort_key, n.score);
    }
    total += recall(nodes, g.exact_top(q, 10));
  }
  EXPECT_GT(total / queries, 0.8);
}

INSTANTIATE_TEST_SUITE_P(Metrics, RerankTest,
                         ::testing::Values(DistanceMetric::Cosine, DistanceMetric::Euclidean));

TEST(Sq8WalkTest, KeepsAPoolOfTheRequestedSize) {
  KnnGraph g(DistanceMetric::Cosine, 300, 16, 10, 3);
  g.index->quantize_all();
  std::mt19937 rng(8);
  const auto q = unit(rng, 16);
  std::vector<int16_t> qq;
  quantize_query_cosine_wide(q, qq);
  StatsSink stats;
  stats.scanned = 77;
  stats.cap_hits = 5;
  const std::vector<NodeIdx> entries{0};
  auto r = g.index->search_layer_unfiltered_sq8(qq, entries, 0, 40, {}, &stats, nullptr);
  ASSERT_TRUE(r.ok());
  const auto& nodes = r.value();
  ASSERT_EQ(nodes.size(), 40u);
  for (size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i].score, 0.0f);
    EXPECT_EQ(nodes[i].sort_key, std::round(nodes[i].sort_key));  // a negated integer
    if (i > 0) {
      EXPECT_LE(nodes[i - 1].sort_key, nodes[i].sort_key);
    }
  }
  EXPECT_GE(stats.visited, 40u);
  EXPECT_GT(stats.expansions, 0u);
  EXPECT_EQ(stats.scanned, 77u);  // only the first two counters are written
  EXPECT_EQ(stats.cap_hits, 5u);
}

TEST(Sq8WalkTest, EarlyExitPatienceBoundsTheWalk) {
  KnnGraph g(DistanceMetric::Cosine, 200, 8, 8, 13);
  g.index->quantize_all();
  std::mt19937 rng(2);
  std::vector<int16_t> qq;
  quantize_query_cosine_wide(unit(rng, 8), qq);
  const std::vector<NodeIdx> entries{0};
  SearchOptions o;
  o.early_exit_patience = 1'000'000;
  StatsSink all;
  ASSERT_TRUE(g.index->search_layer_unfiltered_sq8(qq, entries, 0, 5, o, &all, nullptr).ok());
  o.early_exit_patience = 0;
  StatsSink quick;
  ASSERT_TRUE(g.index->search_layer_unfiltered_sq8(qq, entries, 0, 5, o, &quick, nullptr).ok());
  EXPECT_LT(quick.expansions, all.expansions);
}

TEST(Sq8DispatchTest, ScoreOnlyConvertsIntegerScoresToCosineDistances) {
  KnnGraph g(DistanceMetric::Cosine, 200, 16, 10, 17);
  g.index->quantize_all();
  SearchOptions o;
  o.sq8_score_only = Tristate::True;
  for (NodeIdx target : {5u, 77u, 150u}) {
    const auto nodes = l0(*g.index, g.vectors[target], {0}, 10, o);
    ASSERT_FALSE(nodes.empty());
    expect_sorted(nodes);
    EXPECT_LE(nodes.size(), 10u);
    // The node identical to the query: integer score about 16256, distance ~0.
    EXPECT_EQ(nodes[0].idx, target);
    EXPECT_GE(nodes[0].score, 0.0f);
    EXPECT_LT(nodes[0].score, 0.01f);
    for (const auto& n : nodes) {
      EXPECT_EQ(n.sort_key, n.score);
      EXPECT_GE(n.score, 0.0f);
      EXPECT_NEAR(n.score, g.index->fast_score(g.vectors[target], g.vectors[n.idx]), 0.05f);
    }
  }
}

TEST(Sq8DispatchTest, FloatSearchRunsWhenTheWalkDoesNotApply) {
  KnnGraph g(DistanceMetric::Euclidean, 150, 8, 8, 19);
  g.index->quantize_all();
  std::mt19937 rng(6);
  const auto q = unit(rng, 8);
  SearchOptions plain;
  plain.sq8_rerank_factor = 0;
  const std::vector<NodeIdx> entries{0};
  auto reference = g.index->search_layer_unfiltered(q, entries, 0, 10, plain, false, nullptr, nullptr);
  ASSERT_TRUE(reference.ok());
  const auto ids = [](const std::vector<NodeCandidate>& v) {
    std::vector<std::pair<NodeIdx, float>> out;
    for (const auto& c : v) out.push_back({c.idx, c.score});
    return out;
  };
  // Score-only under Euclidean is off, and without a re-rank factor the
  // float search answers.
  SearchOptions score_only = plain;
  score_only.sq8_score_only = Tristate::True;
  EXPECT_EQ(ids(l0(*g.index, q, {0}, 10, score_only)), ids(reference.value().nodes));

  // Dot never walks the codes.
  KnnGraph d(DistanceMetric::Dot, 150, 8, 8, 19);
  d.index->quantize_all();
  auto dot_reference = d.index->search_layer_unfiltered(q, entries, 0, 10, plain, true, nullptr, nullptr);
  ASSERT_TRUE(dot_reference.ok());
  EXPECT_EQ(ids(l0(*d.index, q, {0}, 10, rerank(4))), ids(dot_reference.value().nodes));
}

TEST(Sq8DispatchTest, RejectsWrongQueryLength) {
  KnnGraph g(DistanceMetric::Cosine, 20, 8, 4, 1);
  g.index->quantize_all();
  const std::vector<float> q{1.0f, 0.0f, 0.0f};
  const std::vector<NodeIdx> entries{0};
  auto r = g.index->run_l0_search(q, entries, 5, rerank(2), true, nullptr, nullptr);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "Vector length mismatch: expected 8, got 3");
}

TEST(Sq8WalkTest, UnusableSeedsFallBackToTheFirstLiveNode) {
  KnnGraph g(DistanceMetric::Cosine, 100, 8, 8, 23);
  g.index->quantize_all();
  g.index->mark_deleted(1000);  // node 0
  g.index->mark_deleted(1001);  // node 1
  std::mt19937 rng(9);
  std::vector<int16_t> qq;
  quantize_query_cosine_wide(unit(rng, 8), qq);
  const std::vector<NodeIdx> entries{0, 1, 5000};
  StatsSink stats;
  auto r = g.index->search_layer_unfiltered_sq8(qq, entries, 0, 10, {}, &stats, nullptr);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().size(), 10u);
  for (const auto& n : r.value()) {
    EXPECT_NE(n.idx, 0u);
    EXPECT_NE(n.idx, 1u);
  }
  EXPECT_GT(stats.expansions, 0u);

  // With no live node at all the walk returns nothing, never a deleted node.
  KnnGraph tiny(DistanceMetric::Cosine, 3, 8, 2, 4);
  tiny.index->quantize_all();
  for (uint64_t id : {1000u, 1001u, 1002u}) tiny.index->mark_deleted(id);
  auto empty = tiny.index->search_layer_unfiltered_sq8(qq, entries, 0, 10, {}, nullptr, nullptr);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
}

TEST(Sq8WalkTest, NodesBeyondTheCodesAreNeverReadAndTheDispatcherFallsBack) {
  KnnGraph g(DistanceMetric::Cosine, 80, 8, 6, 29);
  g.index->quantize_all();
  std::mt19937 rng(10);
  const auto q = unit(rng, 8);
  // Appended after quantisation, identical to the query, linked from all.
  const NodeIdx late = g.add(q);
  g.link_all_to(late);
  std::vector<int16_t> qq;
  quantize_query_cosine_wide(q, qq);
  const std::vector<NodeIdx> entries{late, 0};
  auto walked = g.index->search_layer_unfiltered_sq8(qq, entries, 0, 20, {}, nullptr, nullptr);
  ASSERT_TRUE(walked.ok());
  EXPECT_EQ(walked.value().size(), 20u);
  for (const auto& n : walked.value()) EXPECT_NE(n.idx, late);

  // The dispatcher sees codes that no longer cover the index and answers
  // with the float search, which finds the late node.
  const auto nodes = l0(*g.index, q, {0}, 5, rerank(4));
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes[0].idx, late);
  EXPECT_NEAR(nodes[0].score, 0.0f, 1e-6f);
}

// The walk's key of a node, computed here from the codes alone.
float reference_key(const HNSWIndex& index, const std::vector<int16_t>& qq, NodeIdx v) {
  const size_t dim = index.dim();
  const uint8_t* c = index.codes().data() + size_t{v} * dim;
  const bool euclidean = index.metric() == DistanceMetric::Euclidean;
  int64_t dot = 0, squares = 0;
  for (size_t d = 0; d < std::min(qq.size(), dim); ++d) {
    dot += int64_t{qq[d]} * (euclidean ? c[d] : c[d] - 128);
    squares += int64_t{c[d]} * c[d];
  }
  return -static_cast<float>(euclidean ? 2 * dot - squares : dot);
}

TEST(Sq8WalkTest, EuclideanKeysAreNegatedDistancesInTheCodeDomain) {
  KnnGraph g(DistanceMetric::Euclidean, 300, 40, 10, 31);
  g.index->quantize_all();
  std::mt19937 rng(12);
  const std::vector<NodeIdx> entries{0};
  for (int i = 0; i < 5; ++i) {
    std::vector<int16_t> qq;
    quantize_query(unit(rng, 40), g.index->mins(), g.index->scales(), qq);
    auto full = g.index->search_layer_unfiltered_sq8(qq, entries, 0, 30, {}, nullptr, nullptr);
    ASSERT_TRUE(full.ok());
    ASSERT_EQ(full.value().size(), 30u);
    for (const auto& r : full.value()) EXPECT_EQ(r.sort_key, reference_key(*g.index, qq, r.idx));
    // The walk ranks by the squared code distance: the best pooled node is
    // the nearest of all nodes in the code domain whenever the walk found it.
    float best = std::numeric_limits<float>::max();
    for (NodeIdx v = 0; v < 300; ++v) best = std::min(best, reference_key(*g.index, qq, v));
    EXPECT_EQ(full.value()[0].sort_key, best);

    // A query shorter than the rows scores a prefix of each row, the
    // squares included.
    qq.resize(25);
    auto prefix = g.index->search_layer_unfiltered_sq8(qq, entries, 0, 30, {}, nullptr, nullptr);
    ASSERT_TRUE(prefix.ok());
    ASSERT_EQ(prefix.value().size(), 30u);
    for (const auto& r : prefix.value()) {
      EXPECT_EQ(r.sort_key, reference_key(*g.index, qq, r.idx));
    }
  }
}

TEST(Sq8WalkTest, EuclideanNodesAddedAfterQuantisingAreSkippedAndFallBack) {
  KnnGraph g(DistanceMetric::Euclidean, 120, 8, 6, 37);
  g.index->quantize_all();
  std::mt19937 rng(14);
  const auto q = unit(rng, 8);
  const NodeIdx late = g.add(q);
  g.link_all_to(late);
  ASSERT_EQ(g.index->code_square_sums().size(), 120u);
  std::vector<int16_t> qq;
  quantize_query(q, g.index->mins(), g.index->scales(), qq);
  const std::vector<NodeIdx> entries{late, 3};
  StatsSink stats;
  auto walked = g.index->search_layer_unfiltered_sq8(qq, entries, 0, 20, {}, &stats, nullptr);
  ASSERT_TRUE(walked.ok());
  ASSERT_EQ(walked.value().size(), 20u);
  for (const auto& n : walked.value()) {
    EXPECT_NE(n.idx, late);
    EXPECT_EQ(n.sort_key, reference_key(*g.index, qq, n.idx));
  }
  EXPECT_LE(stats.visited, 120u);

  const auto nodes = l0(*g.index, q, {0}, 5, rerank(2));
  ASSERT_FALSE(nodes.empty());
  EXPECT_EQ(nodes[0].idx, late);
  EXPECT_EQ(nodes[0].score, 0.0f);
}

class FrozenWalkTest : public ::testing::TestWithParam<DistanceMetric> {};

// Freezing packs layer 0 into one block and drops the state checks when
// every node is live; the walk must visit and return exactly as before.
TEST_P(FrozenWalkTest, FrozenIndexWalksExactlyAsBefore) {
  const size_t dim = 24;
  KnnGraph g(GetParam(), 400, dim, 12, 41);
  g.index->quantize_all();
  std::mt19937 rng(15);
  std::vector<std::vector<float>> queries;
  for (int i = 0; i < 8; ++i) queries.push_back(unit(rng, dim));
  const auto quantized = [&](const std::vector<float>& q) {
    std::vector<int16_t> qq;
    if (GetParam() == DistanceMetric::Cosine) {
      quantize_query_cosine_wide(q, qq);
    } else {
      quantize_query(q, g.index->mins(), g.index->scales(), qq);
    }
    return qq;
  };
  struct Run {
    std::vector<std::pair<NodeIdx, float>> walk;
    uint64_t visited = 0, expansions = 0;
    std::vector<std::pair<NodeIdx, float>> ranked;
  };
  const auto run_all = [&]() {
    std::vector<Run> runs;
    for (const auto& q : queries) {
      Run run;
      StatsSink stats;
      const std::vector<NodeIdx> entries{7, 300};
      auto r = g.index->search_layer_unfiltered_sq8(quantized(q), entries, 0, 24, {}, &stats,
                                                     nullptr);
      EXPECT_TRUE(r.ok());
      if (r.ok()) {
        for (const auto& n : r.value()) run.walk.push_back({n.idx, n.sort_key});
      }
      run.visited = stats.visited;
      run.expansions = stats.expansions;
      for (const auto& n : l0(*g.index, q, {7}, 8, rerank(3))) {
        run.ranked.push_back({n.idx, n.score});
      }
      runs.push_back(std::move(run));
    }
    return runs;
  };
  const std::vector<Run> before = run_all();
  g.index->freeze();
  const std::vector<Run> after = run_all();
  ASSERT_EQ(before.size(), after.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(before[i].walk, after[i].walk) << i;
    EXPECT_EQ(before[i].visited, after[i].visited) << i;
    EXPECT_EQ(before[i].expansions, after[i].expansions) << i;
    EXPECT_EQ(before[i].ranked, after[i].ranked) << i;
    EXPECT_EQ(before[i].walk.size(), 24u);
    EXPECT_EQ(before[i].ranked.size(), 8u);
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, FrozenWalkTest,
                         ::testing::Values(DistanceMetric::Cosine, DistanceMetric::Euclidean));

}  // namespace
}  // namespace dovadure::vector::hnsw
