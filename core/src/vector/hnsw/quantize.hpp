// Query forms of the SQ8 domain. The stored codes are built by
// HNSWIndex::quantize_all (quantize.cpp); these bring a float query into the
// same integer domain. Each fills `out` (resized to the query's length) so
// that a search can reuse its buffer.
#pragma once

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

}  // namespace dovadure::vector::hnsw
