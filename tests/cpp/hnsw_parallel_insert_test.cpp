// Several writers inserting into one index while searches run, and the
// parallel build of a segment. Meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "segment/segment.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "hnsw_test_util.hpp"

namespace {

using dovadure::utils::DBErrorKind;
using dovadure::utils::DistanceMetric;
using dovadure::utils::Payload;
using dovadure::utils::PayloadValue;
using dovadure::vector::hnsw::HNSWIndex;
using dovadure::vector::hnsw::NodeIdx;
using dovadure::vector::hnsw::SearchOptions;
using hnsw_test::clustered_vectors;
using hnsw_test::ScopedEnv;

std::unique_ptr<HNSWIndex> make_index(DistanceMetric metric, size_t m, size_t ef, size_t dim,
                                      const char* level_scale = nullptr) {
  // Read by the constructor only, so the variable can go before threads start.
  ScopedEnv scale("DOROVOZU_LEVEL_SCALE", level_scale);
  return std::make_unique<HNSWIndex>(metric, m, ef, 8, dim);
}

// Inserts vectors[i] under id 1000 + i from `writers` threads (interleaved)
// while one thread keeps searching.
void insert_concurrently(HNSWIndex& index, const std::vector<std::vector<float>>& vectors,
                         size_t writers) {
  std::atomic<size_t> finished{0};
  std::atomic<size_t> failures{0};
  std::vector<std::thread> threads;
  for (size_t t = 0; t < writers; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = t; i < vectors.size(); i += writers) {
        if (!index.insert(1000 + i, vectors[i]).ok()) failures.fetch_add(1);
      }
      finished.fetch_add(1);
    });
  }
  std::thread searcher([&] {
    SearchOptions options;
    options.ef = 32;
    size_t q = 0;
    while (finished.load() < writers) {
      auto found = index.search_with_options(vectors[q++ % vectors.size()], 5, options);
      if (!found.ok()) failures.fetch_add(1);
    }
  });
  for (auto& t : threads) t.join();
  searcher.join();
  EXPECT_EQ(failures.load(), 0u);
}

// Every list up to its owner's level starts with the owner; every list holds no entry twice and no entry beyond
// the index, stays within its cap, and the layer-0 score list matches its
// list entry by entry with the exact raw scores.
void expect_graph_invariants(const HNSWIndex& index) {
  const size_t n = index.len();
  std::vector<NodeIdx> list;
  size_t max_level = 0;
  for (NodeIdx u = 0; u < n; ++u) {
    ASSERT_EQ(index.state_of(u), dovadure::vector::hnsw::kStateLive) << "node " << u;
    const size_t level = index.level_of(u);
    max_level = std::max(max_level, level);
    for (size_t l = 0; l < index.num_layers(); ++l) {
      ASSERT_TRUE(index.copy_neighbors(l, u, list));
      // Above its level a node's list holds only back-links from taller
      // nodes that found nothing else there.
      if (l <= level) {
        ASSERT_FALSE(list.empty()) << "node " << u << " layer " << l;
        // Under Dot a longer neighbour can outscore the owner, and a cap
        // may then reorder or even drop the owner's own entry.
        if (index.metric() != DistanceMetric::Dot) {
          EXPECT_EQ(list[0], u) << "node " << u << " layer " << l;
        }
      }
      const size_t cap = l == 0 ? index.max_neighbors_l0() : index.m();
      EXPECT_LE(list.size(), cap + 1) << "node " << u << " layer " << l;
      EXPECT_EQ(std::set<NodeIdx>(list.begin(), list.end()).size(), list.size())
          << "node " << u << " layer " << l;
      for (NodeIdx x : list) ASSERT_LT(x, n);
    }
    ASSERT_TRUE(index.copy_neighbors(0, u, list));
    const auto* scores = index.l0_scores(u);
    ASSERT_NE(scores, nullptr);
    ASSERT_EQ(scores->size(), list.size()) << "node " << u;
    const auto uv = *index.get_vector_by_idx(u);
    for (size_t i = 0; i < list.size(); ++i) {
      const float expected = list[i] == u ? 0.0f : index.fast_score(uv, *index.get_vector_by_idx(list[i]));
      EXPECT_EQ(std::memcmp(&(*scores)[i], &expected, sizeof(float)), 0)
          << "node " << u << " position " << i;
    }
  }
  const uint64_t word = index.entry_point_word();
  ASSERT_NE(dovadure::vector::hnsw::entry_word_idx(word), dovadure::vector::hnsw::kNoNode);
  EXPECT_EQ(dovadure::vector::hnsw::entry_word_level(word), max_level);
  EXPECT_EQ(index.level_of(dovadure::vector::hnsw::entry_word_idx(word)), max_level);
}

