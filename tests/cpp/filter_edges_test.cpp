// Filter-aware edges: one-way, added once, bounded by K, stop after K chosen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "payload_storage/stores.hpp"
#include "utils/payload.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::vector::hnsw {
namespace {

using utils::DistanceMetric;
using utils::Payload;
using utils::PayloadValue;

std::vector<float> random_vec(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> d;
  std::vector<float> v(dim);
  for (float& x : v) x = d(rng);
  return v;
}

std::vector<NodeIdx> list_of(const HNSWIndex& index, uint64_t id) {
  std::vector<NodeIdx> out;
  index.copy_neighbors(0, *index.idx_of(id), out);
  return out;
}

Payload payload_with(const char* key, PayloadValue value) {
  Payload p;
  p.fields.emplace(key, std::move(value));
  return p;
}

struct Fixture {
  Fixture(DistanceMetric metric, size_t m, size_t points, size_t dim = 8)
      : index(metric, m, 32, 4, dim), rng(42) {
    for (uint64_t id = 0; id < points; ++id) {
      EXPECT_TRUE(index.insert(id, random_vec(rng, dim)).ok());
    }
  }
  HNSWIndex index;
  payload_storage::PayloadIndex payload_index;
  std::unordered_map<uint64_t, Payload> payloads;
  std::mt19937 rng;
};

TEST(FilterEdges, EmptyKeyListChangesNothing) {
  Fixture f(DistanceMetric::Euclidean, 4, 50);
  Payload p = payload_with("k", PayloadValue::of_int(1));
  for (uint64_t id = 0; id < 50; ++id) f.payload_index.insert(id, p);
  auto before = list_of(f.index, 0);
  ASSERT_TRUE(f.index.build_filter_aware_edges(0, *f.index.get_vector(0), p, f.payload_index,
                                               f.payloads, {}).ok());
  EXPECT_EQ(list_of(f.index, 0), before);
}

TEST(FilterEdges, ValueSharedByNoOtherLivePointAddsNothing) {
  Fixture f(DistanceMetric::Euclidean, 4, 50);
  Payload lonely = payload_with("k", PayloadValue::of_str("only-me"));
  f.payload_index.insert(0, lonely);
  // A tombstoned point sharing the value is not eligible either.
  f.payload_index.insert(1, lonely);
  f.index.mark_deleted(1);
  auto before = list_of(f.index, 0);
  ASSERT_TRUE(f.index.build_filter_aware_edges(0, *f.index.get_vector(0), lonely, f.payload_index,
                                               f.payloads, {"k", "absent-key"}).ok());
  EXPECT_EQ(list_of(f.index, 0), before);
}

TEST(FilterEdges, EdgesAreOneWayAndNeverDuplicated) {
  Fixture f(DistanceMetric::Euclidean, 4, 200);
  // Pick a node that is not yet in 0's list.
  auto own = list_of(f.index, 0);
  uint64_t far = 0;
  for (uint64_t id = 1; id < 200; ++id) {
    if (std::find(own.begin(), own.end(), *f.index.idx_of(id)) == own.end()) {
      far = id;
      break;
    }
  }
  ASSERT_NE(far, 0u);
  auto far_before = list_of(f.index, far);
  f.index.add_one_way_edge(0, 0, far);
  f.index.add_one_way_edge(0, 0, far);
  auto after = list_of(f.index, 0);
  // Caps may prune the new edge again, but it is never there twice.
  EXPECT_LE(std::count(after.begin(), after.end(), *f.index.idx_of(far)), 1);
  EXPECT_LE(after.size(), f.index.max_neighbors_l0() + 1);
  EXPECT_EQ(list_of(f.index, far), far_before);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after[0], *f.index.idx_of(0));
  // Unknown ids are ignored.
  f.index.add_one_way_edge(0, 0, 123456);
  EXPECT_EQ(list_of(f.index, 0), after);
}

TEST(FilterEdges, ScoreListFollowsTheSortedList) {
  Fixture f(DistanceMetric::Dot, 4, 100);
  f.index.add_one_way_edge(0, 5, 77);
  auto list = list_of(f.index, 5);
  const ScoreList* scores = f.index.l0_scores(*f.index.idx_of(5));
  ASSERT_NE(scores, nullptr);
  ASSERT_EQ(scores->size(), list.size());
  auto q = *f.index.get_vector(5);
  for (size_t i = 0; i < list.size(); ++i) {
    float expected = list[i] == *f.index.idx_of(5) ? 0.0f
                                                    : f.index.fast_score(q, *f.index.get_vector_by_idx(list[i]));
    EXPECT_EQ((*scores)[i], expected) << i;
  }
}

