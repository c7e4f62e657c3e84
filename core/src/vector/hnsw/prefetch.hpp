// Prefetching of vectors by the walks and by insertion.
//
// Every helper here is always inlined. GCC counts a prefetch as no side
// effect, so a helper that only prefetches, once left out of line, is found
// const and every call to it is deleted.
#pragma once

#include <algorithm>
#include <cstddef>

namespace dovadure::vector::hnsw {

// Cache lines of a vector worth fetching ahead: those of its first KiB at
// most; beyond that the hardware prefetcher has caught on.
constexpr size_t vector_prefetch_lines(size_t dim) {
  return (std::min<size_t>(dim * sizeof(float), 1024) + 63) / 64;
}

// Fetches the first `lines` cache lines at p (16 at most), for reading soon.
// Unrolled: as a loop it took more instructions than the prefetches it ran.
[[gnu::always_inline]] inline void prefetch_lines(const void* p, size_t lines) {
  const char* c = static_cast<const char*>(p);
  switch (lines) {
    default: __builtin_prefetch(c + 15 * 64, 0, 1); [[fallthrough]];
    case 15: __builtin_prefetch(c + 14 * 64, 0, 1); [[fallthrough]];
    case 14: __builtin_prefetch(c + 13 * 64, 0, 1); [[fallthrough]];
    case 13: __builtin_prefetch(c + 12 * 64, 0, 1); [[fallthrough]];
    case 12: __builtin_prefetch(c + 11 * 64, 0, 1); [[fallthrough]];
    case 11: __builtin_prefetch(c + 10 * 64, 0, 1); [[fallthrough]];
    case 10: __builtin_prefetch(c + 9 * 64, 0, 1); [[fallthrough]];
    case 9: __builtin_prefetch(c + 8 * 64, 0, 1); [[fallthrough]];
    case 8: __builtin_prefetch(c + 7 * 64, 0, 1); [[fallthrough]];
    case 7: __builtin_prefetch(c + 6 * 64, 0, 1); [[fallthrough]];
    case 6: __builtin_prefetch(c + 5 * 64, 0, 1); [[fallthrough]];
    case 5: __builtin_prefetch(c + 4 * 64, 0, 1); [[fallthrough]];
    case 4: __builtin_prefetch(c + 3 * 64, 0, 1); [[fallthrough]];
    case 3: __builtin_prefetch(c + 2 * 64, 0, 1); [[fallthrough]];
    case 2: __builtin_prefetch(c + 64, 0, 1); [[fallthrough]];
    case 1: __builtin_prefetch(c, 0, 1); [[fallthrough]];
    case 0: break;
  }
}

[[gnu::always_inline]] inline void prefetch_vector(const float* v, size_t dim) {
  prefetch_lines(v, vector_prefetch_lines(dim));
}

}  // namespace dovadure::vector::hnsw
