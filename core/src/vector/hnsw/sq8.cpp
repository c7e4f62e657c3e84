#include "vector/hnsw/sq8.hpp"

#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/sq8_internal.hpp"

namespace dovadure::vector::hnsw {

// 64-bit accumulation keeps the sum exact for any n; the vector kernels
// accumulate in the same domain, so every flavour returns the same value.
int32_t screen_dot_scalar(const int8_t* q, const uint8_t* codes, size_t n) {
  int64_t acc = 0;
  for (size_t i = 0; i < n; ++i) {
    acc += static_cast<int64_t>(static_cast<int32_t>(codes[i]) - 128) * q[i];
  }
  return sq8_detail::saturate_i32(acc);
}

int32_t sq8_dot_i16_centered_scalar(const int16_t* q, const uint8_t* codes, size_t n) {
  int64_t acc = 0;
  for (size_t i = 0; i < n; ++i) {
    acc += static_cast<int64_t>(q[i]) * (static_cast<int32_t>(codes[i]) - 128);
  }
  return sq8_detail::saturate_i32(acc);
}

int32_t sq8_dot_i16_raw_scalar(const int16_t* q, const uint8_t* codes, size_t n) {
  int64_t acc = 0;
  for (size_t i = 0; i < n; ++i) acc += static_cast<int64_t>(q[i]) * codes[i];
  return sq8_detail::saturate_i32(acc);
}

int32_t screen_dot(const int8_t* q, const uint8_t* codes, size_t n) {
  return has_avx2() ? screen_dot_avx2(q, codes, n) : screen_dot_scalar(q, codes, n);
}

int32_t sq8_dot_i16_centered(const int16_t* q, const uint8_t* codes, size_t n) {
  return has_avx2() ? sq8_dot_i16_centered_avx2(q, codes, n)
                    : sq8_dot_i16_centered_scalar(q, codes, n);
}

int32_t sq8_dot_i16_raw(const int16_t* q, const uint8_t* codes, size_t n) {
  return has_avx2() ? sq8_dot_i16_raw_avx2(q, codes, n) : sq8_dot_i16_raw_scalar(q, codes, n);
}

Sq8DotI16Kernel sq8_dot_i16_kernel(bool centered) {
  if (has_avx2()) return centered ? &sq8_dot_i16_centered_avx2 : &sq8_dot_i16_raw_avx2;
  return centered ? &sq8_dot_i16_centered_scalar : &sq8_dot_i16_raw_scalar;
}

}  // namespace dovadure::vector::hnsw
