#include "vector/hnsw/distance.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DistanceMetric;

using Kernel = float (*)(const float*, const float*, size_t);

struct NamedKernel {
  const char* name;
  Kernel fn;
  bool is_l2;
  bool available;
};

std::vector<NamedKernel> all_kernels() {
  return {
      {"dot_scalar", h::dot_scalar, false, true},
      {"l2_scalar", h::l2_scalar, true, true},
      {"dot_avx2", h::dot_avx2, false, h::has_avx2()},
      {"l2_avx2", h::l2_avx2, true, h::has_avx2()},
      {"dot_avx2_fma", h::dot_avx2_fma, false, h::has_avx2_fma()},
      {"l2_avx2_fma", h::l2_avx2_fma, true, h::has_avx2_fma()},
      // Same order as the AVX2+FMA kernels, so the same model.
      {"dot_avx512_fma", h::dot_avx512_fma, false, h::has_avx512_fma()},
      {"l2_avx512_fma", h::l2_avx512_fma, true, h::has_avx512_fma()},
  };
}

std::vector<float> random_vector(std::mt19937& rng, size_t n) {
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = dist(rng);
  return v;
}

float term(bool is_l2, float a, float b) {
  if (!is_l2) return a * b;
  const float d = a - b;
  return d * d;
}

// Independent models of each kernel's summation order, in scalar f32 with
// std::fma standing in for the fused lanes; the kernels must match them bit
// for bit.
float model_scalar(bool is_l2, const float* a, const float* b, size_t n) {
  float acc = -0.0f;
  for (size_t i = 0; i < n; ++i) acc += term(is_l2, a[i], b[i]);
  return acc;
}

float model_reduce(const float x[8]) {
  const float s0 = x[0] + x[4], s1 = x[1] + x[5], s2 = x[2] + x[6], s3 = x[3] + x[7];
  return (s0 + s1) + (s2 + s3);
}

float model_avx2(bool is_l2, const float* a, const float* b, size_t n) {
  float acc[8] = {};
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int l = 0; l < 8; ++l) acc[l] += term(is_l2, a[i + l], b[i + l]);
  }
  float sum = model_reduce(acc);
  for (; i < n; ++i) sum += term(is_l2, a[i], b[i]);
  return sum;
}

float fused(bool is_l2, float a, float b, float acc) {
  if (!is_l2) return std::fma(a, b, acc);
  const float d = a - b;
  return std::fma(d, d, acc);
}

float model_avx2_fma(bool is_l2, const float* a, const float* b, size_t n) {
  float acc[4][8] = {};
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int j = 0; j < 4; ++j) {
      for (int l = 0; l < 8; ++l) {
        const size_t k = i + 8 * j + l;
        acc[j][l] = fused(is_l2, a[k], b[k], acc[j][l]);
      }
    }
  }
  for (int l = 0; l < 8; ++l) acc[2][l] = acc[2][l] + acc[3][l];
  for (; i + 8 <= n; i += 8) {
    for (int l = 0; l < 8; ++l) acc[0][l] = fused(is_l2, a[i + l], b[i + l], acc[0][l]);
  }
  float total[8];
  for (int l = 0; l < 8; ++l) total[l] = acc[2][l] + (acc[1][l] + acc[0][l]);
  float sum = model_reduce(total);
  for (; i < n; ++i) sum += term(is_l2, a[i], b[i]);
  return sum;
}

float model_of(const NamedKernel& k, const float* a, const float* b, size_t n) {
  const std::string name = k.name;
  if (name.find("fma") != std::string::npos) return model_avx2_fma(k.is_l2, a, b, n);
  if (name.find("avx2") != std::string::npos) return model_avx2(k.is_l2, a, b, n);
  return model_scalar(k.is_l2, a, b, n);
}

const size_t kSizes[] = {0, 1, 7, 8, 9, 15, 16, 31, 32, 33, 39, 40, 63, 64, 65, 96, 128, 1000};