// Each point's own vector finds it: exactly (the fallback scan) and, with
// check_graph, for all but a sliver through the graph.
void expect_every_point_found(HNSWIndex& index, const std::vector<std::vector<float>>& vectors,
                              bool check_graph = true) {
  const size_t n = vectors.size();
  ASSERT_EQ(index.len(), n);
  SearchOptions options;
  options.ef = 64;
  size_t graph_hits = 0;
  for (size_t i = 0; i < n; ++i) {
    auto found = index.search_with_options(vectors[i], 1, options);
    ASSERT_TRUE(found.ok());
    if (!found.value().empty() && found.value()[0].id == 1000 + i) ++graph_hits;
  }
  if (check_graph) {
    EXPECT_GE(graph_hits, n * 99 / 100);
  }
  index.set_exact_fallback(true, n + 1);
  for (size_t i = 0; i < n; ++i) {
    ASSERT_TRUE(index.contains(1000 + i));
    auto found = index.search_with_options(vectors[i], 1, options);
    ASSERT_TRUE(found.ok());
    ASSERT_EQ(found.value().size(), 1u);
    EXPECT_EQ(found.value()[0].id, 1000 + i);
  }
}

TEST(HnswParallelInsert, WritersAndSearchersKeepTheGraphSound) {
  for (const DistanceMetric metric :
       {DistanceMetric::Euclidean, DistanceMetric::Cosine, DistanceMetric::Dot}) {
    SCOPED_TRACE(static_cast<int>(metric));
    const auto vectors = clustered_vectors(800, 16, 8, 11 + static_cast<uint64_t>(metric));
    auto index = make_index(metric, 6, 40, 16);
    insert_concurrently(*index, vectors, 3);
    expect_graph_invariants(*index);
    if (metric != DistanceMetric::Dot) expect_every_point_found(*index, vectors);
  }
}

// Tall nodes make back-links land above their targets' levels, so upper
// list blocks are re-homed while other writers edit them.
TEST(HnswParallelInsert, TallLevelsSurviveListRehoming) {
  const auto vectors = clustered_vectors(600, 8, 6, 5);
  auto index = make_index(DistanceMetric::Euclidean, 3, 24, 8, "2.5");
  insert_concurrently(*index, vectors, 4);
  expect_graph_invariants(*index);
  // m = 3 with four writers on a small set is a shape for stressing locks,
  // not for graph quality (recall is checked below), so only exact lookup.
  expect_every_point_found(*index, vectors, false);
}

