#include "vector/hnsw/core.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <new>
#include <random>
#include <shared_mutex>
#include <vector>

#include "hnsw_test_util.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DistanceMetric;
using hnsw_test::ScopedEnv;

std::vector<h::NodeIdx> list_of(const h::HNSWIndex& index, size_t layer, h::NodeIdx u) {
  std::vector<h::NodeIdx> out;
  index.copy_neighbors(layer, u, out);
  return out;
}

TEST(HnswNew, DefaultsFollowM) {
  ScopedEnv a("DOROVOZU_LEVEL_SCALE", nullptr), b("DOROVOZU_LEVEL_SCALE_MULT", nullptr),
      c("DOROVOZU_MAX_LEVEL_CAP", nullptr), d("DOROVOZU_MAX_LEVEL", nullptr);
  h::HNSWIndex index(DistanceMetric::Cosine, 16, 200, 16, 8);
  EXPECT_NEAR(index.level_scale(), 0.360674, 1e-6);
  EXPECT_EQ(index.m(), 16u);
  EXPECT_EQ(index.m0(), 32u);
  EXPECT_EQ(index.max_neighbors_l0(), 32u);
  EXPECT_EQ(index.ef_construction(), 200u);
  EXPECT_EQ(index.ef_insert(), 200u);
  EXPECT_EQ(index.max_level(), 16u);
  EXPECT_EQ(index.num_layers(), 17u);
  EXPECT_EQ(index.dim(), 8u);
  EXPECT_EQ(index.len(), 0u);
  EXPECT_EQ(index.deleted_count(), 0u);
  EXPECT_EQ(index.entry_point_word(), 0x00000000FFFFFFFFull);
  EXPECT_FALSE(index.find_highest_level_entry_point().has_value());
}

TEST(HnswNew, LevelScaleEnvironmentRules) {
  {
    ScopedEnv a("DOROVOZU_LEVEL_SCALE", "0.5"), b("DOROVOZU_LEVEL_SCALE_MULT", "10");
    EXPECT_EQ(h::HNSWIndex(DistanceMetric::Dot, 16, 10, 4, 2).level_scale(), 0.5);
  }
  {
    ScopedEnv a("DOROVOZU_LEVEL_SCALE", "-1"), b("DOROVOZU_LEVEL_SCALE_MULT", "2");
    EXPECT_DOUBLE_EQ(h::HNSWIndex(DistanceMetric::Dot, 16, 10, 4, 2).level_scale(),
                     2.0 / std::log(16.0));
  }
  {
    ScopedEnv a("DOROVOZU_LEVEL_SCALE", "1_0"), b("DOROVOZU_LEVEL_SCALE_MULT", nullptr);
    EXPECT_EQ(h::HNSWIndex(DistanceMetric::Dot, 16, 10, 4, 2).level_scale(), 10.0);
  }
  {
    ScopedEnv a("DOROVOZU_LEVEL_SCALE", "inf"), b("DOROVOZU_LEVEL_SCALE_MULT", "nan");
    EXPECT_DOUBLE_EQ(h::HNSWIndex(DistanceMetric::Dot, 8, 10, 4, 2).level_scale(),
                     1.0 / std::log(8.0));
  }
}

TEST(HnswNew, MaxLevelEnvironmentRules) {
  {
    ScopedEnv a("DOROVOZU_MAX_LEVEL_CAP", "1_000"), b("DOROVOZU_MAX_LEVEL", "3");
    const h::HNSWIndex index(DistanceMetric::Euclidean, 4, 10, 16, 2);
    EXPECT_EQ(index.max_level(), 255u);
    EXPECT_EQ(index.num_layers(), 256u);
  }
  {
    ScopedEnv a("DOROVOZU_MAX_LEVEL_CAP", "0"), b("DOROVOZU_MAX_LEVEL", "+3");
    EXPECT_EQ(h::HNSWIndex(DistanceMetric::Euclidean, 4, 10, 16, 2).max_level(), 3u);
  }
  {
    ScopedEnv a("DOROVOZU_MAX_LEVEL_CAP", "x"), b("DOROVOZU_MAX_LEVEL", "-2");
    EXPECT_EQ(h::HNSWIndex(DistanceMetric::Euclidean, 4, 10, 16, 2).max_level(), 16u);
  }
  {
    ScopedEnv a("DOROVOZU_MAX_LEVEL_CAP", nullptr), b("DOROVOZU_MAX_LEVEL", nullptr);
    EXPECT_EQ(h::HNSWIndex(DistanceMetric::Euclidean, 4, 10, 999, 2).max_level(), 255u);
  }
}

