// Lazily allocated record table: a directory of 2^16 block pointers, each
// block holding the records of 2^16 consecutive nodes. Both levels are
// published with a compare-and-swap; a thread that loses the race frees its
// own copy and uses the winner's.
#include "vector/hnsw/prune_memo.hpp"

namespace dovadure::vector::hnsw {

PruneMemo::~PruneMemo() {
  std::atomic<PruneRecord*>* dir = blocks_.load(std::memory_order_acquire);
  if (dir == nullptr) return;
  for (size_t b = 0; b < kBlocks; ++b) delete[] dir[b].load(std::memory_order_acquire);
  delete[] dir;
}

PruneRecord* PruneMemo::find(NodeIdx x) const {
  std::atomic<PruneRecord*>* dir = blocks_.load(std::memory_order_acquire);
  if (dir == nullptr) return nullptr;
  PruneRecord* block = dir[x >> kBlockBits].load(std::memory_order_acquire);
  return block == nullptr ? nullptr : &block[x & ((size_t{1} << kBlockBits) - 1)];
}

PruneRecord& PruneMemo::at(NodeIdx x) {
  std::atomic<PruneRecord*>* dir = blocks_.load(std::memory_order_acquire);
  if (dir == nullptr) {
    auto* fresh = new std::atomic<PruneRecord*>[kBlocks]();
    if (blocks_.compare_exchange_strong(dir, fresh, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
      dir = fresh;
    } else {
      delete[] fresh;
    }
  }
  std::atomic<PruneRecord*>& slot = dir[x >> kBlockBits];
  PruneRecord* block = slot.load(std::memory_order_acquire);
  if (block == nullptr) {
    auto* fresh = new PruneRecord[size_t{1} << kBlockBits]();
    if (slot.compare_exchange_strong(block, fresh, std::memory_order_acq_rel,
                                     std::memory_order_acquire)) {
      block = fresh;
    } else {
      delete[] fresh;
    }
  }
  return block[x & ((size_t{1} << kBlockBits) - 1)];
}

}  // namespace dovadure::vector::hnsw
