// Query forms of the SQ8 domain. The stored codes are built by
// HNSWIndex::quantize_all (quantize.cpp); these bring a float query into the
// same integer domain. Each fills `out` (resized to the query's length) so
// that a search can reuse its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace dovadure::vector::hnsw {

// Screening form: round(clamp(q × 127.5, −128, 127)) per element.
void quantize_query_i8_into(std::span<const float> query, std::vector<int8_t>& out);

// Wide cosine form: the same values as the screening form, in 16 bits.
void quantize_query_cosine_wide(std::span<const float> query, std::vector<int16_t>& out);

// Wide affine form in the codes' own domain [0, 255]: dimension d uses
// mins[d] and scales[d] when both exist, else minimum 0 and step 1.
void quantize_query(std::span<const float> query, std::span<const float> mins,
                    std::span<const float> scales, std::vector<int16_t>& out);

// Stored-code encoders for one vector of n values, the scalar forms and
// the AVX2 forms (same results), and the dispatching ones.
// min_max lowers mins[d] and raises maxs[d] to x[d] (a NaN changes neither).
void sq8_min_max_scalar(const float* x, float* mins, float* maxs, size_t n);
void sq8_min_max_avx2(const float* x, float* mins, float* maxs, size_t n);
void sq8_min_max(const float* x, float* mins, float* maxs, size_t n);
// encode_affine writes sq8_code_affine of every value and returns the sum of
// the codes' squares; encode_cosine writes sq8_code_cosine of every value.
int64_t sq8_encode_affine_scalar(const float* x, const float* mins, const float* scales,
                                 uint8_t* out, size_t n);
int64_t sq8_encode_affine_avx2(const float* x, const float* mins, const float* scales,
                               uint8_t* out, size_t n);
int64_t sq8_encode_affine(const float* x, const float* mins, const float* scales, uint8_t* out,
                          size_t n);
void sq8_encode_cosine_scalar(const float* x, uint8_t* out, size_t n);
void sq8_encode_cosine_avx2(const float* x, uint8_t* out, size_t n);
void sq8_encode_cosine(const float* x, uint8_t* out, size_t n);

}  // namespace dovadure::vector::hnsw
