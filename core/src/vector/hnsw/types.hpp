// Records the graph routines pass around: (node index, raw score, sort key).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace dovadure::vector::hnsw {

// Dense 0-based allocation position of a node. 32 bits wide: the entry-point
// word reserves 0xFFFFFFFF for "no entry point".
using NodeIdx = uint32_t;
inline constexpr NodeIdx kNoNode = 0xFFFFFFFFu;

struct NodeCandidate {
  NodeIdx idx = 0;
  float score = 0.0f;
  float sort_key = 0.0f;
};

struct NodeResult {
  NodeIdx idx = 0;
  float score = 0.0f;
  float sort_key = 0.0f;
};

// Priority of a candidate: smaller key is the greater candidate, so a max-heap
// of candidates yields the closest first. IEEE comparison: false with a NaN.
inline bool candidate_less(const NodeCandidate& a, const NodeCandidate& b) {
  return a.sort_key > b.sort_key;
}

// Results order naturally: a max-heap keeps the worst (largest key) on top.
inline bool result_less(const NodeResult& a, const NodeResult& b) {
  return a.sort_key < b.sort_key;
}

// An unsigned image of a sort key for ascending sorts: numbers ascend, -0
// and +0 meet, and every NaN comes last, equal to any other NaN.
inline uint32_t sort_key_order(float key) {
  if (std::isnan(key)) return std::numeric_limits<uint32_t>::max();
  if (key == 0.0f) key = 0.0f;
  const uint32_t bits = std::bit_cast<uint32_t>(key);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

}  // namespace dovadure::vector::hnsw
