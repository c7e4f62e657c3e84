// AVX2 Adler-32: 64 bytes per step. The low sum is a plain byte sum
// (_mm256_sad_epu8 against zero); the high sum weights each byte by how many
// positions remain to the end of the step (64 down to 1, _mm256_maddubs_epi16)
// and adds 64 times the low sum as it stood before each step.
#include <immintrin.h>

#include "utils/adler32.hpp"

namespace dovadure::utils::detail {

namespace {

constexpr size_t kStep = 64;
// Whole steps only, and no more bytes than the scalar kernel takes between
// reductions, so the same no-overflow bound holds: with both sums reduced at
// the start, b stays below 2^32 after kAdlerMaxRun bytes of 255.
constexpr size_t kBlock = (kAdlerMaxRun / kStep) * kStep;
static_assert(kBlock > 0 && kBlock <= kAdlerMaxRun);

__attribute__((target("avx2"))) uint32_t horizontal_sum(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
}

}  // namespace

__attribute__((target("avx2"))) void adler32_update_avx2(uint32_t& a_io, uint32_t& b_io,
                                                         const uint8_t* p, size_t n) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i ones = _mm256_set1_epi16(1);
  // A pair of adjacent products is at most 255 * (64 + 63) = 32385, so the
  // signed 16-bit sums of maddubs never saturate.
  const __m256i weights_first = _mm256_setr_epi8(64, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53,
                                                 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
                                                 40, 39, 38, 37, 36, 35, 34, 33);
  const __m256i weights_second = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21,
                                                  20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9,
                                                  8, 7, 6, 5, 4, 3, 2, 1);
  uint32_t a = a_io;
  uint32_t b = b_io;
  while (n >= kStep) {
    const size_t block = (n < kBlock ? n : kBlock) & ~(kStep - 1);
    n -= block;
    // The starting low sum is added into b once per byte of the block.
    b += a * static_cast<uint32_t>(block);
    __m256i low = zero;          // byte sums, in the even 32-bit lanes
    __m256i high = zero;         // position-weighted byte sums
    __m256i low_before = zero;   // sum of `low` as it stood before each step
    for (size_t steps = block / kStep; steps > 0; --steps) {
      const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
      p += kStep;
      low_before = _mm256_add_epi32(low_before, low);
      low = _mm256_add_epi32(
          low, _mm256_add_epi32(_mm256_sad_epu8(first, zero), _mm256_sad_epu8(second, zero)));
      const __m256i weighted =
          _mm256_add_epi32(_mm256_madd_epi16(_mm256_maddubs_epi16(first, weights_first), ones),
                           _mm256_madd_epi16(_mm256_maddubs_epi16(second, weights_second), ones));
      high = _mm256_add_epi32(high, weighted);
    }
    high = _mm256_add_epi32(high, _mm256_slli_epi32(low_before, 6));
    a += horizontal_sum(low);
    b += horizontal_sum(high);
    a %= kAdlerModulus;
    b %= kAdlerModulus;
  }
  if (n > 0) adler32_update_scalar(a, b, p, n);
  a_io = a;
  b_io = b;
}

}  // namespace dovadure::utils::detail
