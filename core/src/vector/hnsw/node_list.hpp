// A per-node list behind its own four-byte reader-writer lock: the element
// type of the adjacency lists and of the layer-0 score lists.
//
// Sixteen bytes per element (lock, length, pointer) and an exactly sized heap
// block: a graph keeps two of these per node, so every byte here is paid a
// hundred thousand times over. Writers replace or grow the block whole under
// the write lock; readers look at items() under the read lock.
//
// A list may instead sit at the start of a record with room for a fixed
// number of items right behind it (init_inline): the items then share the
// header's cache lines, and only a list that outgrows the room moves to a
// heap block (and back once it fits again). Readers see no difference.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
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

  // Longest list; the top bits of the length word hold the inline room.
  static constexpr size_t kMaxSize = (size_t{1} << 20) - 1;
  static constexpr size_t kMaxInline = (size_t{1} << 12) - 1;

  NodeList() = default;
  ~NodeList() { release(); }
  NodeList(const NodeList&) = delete;
  NodeList& operator=(const NodeList&) = delete;

  // ---- reads: hold lock (shared or exclusive) ----
  std::span<const T> items() const { return {data(), size()}; }
  size_t size() const { return size_ & kSizeMask; }
  bool empty() const { return size() == 0; }
  // A list that fits its room is always in it. Its address then comes from
  // a predicted branch instead of a loaded pointer, so the processor fetches
  // the items before the header has arrived.
  const T* data() const {
    const uint32_t word = size_;
    const uint32_t room = word >> kSizeBits;
    return room != 0 && (word & kSizeMask) <= room ? inline_area() : block();
  }
  const T& operator[](size_t i) const { return data()[i]; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }

  // ---- writes: hold lock exclusively ----
  // Blocks are reused in place while they fit: an insertion's back-link and
  // the cap that follows it then never touch the allocator, which keeps a
  // long build from fragmenting the heap with short-lived list blocks.
  // Out of line: inlined into a caller that just allocated the block, GCC
  // cannot see the allocator's slack and misreports in-place writes.
  [[gnu::noinline]] void assign(std::span<const T> values) {
    const size_t n = checked_size(values.size());
    if (n != 0 && n <= inline_capacity()) {
      // memmove: the values may be this list's own items.
      std::memmove(inline_area(), values.data(), n * sizeof(T));
      release();
      set_block(inline_area());
    } else if (!on_heap() || n > capacity() || n * 2 < capacity()) {
      T* next = n == 0 ? empty_block() : allocate(n);
      if (n != 0) std::memcpy(next, values.data(), n * sizeof(T));
      release();
      set_block(next);
    } else if (n != 0) {
      std::memmove(block(), values.data(), n * sizeof(T));
    }
    set_size(n);
  }
  // Inserts value before position pos (pos <= size()).
  [[gnu::noinline]] void insert(size_t pos, const T& value) {
    const size_t len = size();
    checked_size(len + 1);
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
    set_size(len + 1);
  }
  void push_back(const T& value) { insert(size(), value); }
  // The items, for rewriting in place (then truncate() to shorten).
  T* mutable_data() { return const_cast<T*>(data()); }
  // Keeps the first n items (n <= size()). A list that fits its room again
  // moves back into it, as assign() would put it there.
  void truncate(size_t n) {
    if (n >= size()) return;
    if (on_heap() && n != 0 && n <= inline_capacity()) {
      assign({block(), n});
    } else {
      set_size(n);
    }
  }

  void clear() { assign({}); }

  // Never written and without room (all its bytes zero).
  bool untouched() const { return size_ == 0 && block() == nullptr; }

  // Gives a fresh, empty list room for `items` items right behind it: the
  // caller placed it at the start of a record that long and keeps it there.
  void init_inline(size_t items) {
    if (items > kMaxInline || size_ != 0 || block() != nullptr) {
      std::fprintf(stderr, "node list: inline room set on a used list\n");
      std::abort();
    }
    size_ = static_cast<uint32_t>(items << kSizeBits);
    set_block(items == 0 ? nullptr : inline_area());
  }

 private:
  // Elements the current block holds: the inline room, or the allocator's
  // usable size, so the capacity costs no field.
  size_t capacity() const {
    if (!on_heap()) return block() == nullptr ? 0 : inline_capacity();
    return malloc_usable_size(block()) / sizeof(T);
  }
  size_t inline_capacity() const { return size_ >> kSizeBits; }
  T* inline_area() const { return reinterpret_cast<T*>(const_cast<NodeList*>(this) + 1); }
  // Where an emptied list points: its room if it has one, else nowhere.
  T* empty_block() const { return inline_capacity() != 0 ? inline_area() : nullptr; }
  bool on_heap() const {
    const T* b = block();
    return b != nullptr && (inline_capacity() == 0 || b != inline_area());
  }
  T* block() const { return block_; }
  void set_block(T* p) { block_ = p; }
  void set_size(size_t n) { size_ = static_cast<uint32_t>((size_ & ~kSizeMask) | n); }
  // Gives a heap block back; the pointer is left dangling for the caller to
  // replace.
  void release() {
    if (on_heap()) std::free(block());
  }
  static size_t checked_size(size_t n) {
    if (n > kMaxSize) {
      std::fprintf(stderr, "node list: %zu items exceed the limit of %zu\n", n, kMaxSize);
      std::abort();
    }
    return n;
  }

  static T* allocate(size_t n) {
    T* p = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }

  static constexpr uint32_t kSizeBits = 20;
  static constexpr uint32_t kSizeMask = (uint32_t{1} << kSizeBits) - 1;
  static_assert(kMaxSize == kSizeMask && kMaxInline == (uint32_t{0xFFFFFFFF} >> kSizeBits));

  uint32_t size_ = 0;
  T* block_ = nullptr;
};

}  // namespace dovadure::vector::hnsw
