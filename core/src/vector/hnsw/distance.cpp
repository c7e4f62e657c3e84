#include "vector/hnsw/distance.hpp"

#include <algorithm>
#include <cmath>

namespace dovadure::vector::hnsw {

namespace detail {

std::atomic<uint32_t> g_cpu_features{0};

uint32_t detect_cpu_features() {
  // libgcc's probe checks OSXSAVE and XCR0 before reporting AVX-class
  // features, so a set bit also means the kernel saves YMM (and, for
  // AVX-512, ZMM) registers.
  __builtin_cpu_init();
  uint32_t word = kCpuDetected;
  if (__builtin_cpu_supports("avx2")) word |= kCpuAvx2;
  if (__builtin_cpu_supports("fma")) word |= kCpuFma;
  if (__builtin_cpu_supports("avx512f")) word |= kCpuAvx512;
  // Racing first callers compute the same word; storing it twice is harmless.
  g_cpu_features.store(word, std::memory_order_relaxed);
  return word;
}

}  // namespace detail

// The compiler may vectorise these loops only by reordering the additions,
// which strict IEEE semantics forbid; -ffp-contract=off keeps the multiply
// and the add separate. The four-way unroll keeps index order.
float dot_scalar(const float* a, const float* b, size_t n) {
  float acc = -0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    acc += a[i] * b[i];
    acc += a[i + 1] * b[i + 1];
    acc += a[i + 2] * b[i + 2];
    acc += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) acc += a[i] * b[i];
  return acc;
}

float l2_scalar(const float* a, const float* b, size_t n) {
  float acc = -0.0f;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const float d0 = a[i] - b[i];
    const float d1 = a[i + 1] - b[i + 1];
    const float d2 = a[i + 2] - b[i + 2];
    const float d3 = a[i + 3] - b[i + 3];
    acc += d0 * d0;
    acc += d1 * d1;
    acc += d2 * d2;
    acc += d3 * d3;
  }
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    acc += d * d;
  }
  return acc;
}

float dot_product(std::span<const float> a, std::span<const float> b) {
  return dot_n(a.data(), b.data(), std::min(a.size(), b.size()));
}

float l2_squared(std::span<const float> a, std::span<const float> b) {
  return l2_n(a.data(), b.data(), std::min(a.size(), b.size()));
}

float fast_score(utils::DistanceMetric metric, std::span<const float> a,
                 std::span<const float> b) {
  return fast_score_n(metric, a.data(), b.data(), std::min(a.size(), b.size()));
}

std::vector<float> maybe_normalize(utils::DistanceMetric metric, std::span<const float> v) {
  std::vector<float> out(v.begin(), v.end());
  if (metric != utils::DistanceMetric::Cosine || v.empty()) return out;
  double sum = -0.0;
  for (const float x : v) {
    const double w = static_cast<double>(x);
    sum += w * w;
  }
  // A zero vector has no direction and stays zero; a NaN sum is not zero and
  // spreads NaN, as any other arithmetic on it would.
  if (sum == 0.0) return out;
  const double inv = 1.0 / std::sqrt(sum);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<float>(static_cast<double>(v[i]) * inv);
  }
  return out;
}

}  // namespace dovadure::vector::hnsw
