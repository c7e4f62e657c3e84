// Per-thread reusable search state: epoch-stamped visited marks, the
// candidate and result heaps and a few buffers, borrowed exclusively by one
// search (or one candidate extension) at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "vector/hnsw/types.hpp"

namespace dovadure::vector::hnsw {

// Array-backed binary heap over records with a float `sort_key`. With
// kSmallestKeyOnTop the record with the smallest key is the greatest (the
// candidate queue); otherwise the largest key is (the result queue).
//
// Keys may be NaN, for which every comparison is false: a sift-up never stops
// at a parent it does not compare with, and a sift-down takes the left child
// when the two children do not compare. Nothing relies on a strict weak
// ordering, so a NaN key can only misplace records, never corrupt the heap.
// clear() keeps the storage.
template <class T, bool kSmallestKeyOnTop>
class BinaryHeap {
 public:
  bool empty() const { return data_.empty(); }
  size_t size() const { return data_.size(); }
  const T& top() const { return data_.front(); }
  void clear() { data_.clear(); }
  void reserve(size_t n) { data_.reserve(n); }
  const std::vector<T>& items() const { return data_; }

  void push(const T& item) {
    data_.push_back(item);
    sift_up(0, data_.size() - 1);
  }

  // Removes and returns the greatest record; the heap must not be empty.
  T pop() {
    T item = data_.back();
    data_.pop_back();
    if (!data_.empty()) {
      std::swap(item, data_.front());
      sift_down_to_bottom(0);
    }
    return item;
  }

  // Does what push(item) then pop() would, arrangement included, so that
  // equal keys come out as they would. When item would stay at the bottom
  // (the usual case for a record that beats the top), the pushed-and-popped
  // heap is this one with item in place of the top: one sift instead of three.
  void push_pop(const T& item) {
    const size_t n = data_.size();
    if (n == 0) return;  // the push's record is the one popped
    if (at_most(item, data_[(n - 1) / 2])) {
      data_.front() = item;
      sift_down_to_bottom(0);
      return;
    }
    push(item);
    pop();
  }

  // Heap-sorts the storage in place so that items() runs from the least to
  // the greatest record; the heap property is gone until clear().
  // Records with distinct numeric keys have one ascending order, which a
  // sort of (key, position) words reaches in fewer steps; the heap sort runs
  // when keys repeat or one is NaN, since it places those its own way.
  void sort_ascending() {
    const size_t n = data_.size();
    if (n < 2) return;
    if (n <= std::numeric_limits<uint32_t>::max()) {
      order_.resize(n);
      for (size_t i = 0; i < n; ++i) {
        order_[i] = uint64_t{sort_key_order(data_[i].sort_key)} << 32 | i;
      }
      std::sort(order_.begin(), order_.end());
      // A NaN orders last, as the largest word.
      bool distinct = order_[n - 1] >> 32 != std::numeric_limits<uint32_t>::max();
      for (size_t i = 1; i < n && distinct; ++i) {
        distinct = order_[i] >> 32 != order_[i - 1] >> 32;
      }
      if (distinct) {
        copy_.assign(data_.begin(), data_.end());
        for (size_t i = 0; i < n; ++i) data_[i] = copy_[static_cast<uint32_t>(order_[i])];
        return;
      }
    }
    heap_sort();
  }

 private:
  void heap_sort() {
    for (size_t end = data_.size(); end > 1;) {
      --end;
      std::swap(data_[0], data_[end]);
      sift_down_range(0, end);
    }
  }

  // Ordering of records, IEEE style: all three are false for a NaN key.
  static bool less(const T& a, const T& b) {
    return kSmallestKeyOnTop ? a.sort_key > b.sort_key : a.sort_key < b.sort_key;
  }
  static bool at_most(const T& a, const T& b) {
    return kSmallestKeyOnTop ? a.sort_key >= b.sort_key : a.sort_key <= b.sort_key;
  }
  static bool at_least(const T& a, const T& b) { return at_most(b, a); }

  // The sifts work through a local pointer: the records they copy could
  // otherwise alias the vector's own pointers, which would then be loaded
  // again at every step.
  void sift_up(size_t start, size_t pos) {
    T* const d = data_.data();
    const T item = d[pos];
    while (pos > start) {
      const size_t parent = (pos - 1) / 2;
      if (at_most(item, d[parent])) break;
      d[pos] = d[parent];
      pos = parent;
    }
    d[pos] = item;
  }

  // Walks the hole down along the greater children to a leaf, then sifts the
  // displaced record back up: it usually belongs near the bottom, so this
  // costs fewer comparisons than the classic sift-down.
  void sift_down_to_bottom(size_t pos) {
    T* const d = data_.data();
    const size_t end = data_.size();
    const size_t start = pos;
    const T item = d[pos];
    size_t child = 2 * pos + 1;
    while (child + 1 < end) {
      if (at_most(d[child], d[child + 1])) ++child;
      d[pos] = d[child];
      pos = child;
      child = 2 * pos + 1;
    }
    if (child + 1 == end) {
      d[pos] = d[child];
      pos = child;
    }
    d[pos] = item;
    sift_up(start, pos);
  }

