#include "utils/adler32.hpp"

#include <random>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace dovadure::utils {
namespace {

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The definition, one modulo per byte.
uint32_t reference_adler(std::span<const uint8_t> bytes) {
  uint32_t a = 1, b = 0;
  for (uint8_t x : bytes) {
    a = (a + x) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

TEST(Adler32Test, KnownValues) {
  EXPECT_EQ(adler32({}), 1u);
  EXPECT_EQ(adler32(bytes_of("a")), 0x00620062u);
  EXPECT_EQ(adler32(bytes_of("abc")), 0x024d0127u);
  EXPECT_EQ(adler32(bytes_of("Wikipedia")), 0x11E60398u);
}

TEST(Adler32Test, DeferredReductionMatchesDefinitionAtWorstCase) {
  // All-0xFF input drives both sums as high as they go between reductions,
  // including runs that end exactly on and just past the 5552-byte boundary.
  for (size_t n : {size_t{5551}, size_t{5552}, size_t{5553}, size_t{11104}, size_t{100003}}) {
    std::vector<uint8_t> ones(n, 0xFF);
    EXPECT_EQ(adler32(ones), reference_adler(ones)) << n;
  }
}

TEST(Adler32Test, IncrementalUpdatesEqualOneShot) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(40000);
  for (auto& x : data) x = static_cast<uint8_t>(rng());
  Adler32 sum;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t take = std::min<size_t>(rng() % 9000, data.size() - pos);
    sum.update(std::span<const uint8_t>(data).subspan(pos, take));
    pos += take;
  }
  EXPECT_EQ(sum.value(), reference_adler(data));
  EXPECT_EQ(sum.value(), (sum.b() << 16) | sum.a());
}

TEST(Adler32Test, RunsSummedApartJoinIntoTheWhole) {
  std::mt19937 rng(9);
  // Long enough that a run's length exceeds the modulus many times over.
  std::vector<uint8_t> data(300000);
  for (auto& x : data) x = static_cast<uint8_t>(rng());
  data[0] = 0xFF;  // a first run whose `a` wraps
  const std::span<const uint8_t> all(data);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{65521}, size_t{131042}, size_t{150001},
                     data.size() - 1, data.size()}) {
    Adler32 head;
    head.update(all.first(cut));
    Adler32 tail;
    tail.update(all.subspan(cut));
    head.append(tail, data.size() - cut);
    EXPECT_EQ(head.value(), reference_adler(all)) << "cut at " << cut;
  }
  // Three runs, joined left to right.
  Adler32 a, b, c;
  a.update(all.first(1000));
  b.update(all.subspan(1000, 99000));
  c.update(all.subspan(100000));
  a.append(b, 99000);
  a.append(c, data.size() - 100000);
  EXPECT_EQ(a.value(), reference_adler(all));
}

// Both kernels from a given state, each checked against the definition; the
// AVX2 one only where this CPU runs it.
void expect_kernels_agree(std::span<const uint8_t> bytes, uint32_t a0 = 1, uint32_t b0 = 0) {
  uint32_t a = a0, b = b0;
  for (uint8_t x : bytes) {
    a = (a + x) % 65521;
    b = (b + a) % 65521;
  }
  const uint32_t want = (b << 16) | a;
  uint32_t sa = a0, sb = b0;
  detail::adler32_update_scalar(sa, sb, bytes.data(), bytes.size());
  EXPECT_EQ((sb << 16) | sa, want) << "scalar, " << bytes.size() << " bytes";
  if (detail::adler32_avx2_available()) {
    uint32_t va = a0, vb = b0;
    detail::adler32_update_avx2(va, vb, bytes.data(), bytes.size());
    EXPECT_EQ((vb << 16) | va, want) << "avx2, " << bytes.size() << " bytes";
  }
  Adler32 sum(a0, b0);
  sum.update(bytes);
  EXPECT_EQ(sum.value(), want) << "dispatched, " << bytes.size() << " bytes";
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& x : out) x = static_cast<uint8_t>(rng());
  return out;
}

