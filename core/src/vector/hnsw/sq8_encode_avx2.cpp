// AVX2 forms of the stored-code encoders. Every step is the scalar one in
// eight lanes: IEEE subtraction, multiplication, addition and division give
// the same floats, ordered comparisons let NaN through as the scalar clamp
// does, and rounding is truncation plus a comparison of the dropped fraction.
#include <immintrin.h>

#include "vector/hnsw/quantize.hpp"
#include "vector/hnsw/sq8.hpp"

namespace dovadure::vector::hnsw {

namespace {

// Clamps v into [0, 255] (NaN stays), rounds halves up and gives NaN 0.
__attribute__((target("avx2"))) inline __m256i round_code(__m256 v) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 top = _mm256_set1_ps(255.0f);
  v = _mm256_blendv_ps(v, zero, _mm256_cmp_ps(v, zero, _CMP_LT_OQ));
  v = _mm256_blendv_ps(v, top, _mm256_cmp_ps(v, top, _CMP_GT_OQ));
  __m256i t = _mm256_cvttps_epi32(v);
  const __m256 frac = _mm256_sub_ps(v, _mm256_cvtepi32_ps(t));
  // The mask is all ones (-1) where the fraction reaches one half.
  t = _mm256_sub_epi32(t, _mm256_castps_si256(_mm256_cmp_ps(frac, _mm256_set1_ps(0.5f), _CMP_GE_OQ)));
  return _mm256_and_si256(t, _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_ORD_Q)));
}

__attribute__((target("avx2"))) inline __m256i affine_code(const float* x, const float* mins,
                                                           const float* scales, size_t at) {
  const __m256 v = _mm256_sub_ps(_mm256_loadu_ps(x + at), _mm256_loadu_ps(mins + at));
  return round_code(_mm256_div_ps(v, _mm256_loadu_ps(scales + at)));
}

__attribute__((target("avx2"))) inline __m256i cosine_code(const float* x, size_t at) {
  // Two roundings, as the scalar form (never contracted into one).
  const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(x + at), _mm256_set1_ps(127.5f));
  return round_code(_mm256_add_ps(v, _mm256_set1_ps(128.0f)));
}

// 32 codes (four vectors of eight, each 0..255) to bytes in order.
__attribute__((target("avx2"))) inline void store_codes(uint8_t* out, __m256i a, __m256i b,
                                                        __m256i c, __m256i d) {
  const __m256i words = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_packus_epi32(c, d));
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(words, order));
}

__attribute__((target("avx2"))) inline int64_t sum_squares(const uint8_t* codes, size_t n) {
  // 16 codes per step: pair sums of squares stay below 2^17, a lane gains
  // at most 2^17 per step, and rows are folded into 64 bits per block.
  int64_t total = 0;
  size_t i = 0;
  while (i + 16 <= n) {
    __m256i acc = _mm256_setzero_si256();
    for (size_t steps = 0; steps < 4096 && i + 16 <= n; ++steps, i += 16) {
      const __m256i w = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i)));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(w, w));
    }
    alignas(32) int32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
    for (int32_t lane : lanes) total += lane;
  }
  for (; i < n; ++i) total += int64_t{codes[i]} * codes[i];
  return total;
}

}  // namespace

__attribute__((target("avx2"))) void sq8_min_max_avx2(const float* x, float* mins, float* maxs,
                                                       size_t n) {
  size_t d = 0;
  for (; d + 8 <= n; d += 8) {
    const __m256 v = _mm256_loadu_ps(x + d);
    // minps(a, b) is a < b ? a : b, the scalar update exactly; so is maxps.
    _mm256_storeu_ps(mins + d, _mm256_min_ps(v, _mm256_loadu_ps(mins + d)));
    _mm256_storeu_ps(maxs + d, _mm256_max_ps(v, _mm256_loadu_ps(maxs + d)));
  }
  sq8_min_max_scalar(x + d, mins + d, maxs + d, n - d);
}

__attribute__((target("avx2"))) int64_t sq8_encode_affine_avx2(const float* x, const float* mins,
                                                               const float* scales, uint8_t* out,
                                                               size_t n) {
  size_t d = 0;
  for (; d + 32 <= n; d += 32) {
    store_codes(out + d, affine_code(x, mins, scales, d), affine_code(x, mins, scales, d + 8),
                affine_code(x, mins, scales, d + 16), affine_code(x, mins, scales, d + 24));
  }
  for (; d < n; ++d) out[d] = sq8_code_affine(x[d], mins[d], scales[d]);
  return sum_squares(out, n);
}

__attribute__((target("avx2"))) void sq8_encode_cosine_avx2(const float* x, uint8_t* out, size_t n) {
  size_t d = 0;
  for (; d + 32 <= n; d += 32) {
    store_codes(out + d, cosine_code(x, d), cosine_code(x, d + 8), cosine_code(x, d + 16),
                cosine_code(x, d + 24));
  }
  for (; d < n; ++d) out[d] = sq8_code_cosine(x[d]);
}

}  // namespace dovadure::vector::hnsw
