// AVX2 and AVX2+FMA float kernels. Each function carries its own target
// attribute so the library stays baseline x86-64; callers pick one at run
// time from the cached feature word.
#include <immintrin.h>

#include "vector/hnsw/distance.hpp"

namespace dovadure::vector::hnsw {

namespace {

// Lanes x0..x7: s = (x0+x4, x1+x5, x2+x6, x3+x7), then (s0+s1) + (s2+s3).
__attribute__((target("avx2"))) inline float reduce8(__m256 x) {
  const __m128 s = _mm_add_ps(_mm256_castps256_ps128(x), _mm256_extractf128_ps(x, 1));
  const __m128 s01 = _mm_add_ss(s, _mm_shuffle_ps(s, s, _MM_SHUFFLE(1, 1, 1, 1)));
  const __m128 s2 = _mm_shuffle_ps(s, s, _MM_SHUFFLE(2, 2, 2, 2));
  const __m128 s3 = _mm_shuffle_ps(s, s, _MM_SHUFFLE(3, 3, 3, 3));
  const __m128 s23 = _mm_add_ss(s2, s3);
  return _mm_cvtss_f32(_mm_add_ss(s01, s23));
}

}  // namespace

__attribute__((target("avx2"))) float dot_avx2(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    acc = _mm256_add_ps(acc, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  }
  float sum = reduce8(acc);
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

__attribute__((target("avx2"))) float l2_avx2(const float* a, const float* b, size_t n) {
  __m256 acc = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(d, d));
  }
  float sum = reduce8(acc);
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

// Four independent accumulators hide the FMA latency; the combination order
// A2 + A3, then A2 + (A1 + A0) is part of the kernel's fixed summation order.
__attribute__((target("avx2,fma"))) float dot_avx2_fma(const float* a, const float* b,
                                                         size_t n) {
  __m256 a0 = _mm256_setzero_ps();
  __m256 a1 = _mm256_setzero_ps();
  __m256 a2 = _mm256_setzero_ps();
  __m256 a3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), a0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), a1);
    a2 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16), a2);
    a3 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24), a3);
  }
  a2 = _mm256_add_ps(a2, a3);
  for (; i + 8 <= n; i += 8) {
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), a0);
  }
  float sum = reduce8(_mm256_add_ps(a2, _mm256_add_ps(a1, a0)));
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

__attribute__((target("avx2,fma"))) float l2_avx2_fma(const float* a, const float* b,
                                                        size_t n) {
  __m256 a0 = _mm256_setzero_ps();
  __m256 a1 = _mm256_setzero_ps();
  __m256 a2 = _mm256_setzero_ps();
  __m256 a3 = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256 d0 = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    const __m256 d1 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    const __m256 d2 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 16), _mm256_loadu_ps(b + i + 16));
    const __m256 d3 = _mm256_sub_ps(_mm256_loadu_ps(a + i + 24), _mm256_loadu_ps(b + i + 24));
    a0 = _mm256_fmadd_ps(d0, d0, a0);
    a1 = _mm256_fmadd_ps(d1, d1, a1);
    a2 = _mm256_fmadd_ps(d2, d2, a2);
    a3 = _mm256_fmadd_ps(d3, d3, a3);
  }
  a2 = _mm256_add_ps(a2, a3);
  for (; i + 8 <= n; i += 8) {
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    a0 = _mm256_fmadd_ps(d, d, a0);
  }
  float sum = reduce8(_mm256_add_ps(a2, _mm256_add_ps(a1, a0)));
  for (; i < n; ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

}  // namespace dovadure::vector::hnsw