// Dimension 0 is an index that was never given a vector: it exists, stays
// empty, and refuses every vector, one of no values included.
TEST(HnswNew, ZeroDimensionIndexTakesNoVector) {
  h::HNSWIndex index(DistanceMetric::Cosine, 16, 10, 4, 0);
  EXPECT_EQ(index.dim(), 0u);
  for (const std::vector<float>& v : {std::vector<float>{}, std::vector<float>{1.0f}}) {
    const auto st = index.insert(1, v);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), dovadure::utils::DBErrorKind::DimensionMismatch);
    EXPECT_EQ(st.error().got(), v.size());
  }
  EXPECT_EQ(index.len(), 0u);
  EXPECT_FALSE(index.contains(1));
}

TEST(HnswLevels, SampledLevelsFollowTheScaleAndStayWithinMaxLevel) {
  ScopedEnv a("DOROVOZU_LEVEL_SCALE", nullptr), b("DOROVOZU_LEVEL_SCALE_MULT", nullptr),
      c("DOROVOZU_MAX_LEVEL_CAP", nullptr), d("DOROVOZU_MAX_LEVEL", nullptr);
  const h::HNSWIndex index(DistanceMetric::Cosine, 16, 10, 16, 2);
  constexpr int kDraws = 40000;
  int above_zero = 0;
  for (int i = 0; i < kDraws; ++i) {
    const uint8_t level = index.sample_level();
    ASSERT_LE(level, 16);
    above_zero += level > 0;
  }
  // P(level >= 1) = P(r < 1/16); the bounds are about ten standard deviations.
  EXPECT_GT(above_zero, kDraws / 16 - 450);
  EXPECT_LT(above_zero, kDraws / 16 + 450);
}

TEST(HnswLevels, MOneSaturatesToMaxLevel) {
  ScopedEnv a("DOROVOZU_LEVEL_SCALE", nullptr), b("DOROVOZU_LEVEL_SCALE_MULT", nullptr),
      c("DOROVOZU_MAX_LEVEL_CAP", nullptr), d("DOROVOZU_MAX_LEVEL", nullptr);
  const h::HNSWIndex one(DistanceMetric::Cosine, 1, 10, 5, 2);
  EXPECT_TRUE(std::isinf(one.level_scale()));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(one.sample_level(), 5);
  // m = 0: the scale is -0, so every level is 0.
  const h::HNSWIndex zero(DistanceMetric::Cosine, 0, 10, 5, 2);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(zero.sample_level(), 0);
  // The largest storable level is reachable.
  ScopedEnv cap("DOROVOZU_MAX_LEVEL_CAP", "255");
  const h::HNSWIndex top(DistanceMetric::Cosine, 1, 10, 5, 2);
  EXPECT_EQ(top.sample_level(), 255);
}

TEST(HnswAlloc, NodesGetDenseIndicesAndSelfLists) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 10, 4, 2);
  const std::vector<float> a{1, 2}, b{3, 4}, c{5, 6};
  EXPECT_EQ(index.allocate_node(500, a, 0), std::optional<h::NodeIdx>(0));
  EXPECT_EQ(index.allocate_node(7, b, 2), std::optional<h::NodeIdx>(1));
  EXPECT_EQ(index.allocate_node(7, c, 1), std::nullopt);  // duplicate id
  EXPECT_EQ(index.allocate_node(std::numeric_limits<uint64_t>::max(), c, 1),
            std::optional<h::NodeIdx>(2));
  EXPECT_EQ(index.len(), 3u);
  EXPECT_EQ(index.idx_of(7), std::optional<h::NodeIdx>(1));
  EXPECT_EQ(index.idx_of(8), std::nullopt);
  EXPECT_TRUE(index.contains(500));
  EXPECT_EQ(index.point_id(2), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(index.level_of(1), 2);
  EXPECT_EQ(index.state_of(1), h::kStateAllocated);
  const auto vb = index.get_vector(7);
  ASSERT_TRUE(vb.has_value());
  EXPECT_EQ(std::vector<float>(vb->begin(), vb->end()), b);
  EXPECT_FALSE(index.get_vector(8).has_value());
  EXPECT_FALSE(index.get_vector_by_idx(3).has_value());

  EXPECT_EQ(list_of(index, 0, 1), std::vector<h::NodeIdx>{1});
  EXPECT_EQ(list_of(index, 2, 1), std::vector<h::NodeIdx>{1});
  EXPECT_TRUE(list_of(index, 3, 1).empty());  // above its level: empty
  EXPECT_TRUE(list_of(index, 1, 0).empty());
  std::vector<h::NodeIdx> out{9};
  EXPECT_FALSE(index.copy_neighbors(5, 0, out));  // no such layer
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(index.copy_neighbors(0, 3, out));  // no such node
  EXPECT_EQ(index.l0_scores_len(), 3u);
}

