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

}  // namespace
}  // namespace dovadure::utils
