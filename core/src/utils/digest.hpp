// A 64-bit digest for telling byte runs apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "utils/encoding.hpp"

namespace dovadure::utils {

// A bijection of 64-bit words in which every input bit reaches every
// output bit.
constexpr uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  x *= 0xC4CEB9FE1A85EC53ull;
  x ^= x >> 33;
  return x;
}

// Digest of `bytes`, for recognising a run seen before: runs that differ
// anywhere differ here but by chance (about one in 2^64), whatever their
// structure. A sum such as Adler-32 is no such thing: short runs of similar
// records often sum alike. Not a defence against a deliberate collision.
// The same on every host (words are read little-endian).
inline uint64_t digest64(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  uint64_t h = mix64(0x6A09E667F3BCC909ull ^ n);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    h = mix64(h ^ to_little_endian(word));
  }
  uint64_t tail = 0;
  for (size_t k = 0; i + k < n; ++k) tail |= uint64_t{bytes[i + k]} << (8 * k);
  return mix64(h ^ tail ^ (uint64_t{n - i} << 56));
}

}  // namespace dovadure::utils