TEST(Adler32KernelTest, EveryShortLengthAndEveryReductionBoundary) {
  // 0..300 covers the scalar-only sizes, the first vector steps and every
  // tail length; the rest straddle the points where the sums are reduced.
  const std::vector<uint8_t> data = random_bytes(5552 * 3 + 17, 11);
  for (size_t n = 0; n <= 300; ++n) expect_kernels_agree(std::span(data).first(n));
  for (size_t n : {size_t{5503}, size_t{5504}, size_t{5505}, size_t{5551}, size_t{5552},
                   size_t{5553}, size_t{5552 * 2}, size_t{5552 * 3 + 17}}) {
    expect_kernels_agree(std::span(data).first(n));
  }
}

TEST(Adler32KernelTest, AllOnesFromTheLargestStartingSumsDoesNotOverflow) {
  // 0xFF bytes from a = b = 65520 is the most the 32-bit sums ever hold
  // between reductions, in every lane and after the horizontal sums.
  const std::vector<uint8_t> ones(3 * 5552 + 200, 0xFF);
  for (size_t n : {size_t{64}, size_t{5504}, size_t{5551}, size_t{5552}, size_t{5553},
                   size_t{5552 * 2 + 63}, ones.size()}) {
    expect_kernels_agree(std::span(ones).first(n), 65520, 65520);
    expect_kernels_agree(std::span(ones).first(n));
  }
}

TEST(Adler32KernelTest, MatchesZlibOnLargeInputs) {
  // Values from zlib.adler32 in Python.
  const std::vector<uint8_t> ones(size_t{1} << 20, 0xFF);
  EXPECT_EQ(adler32(ones), 0x8e88ef11u);
  std::vector<uint8_t> ramp(100003);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i * 31 + 7);
  EXPECT_EQ(adler32(ramp), 0x422699a1u);
  std::vector<uint8_t> quad(5552 * 3 + 17);
  for (size_t i = 0; i < quad.size(); ++i) quad[i] = static_cast<uint8_t>(i * i + i * 13 + 5);
  EXPECT_EQ(adler32(quad), 0x91b39006u);

  const std::vector<uint8_t> mib = random_bytes(size_t{1} << 20, 5);
  expect_kernels_agree(mib);
}

TEST(Adler32KernelTest, UnalignedStartsAndRandomSplits) {
  const std::vector<uint8_t> data = random_bytes(70000, 3);
  for (size_t offset = 0; offset < 64; ++offset) {
    expect_kernels_agree(std::span(data).subspan(offset, 6000 + offset * 7));
  }
  // Splits mostly short enough to leave ragged tails, some long enough to
  // take whole vector blocks.
  std::mt19937 rng(9);
  for (int round = 0; round < 20; ++round) {
    Adler32 sum;
    size_t pos = 0;
    while (pos < data.size()) {
      const size_t limit = rng() % 4 == 0 ? 20000 : 300;
      const size_t take = std::min<size_t>(rng() % limit, data.size() - pos);
      sum.update(std::span(data).subspan(pos, take));
      pos += take;
    }
    EXPECT_EQ(sum.value(), reference_adler(data)) << "round " << round;
  }
}

TEST(Adler32KernelTest, UnreducedStartingSumsAreReducedNotOverflowed) {
  // A state built by hand may hold sums at or above the modulus; the checksum
  // must come out as the one of the reduced state, not wrap around 2^32.
  const std::vector<uint8_t> ones(5552, 0xFF);
  Adler32 big(0xFFFFu, 0xFFFFFFF0u);
  big.update(ones);
  Adler32 reduced(0xFFFFu % 65521, 0xFFFFFFF0u % 65521);
  reduced.update(ones);
  EXPECT_EQ(big.value(), reduced.value());
  EXPECT_LT(big.a(), 65521u);
  EXPECT_LT(big.b(), 65521u);
  // No bytes, no change: the state is kept exactly as given.
  Adler32 untouched(0xFFFFu, 7);
  untouched.update({});
  EXPECT_EQ(untouched.a(), 0xFFFFu);
  EXPECT_EQ(untouched.b(), 7u);
}

}  // namespace
}  // namespace dovadure::utils
