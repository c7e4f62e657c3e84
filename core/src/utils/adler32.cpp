#include "utils/adler32.hpp"

namespace dovadure::utils {

void Adler32::update(std::span<const uint8_t> bytes) {
  uint32_t a = a_;
  uint32_t b = b_;
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    // Both sums start below the modulus, so kAdlerMaxRun bytes of 255 cannot
    // overflow b; reducing once per run instead of per byte is the speed-up.
    size_t run = left < kAdlerMaxRun ? left : kAdlerMaxRun;
    left -= run;
    while (run >= 8) {
      a += p[0]; b += a;
      a += p[1]; b += a;
      a += p[2]; b += a;
      a += p[3]; b += a;
      a += p[4]; b += a;
      a += p[5]; b += a;
      a += p[6]; b += a;
      a += p[7]; b += a;
      p += 8;
      run -= 8;
    }
    while (run > 0) {
      a += *p++;
      b += a;
      --run;
    }
    a %= kAdlerModulus;
    b %= kAdlerModulus;
  }
  a_ = a;
  b_ = b;
}

uint32_t adler32(std::span<const uint8_t> bytes) {
  Adler32 sum;
  sum.update(bytes);
  return sum.value();
}

}  // namespace dovadure::utils