TEST(DistanceKernels, FollowTheirSummationOrderBitForBit) {
  std::mt19937 rng(7);
  for (const auto& k : all_kernels()) {
    if (!k.available) continue;
    for (size_t n : kSizes) {
      const auto a = random_vector(rng, n);
      const auto b = random_vector(rng, n);
      const float got = k.fn(a.data(), b.data(), n);
      const float want = model_of(k, a.data(), b.data(), n);
      EXPECT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want))
          << k.name << " n=" << n << " got " << got << " want " << want;
    }
  }
}

// Insertion takes a cached score of (a, b) for the score of (b, a).
TEST(DistanceKernels, SwappedInputsGiveTheSameBits) {
  std::mt19937 rng(13);
  for (const auto& k : all_kernels()) {
    if (!k.available) continue;
    for (size_t n : {1, 7, 33, 100, 384, 784}) {
      const auto a = random_vector(rng, n);
      const auto b = random_vector(rng, n);
      EXPECT_EQ(std::bit_cast<uint32_t>(k.fn(a.data(), b.data(), n)),
                std::bit_cast<uint32_t>(k.fn(b.data(), a.data(), n)))
          << k.name << " n=" << n;
    }
  }
}

TEST(DistanceKernels, AgreeWithTheScalarLoopOnUnalignedInputs) {
  std::mt19937 rng(11);
  for (const auto& k : all_kernels()) {
    if (!k.available) continue;
    for (size_t n : {0, 1, 7, 8, 31, 32, 33, 128, 1000}) {
      for (size_t offset_a : {0, 1, 3}) {
        // Backing stores one float longer so the views start off 32-byte lines.
        auto store_a = random_vector(rng, n + 4);
        auto store_b = random_vector(rng, n + 4);
        const float* a = store_a.data() + offset_a;
        const float* b = store_b.data() + (offset_a + 1) % 4;
        const float got = k.fn(a, b, n);
        const float want = model_scalar(k.is_l2, a, b, n);
        double magnitude = 0.0;
        for (size_t i = 0; i < n; ++i) magnitude += std::fabs(term(k.is_l2, a[i], b[i]));
        const double bound = 2.0 * static_cast<double>(n) * std::numeric_limits<float>::epsilon() *
                             magnitude;
        EXPECT_LE(std::fabs(static_cast<double>(got) - want), bound)
            << k.name << " n=" << n << " offset=" << offset_a;
      }
    }
  }
}

TEST(DistanceKernels, ScalarLoopOfNothingIsNegativeZero) {
  const float x = 1.0f;
  EXPECT_TRUE(std::signbit(h::dot_scalar(&x, &x, 0)));
  EXPECT_TRUE(std::signbit(h::l2_scalar(&x, &x, 0)));
  EXPECT_EQ(h::dot_scalar(&x, &x, 0), 0.0f);
}

TEST(DistanceKernels, ScalarLoopKeepsMultiplyAndAddSeparate) {
  // The second product is 1 − 2^-46 exactly; rounded to f32 it is 1, so the
  // sum is 0. A fused multiply-add onto the running −1 would give −2^-46.
  const float e = std::ldexp(1.0f, -23);
  const float a[2] = {1.0f, 1.0f + e};
  const float b[2] = {-1.0f, 1.0f - e};
  EXPECT_EQ(h::dot_scalar(a, b, 2), 0.0f);
  if (h::has_avx2()) {
    EXPECT_EQ(h::dot_avx2(a, b, 2), 0.0f);
  }
  if (h::has_avx2_fma()) {
    EXPECT_EQ(h::dot_avx2_fma(a, b, 2), 0.0f);
  }
}

