// Append-only chunked containers for per-node data: ChunkedArray<T> (one T per
// node) and VectorArena (one fixed-dimension float32 vector per node).
//
// Element i lives in chunk i / chunk_capacity at slot i % chunk_capacity.
// Chunks are never moved or freed while the container lives, so a reader that
// holds a snapshot reads elements without any lock, and appending never
// copies existing elements.
//
// Readers take snapshots with three atomic loads and no read-modify-write:
// searches on several cores take several per query, and a lock or a shared
// reference count there is one cache line bouncing between all of them. The
// chunk bases live in a table that grows by doubling; a new chunk's base is
// written into a free slot before the chunk count that covers it is
// published, and a grown table (a copy plus the new base) is published
// before that count too. Outgrown tables are kept until the container dies,
// since a reader may still hold one; they add up to less than the current
// table. Appends are serialised by the writer mutex.
#pragma once

#include <atomic>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include "utils/rwlock.hpp"

namespace dovadure::vector::hnsw {

namespace arena_detail {

[[noreturn, gnu::cold, gnu::noinline]] inline void fatal(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::fflush(stderr);
  std::abort();
}

[[noreturn, gnu::cold, gnu::noinline]] inline void fatal_index(size_t i, size_t chunk,
                                                                size_t chunk_count) {
  char text[160];
  std::snprintf(text, sizeof text,
                "arena index out of bounds: element %zu is in chunk %zu but the snapshot holds "
                "%zu chunk(s)",
                i, chunk, chunk_count);
  fatal(text);
}

// Splits an element index into (chunk, slot). Capacities are 4096 in the
// index, so the power-of-two case avoids a 64-bit division per access.
class ChunkGeometry {
 public:
  ChunkGeometry() = default;
  explicit ChunkGeometry(size_t capacity) : capacity_(capacity) {
    if (capacity != 0 && (capacity & (capacity - 1)) == 0) {
      pow2_ = true;
      mask_ = capacity - 1;
      while ((size_t{1} << shift_) != capacity) ++shift_;
    }
  }
  size_t capacity() const { return capacity_; }
  size_t chunk_of(size_t i) const { return pow2_ ? i >> shift_ : i / capacity_; }
  size_t slot_of(size_t i) const { return pow2_ ? i & mask_ : i % capacity_; }

 private:
  size_t capacity_ = 1;
  size_t mask_ = 0;
  uint32_t shift_ = 0;
  bool pow2_ = false;
};

// The same split for a capacity fixed at compile time: a shift and a mask,
// with no test of which case applies on every access.
template <size_t kCapacity>
class FixedChunkGeometry {
 public:
  FixedChunkGeometry() = default;
  explicit FixedChunkGeometry(size_t capacity) {
    if (capacity != kCapacity) fatal("assertion failed: chunk_capacity is the fixed capacity");
  }
  static constexpr size_t capacity() { return kCapacity; }
  static constexpr size_t chunk_of(size_t i) { return i / kCapacity; }
  static constexpr size_t slot_of(size_t i) { return i % kCapacity; }
};

// Capacity 0: chosen at run time.
template <size_t kCapacity>
using GeometryFor =
    std::conditional_t<kCapacity == 0, ChunkGeometry, FixedChunkGeometry<kCapacity>>;

// A zero-filled memory block. Large blocks are mapped directly, aligned to
// 2 MiB and offered to transparent huge pages: a search reads vectors at
// random, and one TLB entry per chunk instead of one per 4 KiB page is worth
// more than the rounding. Fresh mappings are zero without being touched, so
// untouched tails of a chunk cost no memory either way.
class ZeroedBlock {
 public:
  static constexpr size_t kHugePage = size_t{2} << 20;

