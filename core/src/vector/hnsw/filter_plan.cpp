#include "vector/hnsw/filter_plan.hpp"

#include <cmath>

#include "utils/env.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::vector::hnsw {

size_t filter_scan_max() {
  static const size_t SCAN_MAX = [] {
    auto v = utils::env_u64("DOROVOZU_FILTER_SCAN_MAX");
    return v ? static_cast<size_t>(*v) : size_t{2048};
  }();
  return SCAN_MAX;
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
  plan.exact_scan = count <= filter_scan_max();
  const size_t nodes = index.len();
  const double share = nodes == 0 ? 1.0 : static_cast<double>(count) / static_cast<double>(nodes);
  plan.two_hop = index.frozen() && share < filter_two_hop_share();
  return plan;
}

}  // namespace dovadure::vector::hnsw
