// How a filtered query is answered, chosen per call from the size of its
// allowed set: a scan of the allowed nodes when they are few, else a walk
// of layer 0 that returns allowed nodes only. Sparse sets are walked through
// neighbours of neighbours; any walk that visits more nodes than a scan
// would score gives up in favour of the scan.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vector/hnsw/search_options.hpp"

namespace dovadure::vector::hnsw {

class HNSWIndex;

// DOROVOZU_FILTER_SCAN_MAX: allowed sets up to this many nodes are scanned
// (0 never scans up front). Unset: 2048, or 131072 / dim when that is more.
size_t filter_scan_max(size_t dim);
// DOROVOZU_FILTER_TWO_HOP_SHARE: allowed shares below this are walked two
// hops at a time (default 0.2; 0 turns two-hop walks off).
double filter_two_hop_share();

// `allowed` holds `bits` bits of which `count` are set, all of them live
// nodes of `index`; the bitmap must outlive the searches using the plan.
LayerFilter plan_filter(const HNSWIndex& index, const uint64_t* allowed, size_t bits, size_t count);

}  // namespace dovadure::vector::hnsw