  // With huge = false the block is never rounded up to huge pages: for
  // blocks much smaller than one, where the rounding would cost more
  // memory than the TLB saves.
  explicit ZeroedBlock(size_t bytes, bool huge = true) {
    if (huge && bytes >= kHugePage / 2) {
      mapped_bytes_ = ((bytes + kHugePage - 1) / kHugePage + 1) * kHugePage;
      void* p = ::mmap(nullptr, mapped_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
      if (p == MAP_FAILED) throw std::bad_alloc();
      mapped_ = p;
      const uintptr_t aligned =
          (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
      data_ = reinterpret_cast<void*>(aligned);
      // Advisory only: the block works the same without huge pages.
      (void)::madvise(data_, mapped_bytes_ - (aligned - reinterpret_cast<uintptr_t>(p)),
                      MADV_HUGEPAGE);
    } else {
      data_ = std::calloc(bytes == 0 ? 1 : bytes, 1);
      if (data_ == nullptr) throw std::bad_alloc();
    }
  }
  ~ZeroedBlock() {
    if (mapped_ != nullptr) {
      ::munmap(mapped_, mapped_bytes_);
    } else {
      std::free(data_);
    }
  }
  ZeroedBlock(const ZeroedBlock&) = delete;
  ZeroedBlock& operator=(const ZeroedBlock&) = delete;
  void* data() const { return data_; }

 private:
  void* data_ = nullptr;
  void* mapped_ = nullptr;
  size_t mapped_bytes_ = 0;
};

// The published chunk bases of one container (see the top of this file).
// Element access through a snapshot is two dependent loads.
template <class Elem>
class BaseTables {
 public:
  BaseTables() = default;
  BaseTables(const BaseTables&) = delete;
  BaseTables& operator=(const BaseTables&) = delete;

  // Number of chunks, then the table: in this order a reader never sees a
  // count that the table it loads does not cover.
  size_t count() const { return count_.load(std::memory_order_acquire); }
  Elem* const* table() const { return table_.load(std::memory_order_acquire); }

  // Writer only (under the container's writer mutex).
  void append(Elem* base) {
    const size_t n = count_.load(std::memory_order_relaxed);
    if (n == capacity_) {
      const size_t next_capacity = capacity_ == 0 ? 16 : capacity_ * 2;
      auto grown = std::make_unique<Elem*[]>(next_capacity);
      if (n != 0) std::memcpy(grown.get(), tables_.back().get(), n * sizeof(Elem*));
      tables_.push_back(std::move(grown));
      capacity_ = next_capacity;
      table_.store(tables_.back().get(), std::memory_order_release);
    }
    tables_.back()[n] = base;
    count_.store(n + 1, std::memory_order_release);
  }

 private:
  std::atomic<Elem* const*> table_{nullptr};
  std::atomic<size_t> count_{0};
  size_t capacity_ = 0;
  std::vector<std::unique_ptr<Elem*[]>> tables_;
};

}  // namespace arena_detail

// One T per element; T's default value until written. Used with atomics and
// utils::LockedList elements, which are shared mutable state: a snapshot hands
// out non-const references.
// A non-zero kFixedCapacity fixes the chunk capacity at compile time (the
// constructor must be given the same); 0 takes it at run time.
template <class T, size_t kFixedCapacity = 0>
class ChunkedArray {
 public:
  // A fixed-length array of chunk_capacity default elements.
  struct ArrayChunk {
    explicit ArrayChunk(size_t capacity) : items(new T[capacity]()) {}
    std::unique_ptr<T[]> items;
  };

  // Snapshot: sees the chunk count and length of the moment it was taken,
  // even after later appends. Valid while the container lives.
  struct View {
    size_t chunk_count = 0;
    size_t chunk_capacity = 0;
    size_t len = 0;

    // Element i; a chunk beyond the snapshot is a fatal error. Slots past
    // `len` inside an existing chunk hold default values.
    T& at(size_t i) const {
      const size_t c = geometry_.chunk_of(i);
      if (c >= chunk_count) arena_detail::fatal_index(i, c, chunk_count);
      return bases_[c][geometry_.slot_of(i)];
    }
    T& operator[](size_t i) const { return at(i); }
    // Element i < len, where the check is already made by the caller.
    T& at_unchecked(size_t i) const { return bases_[geometry_.chunk_of(i)][geometry_.slot_of(i)]; }

   private:
    friend class ChunkedArray;
    T* const* bases_ = nullptr;
    arena_detail::GeometryFor<kFixedCapacity> geometry_;
  };

  explicit ChunkedArray(size_t chunk_capacity = 4096)
      : chunk_capacity_(chunk_capacity), geometry_(chunk_capacity) {
    if (chunk_capacity == 0) arena_detail::fatal("assertion failed: chunk_capacity > 0");
  }
  ChunkedArray(const ChunkedArray&) = delete;
  ChunkedArray& operator=(const ChunkedArray&) = delete;

  // Appends one default element; returns its index.
  size_t push_default() {
    std::lock_guard<std::mutex> guard(writer_mutex_);
    const size_t i = writer_len_;
    if (geometry_.slot_of(i) == 0) {
      writer_chunks_.push_back(std::make_unique<ArrayChunk>(chunk_capacity_));
      bases_.append(writer_chunks_.back()->items.get());
    }
    writer_len_ = i + 1;
    published_len_.store(i + 1, std::memory_order_release);
    return i;
  }

  // Appends count default elements under one lock; returns the first index.
  size_t push_defaults(size_t count) {
    std::lock_guard<std::mutex> guard(writer_mutex_);
    const size_t first = writer_len_;
    for (size_t i = first; i < first + count; ++i) {
      if (geometry_.slot_of(i) == 0) {
        writer_chunks_.push_back(std::make_unique<ArrayChunk>(chunk_capacity_));
        bases_.append(writer_chunks_.back()->items.get());
      }
    }
    writer_len_ = first + count;
    published_len_.store(writer_len_, std::memory_order_release);
    return first;
  }

