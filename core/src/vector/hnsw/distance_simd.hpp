// Pieces shared by the AVX2+FMA kernels and their AVX-512 forms, which must
// end their sums the same way to give the same bits.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace dovadure::vector::hnsw::simd {

// Lanes x0..x7: s = (x0+x4, x1+x5, x2+x6, x3+x7), then (s0+s1) + (s2+s3).
__attribute__((target("avx2"))) inline float reduce8(__m256 x) {
  const __m128 s = _mm_add_ps(_mm256_castps256_ps128(x), _mm256_extractf128_ps(x, 1));
  const __m128 s01 = _mm_add_ss(s, _mm_shuffle_ps(s, s, _MM_SHUFFLE(1, 1, 1, 1)));
  const __m128 s2 = _mm_shuffle_ps(s, s, _MM_SHUFFLE(2, 2, 2, 2));
  const __m128 s3 = _mm_shuffle_ps(s, s, _MM_SHUFFLE(3, 3, 3, 3));
  const __m128 s23 = _mm_add_ss(s2, s3);
  return _mm_cvtss_f32(_mm_add_ss(s01, s23));
}

// The end of an FMA kernel from element i on, with A2 already holding
// A2 + A3: whole blocks of 8 go into A0, A2 + (A1 + A0) is reduced, and the
// last elements are added one by one with a separate multiply and add.
template <bool kL2>
__attribute__((target("avx2,fma"))) inline float finish_fma(const float* a, const float* b,
                                                            size_t i, size_t n, __m256 a0,
                                                            __m256 a1, __m256 a2) {
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(a + i);
    const __m256 y = _mm256_loadu_ps(b + i);
    if constexpr (kL2) {
      const __m256 d = _mm256_sub_ps(x, y);
      a0 = _mm256_fmadd_ps(d, d, a0);
    } else {
      a0 = _mm256_fmadd_ps(x, y, a0);
    }
  }
  float sum = reduce8(_mm256_add_ps(a2, _mm256_add_ps(a1, a0)));
  for (; i < n; ++i) {
    if constexpr (kL2) {
      const float d = a[i] - b[i];
      sum += d * d;
    } else {
      sum += a[i] * b[i];
    }
  }
  return sum;
}

}  // namespace dovadure::vector::hnsw::simd