TEST(HnswAlloc, ListsAboveANodesLevelCanBeCreatedWithoutLosingLowerOnes) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 10, 6, 2);
  const std::vector<float> v{0, 0};
  index.allocate_node(1, v, 2);
  index.allocate_node(2, v, 0);
  const std::vector<h::NodeIdx> l2{0, 1};
  index.set_neighbors(2, 0, l2);
  index.set_neighbors(5, 0, std::vector<h::NodeIdx>{1});
  index.set_neighbors(3, 1, std::vector<h::NodeIdx>{0});
  EXPECT_EQ(list_of(index, 1, 0), std::vector<h::NodeIdx>{0});
  EXPECT_EQ(list_of(index, 2, 0), l2);
  EXPECT_EQ(list_of(index, 5, 0), std::vector<h::NodeIdx>{1});
  EXPECT_TRUE(list_of(index, 4, 0).empty());
  EXPECT_EQ(list_of(index, 3, 1), std::vector<h::NodeIdx>{0});
  const auto view = index.adjacency_view();
  ASSERT_NE(view.list(5, 0), nullptr);
  ASSERT_NE(view.list(6, 0), nullptr);  // the re-homed block spans every layer
  EXPECT_TRUE(view.list(6, 0)->empty());
  EXPECT_EQ(view.list(7, 0), nullptr);
  EXPECT_EQ(view.list(0, 2), nullptr);
  EXPECT_EQ(index.ensure_neighbor_list(7, 0), nullptr);
}

TEST(HnswAlloc, IdTableSurvivesGrowthWithAwkwardIds) {
  h::HNSWIndex index(DistanceMetric::Dot, 4, 10, 0, 1);
  std::vector<uint64_t> ids;
  std::mt19937_64 rng(5);
  for (uint64_t i = 0; i < 3000; ++i) ids.push_back(i % 3 == 0 ? i : rng());
  ids.push_back(0xFFFFFFFFull);
  ids.push_back(std::numeric_limits<uint64_t>::max());
  const std::vector<float> v{1};
  for (size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(index.allocate_node(ids[i], v, 0), std::optional<h::NodeIdx>(i));
  }
  for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(index.idx_of(ids[i]), std::optional<h::NodeIdx>(i));
  EXPECT_FALSE(index.contains(1));  // 1 % 3 != 0, so only present if rng drew it
}

TEST(HnswDelete, EntryPointMovesToTheHighestRemainingNode) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 10, 4, 2);
  const std::vector<float> v{0, 0};
  index.allocate_node(10, v, 3);
  index.allocate_node(11, v, 1);
  index.allocate_node(12, v, 1);
  index.store_entry_point_word(h::make_entry_word(0, 3));

  index.mark_deleted(999);  // unknown: ignored
  EXPECT_EQ(index.deleted_count(), 0u);

  index.mark_deleted(10);
  // Equal levels: the later node wins.
  EXPECT_EQ(index.entry_point_word(), h::make_entry_word(2, 1));
  EXPECT_EQ(index.deleted_count(), 1u);
  EXPECT_EQ(index.state_of(0), h::kStateDeleted);
  EXPECT_TRUE(index.is_deleted(0));
  EXPECT_FALSE(index.get_vector(10).has_value());
  EXPECT_FALSE(index.get_vector_by_idx(0).has_value());
  EXPECT_TRUE(index.contains(10));
  EXPECT_EQ(index.len(), 3u);

  index.mark_deleted(10);  // twice counts once
  EXPECT_EQ(index.deleted_count(), 1u);

  index.mark_deleted(11);  // not the entry: entry unchanged
  EXPECT_EQ(index.entry_point_word(), h::make_entry_word(2, 1));
  index.mark_deleted(12);
  EXPECT_EQ(index.entry_point_word(), 0x00000000FFFFFFFFull);
  EXPECT_EQ(index.deleted_count(), 3u);
  EXPECT_FALSE(index.find_highest_level_entry_point().has_value());
}

