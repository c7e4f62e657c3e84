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
#include "vector/hnsw/distance_simd.hpp"

namespace dovadure::vector::hnsw {

namespace {

#define DOVADURE_AVX512 __attribute__((target("avx512f,avx2,fma")))

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
  return simd::finish_fma<false>(a, b, i, n, low_half(z0), high_half(z0),
                                 _mm256_add_ps(low_half(z1), high_half(z1)));
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
  return simd::finish_fma<true>(a, b, i, n, low_half(z0), high_half(z0),
                                _mm256_add_ps(low_half(z1), high_half(z1)));
}

#undef DOVADURE_AVX512

}  // namespace dovadure::vector::hnsw
