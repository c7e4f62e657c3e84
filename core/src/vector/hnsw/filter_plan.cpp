#include "vector/hnsw/filter_plan.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "utils/env.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::vector::hnsw {

size_t filter_scan_max(size_t dim) {
  static const std::optional<uint64_t> SCAN_MAX = utils::env_u64("DOROVOZU_FILTER_SCAN_MAX");
  if (SCAN_MAX) return static_cast<size_t>(*SCAN_MAX);
  // A walk pays per visit for a random list and vector fetch and its heap
  // work on top of the distance; a scan pays little more than the distance.
  // In few dimensions the fixed part dominates and scans stay cheaper for
  // longer: measured crossovers near 2 000 allowed nodes at 784 dimensions
  // and near 8 000 at 16.
  return std::max<size_t>(2048, dim == 0 ? 0 : size_t{131072} / dim);
}

double filter_two_hop_share() {
  static const double TWO_HOP_SHARE = [] {
    auto v = utils::env_f64("DOROVOZU_FILTER_TWO_HOP_SHARE");
    return v && std::isfinite(*v) && *v >= 0.0 ? *v : 0.2;
  }();
  return TWO_HOP_SHARE;
}

LayerFilter plan_filter(const HNSWIndex& index, const uint64_t* allowed, size_t bits, size_t count) {
  LayerFilter plan;
  plan.allowed = allowed;
  plan.allowed_bits = bits;
  plan.allowed_count = count;
  plan.visit_budget = count;
  plan.exact_scan = count <= filter_scan_max(index.dim());
  const size_t nodes = index.len();
  const double share = nodes == 0 ? 1.0 : static_cast<double>(count) / static_cast<double>(nodes);
  plan.two_hop = index.frozen() && share < filter_two_hop_share();
  return plan;
}

}  // namespace dovadure::vector::hnsw