TEST(HnswNodeList, InsertAndAssignKeepOrder) {
  h::NeighborList list;
  EXPECT_TRUE(list.empty());
  list.insert(0, 5);
  list.insert(1, 9);
  list.insert(1, 7);
  list.insert(0, 1);
  EXPECT_EQ(std::vector<h::NodeIdx>(list.begin(), list.end()), (std::vector<h::NodeIdx>{1, 5, 7, 9}));
  const std::vector<h::NodeIdx> two{3, 4};
  list.assign(two);
  EXPECT_EQ(std::vector<h::NodeIdx>(list.begin(), list.end()), two);
  list.clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(sizeof(h::NeighborList), 16u);

  // Growth and shrinking through the in-place paths keep every element.
  std::vector<h::NodeIdx> want;
  for (h::NodeIdx i = 0; i < 100; ++i) {
    const size_t pos = (i * 7) % (want.size() + 1);
    list.insert(pos, i);
    want.insert(want.begin() + static_cast<std::ptrdiff_t>(pos), i);
    ASSERT_EQ(std::vector<h::NodeIdx>(list.begin(), list.end()), want);
  }
  for (size_t n : {99u, 60u, 33u, 34u, 1u, 0u, 40u}) {
    const std::vector<h::NodeIdx> head(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(n));
    list.assign(head);
    ASSERT_EQ(std::vector<h::NodeIdx>(list.begin(), list.end()), head);
  }
  // Assigning a list its own contents is a no-op.
  const std::vector<h::NodeIdx> before(list.begin(), list.end());
  list.assign(list.items());
  EXPECT_EQ(std::vector<h::NodeIdx>(list.begin(), list.end()), before);
}

// A list with inline room keeps short contents right behind its header,
// moves to the heap when it outgrows the room and back once it fits again,
// and never frees the room (ASan reports a bad free or a leak otherwise).
TEST(HnswNodeList, InlineRoomSpillsToTheHeapAndBack) {
  constexpr size_t kRoom = 4;
  alignas(16) unsigned char record[sizeof(h::NeighborList) + kRoom * sizeof(h::NodeIdx)];
  auto* list = new (record) h::NeighborList();
  list->init_inline(kRoom);
  const auto* room = reinterpret_cast<const h::NodeIdx*>(record + sizeof(h::NeighborList));
  const auto contents = [&] { return std::vector<h::NodeIdx>(list->begin(), list->end()); };

  EXPECT_TRUE(list->empty());
  std::vector<h::NodeIdx> want;
  for (h::NodeIdx i = 0; i < 9; ++i) {
    const size_t pos = (i * 3) % (want.size() + 1);
    list->insert(pos, i);
    want.insert(want.begin() + static_cast<std::ptrdiff_t>(pos), i);
    ASSERT_EQ(contents(), want);
    EXPECT_EQ(list->data() == room, want.size() <= kRoom) << want.size();
  }
  // Back into the room from the heap, from the list's own items.
  list->assign(std::span<const h::NodeIdx>(list->data() + 2, 3));
  EXPECT_EQ(list->data(), room);
  EXPECT_EQ(contents(), std::vector<h::NodeIdx>(want.begin() + 2, want.begin() + 5));
  list->assign(std::span<const h::NodeIdx>(list->data() + 1, 2));  // overlapping, in the room
  EXPECT_EQ(contents(), std::vector<h::NodeIdx>(want.begin() + 3, want.begin() + 5));
  list->assign(want);
  EXPECT_NE(list->data(), room);
  EXPECT_EQ(contents(), want);
  list->clear();
  EXPECT_TRUE(list->empty());
  list->push_back(42);
  EXPECT_EQ(list->data(), room);
  EXPECT_EQ(contents(), std::vector<h::NodeIdx>{42});
  list->assign(want);
  list->~NodeList();  // frees the heap block it holds at this point
}

TEST(HnswNodeListDeathTest, ListsLongerThanTheLimitAbort) {
  h::NeighborList list;
  const std::vector<h::NodeIdx> huge(h::NeighborList::kMaxSize + 1, 1);
  EXPECT_DEATH(list.assign(huge), "exceed the limit");
}

}  // namespace
