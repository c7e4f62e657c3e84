// AVX2 integer kernels. Codes and queries are widened to 16 bits and paired
// with vpmaddwd, whose pair sums are exact for every input these kernels
// accept (one factor is a code, |code| <= 255). Lanes accumulate in 32 bits
// for a bounded block and are then folded into 64-bit totals, so the result
// equals the scalar loop's for any n.
#include <immintrin.h>

#include <algorithm>

#include "vector/hnsw/sq8.hpp"
#include "vector/hnsw/sq8_internal.hpp"

namespace dovadure::vector::hnsw {

namespace {

__attribute__((target("avx2"))) inline __m256i fold_into_i64(__m256i total, __m256i acc32) {
  total = _mm256_add_epi64(total, _mm256_cvtepi32_epi64(_mm256_castsi256_si128(acc32)));
  return _mm256_add_epi64(total, _mm256_cvtepi32_epi64(_mm256_extracti128_si256(acc32, 1)));
}

__attribute__((target("avx2"))) inline int64_t sum_i64(__m256i total) {
  alignas(32) int64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), total);
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// Per 32-element step a lane gains at most 4 × 128 × 128 from the i8 query;
// this block size keeps lanes far below 2^31.
constexpr size_t kI8BlockSteps = 256;

// A block of the 16-bit kernels sums at most 256 products of magnitude
// 32768 × 255 (raw codes) or 32768 × 128 (centred ones): 2 139 095 040 at
// most, below 2^31. So every lane, every sum of lanes and the block's total
// are exact in 32 bits, and only block totals need 64.
constexpr size_t kI16Block = 256;

__attribute__((target("avx2"))) inline int32_t sum_i32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return _mm_cvtsi128_si32(s);
}

// Sixteen codes widened to 16 bits, shifted down by 128 when centred.
template <bool kCentered>
__attribute__((target("avx2"))) inline __m256i widen_codes(const uint8_t* codes) {
  const __m256i c = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(codes)));
  return kCentered ? _mm256_sub_epi16(c, _mm256_set1_epi16(128)) : c;
}

template <bool kCentered>
__attribute__((target("avx2"))) inline __m256i madd16(const int16_t* q, const uint8_t* codes) {
  const __m256i qv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
  return _mm256_madd_epi16(qv, widen_codes<kCentered>(codes));
}

// Four accumulators over 64 elements a step keep the multiply-adds
// independent of each other; a block's sum then goes into the 64-bit total.
template <bool kCentered>
__attribute__((target("avx2"))) inline int32_t dot_i16_avx2(const int16_t* q,
                                                            const uint8_t* codes, size_t n) {
  int64_t total = 0;
  size_t i = 0;
  while (i + 16 <= n) {
    const size_t block_end = std::min(n, i + kI16Block);
    __m256i a0 = _mm256_setzero_si256();
    __m256i a1 = _mm256_setzero_si256();
    __m256i a2 = _mm256_setzero_si256();
    __m256i a3 = _mm256_setzero_si256();
    for (; i + 64 <= block_end; i += 64) {
      a0 = _mm256_add_epi32(a0, madd16<kCentered>(q + i, codes + i));
      a1 = _mm256_add_epi32(a1, madd16<kCentered>(q + i + 16, codes + i + 16));
      a2 = _mm256_add_epi32(a2, madd16<kCentered>(q + i + 32, codes + i + 32));
      a3 = _mm256_add_epi32(a3, madd16<kCentered>(q + i + 48, codes + i + 48));
    }
    for (; i + 16 <= block_end; i += 16) {
      a0 = _mm256_add_epi32(a0, madd16<kCentered>(q + i, codes + i));
    }
    a0 = _mm256_add_epi32(_mm256_add_epi32(a0, a1), _mm256_add_epi32(a2, a3));
    total += sum_i32(a0);
  }
  for (; i < n; ++i) {
    total += static_cast<int64_t>(q[i]) * (static_cast<int32_t>(codes[i]) - (kCentered ? 128 : 0));
  }
  return sq8_detail::saturate_i32(total);
}

}  // namespace

__attribute__((target("avx2"))) int32_t screen_dot_avx2(const int8_t* q, const uint8_t* codes,
                                                        size_t n) {
  const __m256i offset = _mm256_set1_epi16(128);
  __m256i total = _mm256_setzero_si256();
  size_t i = 0;
  while (i + 32 <= n) {
    __m256i acc = _mm256_setzero_si256();
    for (size_t step = 0; step < kI8BlockSteps && i + 32 <= n; ++step, i += 32) {
      const __m128i c8lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
      const __m128i c8hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i + 16));
      const __m128i q8lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i));
      const __m128i q8hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + i + 16));
      const __m256i c_lo = _mm256_sub_epi16(_mm256_cvtepu8_epi16(c8lo), offset);
      const __m256i c_hi = _mm256_sub_epi16(_mm256_cvtepu8_epi16(c8hi), offset);
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_cvtepi8_epi16(q8lo), c_lo));
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_cvtepi8_epi16(q8hi), c_hi));
    }
    total = fold_into_i64(total, acc);
  }
  int64_t sum = sum_i64(total);
  for (; i < n; ++i) sum += static_cast<int64_t>(static_cast<int32_t>(codes[i]) - 128) * q[i];
  return sq8_detail::saturate_i32(sum);
}

__attribute__((target("avx2"))) int32_t sq8_dot_i16_centered_avx2(const int16_t* q,
                                                                  const uint8_t* codes, size_t n) {
  return dot_i16_avx2<true>(q, codes, n);
}

__attribute__((target("avx2"))) int32_t sq8_dot_i16_raw_avx2(const int16_t* q,
                                                             const uint8_t* codes, size_t n) {
  return dot_i16_avx2<false>(q, codes, n);
}

}  // namespace dovadure::vector::hnsw