TEST(HnswParallelInsert, SameIdFromTwoWritersIsAllocatedOnce) {
  const auto vectors = clustered_vectors(200, 8, 4, 9);
  auto index = make_index(DistanceMetric::Euclidean, 4, 16, 8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (size_t i = 0; i < vectors.size(); ++i) ASSERT_TRUE(index->insert(i, vectors[i]).ok());
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(index->len(), vectors.size());
  expect_graph_invariants(*index);
}

double recall_at_10(HNSWIndex& index, const std::vector<std::vector<float>>& vectors,
                    const std::vector<std::vector<float>>& queries) {
  std::vector<uint64_t> ids(vectors.size());
  for (size_t i = 0; i < ids.size(); ++i) ids[i] = 1000 + i;
  SearchOptions options;
  options.ef = 64;
  size_t hits = 0;
  for (const auto& q : queries) {
    const auto truth = hnsw_test::brute_force(index.metric(), vectors, ids, q, 10);
    auto found = index.search_with_options(q, 10, options);
    EXPECT_TRUE(found.ok());
    std::set<uint64_t> got;
    for (const auto& p : found.value()) got.insert(p.id);
    for (const auto& p : truth) hits += got.count(p.id);
  }
  return static_cast<double>(hits) / static_cast<double>(queries.size() * 10);
}

TEST(HnswParallelInsert, RecallMatchesASingleWriterBuild) {
  const auto all = clustered_vectors(2700, 24, 30, 21);
  const std::vector<std::vector<float>> vectors(all.begin(), all.begin() + 2500);
  const std::vector<std::vector<float>> queries(all.begin() + 2500, all.end());
  auto serial = make_index(DistanceMetric::Euclidean, 6, 48, 24);
  for (size_t i = 0; i < vectors.size(); ++i) ASSERT_TRUE(serial->insert(1000 + i, vectors[i]).ok());
  auto parallel = make_index(DistanceMetric::Euclidean, 6, 48, 24);
  insert_concurrently(*parallel, vectors, 2);
  const double serial_recall = recall_at_10(*serial, vectors, queries);
  const double parallel_recall = recall_at_10(*parallel, vectors, queries);
  EXPECT_GE(parallel_recall, serial_recall - 0.01);
  EXPECT_GT(serial_recall, 0.9);
}

// ---- Segment::insert_many_parallel ----

struct Batch {
  std::vector<uint64_t> ids;
  std::vector<float> values;
  std::vector<std::optional<Payload>> payloads;
};

Batch make_batch(size_t n, size_t dim) {
  Batch b;
  const auto vectors = clustered_vectors(n, dim, 5, 3);
  for (size_t i = 0; i < n; ++i) {
    b.ids.push_back(10 + 3 * i);
    b.values.insert(b.values.end(), vectors[i].begin(), vectors[i].end());
    if (i % 3 == 0) {
      b.payloads.emplace_back();
    } else {
      Payload p;
      p.fields.emplace("group", PayloadValue::of_int(static_cast<int64_t>(i % 4)));
      b.payloads.emplace_back(std::move(p));
    }
  }
  return b;
}

TEST(SegmentParallelBuild, InsertsEveryPointWithPayloadsAndNextId) {
  const Batch b = make_batch(300, 8);
  dovadure::segment::Segment seg(DistanceMetric::Euclidean, 4, 24, 8, 8);
  std::vector<size_t> reported;
  auto done = seg.insert_many_parallel(b.ids, b.values, b.payloads, 2,
                                       [&](size_t n) { reported.push_back(n); });
  ASSERT_TRUE(done.ok()) << done.error().to_string();
  EXPECT_EQ(seg.index().len(), b.ids.size());
  EXPECT_EQ(seg.next_id(), b.ids.back() + 1);
  ASSERT_FALSE(reported.empty());
  EXPECT_EQ(reported.back(), b.ids.size());
  EXPECT_EQ(seg.payloads().size(), 200u);
  for (size_t i = 0; i < b.ids.size(); ++i) {
    ASSERT_TRUE(seg.is_live(b.ids[i]));
    const auto stored = seg.index().get_vector(b.ids[i]);
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(std::equal(stored->begin(), stored->end(), b.values.begin() + 8 * i));
    EXPECT_EQ(seg.payloads().contains(b.ids[i]), i % 3 != 0);
  }
  expect_graph_invariants(seg.index());
}

TEST(SegmentParallelBuild, RefusesBadInputWithoutChangingAnything) {
  Batch b = make_batch(50, 8);
  dovadure::segment::Segment seg(DistanceMetric::Euclidean, 4, 24, 8, 8);
  ASSERT_TRUE(seg.insert_with_id_internal(7, std::vector<float>(8, 1.0f), std::nullopt, false).ok());

  Batch repeated = b;
  repeated.ids[40] = repeated.ids[3];
  auto r = seg.insert_many_parallel(repeated.ids, repeated.values, repeated.payloads, 2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), DBErrorKind::AlreadyExists);
  EXPECT_EQ(r.error().to_string(), dovadure::utils::DBError::already_exists(b.ids[3]).to_string());

  Batch existing = b;
  existing.ids[20] = 7;
  r = seg.insert_many_parallel(existing.ids, existing.values, existing.payloads, 2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), DBErrorKind::AlreadyExists);

  Batch short_rows = b;
  short_rows.values.pop_back();
  r = seg.insert_many_parallel(short_rows.ids, short_rows.values, short_rows.payloads, 2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), DBErrorKind::DimensionMismatch);

  Batch few_payloads = b;
  few_payloads.payloads.pop_back();
  r = seg.insert_many_parallel(few_payloads.ids, few_payloads.values, few_payloads.payloads, 2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), DBErrorKind::InvalidPayload);

  EXPECT_EQ(seg.index().len(), 1u);
  EXPECT_EQ(seg.next_id(), 8u);
  EXPECT_TRUE(seg.payloads().empty());

  // Nothing at all is fine, and so is more threads than points.
  EXPECT_TRUE(seg.insert_many_parallel({}, {}, {}, 4).ok());
  EXPECT_TRUE(seg.insert_many_parallel(b.ids, b.values, {}, 64).ok());
  EXPECT_EQ(seg.index().len(), 51u);
}

}  // namespace
