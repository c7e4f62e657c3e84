#include "utils/adler32.hpp"

namespace dovadure::utils {

namespace detail {

void adler32_update_scalar(uint32_t& a_io, uint32_t& b_io, const uint8_t* p, size_t n) {
  uint32_t a = a_io;
  uint32_t b = b_io;
  size_t left = n;
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
  a_io = a;
  b_io = b;
}

bool adler32_avx2_available() {
  // libgcc's probe checks OSXSAVE and XCR0 before reporting AVX2, so a set
  // bit also means the kernel saves YMM registers across context switches.
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return available;
}

}  // namespace detail

// Below this the vector kernel's set-up and horizontal sums cost more than
// the bytes it would take over.
static constexpr size_t kAdlerVectorMin = 128;

void Adler32::update(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  // The kernels' no-overflow bound assumes reduced sums; a state built by
  // hand from larger values is brought into range first (same residues, so
  // the checksum is unchanged in value).
  uint32_t a = a_ % kAdlerModulus;
  uint32_t b = b_ % kAdlerModulus;
  if (bytes.size() >= kAdlerVectorMin && detail::adler32_avx2_available()) {
    detail::adler32_update_avx2(a, b, bytes.data(), bytes.size());
  } else {
    detail::adler32_update_scalar(a, b, bytes.data(), bytes.size());
  }
  a_ = a;
  b_ = b;
}

void Adler32::append(const Adler32& next, uint64_t next_len) {
  // Over the joined run, every running `a` of the second part is its own
  // plus (a - 1) of the first, so b gains next_len * (a - 1) besides next.b.
  constexpr uint64_t kMod = kAdlerModulus;
  const uint64_t a = a_ % kMod;
  const uint64_t shift = (a + kMod - 1) % kMod;
  a_ = static_cast<uint32_t>((a + next.a_ % kMod + kMod - 1) % kMod);
  b_ = static_cast<uint32_t>((b_ % kMod + next.b_ % kMod + (next_len % kMod) * shift) % kMod);
}

uint32_t adler32(std::span<const uint8_t> bytes) {
  Adler32 sum;
  sum.update(bytes);
  return sum.value();
}

}  // namespace dovadure::utils