  // Length first: every element below it is in a chunk the count covers.
  View view() const {
    View v;
    v.len = published_len_.load(std::memory_order_acquire);
    v.chunk_count = bases_.count();
    v.bases_ = bases_.table();
    v.chunk_capacity = chunk_capacity_;
    v.geometry_ = geometry_;
    return v;
  }

  // Applies f to element i through a fresh snapshot; returns what f returns.
  // Lock-free, like view().
  template <class F>
  decltype(auto) with(size_t i, F&& f) const {
    const View v = view();
    return std::forward<F>(f)(v.at(i));
  }

  // Elements appended so far.
  size_t len() const { return published_len_.load(std::memory_order_acquire); }
  size_t chunk_capacity() const { return chunk_capacity_; }

 private:
  arena_detail::BaseTables<T> bases_;
  const size_t chunk_capacity_;
  const arena_detail::GeometryFor<kFixedCapacity> geometry_;

  mutable std::mutex writer_mutex_;
  std::vector<std::unique_ptr<ArrayChunk>> writer_chunks_;
  size_t writer_len_ = 0;
  // Mirror of writer_len_ for lock-free len().
  std::atomic<size_t> published_len_{0};
};

// Fixed-dimension float32 vectors.
// kFixedCapacity as for ChunkedArray.
template <size_t kFixedCapacity = 0>
class BasicVectorArena {
 public:
  // chunk_capacity rows of stride floats: a zeroed block of its own, or rows
  // that already sit in memory kept alive by `owner` (adopt_chunk).
  struct VectorChunk {
    explicit VectorChunk(size_t floats)
        : block(std::make_unique<arena_detail::ZeroedBlock>(floats * sizeof(float))),
          data(static_cast<float*>(block->data())) {}
    VectorChunk(float* rows, std::shared_ptr<const void> keeper)
        : owner(std::move(keeper)), data(rows) {}
    std::unique_ptr<arena_detail::ZeroedBlock> block;
    std::shared_ptr<const void> owner;
    float* data;
  };

  // Snapshot for search loops: ptr(i) is two dependent loads and a compare.
  // Valid while the arena lives.
  struct View {
    size_t chunk_count = 0;
    size_t chunk_capacity = 0;
    size_t len = 0;
    size_t dim = 0;
    // Floats from one row to the next (dim, or more for adopted rows).
    size_t stride = 0;

    const float* ptr(size_t i) const {
      const size_t c = geometry_.chunk_of(i);
      if (c >= chunk_count) arena_detail::fatal_index(i, c, chunk_count);
      return bases_[c] + geometry_.slot_of(i) * stride;
    }
    std::span<const float> get(size_t i) const { return {ptr(i), dim}; }
    // Row i < len, where the check is already made by the caller.
    const float* ptr_unchecked(size_t i) const {
      return bases_[geometry_.chunk_of(i)] + geometry_.slot_of(i) * stride;
    }

   private:
    friend class BasicVectorArena;
    float* const* bases_ = nullptr;
    arena_detail::GeometryFor<kFixedCapacity> geometry_;
  };

  // dim may be 0: such an arena stands for an index that was never given a
  // vector, and it never holds a row (push and adopt_chunk abort).
  BasicVectorArena(size_t dim,
                   size_t chunk_capacity = kFixedCapacity == 0 ? 4096 : kFixedCapacity)
      : dim_(dim), stride_(dim), chunk_capacity_(chunk_capacity), geometry_(chunk_capacity) {
    if (chunk_capacity == 0) arena_detail::fatal("assertion failed: chunk_capacity > 0");
    if (dim != 0 && chunk_capacity > SIZE_MAX / sizeof(float) / dim) {
      arena_detail::fatal("assertion failed: chunk_capacity * dim fits in memory");
    }
  }
  BasicVectorArena(const BasicVectorArena&) = delete;
  BasicVectorArena& operator=(const BasicVectorArena&) = delete;

  // Rows `stride` floats apart (stride >= dim), so that rows laid out with
  // a gap between them can be adopted in place. Only before the first row.
  void set_stride(size_t stride) {
    std::lock_guard<std::mutex> guard(writer_mutex_);
    if (writer_len_ != 0 || stride == 0 || stride < dim_ ||
        chunk_capacity_ > SIZE_MAX / sizeof(float) / stride) {
      arena_detail::fatal("assertion failed: stride set on an empty arena, dim <= stride");
    }
    stride_ = stride;
  }