// Places n floats so that the last one ends exactly at a page that is not
// readable: a kernel reading one element too far faults.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t n) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    const size_t bytes = n * sizeof(float);
    data_pages_ = (bytes + page_ - 1) / page_ + 1;
    base_ = mmap(nullptr, (data_pages_ + 1) * page_, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(base_, MAP_FAILED);
    mprotect(static_cast<char*>(base_) + data_pages_ * page_, page_, PROT_NONE);
    data_ = reinterpret_cast<float*>(static_cast<char*>(base_) + data_pages_ * page_ - bytes);
  }
  ~GuardedBuffer() { munmap(base_, (data_pages_ + 1) * page_); }
  float* data() { return data_; }

 private:
  size_t page_;
  size_t data_pages_ = 0;
  void* base_ = nullptr;
  float* data_ = nullptr;
};

TEST(DistanceKernels, NeverReadPastTheInputs) {
  std::mt19937 rng(3);
  for (size_t n : {1, 7, 8, 31, 33, 100}) {
    GuardedBuffer ga(n), gb(n);
    const auto va = random_vector(rng, n), vb = random_vector(rng, n);
    std::memcpy(ga.data(), va.data(), n * sizeof(float));
    std::memcpy(gb.data(), vb.data(), n * sizeof(float));
    for (const auto& k : all_kernels()) {
      if (!k.available) continue;
      EXPECT_EQ(k.fn(ga.data(), gb.data(), n), k.fn(va.data(), vb.data(), n)) << k.name;
    }
  }
}

TEST(DistanceDispatch, FeatureWordIsCachedAndConsistent) {
  const uint32_t word = h::cpu_features();
  EXPECT_NE(word & h::kCpuDetected, 0u);
  EXPECT_EQ(h::cpu_features(), word);
  __builtin_cpu_init();
  EXPECT_EQ(h::has_avx2(), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(h::has_avx2_fma(),
            __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0);
  EXPECT_EQ(h::has_avx512_fma(),
            h::has_avx2_fma() && __builtin_cpu_supports("avx512f") != 0);
}

TEST(DistanceDispatch, PicksTheBestAvailableKernel) {
  std::mt19937 rng(5);
  const auto a = random_vector(rng, 77), b = random_vector(rng, 77);
  Kernel dot = h::dot_scalar, l2 = h::l2_scalar;
  if (h::has_avx512_fma()) {
    dot = h::dot_avx512_fma;
    l2 = h::l2_avx512_fma;
  } else if (h::has_avx2_fma()) {
    dot = h::dot_avx2_fma;
    l2 = h::l2_avx2_fma;
  } else if (h::has_avx2()) {
    dot = h::dot_avx2;
    l2 = h::l2_avx2;
  }
  EXPECT_EQ(h::dot_product(a, b), dot(a.data(), b.data(), 77));
  EXPECT_EQ(h::l2_squared(a, b), l2(a.data(), b.data(), 77));
  EXPECT_EQ(h::fast_score(DistanceMetric::Dot, a, b), dot(a.data(), b.data(), 77));
  EXPECT_EQ(h::fast_score(DistanceMetric::Euclidean, a, b), l2(a.data(), b.data(), 77));
  EXPECT_EQ(h::fast_score_n(DistanceMetric::Euclidean, a.data(), b.data(), 77),
            l2(a.data(), b.data(), 77));
}

TEST(DistanceDispatch, ScoresOverTheShorterLength) {
  const std::vector<float> a = {1, 2, 3, 100};
  const std::vector<float> b = {4, 5, 6};
  EXPECT_EQ(h::dot_product(a, b), 32.0f);
  EXPECT_EQ(h::dot_product(b, a), 32.0f);
  EXPECT_EQ(h::l2_squared(a, b), 27.0f);
  EXPECT_EQ(h::fast_score(DistanceMetric::Dot, a, std::span<const float>()), 0.0f);
}

TEST(FastScore, MetricScores) {
  const std::vector<float> zero = {0, 0}, three_four = {3, 4};
  EXPECT_EQ(h::fast_score(DistanceMetric::Euclidean, zero, three_four), 25.0f);
  const std::vector<float> a = {1, 2}, b = {3, 4};
  const float dot = h::fast_score(DistanceMetric::Dot, a, b);
  EXPECT_EQ(dot, 11.0f);
  EXPECT_EQ(h::sort_key_of(DistanceMetric::Dot, dot), -11.0f);
  EXPECT_EQ(h::sort_key_of(DistanceMetric::Euclidean, 25.0f), 25.0f);
  EXPECT_EQ(h::sort_key_of(DistanceMetric::Cosine, 0.5f), 0.5f);
}

TEST(FastScore, CosineIsOneMinusClampedDot) {
  const auto unit = h::maybe_normalize(DistanceMetric::Cosine, std::vector<float>{1, 2, 3, 4});
  std::vector<float> neg(unit);
  for (auto& x : neg) x = -x;
  EXPECT_NEAR(h::fast_score(DistanceMetric::Cosine, unit, unit), 0.0f, 1e-6f);
  EXPECT_NEAR(h::fast_score(DistanceMetric::Cosine, unit, neg), 2.0f, 1e-6f);
  // Dot products just outside [−1, 1] are clamped to the exact ends.
  const std::vector<float> big = {1.0000001f};
  const std::vector<float> minus_big = {-1.0000001f};
  EXPECT_GT(h::dot_product(big, big), 1.0f);
  EXPECT_EQ(h::fast_score(DistanceMetric::Cosine, big, big), 0.0f);
  EXPECT_EQ(h::fast_score(DistanceMetric::Cosine, big, minus_big), 2.0f);
  const std::vector<float> nan = {std::numeric_limits<float>::quiet_NaN()};
  EXPECT_TRUE(std::isnan(h::fast_score(DistanceMetric::Cosine, nan, big)));
}

TEST(FastScore, DotSortKeyFlipsTheSignBit) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(std::isnan(h::sort_key_of(DistanceMetric::Dot, nan)));
  EXPECT_FALSE(std::signbit(h::sort_key_of(DistanceMetric::Dot, -0.0f)));
  EXPECT_TRUE(std::signbit(h::sort_key_of(DistanceMetric::Dot, 0.0f)));
  EXPECT_EQ(h::sort_key_of(DistanceMetric::Dot, -std::numeric_limits<float>::infinity()),
            std::numeric_limits<float>::infinity());
}

