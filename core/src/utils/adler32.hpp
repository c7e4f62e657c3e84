// Adler-32 (RFC 1950), the checksum of snapshot footers and log frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dovadure::utils {

// Running Adler-32: `a` starts at 1, `b` at 0, and the value is b * 65536 + a.
class Adler32 {
 public:
  Adler32() = default;
  Adler32(uint32_t a, uint32_t b) : a_(a), b_(b) {}

  void update(std::span<const uint8_t> bytes);
  // Continues this checksum with a run of `next_len` bytes whose own checksum
  // is `next`, as if they had been passed to update(): runs summed apart (on
  // different threads, say) join into the checksum of the whole.
  void append(const Adler32& next, uint64_t next_len);
  uint32_t value() const { return (b_ << 16) | a_; }
  uint32_t a() const { return a_; }
  uint32_t b() const { return b_; }

 private:
  uint32_t a_ = 1;
  uint32_t b_ = 0;
};

// Checksum of `bytes` alone; 1 for no bytes.
uint32_t adler32(std::span<const uint8_t> bytes);

inline constexpr uint32_t kAdlerModulus = 65521;
// Longest run of bytes the 32-bit sums can take before they must be reduced.
inline constexpr size_t kAdlerMaxRun = 5552;

namespace detail {

// The kernels behind Adler32::update, exposed so tests and benchmarks can hold
// them against each other. Both take sums below kAdlerModulus and leave them
// reduced (`n` == 0 leaves them as they are).
void adler32_update_scalar(uint32_t& a, uint32_t& b, const uint8_t* p, size_t n);
// Call only when adler32_avx2_available(); bytes past the last whole 64-byte
// step go through the scalar kernel.
void adler32_update_avx2(uint32_t& a, uint32_t& b, const uint8_t* p, size_t n);
// Whether this CPU (and the OS, for the YMM registers) runs AVX2; probed once.
bool adler32_avx2_available();

}  // namespace detail

}  // namespace dovadure::utils
