// Helpers shared by the scalar and AVX2 integer kernels.
#pragma once

#include <cstdint>
#include <limits>

namespace dovadure::vector::hnsw::sq8_detail {

inline int32_t saturate_i32(int64_t v) {
  if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

}  // namespace dovadure::vector::hnsw::sq8_detail
