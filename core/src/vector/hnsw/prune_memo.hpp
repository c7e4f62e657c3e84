// What the last cap of each layer-0 list decided, kept so that the next cap
// can skip diversity tests whose outcome cannot have changed.
//
// A capped list is its accepted members (in ascending key order) followed by
// the filled ones, every one of which was tested and rejected or skipped.
// When the next cap sees that same list plus exactly one back-link, walking
// the candidates in key order meets the old members in their old relative
// order, so for as long as the walk has accepted exactly the old members met
// so far, each old member's outcome repeats: the accepted set it is tested
// against is the one it was tested against before (a rejected member may see
// more accepted members, which cannot save it). Only the new member, and
// everything after the walk first departs from the record, is tested.
//
// A record names its list by a fingerprint of the list's contents, so an edit
// made anywhere else (a node's own list being replaced, a repair after a
// deletion, a list loaded from a file) simply fails to match. Records are
// read and written under the write lock of the list they describe.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "vector/hnsw/types.hpp"

namespace dovadure::vector::hnsw {

struct PruneRecord {
  static constexpr uint16_t kNone = 0xFFFF;
  // Fingerprint of the list the record describes: the cap's result, or that
  // result with one back-link inserted at `inserted_at`.
  uint64_t fingerprint = 0;
  // How many leading entries of the cap's result were accepted; kNone: no
  // usable record.
  uint16_t accepted = kNone;
  uint16_t inserted_at = kNone;

  bool valid() const { return accepted != kNone; }
  void clear() { accepted = kNone, inserted_at = kNone; }
};

// Four independent lanes keep the multiplies off one long dependency chain.
inline uint64_t list_fingerprint(std::span<const NodeIdx> items) {
  constexpr uint64_t k = 0x9E3779B97F4A7C15ull;
  uint64_t h[4] = {k ^ items.size(), 1, 2, 3};
  size_t i = 0;
  for (; i + 4 <= items.size(); i += 4) {
    for (size_t j = 0; j < 4; ++j) h[j] = std::rotl((h[j] ^ items[i + j]) * k, 29);
  }
  for (; i < items.size(); ++i) h[0] = std::rotl((h[0] ^ items[i]) * k, 29);
  uint64_t out = h[0];
  for (size_t j = 1; j < 4; ++j) out = std::rotl((out ^ h[j]) * 0xC2B2AE3D27D4EB4Full, 31);
  return out ^ (out >> 32);
}

// A table of records by node index, allocated a block of nodes at a time on
// first use: an index that is only loaded and searched never pays for it.
class PruneMemo {
 public:
  PruneMemo() = default;
  ~PruneMemo();
  PruneMemo(const PruneMemo&) = delete;
  PruneMemo& operator=(const PruneMemo&) = delete;

  // The record of node x, or nullptr when none was ever made.
  PruneRecord* find(NodeIdx x) const;
  // The record of node x, made (empty) when missing.
  PruneRecord& at(NodeIdx x);

  // Caps that reused recorded outcomes; for tests and profiling.
  uint64_t reuses() const { return reuses_.load(std::memory_order_relaxed); }
  void count_reuse() { reuses_.fetch_add(1, std::memory_order_relaxed); }

 private:
  static constexpr size_t kBlockBits = 16;
  static constexpr size_t kBlocks = size_t{1} << (32 - kBlockBits);

  std::atomic<std::atomic<PruneRecord*>*> blocks_{nullptr};
  std::atomic<uint64_t> reuses_{0};
};

}  // namespace dovadure::vector::hnsw