// Caps are cached per process; with them off the new edges stay visible.
int capped_off_scenario() {
  ::setenv("DOROVOZU_ENFORCE_NEIGHBOR_CAPS", "false", 1);
  // m = 16: K = 32, D = 64. Value "a" is shared by 1000 points, value "b"
  // by 1000 others; Chosen is full after "a", so "b" adds nothing.
  Fixture f(DistanceMetric::Euclidean, 16, 2001, 16);
  Payload both;
  both.fields.emplace("a", PayloadValue::of_bool(true));
  both.fields.emplace("b", PayloadValue::of_str("x"));
  std::set<NodeIdx> group_a, group_b;
  for (uint64_t id = 1; id <= 1000; ++id) {
    f.payload_index.insert(id, payload_with("a", PayloadValue::of_bool(true)));
    group_a.insert(*f.index.idx_of(id));
  }
  for (uint64_t id = 1001; id <= 2000; ++id) {
    f.payload_index.insert(id, payload_with("b", PayloadValue::of_str("x")));
    group_b.insert(*f.index.idx_of(id));
  }
  f.payload_index.insert(0, both);
  auto before = list_of(f.index, 0);
  std::set<NodeIdx> before_set(before.begin(), before.end());
  if (!f.index.build_filter_aware_edges(0, *f.index.get_vector(0), both, f.payload_index, f.payloads,
                                        {"a", "b"}).ok()) {
    return 10;
  }
  auto after = list_of(f.index, 0);
  size_t added = 0;
  for (NodeIdx x : after) {
    if (before_set.contains(x)) continue;
    ++added;
    if (group_b.contains(x)) return 11;  // the second key was never used
    if (!group_a.contains(x)) return 12;
  }
  if (added == 0 || added > 32) return 13;
  if (after.size() != before.size() + added) return 14;

  // Without caps an explicit edge is kept, exactly once, and only one way.
  const uint64_t target = 1500;
  const NodeIdx t = *f.index.idx_of(target);
  if (std::count(after.begin(), after.end(), t) != 0) return 15;
  auto target_before = list_of(f.index, target);
  f.index.add_one_way_edge(0, 0, target);
  f.index.add_one_way_edge(0, 0, target);
  auto last = list_of(f.index, 0);
  if (std::count(last.begin(), last.end(), t) != 1) return 16;
  if (last.size() != after.size() + 1) return 17;
  if (list_of(f.index, target) != target_before) return 18;
  // Uncapped, the list is in ascending distance from its owner, which leads.
  if (last[0] != *f.index.idx_of(0)) return 19;
  auto q = *f.index.get_vector(0);
  for (size_t i = 1; i < last.size(); ++i) {
    if (f.index.fast_score(q, *f.index.get_vector_by_idx(last[i - 1])) >
        f.index.fast_score(q, *f.index.get_vector_by_idx(last[i]))) {
      return 20;
    }
  }
  return 0;
}

TEST(FilterEdges, OneKeyFillsChosenAndTheSecondKeyIsSkipped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(capped_off_scenario()), ::testing::ExitedWithCode(0), "");
}

TEST(FilterEdges, CapsKeepTheListBounded) {
  Fixture f(DistanceMetric::Cosine, 4, 300);
  Payload p = payload_with("k", PayloadValue::of_int(7));
  for (uint64_t id = 0; id < 300; ++id) f.payload_index.insert(id, p);
  std::vector<std::vector<NodeIdx>> others;
  for (uint64_t id = 1; id < 300; ++id) others.push_back(list_of(f.index, id));
  ASSERT_TRUE(f.index.build_filter_aware_edges(0, *f.index.get_vector(0), p, f.payload_index,
                                               f.payloads, {"k"}).ok());
  EXPECT_LE(list_of(f.index, 0).size(), f.index.max_neighbors_l0() + 1);
  for (uint64_t id = 1; id < 300; ++id) EXPECT_EQ(list_of(f.index, id), others[id - 1]) << id;
}

TEST(FilterEdges, NanVectorsDoNotBreakTheSorts) {
  HNSWIndex index(DistanceMetric::Dot, 4, 16, 2, 4);
  std::mt19937 rng(3);
  payload_storage::PayloadIndex payload_index;
  std::unordered_map<uint64_t, Payload> payloads;
  Payload p = payload_with("k", PayloadValue::of_int(1));
  for (uint64_t id = 0; id < 40; ++id) {
    std::vector<float> v = random_vec(rng, 4);
    if (id % 3 == 0) v[1] = std::nanf("");
    ASSERT_TRUE(index.insert(id, v).ok());
    payload_index.insert(id, p);
  }
  ASSERT_TRUE(index.build_filter_aware_edges(0, *index.get_vector(0), p, payload_index, payloads,
                                             {"k"}).ok());
  EXPECT_LE(list_of(index, 0).size(), index.max_neighbors_l0() + 1);
}

}  // namespace
}  // namespace dovadure::vector::hnsw
