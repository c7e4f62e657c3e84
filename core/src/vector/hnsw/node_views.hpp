// Snapshots of the per-node arrays that graph walks read on every step:
// vectors, deleted flags and node states. Taken once per operation so that a
// walk pays for the chunk directories once, not per node.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vector/hnsw/arena.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::vector::hnsw {

struct NodeViews {
  NodeVectorArena::View vectors;
  NodeArray<std::atomic<bool>>::View deleted;
  NodeArray<std::atomic<uint8_t>>::View states;

  // Node i's vector whatever its state, or nullptr beyond the arena.
  const float* vector(size_t i) const { return i < vectors.len ? vectors.ptr(i) : nullptr; }

  // The vector of a node that is stored and not tombstoned, else nullptr.
  const float* live_vector(size_t i) const {
    if (i >= vectors.len || i >= deleted.len) return nullptr;
    if (deleted.at(i).load(std::memory_order_acquire)) return nullptr;
    return vectors.ptr(i);
  }

  // Linked and traversable (state 1), with its vector in this snapshot.
  bool is_live(size_t i) const {
    return i < states.len && i < vectors.len &&
           states.at(i).load(std::memory_order_acquire) == kStateLive;
  }
};

}  // namespace dovadure::vector::hnsw
