#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/quantize.hpp"
#include "vector/hnsw/sq8.hpp"

namespace {

namespace h = dovadure::vector::hnsw;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// A float q whose product q × 127.5f is exactly `target` in f32, found among
// the neighbours of target / 127.5.
float exact_preimage(float target) {
  float q = target / 127.5f;
  for (int step = 0; step < 8; ++step) {
    if (q * 127.5f == target) return q;
    q = std::nextafter(q, q * 127.5f < target ? kInf : -kInf);
  }
  ADD_FAILURE() << "no exact preimage of " << target;
  return q;
}

TEST(Sq8Quantisers, CosineCodes) {
  EXPECT_EQ(h::sq8_code_cosine(1.0f), 255);  // 255.5 clamps to 255 before rounding
  EXPECT_EQ(h::sq8_code_cosine(-1.0f), 1);   // 0.5 rounds away from zero
  EXPECT_EQ(h::sq8_code_cosine(0.0f), 128);
  EXPECT_EQ(h::sq8_code_cosine(2.0f), 255);
  EXPECT_EQ(h::sq8_code_cosine(-2.0f), 0);
  EXPECT_EQ(h::sq8_code_cosine(kInf), 255);
  EXPECT_EQ(h::sq8_code_cosine(-kInf), 0);
  EXPECT_EQ(h::sq8_code_cosine(kNaN), 0);
}

TEST(Sq8Quantisers, AffineCodes) {
  EXPECT_EQ(h::sq8_code_affine(5.0f, 5.0f, 1.0f), 0);  // constant dimension
  EXPECT_EQ(h::sq8_code_affine(2.5f, 0.0f, 1.0f), 3);
  EXPECT_EQ(h::sq8_code_affine(0.49999997f, 0.0f, 1.0f), 0);
  EXPECT_EQ(h::sq8_code_affine(254.5f, 0.0f, 1.0f), 255);
  EXPECT_EQ(h::sq8_code_affine(300.0f, 0.0f, 1.0f), 255);
  EXPECT_EQ(h::sq8_code_affine(-3.0f, 0.0f, 1.0f), 0);
  EXPECT_EQ(h::sq8_code_affine(1.0f, -1.0f, 2.0f / 255.0f), 255);
  EXPECT_EQ(h::sq8_code_affine(0.25f, -1.0f, 0.5f), 3);  // 2.5 rounds up
  EXPECT_EQ(h::sq8_code_affine(kNaN, 0.0f, 1.0f), 0);
  EXPECT_EQ(h::sq8_code_affine(1.0f, 0.0f, 0.0f), 255);  // +inf clamps
}

TEST(Sq8Quantisers, QueryElements) {
  EXPECT_EQ(h::quantize_query_i8_value(1.0f), 127);  // 127.5 clamps to 127
  EXPECT_EQ(h::quantize_query_i8_value(-1.0f), -128);
  EXPECT_EQ(h::quantize_query_i8_value(0.004f), 1);  // 0.51 rounds to 1
  EXPECT_EQ(h::quantize_query_i8_value(exact_preimage(-2.5f)), -3);
  EXPECT_EQ(h::quantize_query_i8_value(exact_preimage(2.5f)), 3);
  EXPECT_EQ(h::quantize_query_i8_value(exact_preimage(-126.5f)), -127);
  EXPECT_EQ(h::quantize_query_i8_value(kNaN), 0);
  EXPECT_EQ(h::quantize_query_i8_value(-kInf), -128);

  // The wide cosine form takes the same values.
  for (float q = -1.25f; q <= 1.25f; q += 1.0f / 1024.0f) {
    ASSERT_EQ(h::quantize_query_cosine_i16(q), h::quantize_query_i8_value(q)) << q;
  }
  EXPECT_EQ(h::quantize_query_cosine_i16(kNaN), 0);

  EXPECT_EQ(h::quantize_query_affine_i16(2.5f, 0.0f, 1.0f), 3);
  EXPECT_EQ(h::quantize_query_affine_i16(400.0f, 0.0f, 1.0f), 255);
  EXPECT_EQ(h::quantize_query_affine_i16(-400.0f, 0.0f, 1.0f), 0);
  EXPECT_EQ(h::quantize_query_affine_i16(3.0f, 1.0f, 0.5f), 4);
  EXPECT_EQ(h::quantize_query_affine_i16(kNaN, 0.0f, 1.0f), 0);
}

// Rounds half away from zero with the library, then saturates; NaN gives 0.
template <class Int>
Int round_with_libm(float v) {
  const float r = std::round(v);
  if (std::isnan(r)) return 0;
  if (r <= static_cast<float>(std::numeric_limits<Int>::min())) return std::numeric_limits<Int>::min();
  if (r >= static_cast<float>(std::numeric_limits<Int>::max())) return std::numeric_limits<Int>::max();
  return static_cast<Int>(r);
}

TEST(Sq8Quantisers, EveryFormRoundsLikeTheLibraryEverywhere) {
  // The quantisers round without libm; the reference rounds with it.
  const auto cosine_ref = [](float q) {
    return round_with_libm<int16_t>(h::detail::clamp_f32(q * 127.5f, -128.0f, 127.0f));
  };
  const auto affine_ref = [](float q, float m, float s) {
    return round_with_libm<int16_t>(h::detail::clamp_f32((q - m) / s, 0.0f, 255.0f));
  };
  const auto code_cosine_ref = [](float x) {
    return round_with_libm<uint8_t>(h::detail::clamp_f32(x * 127.5f + 128.0f, 0.0f, 255.0f));
  };
  const auto code_affine_ref = [](float x, float m, float s) {
    return round_with_libm<uint8_t>(h::detail::clamp_f32((x - m) / s, 0.0f, 255.0f));
  };
  std::vector<float> values{0.0f, -0.0f, kInf, -kInf, kNaN, 1e30f, -1e30f, 1e-30f, -1e-30f};
  // Every half in and just beyond the ranges, with its neighbours on both
  // sides: the cases where truncation plus a comparison could go wrong.
  for (int k = -130; k <= 257; ++k) {
    const float half = static_cast<float>(k) + 0.5f;
    for (float v : {half, std::nextafter(half, kInf), std::nextafter(half, -kInf),
                    static_cast<float>(k), std::nextafter(static_cast<float>(k), -kInf)}) {
      values.push_back(v);
    }
  }
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> wide(-300.0f, 300.0f);
  for (int i = 0; i < 20000; ++i) values.push_back(wide(rng));
  for (float v : values) {
    ASSERT_EQ(h::quantize_query_affine_i16(v, 0.0f, 1.0f), affine_ref(v, 0.0f, 1.0f)) << v;
    ASSERT_EQ(h::quantize_query_affine_i16(v, -3.0f, 0.7f), affine_ref(v, -3.0f, 0.7f)) << v;
    const float q = v / 127.5f;
    ASSERT_EQ(h::quantize_query_cosine_i16(q), cosine_ref(q)) << q;
    ASSERT_EQ(h::quantize_query_cosine_i16(v), cosine_ref(v)) << v;
    ASSERT_EQ(h::quantize_query_i8_value(q), static_cast<int8_t>(cosine_ref(q))) << q;
    ASSERT_EQ(h::sq8_code_affine(v, 0.0f, 1.0f), code_affine_ref(v, 0.0f, 1.0f)) << v;
    ASSERT_EQ(h::sq8_code_affine(v, -3.0f, 0.7f), code_affine_ref(v, -3.0f, 0.7f)) << v;
    ASSERT_EQ(h::sq8_code_cosine(q), code_cosine_ref(q)) << q;
    const float c = (v - 128.0f) / 127.5f;
    ASSERT_EQ(h::sq8_code_cosine(c), code_cosine_ref(c)) << c;
  }
  EXPECT_EQ(h::quantize_query_cosine_i16(exact_preimage(-2.5f)), -3);
  EXPECT_EQ(h::quantize_query_cosine_i16(exact_preimage(126.5f)), 127);
  EXPECT_EQ(h::quantize_query_affine_i16(0.49999997f, 0.0f, 1.0f), 0);
  EXPECT_EQ(h::quantize_query_affine_i16(254.5f, 0.0f, 1.0f), 255);
}

// The AVX2 encoders give the scalar codes and sums for every value the
// scalar ones meet: halves, their neighbours, out-of-range values, infinities
// and NaN, at every length around the 32-value steps.
TEST(Sq8Quantisers, VectorEncodersMatchTheScalarOnes) {
  if (!h::has_avx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> wide(-2.0f, 2.0f);
  std::vector<float> x;
  for (int k = -3; k <= 258; ++k) {
    const float half = (static_cast<float>(k) + 0.5f) * 0.01f - 1.0f;
    x.insert(x.end(), {half, std::nextafter(half, kInf), std::nextafter(half, -kInf)});
  }
  x.insert(x.end(), {kInf, -kInf, kNaN, 0.0f, -0.0f, 1e30f, -1e30f});
  for (int i = 0; i < 3000; ++i) x.push_back(wide(rng));
  // Exact halves of the code domain under minimum 0 and step 1.
  std::vector<float> halves;
  for (int k = -3; k <= 258; ++k) {
    const float half = static_cast<float>(k) + 0.5f;
    halves.insert(halves.end(), {half, std::nextafter(half, kInf), std::nextafter(half, -kInf)});
  }
  std::vector<float> zeros(halves.size(), 0.0f), ones(halves.size(), 1.0f);
  std::vector<uint8_t> ha(halves.size()), hb(halves.size());
  EXPECT_EQ(h::sq8_encode_affine_avx2(halves.data(), zeros.data(), ones.data(), ha.data(), halves.size()),
            h::sq8_encode_affine_scalar(halves.data(), zeros.data(), ones.data(), hb.data(), halves.size()));
  EXPECT_EQ(ha, hb);
  for (size_t n : {size_t{0}, size_t{7}, size_t{31}, size_t{32}, size_t{33}, size_t{95}, x.size()}) {
    std::vector<float> mins(n), scales(n), lo(n, 1.0f), hi(n, -1.0f), lo2(lo), hi2(hi);
    for (size_t d = 0; d < n; ++d) {
      mins[d] = -1.0f + 0.001f * static_cast<float>(d % 7);
      scales[d] = 0.01f * (1.0f + static_cast<float>(d % 3));
    }
    std::vector<uint8_t> a(n + 1, 7), b(n + 1, 7);
    EXPECT_EQ(h::sq8_encode_affine_avx2(x.data(), mins.data(), scales.data(), a.data(), n),
              h::sq8_encode_affine_scalar(x.data(), mins.data(), scales.data(), b.data(), n));
    EXPECT_EQ(a, b) << n;  // the byte past n untouched in both
    h::sq8_encode_cosine_avx2(x.data(), a.data(), n);
    h::sq8_encode_cosine_scalar(x.data(), b.data(), n);
    EXPECT_EQ(a, b) << n;
    h::sq8_min_max_avx2(x.data(), lo.data(), hi.data(), n);
    h::sq8_min_max_scalar(x.data(), lo2.data(), hi2.data(), n);
    if (n == 0) continue;
    EXPECT_EQ(0, std::memcmp(lo.data(), lo2.data(), n * sizeof(float))) << n;
    EXPECT_EQ(0, std::memcmp(hi.data(), hi2.data(), n * sizeof(float))) << n;
  }
}

TEST(Sq8Kernels, ScreenDotSmallExample) {
  const int8_t q[2] = {1, -1};
  const uint8_t codes[2] = {129, 127};
  EXPECT_EQ(h::screen_dot_scalar(q, codes, 2), 2);
  if (h::has_avx2()) {
    EXPECT_EQ(h::screen_dot_avx2(q, codes, 2), 2);
  }
  EXPECT_EQ(h::screen_dot(q, codes, 2), 2);
  EXPECT_EQ(h::screen_dot(q, codes, 0), 0);
}

int64_t reference_screen(const int8_t* q, const uint8_t* c, size_t n) {
  int64_t s = 0;
  for (size_t i = 0; i < n; ++i) s += (int64_t{c[i]} - 128) * q[i];
  return s;
}
int64_t reference_i16(const int16_t* q, const uint8_t* c, size_t n, int offset) {
  int64_t s = 0;
  for (size_t i = 0; i < n; ++i) s += int64_t{q[i]} * (int64_t{c[i]} - offset);
  return s;
}

const size_t kSizes[] = {0,   1,   7,   8,   15,  16,   31,   32,   33,  63,
                          64,  65,  100, 255, 256, 257, 784, 1000, 1025, 4113, 9000};

TEST(Sq8Kernels, EveryFlavourMatchesTheExactSum) {
  std::mt19937 rng(17);
  std::uniform_int_distribution<int> byte(0, 255), i8(-128, 127), i16(-32768, 32767);
  for (size_t n : kSizes) {
    for (size_t offset : {0, 1}) {
      // Odd offsets make every load unaligned.
      std::vector<uint8_t> codes(n + 1);
      std::vector<int8_t> q8(n + 1);
      std::vector<int16_t> q16(n + 1);
      for (size_t i = 0; i <= n; ++i) {
        codes[i] = static_cast<uint8_t>(byte(rng));
        q8[i] = static_cast<int8_t>(i8(rng));
        q16[i] = static_cast<int16_t>(i16(rng) / 128);  // sums stay within i32 here
      }
      const uint8_t* c = codes.data() + offset;
      const int8_t* a = q8.data() + offset;
      const int16_t* b = q16.data() + offset;
      const int64_t want8 = reference_screen(a, c, n);
      const int64_t want_centered = reference_i16(b, c, n, 128);
      const int64_t want_raw = reference_i16(b, c, n, 0);
      ASSERT_LE(std::llabs(want_raw), int64_t{INT32_MAX});
      EXPECT_EQ(h::screen_dot_scalar(a, c, n), want8) << n;
      EXPECT_EQ(h::screen_dot(a, c, n), want8) << n;
      EXPECT_EQ(h::sq8_dot_i16_centered_scalar(b, c, n), want_centered) << n;
      EXPECT_EQ(h::sq8_dot_i16_centered(b, c, n), want_centered) << n;
      EXPECT_EQ(h::sq8_dot_i16_raw_scalar(b, c, n), want_raw) << n;
      EXPECT_EQ(h::sq8_dot_i16_raw(b, c, n), want_raw) << n;
      if (h::has_avx2()) {
        EXPECT_EQ(h::screen_dot_avx2(a, c, n), want8) << n;
        EXPECT_EQ(h::sq8_dot_i16_centered_avx2(b, c, n), want_centered) << n;
        EXPECT_EQ(h::sq8_dot_i16_raw_avx2(b, c, n), want_raw) << n;
      }
    }
  }
}

TEST(Sq8Kernels, ExtremeElementsDoNotOverflowTheLanes) {
  // Largest products everywhere: 16384 per i8 term, 32768 × 255 per i16 term.
  const size_t n = 4096 + 40;
  std::vector<uint8_t> zeros(n, 0), maxed(n, 255);
  std::vector<int8_t> q8(n, -128);
  std::vector<int16_t> q16(n, -32768);
  const int32_t want8 = static_cast<int32_t>(16384 * n);
  EXPECT_EQ(h::screen_dot_scalar(q8.data(), zeros.data(), n), want8);
  EXPECT_EQ(h::screen_dot(q8.data(), zeros.data(), n), want8);

  // The halves nearly cancel: each half alone leaves the i32 range.
  for (size_t i = n / 2; i < n; ++i) q16[i] = 32767;
  const int64_t exact_raw = reference_i16(q16.data(), maxed.data(), n, 0);
  const int64_t exact_centered = reference_i16(q16.data(), zeros.data(), n, 128);
  ASSERT_LE(std::llabs(exact_raw), int64_t{INT32_MAX});
  EXPECT_EQ(h::sq8_dot_i16_raw_scalar(q16.data(), maxed.data(), n), exact_raw);
  EXPECT_EQ(h::sq8_dot_i16_raw(q16.data(), maxed.data(), n), exact_raw);
  EXPECT_EQ(h::sq8_dot_i16_centered_scalar(q16.data(), zeros.data(), n), exact_centered);
  EXPECT_EQ(h::sq8_dot_i16_centered(q16.data(), zeros.data(), n), exact_centered);
}

TEST(Sq8Kernels, SumsBeyondI32Saturate) {
  // 255 × 255 × 40000 = 2.6e9 does not fit in i32.
  const size_t n = 40000;
  std::vector<uint8_t> codes(n, 255), zeros(n, 0);
  std::vector<int16_t> q(n, 255), negq(n, -255);
  std::vector<int8_t> q8(n, -128);
  for (auto flavour : {h::sq8_dot_i16_raw_scalar, h::sq8_dot_i16_raw}) {
    EXPECT_EQ(flavour(q.data(), codes.data(), n), INT32_MAX);
    EXPECT_EQ(flavour(negq.data(), codes.data(), n), INT32_MIN);
  }
  // 16384 × 140000 = 2.3e9.
  const size_t big = 140000;
  std::vector<uint8_t> zcodes(big, 0);
  std::vector<int8_t> qbig(big, -128);
  EXPECT_EQ(h::screen_dot_scalar(qbig.data(), zcodes.data(), big), INT32_MAX);
  EXPECT_EQ(h::screen_dot(qbig.data(), zcodes.data(), big), INT32_MAX);
  if (h::has_avx2()) {
    EXPECT_EQ(h::sq8_dot_i16_raw_avx2(q.data(), codes.data(), n), INT32_MAX);
    EXPECT_EQ(h::screen_dot_avx2(qbig.data(), zcodes.data(), big), INT32_MAX);
  }
}

TEST(Sq8Kernels, KernelPickedOnceIsTheDispatchedOne) {
  const auto centered = h::sq8_dot_i16_kernel(true);
  const auto raw = h::sq8_dot_i16_kernel(false);
  if (h::has_avx2()) {
    EXPECT_EQ(centered, &h::sq8_dot_i16_centered_avx2);
    EXPECT_EQ(raw, &h::sq8_dot_i16_raw_avx2);
  } else {
    EXPECT_EQ(centered, &h::sq8_dot_i16_centered_scalar);
    EXPECT_EQ(raw, &h::sq8_dot_i16_raw_scalar);
  }
  // Full-range queries over a few blocks: each block alone nearly fills i32,
  // and the blocks' signs alternate so that the total stays inside it.
  const size_t n = 784;
  std::vector<uint8_t> codes(n);
  std::vector<int16_t> q(n);
  std::mt19937 rng(3);
  for (size_t i = 0; i < n; ++i) {
    codes[i] = static_cast<uint8_t>(i % 7 == 0 ? 0 : 255 - rng() % 3);
    q[i] = (i / 256) % 2 == 0 ? int16_t{-32768} : int16_t{32767};
  }
  EXPECT_EQ(raw(q.data(), codes.data(), n), reference_i16(q.data(), codes.data(), n, 0));
  EXPECT_EQ(centered(q.data(), codes.data(), n), reference_i16(q.data(), codes.data(), n, 128));
}

TEST(Sq8Kernels, NeverReadPastTheInputs) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  // Pages 1, 3 and 5 are unreadable; codes, the i8 query and the i16 query
  // each end right before one of them.
  void* base = mmap(nullptr, 6 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(base, MAP_FAILED);
  char* p = static_cast<char*>(base);
  for (size_t g : {1, 3, 5}) mprotect(p + g * page, page, PROT_NONE);
  for (size_t n : {1, 31, 33, 100}) {
    uint8_t* codes = reinterpret_cast<uint8_t*>(p + page - n);
    int8_t* q8 = reinterpret_cast<int8_t*>(p + 3 * page - n);
    int16_t* q16 = reinterpret_cast<int16_t*>(p + 5 * page - 2 * n);
    for (size_t i = 0; i < n; ++i) {
      codes[i] = static_cast<uint8_t>(i * 7);
      q8[i] = static_cast<int8_t>(i % 200);
      q16[i] = static_cast<int16_t>(static_cast<int>(i) - 50);
    }
    EXPECT_EQ(h::screen_dot(q8, codes, n), reference_screen(q8, codes, n));
    EXPECT_EQ(h::sq8_dot_i16_raw(q16, codes, n), reference_i16(q16, codes, n, 0));
    EXPECT_EQ(h::sq8_dot_i16_centered(q16, codes, n), reference_i16(q16, codes, n, 128));
  }
  munmap(base, 6 * page);
}

}  // namespace
