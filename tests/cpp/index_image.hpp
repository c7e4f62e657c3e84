// A comparable picture of everything a caller can observe of an index, for
// tests that claim two indexes are the same.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vector/hnsw/core.hpp"
#include "vector/hnsw/node_views.hpp"

namespace dovadure::vector::hnsw {

// Everything a caller can observe of an index, node by node.
struct IndexImage {
  std::vector<uint64_t> ids;
  std::vector<std::vector<uint32_t>> vector_bits;
  std::vector<uint8_t> levels, states;
  std::vector<bool> deleted;
  std::vector<std::vector<std::vector<NodeIdx>>> lists;  // [layer][node]
  std::vector<size_t> score_list_sizes;
  uint64_t entry_word = 0;
  size_t num_layers = 0, deleted_count = 0;
  utils::DistanceMetric metric = utils::DistanceMetric::Cosine;
  size_t m = 0, m0 = 0, mnl0 = 0, efc = 0, efi = 0, max_level = 0, dim = 0, threshold = 0;
  double level_scale = 0;
  bool exact = false, codes = false;
  bool operator==(const IndexImage&) const = default;
};

inline IndexImage image(const HNSWIndex& x) {
  IndexImage im;
  const size_t n = x.len();
  for (size_t i = 0; i < n; ++i) {
    const auto u = static_cast<NodeIdx>(i);
    im.ids.push_back(x.point_id(u));
    std::vector<uint32_t> bits;
    for (float f : x.node_views().vectors.get(i)) bits.push_back(std::bit_cast<uint32_t>(f));
    im.vector_bits.push_back(bits);
    im.levels.push_back(x.level_of(u));
    im.states.push_back(x.state_of(u));
    im.deleted.push_back(x.is_deleted(u));
    im.score_list_sizes.push_back(x.l0_scores(u)->size());
  }
  im.lists.resize(x.num_layers());
  for (size_t l = 0; l < x.num_layers(); ++l) {
    for (size_t i = 0; i < n; ++i) {
      std::vector<NodeIdx> out;
      x.copy_neighbors(l, static_cast<NodeIdx>(i), out);
      im.lists[l].push_back(out);
    }
  }
  im.entry_word = x.entry_point_word();
  im.num_layers = x.num_layers();
  im.deleted_count = x.deleted_count();
  im.metric = x.metric();
  im.m = x.m();
  im.m0 = x.m0();
  im.mnl0 = x.max_neighbors_l0();
  im.efc = x.ef_construction();
  im.efi = x.ef_insert();
  im.max_level = x.max_level();
  im.dim = x.dim();
  im.threshold = x.exact_fallback_threshold();
  im.level_scale = x.level_scale();
  im.exact = x.exact_fallback_enabled();
  im.codes = x.has_codes();
  return im;
}

}  // namespace dovadure::vector::hnsw
