// Small pieces of the layer searches, shared by search_layer.cpp and
// search_sq8.cpp and visible to their tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "utils/telemetry.hpp"
#include "utils/types.hpp"
#include "vector/hnsw/search_options.hpp"
#include "vector/hnsw/types.hpp"

namespace dovadure::vector::hnsw::search_detail {

// Positions of one expanded node's list to scan: start, start + step, ...
// (mod the list length), `count` of them.
struct ScanWalk {
  size_t start = 0;
  size_t step = 1;
  size_t count = 0;
};

// A list of `len` entries under scan cap `cap` (SIZE_MAX: none). Only a cap
// below the length moves the start (rotation) or the step (stride); the
// step is co-prime with the length, so the positions are distinct.
ScanWalk scan_walk(std::optional<uint64_t> seed, NodeIdx u, size_t len, size_t cap, bool rotate,
                   bool stride);

// First step ((h >> 32) mod (len − 1)) + 1, advanced cyclically through
// 1..len − 1 until co-prime with len. Needs len >= 2.
size_t coprime_stride(uint64_t h, size_t len);

// The SQ8 screen's integer threshold for the current worst cosine distance.
int32_t screen_threshold(float worst);

// f32 → i32 the saturating way: NaN gives 0, out-of-range values the bound.
int32_t saturating_i32(float v);

// The override knob when set, else max(ef, ef × multiplier), saturating.
size_t expansion_cap_for(size_t ef, size_t multiplier);

// Milliseconds since the traced search started.
double elapsed_ms(const TraceContext& trace);

// A record with the search id and metric set and every other field zero.
utils::SearchTraceEntry blank_trace_entry(const TraceContext& trace, utils::DistanceMetric metric);

}  // namespace dovadure::vector::hnsw::search_detail