TEST(MaybeNormalize, UnitLengthUnderCosineOnly) {
  EXPECT_EQ(h::maybe_normalize(DistanceMetric::Cosine, std::vector<float>{3, 4}),
            (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(h::maybe_normalize(DistanceMetric::Cosine, std::vector<float>{0, 0}),
            (std::vector<float>{0, 0}));
  EXPECT_TRUE(h::maybe_normalize(DistanceMetric::Cosine, std::vector<float>{}).empty());
  const std::vector<float> v = {3, 4, -7.5f};
  EXPECT_EQ(h::maybe_normalize(DistanceMetric::Euclidean, v), v);
  EXPECT_EQ(h::maybe_normalize(DistanceMetric::Dot, v), v);
}

TEST(MaybeNormalize, AccumulatesInDoublePrecision) {
  // Squares of 3e20 overflow f32 but not f64.
  EXPECT_EQ(h::maybe_normalize(DistanceMetric::Cosine, std::vector<float>{3e20f, 4e20f}),
            (std::vector<float>{0.6f, 0.8f}));
  // Squares of 3e-30 underflow f32 to zero, which would leave the vector as is.
  EXPECT_EQ(h::maybe_normalize(DistanceMetric::Cosine, std::vector<float>{3e-30f, 4e-30f}),
            (std::vector<float>{0.6f, 0.8f}));
  const auto nan = h::maybe_normalize(
      DistanceMetric::Cosine, std::vector<float>{1.0f, std::numeric_limits<float>::quiet_NaN()});
  EXPECT_TRUE(std::isnan(nan[0]) && std::isnan(nan[1]));
}

}  // namespace
