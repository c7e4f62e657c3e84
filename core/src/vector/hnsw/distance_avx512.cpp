// AVX-512 forms of the AVX2+FMA float kernels, bit for bit the same results.
//
// The AVX2+FMA kernels keep four 8-lane accumulators A0..A3 and add the
// 32-element block k's parts j = 0..3 into Aj. Here a 16-lane register holds
// two of them side by side (Z0 = A0|A1, Z1 = A2|A3): every lane still sees
// the same fused multiply-adds in the same order, so the sums are the same,
// with half the loads and FMAs. The tail and the final combination are the
// AVX2 kernel's own.
#include <immintrin.h>

#include "vector/hnsw/distance.hpp"

namespace dovadure::vector::hnsw {

namespace {

#define DOVADURE_AVX512 __attribute__((target("avx512f,avx2,fma")))

// Lanes x0..x7: s = (x0+x4, x1+x5, x2+x6, x3+x7), then (s0+s1) + (s2+s3).
DOVADURE_AVX512 inline float reduce8(__m256 x) {
  const __m128 s = _mm_add_ps(_mm256_castps256_ps128(x), _mm256_extractf128_ps(x, 1));
  const __m128 s01 = _mm_add_ss(s, _mm_shuffle_ps(s, s, _MM_SHUFFLE(1, 1, 1, 1)));
  const __m128 s2 = _mm_shuffle_ps(s, s, _MM_SHUFFLE(2, 2, 2, 2));
  const __m128 s3 = _mm_shuffle_ps(s, s, _MM_SHUFFLE(3, 3, 3, 3));
  const __m128 s23 = _mm_add_ss(s2, s3);
  return _mm_cvtss_f32(_mm_add_ss(s01, s23));
}

// The halves through the zero-masking extract with every lane kept: g++ 12's
// plain extract and cast read an undefined register and trip
// -Wuninitialized.
template <int kHalf>
DOVADURE_AVX512 inline __m256 half(__m512 z) {
  return _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xFF, _mm512_castps_pd(z), kHalf));
}
DOVADURE_AVX512 inline __m256 low_half(__m512 z) { return half<0>(z); }
DOVADURE_AVX512 inline __m256 high_half(__m512 z) { return half<1>(z); }

}  // namespace

DOVADURE_AVX512 float dot_avx512_fma(const float* a, const float* b, size_t n) {
  __m512 z0 = _mm512_setzero_ps();
  __m512 z1 = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    z0 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i), z0);
    z1 = _mm512_fmadd_ps(_mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16), z1);
  }
  __m256 a0 = low_half(z0);
  const __m256 a1 = high_half(z0);
  const __m256 a2 = _mm256_add_ps(low_half(z1), high_half(z1));
  for (; i + 8 <= n; i += 8) {
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), a0);
  }
  float sum = reduce8(_mm256_add_ps(a2, _mm256_add_ps(a1, a0)));
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

DOVADURE_AVX512 float l2_avx512_fma(const float* a, const float* b, size_t n) {
  __m512 z0 = _mm512_setzero_ps();
  __m512 z1 = _mm512_setzero_ps();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m512 d0 = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
    const __m512 d1 = _mm512_sub_ps(_mm512_loadu_ps(a + i + 16), _mm512_loadu_ps(b + i + 16));
    z0 = _mm512_fmadd_ps(d0, d0, z0);
    z1 = _mm512_fmadd_ps(d1, d1, z1);
  }
  __m256 a0 = low_half(z0);
  const __m256 a1 = high_half(z0);
  const __m256 a2 = _mm256_add_ps(low_half(z1), high_half(z1));
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

#undef DOVADURE_AVX512

}  // namespace dovadure::vector::hnsw