  // Appends chunk_capacity vectors that already sit in memory, row i at
  // rows + i * stride, without copying them. `keeper` keeps that memory alive
  // as long as the arena; nothing else may write it. Only when the length is
  // a whole number of chunks.
  size_t adopt_chunk(float* rows, std::shared_ptr<const void> keeper) {
    if (dim_ == 0) arena_detail::fatal("vector arena adopt_chunk: the arena has dimension 0");
    std::lock_guard<std::mutex> guard(writer_mutex_);
    const size_t i = writer_len_;
    if (geometry_.slot_of(i) != 0) {
      arena_detail::fatal("assertion failed: chunks are adopted at a chunk boundary");
    }
    writer_chunks_.push_back(std::make_unique<VectorChunk>(rows, std::move(keeper)));
    bases_.append(writer_chunks_.back()->data);
    writer_len_ = i + chunk_capacity_;
    published_len_.store(writer_len_, std::memory_order_release);
    return i;
  }

  // Appends a copy of the dim floats at v; returns the new vector's index.
  size_t push(const float* v) {
    if (dim_ == 0) arena_detail::fatal("vector arena push: the arena has dimension 0");
    std::lock_guard<std::mutex> guard(writer_mutex_);
    const size_t i = writer_len_;
    const size_t c = geometry_.chunk_of(i);
    const size_t s = geometry_.slot_of(i);
    if (s == 0) {
      auto chunk = std::make_unique<VectorChunk>(chunk_capacity_ * stride_);
      std::memcpy(chunk->data, v, dim_ * sizeof(float));
      writer_chunks_.push_back(std::move(chunk));
      bases_.append(writer_chunks_.back()->data);
    } else {
      // Slot s of a published chunk: readers do not look at it until the
      // index publishes the node, which happens after this copy.
      std::memcpy(writer_chunks_[c]->data + s * stride_, v, dim_ * sizeof(float));
    }
    writer_len_ = i + 1;
    published_len_.store(i + 1, std::memory_order_release);
    return i;
  }

  // Copies the first dim floats; a shorter span is a programming error (the
  // index checks lengths first) and aborts rather than read past it.
  size_t push(std::span<const float> v) {
    if (v.size() < dim_) {
      char text[128];
      std::snprintf(text, sizeof text, "vector arena push: expected %zu floats, got %zu", dim_,
                    v.size());
      arena_detail::fatal(text);
    }
    return push(v.data());
  }

  // The dim floats of vector i. No check against len: an unwritten slot of an
  // existing chunk reads as zeros. Valid for the arena's lifetime.
  std::span<const float> get_direct(size_t i) const {
    const size_t c = geometry_.chunk_of(i);
    const size_t count = bases_.count();
    if (c >= count) arena_detail::fatal_index(i, c, count);
    return {bases_.table()[c] + geometry_.slot_of(i) * stride_, dim_};
  }

  // Length first: every vector below it is in a chunk the count covers.
  View view() const {
    View v;
    v.len = published_len_.load(std::memory_order_acquire);
    v.chunk_count = bases_.count();
    v.bases_ = bases_.table();
    v.chunk_capacity = chunk_capacity_;
    v.dim = dim_;
    v.stride = stride_;
    v.geometry_ = geometry_;
    return v;
  }

  // The memory of the adopted chunks from the first one on, as far as they
  // lie back to back (as a load lays them out); empty when none is adopted.
  std::span<const std::byte> adopted_span() const {
    std::lock_guard<std::mutex> guard(writer_mutex_);
    const size_t chunk_bytes = chunk_capacity_ * stride_ * sizeof(float);
    const std::byte* begin = nullptr;
    const std::byte* end = nullptr;
    for (const auto& chunk : writer_chunks_) {
      if (chunk->owner == nullptr) continue;
      const auto* rows = reinterpret_cast<const std::byte*>(chunk->data);
      if (begin != nullptr && rows != end) break;
      if (begin == nullptr) begin = rows;
      end = rows + chunk_bytes;
    }
    return begin == nullptr ? std::span<const std::byte>()
                            : std::span<const std::byte>(begin, static_cast<size_t>(end - begin));
  }

  size_t len() const { return published_len_.load(std::memory_order_acquire); }
  size_t dim() const { return dim_; }
  size_t stride() const { return stride_; }
  size_t chunk_capacity() const { return chunk_capacity_; }

 private:
  arena_detail::BaseTables<float> bases_;
  const size_t dim_;
  // Written only while the arena is empty, before any reader can exist.
  size_t stride_;
  const size_t chunk_capacity_;
  const arena_detail::GeometryFor<kFixedCapacity> geometry_;

  mutable std::mutex writer_mutex_;
  std::vector<std::unique_ptr<VectorChunk>> writer_chunks_;
  size_t writer_len_ = 0;
  std::atomic<size_t> published_len_{0};
};

using VectorArena = BasicVectorArena<>;

}  // namespace dovadure::vector::hnsw
