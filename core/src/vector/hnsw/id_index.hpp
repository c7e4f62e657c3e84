// Point id -> node index lookup for the allocation bookkeeping.
//
// Open addressing over 4-byte slots that hold node indices only; the key of a
// slot is read back from the id list the caller owns (ids[node]). That keeps
// the table near 6 bytes per node, against 40 or more for a node-based hash
// map, and the id list exists anyway.
//
// Until the first id that breaks the pattern, nodes 0, 1, 2, ... hold
// consecutive ids (the common case: ids handed out in order, or a load of
// such an index). The index of an id is then its distance from the first,
// and no table exists; the first break builds it.
#pragma once

#include <algorithm>
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
  // While true, node i holds id first_id() + i (modulo 2^64).
  bool consecutive() const { return consecutive_; }
  uint64_t first_id() const { return base_; }

  std::optional<NodeIdx> find(uint64_t id, std::span<const uint64_t> ids) const {
    if (consecutive_) {
      // Wraps like the ids do, so a range across 2^64 works too.
      const uint64_t off = id - base_;
      if (off < size_) return static_cast<NodeIdx>(off);
      return std::nullopt;
    }
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
    if (consecutive_) {
      if (size_ == 0 && idx == 0) base_ = id;
      if (idx == size_ && id - base_ == size_) {
        ++size_;
        return;
      }
      consecutive_ = false;
      rehash(capacity_for(std::max(reserved_, size_ + 1)), ids);
    }
    if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : slots_.size() * 2, ids);
    place(id, idx);
    ++size_;
  }

  // Makes room for n entries without further rehashing.
  void reserve(size_t n, std::span<const uint64_t> ids) {
    if (consecutive_) {
      reserved_ = std::max(reserved_, n);
      return;
    }
    const size_t want = capacity_for(n);
    if (want > slots_.size()) rehash(want, ids);
  }

 private:
  static size_t capacity_for(size_t n) {
    size_t want = 16;
    while (want * 3 < n * 4) want *= 2;
    return want;
  }

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
    if (old.empty()) {
      // Leaving the consecutive form: nodes 0 .. size_ - 1 hold ids.
      for (size_t v = 0; v < size_; ++v) place(ids[v], static_cast<NodeIdx>(v));
      return;
    }
    for (NodeIdx v : old) {
      if (v != kNoNode) place(ids[v], v);
    }
  }

  std::vector<NodeIdx> slots_;
  size_t size_ = 0;
  bool consecutive_ = true;
  uint64_t base_ = 0;     // the id of node 0 while consecutive_
  size_t reserved_ = 0;   // reserve() asked for while consecutive_
};

}  // namespace dovadure::vector::hnsw
