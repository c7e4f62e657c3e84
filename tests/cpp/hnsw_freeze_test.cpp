// A frozen index: same answers as before freezing, from any number of
// threads, and no way to change it afterwards.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "hnsw_test_util.hpp"
#include "vector/hnsw/core.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DistanceMetric;
using dovadure::utils::ScoredPoint;

std::unique_ptr<h::HNSWIndex> build(DistanceMetric metric, size_t n, size_t dim) {
  auto index = std::make_unique<h::HNSWIndex>(metric, 8, 64, 16, dim);
  const auto data = hnsw_test::random_vectors(n, dim, 7);
  for (size_t i = 0; i < n; ++i) EXPECT_TRUE(index->insert(i + 1, data[i]).ok());
  return index;
}

std::vector<std::vector<ScoredPoint>> search_all(const h::HNSWIndex& index,
                                                 const std::vector<std::vector<float>>& queries,
                                                 const h::SearchOptions& options) {
  std::vector<std::vector<ScoredPoint>> out;
  for (const auto& q : queries) {
    auto found = index.search_with_options(q, 10, options);
    EXPECT_TRUE(found.ok());
    out.push_back(found.ok() ? found.value() : std::vector<ScoredPoint>{});
  }
  return out;
}

void expect_same(const std::vector<std::vector<ScoredPoint>>& a,
                 const std::vector<std::vector<ScoredPoint>>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].size(), b[i].size()) << "query " << i;
    for (size_t j = 0; j < a[i].size(); ++j) {
      EXPECT_EQ(a[i][j].id, b[i][j].id) << "query " << i << " rank " << j;
      EXPECT_EQ(a[i][j].score, b[i][j].score) << "query " << i << " rank " << j;
    }
  }
}

// Float path, triangle skip (score lists), SQ8 screen and SQ8 walk all read
// frozen lists; every one must answer exactly as before the freeze.
TEST(HnswFreeze, AnswersAreUnchangedOnEveryPath) {
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
    auto index = build(metric, 600, 16);
    index->quantize_all();
    const auto queries = hnsw_test::random_vectors(40, 16, 99);
    std::vector<h::SearchOptions> variants(4);
    variants[0].ef = 32;
    variants[1].ef = 32;
    variants[1].ti_skip = h::Tristate::True;
    variants[2].ef = 32;
    variants[2].sq8_screen = h::Tristate::True;
    variants[3].ef = 48;
    variants[3].num_entry_seeds = 3;
    std::vector<std::vector<std::vector<ScoredPoint>>> before;
    for (const auto& o : variants) before.push_back(search_all(*index, queries, o));
    EXPECT_FALSE(index->frozen());
    index->freeze();
    EXPECT_TRUE(index->frozen());
    for (size_t v = 0; v < variants.size(); ++v) {
      SCOPED_TRACE(v);
      expect_same(before[v], search_all(*index, queries, variants[v]));
    }
  }
}

// With deleted nodes present the searches of a frozen index must still
// check states.
TEST(HnswFreeze, DeletedNodesStayOut) {
  auto index = build(DistanceMetric::Euclidean, 500, 8);
  for (uint64_t id = 3; id <= 500; id += 7) index->mark_deleted(id);
  const auto queries = hnsw_test::random_vectors(30, 8, 5);
  h::SearchOptions options;
  options.ef = 40;
  const auto before = search_all(*index, queries, options);
  index->freeze();
  EXPECT_FALSE(index->all_live());
  const auto after = search_all(*index, queries, options);
  expect_same(before, after);
  for (const auto& hits : after) {
    for (const auto& hit : hits) EXPECT_NE((hit.id - 3) % 7, 0u) << hit.id;
  }

  auto clean = build(DistanceMetric::Euclidean, 50, 8);
  clean->freeze();
  EXPECT_TRUE(clean->all_live());
}

TEST(HnswFreeze, ConcurrentSearchesAgreeWithSerialOnes) {
  auto index = build(DistanceMetric::Cosine, 800, 12);
  index->freeze();
  const auto queries = hnsw_test::random_vectors(60, 12, 5);
  h::SearchOptions options;
  options.ef = 40;
  const auto serial = search_all(*index, queries, options);
  std::vector<std::vector<std::vector<ScoredPoint>>> got(2);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] { got[t] = search_all(*index, queries, options); });
  }
  for (auto& t : threads) t.join();
  expect_same(serial, got[0]);
  expect_same(serial, got[1]);
}

TEST(HnswFreezeDeathTest, ChangingAFrozenIndexAborts) {
  auto index = build(DistanceMetric::Euclidean, 50, 4);
  index->freeze();
  const std::vector<float> v{1.0f, 2.0f, 3.0f, 4.0f};
  EXPECT_DEATH((void)index->insert(1000, v), "attempt to change a frozen HNSW index");
  EXPECT_DEATH(index->set_neighbors(0, 3, std::vector<h::NodeIdx>{3, 4}),
               "attempt to change a frozen HNSW index");
  EXPECT_DEATH(index->mark_deleted(10), "attempt to change a frozen HNSW index");
  // Reads stay available.
  EXPECT_TRUE(index->contains(10));
  std::vector<h::NodeIdx> list;
  EXPECT_TRUE(index->copy_neighbors(0, 3, list));
  EXPECT_FALSE(list.empty());
}

}  // namespace
