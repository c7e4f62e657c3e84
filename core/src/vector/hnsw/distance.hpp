// Float32 similarity kernels, their selection by processor features, the
// per-metric raw score and its sort key, and cosine normalisation.
//
// Every kernel works on the first n = min(len a, len b) elements and reads
// nothing beyond them. Summation orders are fixed per kernel so that a score
// is reproducible on one machine; different kernels may differ in the last
// bits.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "utils/types.hpp"

namespace dovadure::vector::hnsw {

// Bit masks within the cached feature word.
inline constexpr uint32_t kCpuAvx2 = 1u << 0;
inline constexpr uint32_t kCpuFma = 1u << 1;
inline constexpr uint32_t kCpuAvx512 = 1u << 2;
// Set once detection has run, so that a machine with neither feature still
// caches a non-zero word.
inline constexpr uint32_t kCpuDetected = 1u << 31;

namespace detail {
// Zero until the first detection.
extern std::atomic<uint32_t> g_cpu_features;
uint32_t detect_cpu_features();
}  // namespace detail

// The process-wide feature word; detection runs on first use only. The AVX2
// and FMA bits are set only when the operating system also saves the YMM
// state, the AVX-512 bit only when it saves the ZMM state.
inline uint32_t cpu_features() {
  const uint32_t word = detail::g_cpu_features.load(std::memory_order_relaxed);
  return word != 0 ? word : detail::detect_cpu_features();
}
inline bool has_avx2() { return (cpu_features() & kCpuAvx2) != 0; }
inline bool has_avx2_fma() {
  return (cpu_features() & (kCpuAvx2 | kCpuFma)) == (kCpuAvx2 | kCpuFma);
}
inline bool has_avx512_fma() {
  constexpr uint32_t kAll = kCpuAvx2 | kCpuFma | kCpuAvx512;
  return (cpu_features() & kAll) == kAll;
}

// Portable loops: one accumulator starting at -0.0, index order, separate
// multiply and add. n = 0 gives -0.0.
float dot_scalar(const float* a, const float* b, size_t n);
float l2_scalar(const float* a, const float* b, size_t n);

// Vector kernels (distance_avx2.cpp). Call only when the matching feature
// bits are set. Unaligned inputs are fine.
float dot_avx2(const float* a, const float* b, size_t n);
float dot_avx2_fma(const float* a, const float* b, size_t n);
float l2_avx2(const float* a, const float* b, size_t n);
float l2_avx2_fma(const float* a, const float* b, size_t n);

// The AVX2+FMA kernels' sums computed with 16-lane registers
// (distance_avx512.cpp): the same bits, fewer instructions. Call only when
// has_avx512_fma().
float dot_avx512_fma(const float* a, const float* b, size_t n);
float l2_avx512_fma(const float* a, const float* b, size_t n);

using FloatKernel = float (*)(const float*, const float*, size_t);

// The best kernel the cached word allows; callers that score many pairs pick
// it once.
inline FloatKernel dot_kernel() {
  if (has_avx512_fma()) return dot_avx512_fma;
  if (has_avx2_fma()) return dot_avx2_fma;
  return has_avx2() ? dot_avx2 : dot_scalar;
}
inline FloatKernel l2_kernel() {
  if (has_avx512_fma()) return l2_avx512_fma;
  if (has_avx2_fma()) return l2_avx2_fma;
  return has_avx2() ? l2_avx2 : l2_scalar;
}

// Pointer + length dispatchers.
inline float dot_n(const float* a, const float* b, size_t n) { return dot_kernel()(a, b, n); }
inline float l2_n(const float* a, const float* b, size_t n) { return l2_kernel()(a, b, n); }

// Σ a[i]·b[i] and Σ (a[i] − b[i])² over n = min of the two lengths.
float dot_product(std::span<const float> a, std::span<const float> b);
float l2_squared(std::span<const float> a, std::span<const float> b);

// Raw score under the metric: cosine distance 1 − clamp(dot, −1, 1) (both
// inputs already unit length), the plain dot product, or the squared
// Euclidean distance (no root).
float fast_score(utils::DistanceMetric metric, std::span<const float> a,
                 std::span<const float> b);

// Twin of fast_score for hot loops; both vectors hold n floats.
inline float fast_score_n(utils::DistanceMetric metric, const float* a, const float* b,
                          size_t n) {
  switch (metric) {
    case utils::DistanceMetric::Euclidean:
      return l2_n(a, b, n);
    case utils::DistanceMetric::Dot:
      return dot_n(a, b, n);
    case utils::DistanceMetric::Cosine:
      break;
  }
  float d = dot_n(a, b, n);
  // Comparisons are false for NaN, which therefore passes through.
  if (d > 1.0f) {
    d = 1.0f;
  } else if (d < -1.0f) {
    d = -1.0f;
  }
  return 1.0f - d;
}

// Smaller is better under every metric: Dot scores are negated by flipping
// the sign bit, so a NaN stays a NaN.
inline float sort_key_of(utils::DistanceMetric metric, float score) {
  if (metric != utils::DistanceMetric::Dot) return score;
  return std::bit_cast<float>(std::bit_cast<uint32_t>(score) ^ 0x80000000u);
}

// Under Cosine a unit-length copy of v (squares summed in f64; a zero vector
// stays zero); under the other metrics an unchanged copy.
std::vector<float> maybe_normalize(utils::DistanceMetric metric, std::span<const float> v);

}  // namespace dovadure::vector::hnsw