  // Classic sift-down within [pos, end), for the in-place sort.
  void sift_down_range(size_t pos, size_t end) {
    T* const d = data_.data();
    const T item = d[pos];
    size_t child = 2 * pos + 1;
    while (child + 1 < end) {
      if (at_most(d[child], d[child + 1])) ++child;
      if (at_least(item, d[child])) break;
      d[pos] = d[child];
      pos = child;
      child = 2 * pos + 1;
    }
    if (child + 1 == end && less(item, d[child])) {
      d[pos] = d[child];
      pos = child;
    }
    d[pos] = item;
  }

  std::vector<T> data_;
  // sort_ascending's buffers, kept with the heap's storage.
  std::vector<uint64_t> order_;
  std::vector<T> copy_;
};

// A node as the queues keep it: its index and sort key. A candidate's score
// is never read once its key is known, and a result's follows from its key
// (the key is the score, or the score with its sign bit flipped), so the
// 8-byte record moves through a heap with one load and one store.
struct QueuedNode {
  NodeIdx idx = 0;
  float sort_key = 0.0f;

  QueuedNode() = default;
  // From the (index, score, key) triple of a scored node.
  QueuedNode(NodeIdx idx, float /*score*/, float sort_key) : idx(idx), sort_key(sort_key) {}
};

using CandidateHeap = BinaryHeap<QueuedNode, true>;
using ResultHeap = BinaryHeap<QueuedNode, false>;

// Visited marks of the searches: node i is visited when marks[i] == epoch.
// Epochs run 1..255; the wrap clears the array, so a mark left by an
// earlier search can never equal the current epoch.
struct VisitedMarks {
  std::vector<uint8_t> marks;
  uint8_t epoch = 0;

  // Grows the array to n (new bytes 0) and starts a new epoch.
  void begin(size_t n) {
    if (marks.size() < n) marks.resize(n, 0);
    if (epoch == 255) {
      std::fill(marks.begin(), marks.end(), uint8_t{0});
      epoch = 1;
    } else {
      ++epoch;
    }
  }
  bool test(size_t i) const { return marks[i] == epoch; }
  void set(size_t i) { marks[i] = epoch; }
};

// Visited stamps of candidate extension: u32 wide, so the clear happens once
// per four billion uses instead of once per 255.
struct VisitedStamps {
  std::vector<uint32_t> stamps;
  uint32_t epoch = 0;

  // Grows the array to at least n (new stamps 0) and starts a new epoch;
  // reaching the u32 maximum clears every stamp and restarts at 1.
  void begin(size_t n) {
    if (stamps.size() < n) stamps.resize(n, 0);
    if (epoch + 1 == UINT32_MAX) {
      std::fill(stamps.begin(), stamps.end(), 0u);
      epoch = 1;
    } else {
      ++epoch;
    }
  }
  bool has_slot(size_t i) const { return i < stamps.size(); }
  bool test(size_t i) const { return stamps[i] == epoch; }
  void set(size_t i) { stamps[i] = epoch; }
};

// One per thread. Every buffer keeps its storage between uses, so a search
// in the steady state allocates only the list it returns.
struct SearchScratch {
  VisitedMarks visited;
  CandidateHeap candidates;
  ResultHeap results;

  // Candidate extension (insertion).
  VisitedStamps stamps;
  std::vector<NodeCandidate> extension;
  // Scores the last layer search asked to remember them computed: node i's
  // score against that search's query is memo_scores[i] while memo.test(i).
  VisitedStamps memo;
  std::vector<float> memo_scores;

  // Layer searches: neighbours gathered for group scoring, a copy of an
  // adjacency list or score list, the 8-bit screening query.
  std::vector<NodeIdx> group;
  std::vector<NodeIdx> neighbors;
  std::vector<float> scores;
  std::vector<int8_t> screen_query;

  // Starts a layer search over n nodes: new epoch, both queues empty.
  void begin_search(size_t n) {
    visited.begin(n);
    candidates.clear();
    results.clear();
  }
};

// Exclusive borrow of the calling thread's scratch (the thread-local
// SEARCH_SCRATCH, created on first use and dropped at thread exit). Borrowing
// it while this thread already holds it means a search re-entered itself:
// a programming error, which aborts the process.
class ScratchBorrow {
 public:
  ScratchBorrow();
  ~ScratchBorrow();
  ScratchBorrow(const ScratchBorrow&) = delete;
  ScratchBorrow& operator=(const ScratchBorrow&) = delete;

  SearchScratch& operator*() const { return *scratch_; }
  SearchScratch* operator->() const { return scratch_; }

 private:
  SearchScratch* scratch_;
};

}  // namespace dovadure::vector::hnsw
