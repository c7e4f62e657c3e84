// Layer-0 adjacency lists, each followed by room for a full list: a search
// that expands a node reads its lock, length and items from one run of
// cache lines instead of a header and then a separate heap block.
//
// Records are `stride` bytes, chunk_capacity of them per zero-filled chunk;
// chunks never move, so references stay valid while the container lives.
// Snapshots and appends follow the rules of ChunkedArray (arena.hpp): three
// atomic loads to read, appends serialised by a writer mutex.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "utils/populate.hpp"
#include "vector/hnsw/arena.hpp"
#include "vector/hnsw/node_list.hpp"
#include "vector/hnsw/types.hpp"

namespace dovadure::vector::hnsw {

// kFixedCapacity as for ChunkedArray.
template <size_t kFixedCapacity = 0>
class BasicLayer0Lists {
 public:
  using List = NodeList<NodeIdx>;

  struct View {
    size_t chunk_count = 0;
    size_t len = 0;

    List& at(size_t i) const {
      const size_t c = geometry_.chunk_of(i);
      if (c >= chunk_count) arena_detail::fatal_index(i, c, chunk_count);
      return *reinterpret_cast<List*>(bases_[c] + geometry_.slot_of(i) * stride_);
    }
    // Starts fetching lines [first, last) of record i, without touching it.
    // Always inlined: out of line GCC finds the body pure (a prefetch does
    // not count as a side effect) and deletes every call, whose result is
    // unused.
    [[gnu::always_inline]] void prefetch(size_t i, size_t first, size_t last) const {
      const size_t c = geometry_.chunk_of(i);
      if (c >= chunk_count) return;
      const std::byte* record = bases_[c] + geometry_.slot_of(i) * stride_;
      for (size_t line = first; line < last && line * 64 < stride_; ++line) {
        __builtin_prefetch(record + line * 64, 0, 3);
      }
    }
    // Faults in, for writing, the pages of records [from, to), which lie in
    // one chunk: a load filling untouched records otherwise takes a fault
    // on every page. Advisory.
    void populate(size_t from, size_t to) const {
      if (to <= from || geometry_.chunk_of(from) != geometry_.chunk_of(to - 1)) return;
      if (geometry_.chunk_of(from) >= chunk_count) return;
      utils::populate_for_write(&at(from), (to - from) * stride_);
    }
   private:
    friend class BasicLayer0Lists;
    std::byte* const* bases_ = nullptr;
    arena_detail::GeometryFor<kFixedCapacity> geometry_;
    size_t stride_ = 0;
  };

  explicit BasicLayer0Lists(size_t chunk_capacity)
      : chunk_capacity_(chunk_capacity), geometry_(chunk_capacity) {
    if (chunk_capacity == 0) arena_detail::fatal("assertion failed: chunk_capacity > 0");
  }
  ~BasicLayer0Lists() {
    const View v = view();
    for (size_t i = 0; i < v.len; ++i) v.at(i).~List();
  }
  BasicLayer0Lists(const BasicLayer0Lists&) = delete;
  BasicLayer0Lists& operator=(const BasicLayer0Lists&) = delete;

  // Appends an empty list; the first append fixes the room of every list at
  // `room` items (at most List::kMaxInline; longer lists live on the heap).
  // With give = false the list gets its room only from give_room(): until
  // then its record stays untouched (an all-zero list is a valid empty list
  // without room), so a load can fill the records as it frees its input.
  size_t push_default(size_t room, bool give = true) { return push_defaults(1, room, give); }
  // As push_default, count lists under one lock; returns the first index.
  size_t push_defaults(size_t count, size_t room, bool give = true) {
    std::lock_guard<std::mutex> guard(writer_mutex_);
    const size_t first = writer_len_;
    if (first == 0) {
      room_ = std::min(room, List::kMaxInline);
      // Eight-byte steps keep every header's block pointer aligned.
      stride_.store((sizeof(List) + room_ * sizeof(NodeIdx) + 7) / 8 * 8, std::memory_order_relaxed);
    }
    const size_t stride = stride_.load(std::memory_order_relaxed);
    for (size_t i = first; i < first + count; ++i) {
      if (geometry_.slot_of(i) == 0) {
        // A chunk is a megabyte or so: rounded to huge pages, up to half of
        // it would be resident for nothing.
        chunks_.push_back(
            std::make_unique<arena_detail::ZeroedBlock>(chunk_capacity_ * stride, false));
        bases_.append(static_cast<std::byte*>(chunks_.back()->data()));
      }
      std::byte* record = bases_.table()[geometry_.chunk_of(i)] + geometry_.slot_of(i) * stride;
      if (give) (new (record) List())->init_inline(room_);
    }
    writer_len_ = first + count;
    published_len_.store(writer_len_, std::memory_order_release);
    return first;
  }

  // Gives a list appended with give = false its room; a no-op for any
  // other list. Hold the list's write lock or own the index alone.
  void give_room(List& list) const {
    if (list.untouched()) list.init_inline(room_);
  }

  // Length first: every list below it is in a chunk the count covers.
  View view() const {
    View v;
    v.len = published_len_.load(std::memory_order_acquire);
    v.chunk_count = bases_.count();
    v.bases_ = bases_.table();
    v.geometry_ = geometry_;
    // Fixed by the first append, published by the length above.
    v.stride_ = stride_.load(std::memory_order_relaxed);
    return v;
  }

  template <class F>
  decltype(auto) with(size_t i, F&& f) const {
    return std::forward<F>(f)(view().at(i));
  }

  size_t len() const { return published_len_.load(std::memory_order_acquire); }

 private:
  arena_detail::BaseTables<std::byte> bases_;
  const size_t chunk_capacity_;
  const arena_detail::GeometryFor<kFixedCapacity> geometry_;
  size_t room_ = 0;
  // Written once, by the first append; atomic so that an early view() may
  // read it without the writer mutex.
  std::atomic<size_t> stride_{0};

  mutable std::mutex writer_mutex_;
  std::vector<std::unique_ptr<arena_detail::ZeroedBlock>> chunks_;
  size_t writer_len_ = 0;
  std::atomic<size_t> published_len_{0};
};

using Layer0Lists = BasicLayer0Lists<>;

}  // namespace dovadure::vector::hnsw
