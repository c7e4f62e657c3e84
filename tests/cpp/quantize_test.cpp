// SQ8 codes of the index and the query forms that meet them.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/quantize.hpp"
#include "vector/hnsw/sq8.hpp"

namespace dovadure::vector::hnsw {
namespace {

using utils::DistanceMetric;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kMaxF32 = 3.4028235e38f;

// Live nodes with ids 1, 2, ... holding the given rows.
std::unique_ptr<HNSWIndex> make(DistanceMetric metric, const std::vector<std::vector<float>>& rows) {
  auto index = std::make_unique<HNSWIndex>(metric, 4, 16, 0, rows[0].size());
  uint64_t id = 1;
  for (const auto& r : rows) {
    const auto idx = index->allocate_node(id++, r, 0);
    EXPECT_TRUE(idx.has_value());
    index->set_state(*idx, kStateLive);
  }
  return index;
}

TEST(QuantizeAllTest, CosineCodesRoundHalfAwayAfterClamping) {
  HNSWIndex index(DistanceMetric::Cosine, 4, 16, 0, 6);
  const std::vector<float> v{1.0f, -1.0f, 0.0f, 0.5f, kNaN, -3.0f};
  ASSERT_TRUE(index.allocate_node(1, v, 0).has_value());
  index.mark_deleted(1);  // deleted nodes get codes too under Cosine
  index.quantize_all();
  // 255.5 clamps to 255; 0.5 rounds away to 1; 0.5 × 127.5 + 128 = 191.75.
  EXPECT_EQ(index.codes(), (std::vector<uint8_t>{255, 1, 128, 192, 0, 0}));
  EXPECT_TRUE(index.mins().empty());
  EXPECT_TRUE(index.scales().empty());
  EXPECT_TRUE(index.code_square_sums().empty());  // the cosine walk has no use for them
}

TEST(QuantizeAllTest, AffineCodesUseLiveRangesPerDimension) {
  // Dimension 0 spans 0..255 (step 1), dimension 1 is constant over live
  // nodes (step 1, codes 0), dimension 2 spans −1..1.
  const auto index = make(DistanceMetric::Euclidean, {{0.0f, 7.0f, -1.0f},
                                                {2.5f, 7.0f, 1.0f},
                                                {255.0f, 7.0f, 0.0f},
                                                {900.0f, -50.0f, 5.0f}});
  index->mark_deleted(4);  // outside every range; still quantised
  index->quantize_all();
  EXPECT_EQ(index->mins(), (std::vector<float>{0.0f, 7.0f, -1.0f}));
  const float s2 = 2.0f / 255.0f;
  EXPECT_EQ(index->scales(), (std::vector<float>{1.0f, 1.0f, s2}));
  const auto& c = index->codes();
  ASSERT_EQ(c.size(), 12u);
  EXPECT_EQ((std::vector<uint8_t>(c.begin(), c.begin() + 9)),
            (std::vector<uint8_t>{0, 0, 0, 3, 0, 255, 255, 0, 127}));
  // 2.5 rounds away to 3 above; 1 / (2/255) is 127.49999 in f32, so 127.
  // The deleted node clamps into the byte range.
  EXPECT_EQ((std::vector<uint8_t>(c.begin() + 9, c.end())), (std::vector<uint8_t>{255, 0, 255}));
  // Σ c² per row, the deleted node's included.
  EXPECT_EQ(index->code_square_sums(),
            (std::vector<int64_t>{0, 9 + 65025, 65025 + 127 * 127, 2 * 65025}));
}

TEST(QuantizeAllTest, NanElementsLeaveRangesAloneAndCodeToZero) {
  const auto index = make(DistanceMetric::Dot, {{1.0f}, {kNaN}, {3.0f}});
  index->quantize_all();
  EXPECT_EQ(index->mins(), (std::vector<float>{1.0f}));
  EXPECT_EQ(index->scales(), (std::vector<float>{2.0f / 255.0f}));
  EXPECT_EQ(index->codes(), (std::vector<uint8_t>{0, 0, 255}));
}

TEST(QuantizeAllTest, AllDeletedKeepsSentinelMinsAndUnitScales) {
  const auto index = make(DistanceMetric::Euclidean, {{1.0f, 2.0f}, {3.0f, 4.0f}});
  index->mark_deleted(1);
  index->mark_deleted(2);
  index->quantize_all();
  EXPECT_EQ(index->mins(), (std::vector<float>{kMaxF32, kMaxF32}));
  EXPECT_EQ(index->scales(), (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(index->codes(), (std::vector<uint8_t>(4, 0)));
}

TEST(QuantizeAllTest, EmptyIndexStaysUnquantised) {
  HNSWIndex index(DistanceMetric::Euclidean, 4, 16, 0, 3);
  index.quantize_all();
  EXPECT_FALSE(index.has_codes());
  EXPECT_TRUE(index.mins().empty());
}

TEST(QuantizeAllTest, RerunReplacesCodesForTheGrownIndex) {
  const auto index = make(DistanceMetric::Cosine, {{0.0f, 1.0f}});
  index->quantize_all();
  ASSERT_EQ(index->codes().size(), 2u);
  ASSERT_TRUE(index->allocate_node(9, std::vector<float>{1.0f, 0.0f}, 0).has_value());
  index->quantize_all();
  EXPECT_EQ(index->codes(), (std::vector<uint8_t>{128, 255, 255, 128}));
}

TEST(QuantizeAllTest, SquareSumsFollowEveryRerunAndSpanWholeRows) {
  // 300 dimensions: a row's sum passes what 16 bits could hold many times.
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> value(-3.0f, 3.0f);
  std::vector<std::vector<float>> rows(5, std::vector<float>(300));
  for (auto& r : rows) {
    for (auto& x : r) x = value(rng);
  }
  rows[1].assign(300, 3.0f);  // all codes at the top of the range
  const auto index = make(DistanceMetric::Euclidean, rows);
  const auto expect_sums_match_codes = [&](size_t n) {
    const auto& codes = index->codes();
    const auto& sums = index->code_square_sums();
    ASSERT_EQ(codes.size(), n * 300);
    ASSERT_EQ(sums.size(), n);
    for (size_t i = 0; i < n; ++i) {
      int64_t want = 0;
      for (size_t d = 0; d < 300; ++d) want += int64_t{codes[i * 300 + d]} * codes[i * 300 + d];
      EXPECT_EQ(sums[i], want) << i;
    }
  };
  index->quantize_all();
  expect_sums_match_codes(5);
  // Every dimension of row 1 holds its range's maximum, so every code is 255.
  EXPECT_EQ(index->code_square_sums()[1], int64_t{300} * 65025);

  // A node added later has neither codes nor a sum until the next run, which
  // also moves the ranges and with them every earlier row's sum.
  const std::vector<int64_t> before = index->code_square_sums();
  ASSERT_TRUE(index->allocate_node(99, std::vector<float>(300, -9.0f), 0).has_value());
  EXPECT_EQ(index->code_square_sums(), before);
  index->quantize_all();
  expect_sums_match_codes(6);
  EXPECT_EQ(index->code_square_sums()[5], 0);  // the new minimum everywhere
  const auto& after = index->code_square_sums();
  EXPECT_NE(std::vector<int64_t>(after.begin(), after.begin() + 5), before);
}

// Large indexes are quantised on two threads, each half of the rows with
// ranges of its own. The codes, ranges and square sums must be those of one
// pass over all rows: here the extremes of dimension 0 lie in the upper
// half and those of dimension 1 in the lower, and a deleted row in each half
// lies outside every range.
class QuantizeHalvesTest : public ::testing::TestWithParam<DistanceMetric> {};

TEST_P(QuantizeHalvesTest, TwoThreadPassEqualsOneRowAtATime) {
  const DistanceMetric metric = GetParam();
  constexpr size_t kRows = 20000;
  constexpr size_t kDim = 5;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::vector<std::vector<float>> rows(kRows, std::vector<float>(kDim));
  for (auto& r : rows) {
    for (float& x : r) x = unit(rng);
  }
  rows[kRows - 10][0] = -9.0f;
  rows[kRows - 20][0] = 6.0f;
  rows[3][1] = 8.0f;
  rows[5][1] = -4.0f;
  rows[100] = std::vector<float>(kDim, 1000.0f);
  rows[kRows - 100] = std::vector<float>(kDim, -1000.0f);
  const auto index = make(metric, rows);
  index->mark_deleted(101);
  index->mark_deleted(kRows - 99);
  index->quantize_all();

  std::vector<uint8_t> want(kRows * kDim);
  std::vector<int64_t> sums(kRows);
  std::vector<float> mins(kDim, kMaxF32), maxs(kDim, -kMaxF32), scales(kDim);
  if (metric == DistanceMetric::Cosine) {
    for (size_t i = 0; i < kRows; ++i) sq8_encode_cosine_scalar(rows[i].data(), &want[i * kDim], kDim);
  } else {
    for (size_t i = 0; i < kRows; ++i) {
      if (i != 100 && i != kRows - 100) sq8_min_max_scalar(rows[i].data(), mins.data(), maxs.data(), kDim);
    }
    for (size_t d = 0; d < kDim; ++d) scales[d] = (maxs[d] - mins[d]) / 255.0f;
    for (size_t i = 0; i < kRows; ++i) {
      sums[i] = sq8_encode_affine_scalar(rows[i].data(), mins.data(), scales.data(), &want[i * kDim], kDim);
    }
    EXPECT_EQ(mins[0], -9.0f);
    EXPECT_EQ(maxs[1], 8.0f);
    EXPECT_EQ(index->mins(), mins);
    EXPECT_EQ(index->scales(), scales);
    EXPECT_EQ(index->code_square_sums(), sums);
  }
  EXPECT_EQ(index->codes(), want);
}

INSTANTIATE_TEST_SUITE_P(Metrics, QuantizeHalvesTest,
                         ::testing::Values(DistanceMetric::Euclidean, DistanceMetric::Cosine));

TEST(QueryQuantizeTest, ScreeningFormClampsBeforeRounding) {
  HNSWIndex index(DistanceMetric::Cosine, 4, 16, 0, 6);
  const std::vector<float> q{1.0f, -1.0f, 0.004f, 0.0f, kNaN, -0.0039f};
  EXPECT_EQ(index.quantize_query_i8(q), (std::vector<int8_t>{127, -128, 1, 0, 0, 0}));
  std::vector<int16_t> wide;
  quantize_query_cosine_wide(q, wide);
  EXPECT_EQ(wide, (std::vector<int16_t>{127, -128, 1, 0, 0, 0}));
  // Any length: the index dimension is not consulted.
  EXPECT_EQ(index.quantize_query_i8(std::vector<float>{0.5f}), (std::vector<int8_t>{64}));
}

TEST(QueryQuantizeTest, AffineFormUsesUnitStepBeyondTheRanges) {
  const std::vector<float> mins{-1.0f};
  const std::vector<float> scales{0.5f};
  std::vector<int16_t> out;
  quantize_query(std::vector<float>{0.0f, 300.0f, -5.0f, 2.5f}, mins, scales, out);
  // (0 − (−1)) / 0.5 = 2; then minimum 0 and step 1: 300 → 255, −5 → 0, 2.5 → 3.
  EXPECT_EQ(out, (std::vector<int16_t>{2, 255, 0, 3}));
}

TEST(ScreenDotTest, ScalarAndVectorFormsAgree) {
  const int8_t q[2] = {1, -1};
  const uint8_t c[2] = {129, 127};
  EXPECT_EQ(screen_dot_scalar(q, c, 2), 2);
  std::mt19937 rng(1);
  for (size_t n : {0u, 1u, 7u, 8u, 31u, 32u, 33u, 100u, 1536u}) {
    std::vector<int8_t> qs(n);
    std::vector<uint8_t> cs(n);
    for (size_t i = 0; i < n; ++i) {
      qs[i] = static_cast<int8_t>(rng());
      cs[i] = static_cast<uint8_t>(rng());
    }
    if (n > 2) {  // extremes: |(0 − 128) × −128| = 16384
      qs[0] = -128;
      cs[0] = 0;
    }
    int64_t expect = 0;
    for (size_t i = 0; i < n; ++i) expect += (int64_t{cs[i]} - 128) * qs[i];
    EXPECT_EQ(screen_dot_scalar(qs.data(), cs.data(), n), expect) << n;
    EXPECT_EQ(screen_dot(qs.data(), cs.data(), n), expect) << n;
    if (has_avx2()) {
      EXPECT_EQ(screen_dot_avx2(qs.data(), cs.data(), n), expect) << n;
    }
  }
}

}  // namespace
}  // namespace dovadure::vector::hnsw
