// A per-node list behind its own four-byte reader-writer lock: the element
// type of the adjacency lists and of the layer-0 score lists.
//
// Sixteen bytes per element (lock, length, pointer) and an exactly sized heap
// block: a graph keeps two of these per node, so every byte here is paid a
// hundred thousand times over. Writers replace or grow the block whole under
// the write lock; readers look at items() under the read lock.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <memory>
#include <span>
#include <type_traits>

#include "utils/rwlock.hpp"

namespace dovadure::vector::hnsw {

template <class T>
class NodeList {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  mutable utils::SpinRwLock lock;

  NodeList() = default;
  ~NodeList() { release(); }
  NodeList(const NodeList&) = delete;
  NodeList& operator=(const NodeList&) = delete;

  // ---- reads: hold lock (shared or exclusive) ----
  std::span<const T> items() const { return {block(), size()}; }
  size_t size() const { return size_ & kSizeMask; }
  bool empty() const { return size() == 0; }
  const T* data() const { return block(); }
  const T& operator[](size_t i) const { return block()[i]; }
  const T* begin() const { return block(); }
  const T* end() const { return block() + size(); }

  // ---- writes: hold lock exclusively ----
  // Blocks are reused in place while they fit: an insertion's back-link and
  // the cap that follows it then never touch the allocator, which keeps a
  // long build from fragmenting the heap with short-lived list blocks.
  // Out of line: inlined into a caller that just allocated the block, GCC
  // cannot see the allocator's slack and misreports in-place writes.
  [[gnu::noinline]] void assign(std::span<const T> values) {
    const size_t n = values.size();
    if (borrowed() || n > capacity() || n * 2 < capacity()) {
      T* next = n == 0 ? nullptr : allocate(n);
      if (n != 0) std::memcpy(next, values.data(), n * sizeof(T));
      release();
      set_block(next);
    } else if (n != 0) {
      std::memmove(block(), values.data(), n * sizeof(T));
    }
    size_ = static_cast<uint32_t>(n);
  }
  // Inserts value before position pos (pos <= size()).
  [[gnu::noinline]] void insert(size_t pos, const T& value) {
    const size_t len = size();
    if (len + 1 > capacity()) {
      T* next = allocate(len + 1);
      // memcpy may not be handed the null block of an empty list.
      if (pos != 0) std::memcpy(next, block(), pos * sizeof(T));
      if (pos != len) std::memcpy(next + pos + 1, block() + pos, (len - pos) * sizeof(T));
      release();
      set_block(next);
    } else if (pos != len) {
      std::memmove(block() + pos + 1, block() + pos, (len - pos) * sizeof(T));
    }
    block()[pos] = value;
    size_ = static_cast<uint32_t>(len + 1);
  }
  void push_back(const T& value) { insert(size(), value); }

  // Starts fetching the items, without the lock: the block may be replaced
  // meanwhile, and a prefetch of a stale address is harmless.
  void prefetch_items() const {
    __builtin_prefetch(block_.load(std::memory_order_relaxed), 0, 3);
  }
  void clear() { assign({}); }

  // Frees the list's own block and reads the same items from `items`
  // instead, storage that outlives the list and holds exactly size() items.
  // For a list that will never be written again (a frozen index packs its
  // lists into one block this way); a later write gets a block of its own.
  void borrow(const T* items) {
    const uint32_t len = size_ & kSizeMask;
    release();
    set_block(len == 0 ? nullptr : const_cast<T*>(items));
    size_ = len == 0 ? 0 : len | kBorrowed;
  }

 private:
  // Elements the current block holds; the allocator's usable size, so the
  // capacity costs no field.
  // A borrowed block has none to spare, so any growth replaces it.
  size_t capacity() const {
    if (block() == nullptr || borrowed()) return 0;
    return malloc_usable_size(block()) / sizeof(T);
  }
  bool borrowed() const { return (size_ & kBorrowed) != 0; }
  T* block() const { return block_.load(std::memory_order_relaxed); }
  void set_block(T* p) { block_.store(p, std::memory_order_relaxed); }
  // Gives the block back (unless borrowed); the pointer is left dangling
  // for the caller to replace.
  void release() {
    if (!borrowed()) std::free(block());
    size_ &= kSizeMask;
  }

  static T* allocate(size_t n) {
    T* p = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }

  // The top bit of size_ marks a borrowed block (see borrow()).
  static constexpr uint32_t kBorrowed = 1u << 31;
  static constexpr uint32_t kSizeMask = kBorrowed - 1;

  uint32_t size_ = 0;
  // Atomic only so that prefetch_items() may peek without the lock; every
  // other access holds it, and relaxed loads and stores compile to plain moves.
  std::atomic<T*> block_{nullptr};
};

}  // namespace dovadure::vector::hnsw
