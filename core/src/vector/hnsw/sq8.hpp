// Per-value 8-bit scalar quantisers and the integer kernels that screen
// candidates with them.
//
// Every quantiser clamps first, then rounds to nearest with halves away from
// zero, then narrows saturating to the target type (a NaN narrows to 0).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace dovadure::vector::hnsw {

namespace detail {
// NaN passes through (both comparisons are false).
inline float clamp_f32(float v, float lo, float hi) {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}
// Rounds half away from zero a value already clamped into the range of Int
// (at most 16 bits), or NaN, which gives 0. The truncation is exact there,
// and comparing the dropped fraction with one half rounds without a libm
// call, which quantising a loaded index would otherwise make once per stored
// value.
template <class Int>
inline Int round_clamped(float v) {
  if (std::isnan(v)) return 0;
  const int32_t t = static_cast<int32_t>(v);
  const float frac = v - static_cast<float>(t);
  return static_cast<Int>(t + (frac >= 0.5f) - (frac <= -0.5f));
}
}  // namespace detail

// Cosine code: code − 128 approximates x × 127.5 for a unit vector's element.
// 1.0 → 255, −1.0 → 1, 0 → 128.
inline uint8_t sq8_code_cosine(float x) {
  return detail::round_clamped<uint8_t>(detail::clamp_f32(x * 127.5f + 128.0f, 0.0f, 255.0f));
}

// Affine code for one dimension with its minimum and step.
inline uint8_t sq8_code_affine(float x, float min, float scale) {
  return detail::round_clamped<uint8_t>(detail::clamp_f32((x - min) / scale, 0.0f, 255.0f));
}

// Screening query element: 1.0 → 127, −1.0 → −128, 0.004 → 1.
inline int8_t quantize_query_i8_value(float q) {
  return detail::round_clamped<int8_t>(detail::clamp_f32(q * 127.5f, -128.0f, 127.0f));
}

// Wide cosine query element; same values as the i8 form.
inline int16_t quantize_query_cosine_i16(float q) {
  return detail::round_clamped<int16_t>(detail::clamp_f32(q * 127.5f, -128.0f, 127.0f));
}

// Wide affine query element, in the codes' own domain [0, 255].
inline int16_t quantize_query_affine_i16(float q, float m, float s) {
  return detail::round_clamped<int16_t>(detail::clamp_f32((q - m) / s, 0.0f, 255.0f));
}

// Σ (codes[i] − 128) × q[i] over i < n. Every flavour returns the same value.
// The sum is exact; if it leaves the i32 range (n above 2^17 here, a few
// tens of thousands for the 16-bit forms) it saturates to the nearest i32
// bound instead of wrapping around to a meaningless score.
int32_t screen_dot_scalar(const int8_t* q, const uint8_t* codes, size_t n);
int32_t screen_dot_avx2(const int8_t* q, const uint8_t* codes, size_t n);
int32_t screen_dot(const int8_t* q, const uint8_t* codes, size_t n);

// 16-bit query kernels of the quantised walk, exact and saturating as above.
// centered: Σ q[i] × (codes[i] − 128); raw: Σ q[i] × codes[i].
int32_t sq8_dot_i16_centered_scalar(const int16_t* q, const uint8_t* codes, size_t n);
int32_t sq8_dot_i16_centered_avx2(const int16_t* q, const uint8_t* codes, size_t n);
int32_t sq8_dot_i16_centered(const int16_t* q, const uint8_t* codes, size_t n);
int32_t sq8_dot_i16_raw_scalar(const int16_t* q, const uint8_t* codes, size_t n);
int32_t sq8_dot_i16_raw_avx2(const int16_t* q, const uint8_t* codes, size_t n);
int32_t sq8_dot_i16_raw(const int16_t* q, const uint8_t* codes, size_t n);

// The flavour sq8_dot_i16_centered (centered) or sq8_dot_i16_raw dispatches
// to on this machine, for loops that would otherwise dispatch per node.
using Sq8DotI16Kernel = int32_t (*)(const int16_t* q, const uint8_t* codes, size_t n);
Sq8DotI16Kernel sq8_dot_i16_kernel(bool centered);

}  // namespace dovadure::vector::hnsw
