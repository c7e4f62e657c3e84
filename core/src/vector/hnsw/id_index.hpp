// Point id -> node index lookup for the allocation bookkeeping.
//
// Open addressing over 4-byte slots that hold node indices only; the key of a
// slot is read back from the id list the caller owns (ids[node]). That keeps
// the table near 6 bytes per node, against 40 or more for a node-based hash
// map, and the id list exists anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vector/hnsw/types.hpp"

namespace dovadure::vector::hnsw {

class IdIndex {
 public:
  // Ids are caller-chosen and often sequential; the finaliser spreads them
  // over the table.
  static uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
  }

  size_t size() const { return size_; }

  std::optional<NodeIdx> find(uint64_t id, std::span<const uint64_t> ids) const {
    if (slots_.empty()) return std::nullopt;
    const size_t mask = slots_.size() - 1;
    for (size_t s = mix(id) & mask;; s = (s + 1) & mask) {
      const NodeIdx v = slots_[s];
      if (v == kNoNode) return std::nullopt;
      if (ids[v] == id) return v;
    }
  }

  // Adds id -> idx; the id must be absent and ids[idx] must already hold it.
  void insert(uint64_t id, NodeIdx idx, std::span<const uint64_t> ids) {
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : slots_.size() * 2, ids);
    place(id, idx);
    ++size_;
  }

  // Makes room for n entries without further rehashing.
  void reserve(size_t n, std::span<const uint64_t> ids) {
    size_t want = 16;
    while (want * 3 < n * 4) want *= 2;
    if (want > slots_.size()) rehash(want, ids);
  }

 private:
  void place(uint64_t id, NodeIdx idx) {
    const size_t mask = slots_.size() - 1;
    size_t s = mix(id) & mask;
    while (slots_[s] != kNoNode) s = (s + 1) & mask;
    slots_[s] = idx;
  }

  void rehash(size_t capacity, std::span<const uint64_t> ids) {
    std::vector<NodeIdx> old;
    old.swap(slots_);
    slots_.assign(capacity, kNoNode);
    for (NodeIdx v : old) {
      if (v != kNoNode) place(ids[v], v);
    }
  }

  std::vector<NodeIdx> slots_;
  size_t size_ = 0;
};

}  // namespace dovadure::vector::hnsw
