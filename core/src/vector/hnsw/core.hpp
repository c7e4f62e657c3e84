// The in-memory HNSW graph: fields, node allocation, levels, entry point and
// the operations other modules call. Construction of edges lives in
// insert.cpp, search in search_*.cpp, quantisation in quantize.cpp, the
// snapshot form in snapshot.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/errors.hpp"
#include "utils/rwlock.hpp"
#include "utils/types.hpp"
#include "vector/hnsw/arena.hpp"
#include "vector/hnsw/id_index.hpp"
#include "vector/hnsw/layer0_lists.hpp"
#include "vector/hnsw/node_list.hpp"
#include "vector/hnsw/prune_memo.hpp"
#include "vector/hnsw/search_options.hpp"
#include "vector/hnsw/types.hpp"

namespace dovadure::vector::hnsw {

struct HnswSnapshot;  // snapshot.hpp
struct NodeViews;     // node_views.hpp

}  // namespace dovadure::vector::hnsw

namespace dovadure::utils {
struct Payload;
}
namespace dovadure::payload_storage {
class PayloadIndex;
}

namespace dovadure::vector::hnsw {

// Id bookkeeping, guarded by HNSWIndex's alloc mutex.
struct AllocState {
  std::vector<uint64_t> ids;  // point id of node 0, 1, 2, ... in allocation order
  IdIndex id_to_idx;          // keys are read back from ids
  size_t next_idx = 0;

  std::optional<NodeIdx> find(uint64_t id) const { return id_to_idx.find(id, ids); }
};

// Node states: allocated but not linked, linked and traversable, deleted.
inline constexpr uint8_t kStateAllocated = 0;
inline constexpr uint8_t kStateLive = 1;
inline constexpr uint8_t kStateDeleted = 2;

inline constexpr size_t kChunkCapacity = 4096;

// The index's per-node containers, their chunk capacity fixed at compile
// time so that an element's chunk and slot are a shift and a mask.
template <class T>
using NodeArray = ChunkedArray<T, kChunkCapacity>;
using NodeVectorArena = BasicVectorArena<kChunkCapacity>;
using NodeLayer0Lists = BasicLayer0Lists<kChunkCapacity>;

// Reseeds the calling thread's level generator (otherwise seeded from the
// operating system), so that a single-threaded build is reproducible.
void seed_level_generator(uint64_t seed);

// Entry-point word: low 32 bits node index (0xFFFFFFFF = none), high 32 bits level.
inline constexpr uint64_t make_entry_word(NodeIdx idx, uint32_t level) {
  return (static_cast<uint64_t>(level) << 32) | idx;
}
inline constexpr NodeIdx entry_word_idx(uint64_t w) { return static_cast<NodeIdx>(w & 0xFFFFFFFFu); }
inline constexpr uint32_t entry_word_level(uint64_t w) { return static_cast<uint32_t>(w >> 32); }

using NeighborList = NodeList<NodeIdx>;
using ScoreList = NodeList<float>;

// Lists of layers 1 and up of one node. Only nodes that own a list above
// layer 0 have a block, so upper layers cost nothing for the ~15/16 of nodes
// whose level is 0.
struct UpperLists {
  explicit UpperLists(size_t top) : top(top), lists(new NeighborList[top]) {}
  size_t top;  // lists[l - 1] is the list at layer l, for 1 <= l <= top
  std::unique_ptr<NeighborList[]> lists;
};

// Snapshot of the adjacency arrays for search loops: taken once per search,
// then list() is a few loads and no lock. A node without a list at a layer
// reads as nullptr, which behaves as an empty list.
class AdjacencyView {
 public:
  const NeighborList* list(size_t layer, NodeIdx u) const {
    if (u >= len_) return nullptr;
    if (layer == 0) return &layer0_.at(u);
    if (layer >= num_layers_) return nullptr;
    const UpperLists* block = upper_.at(u).load(std::memory_order_acquire);
    return block != nullptr && layer <= block->top ? &block->lists[layer - 1] : nullptr;
  }
  size_t len() const { return len_; }
  size_t num_layers() const { return num_layers_; }
  // Layer 0 alone, for prefetching records ahead of list().
  const NodeLayer0Lists::View& layer0() const { return layer0_; }

 private:
  friend class HNSWIndex;
  NodeLayer0Lists::View layer0_;
  NodeArray<std::atomic<UpperLists*>>::View upper_;
  size_t len_ = 0;
  size_t num_layers_ = 0;
};

class HNSWIndex {
 public:
  // `new`: reads the level-scale and max-level environment rules on every call.
  HNSWIndex(utils::DistanceMetric metric, size_t m, size_t ef_construction, size_t max_level,
            size_t dim);
  ~HNSWIndex();
  HNSWIndex(const HNSWIndex&) = delete;
  HNSWIndex& operator=(const HNSWIndex&) = delete;

  // ---- accessors (core.cpp) ----
  size_t len() const;  // nodes allocated, deleted ones included
  bool contains(uint64_t id) const;
  std::optional<NodeIdx> idx_of(uint64_t id) const;
  std::optional<std::span<const float>> get_vector(uint64_t id) const;
  std::optional<std::span<const float>> get_vector_by_idx(size_t idx) const;
  void mark_deleted(uint64_t id);
  std::optional<NodeIdx> find_highest_level_entry_point() const;
  float fast_score(std::span<const float> a, std::span<const float> b) const;
  std::vector<float> maybe_normalize(std::span<const float> v) const;
  // Samples a level with the calling thread's generator (core.cpp).
  uint8_t sample_level() const;
  // Node allocation: under the alloc mutex, returns nullopt when the id is
  // already present; otherwise appends the (already normalised) vector, level,
  // flags and id to every per-node array, then writes the one-element lists
  // [self] on layers 0..level. The node starts in state 0.
  std::optional<NodeIdx> allocate_node(uint64_t id, std::span<const float> vector, uint8_t level);
  void set_state(NodeIdx idx, uint8_t state);
  // Pre-sizes the id bookkeeping for n nodes.
  void reserve_nodes(size_t n);
  // Number of layer arrays; a rebuilt index may have more than max_level + 1.
  void set_num_layers(size_t n) { num_layers_ = n; }
  void store_entry_point_word(uint64_t word) { entry_point_.store(word, std::memory_order_release); }
  // Declares that the graph will never change again and freezes the lock of
  // every adjacency and score list (utils::SpinRwLock::freeze): read locks
  // then cost a load and no write, so searches on several cores stop
  // bouncing the cache lines of the lists they share. One-way. Must not run
  // concurrently with any other use of the index; afterwards adding a node
  // or changing a list is a programming error and aborts.
  // Freezing also notes whether every node is live.
  void freeze();
  bool frozen() const { return frozen_.load(std::memory_order_acquire); }
  // True once frozen with every node live: searches may skip state checks.
  bool all_live() const { return all_live_; }

  utils::DistanceMetric metric() const { return metric_; }
  size_t dim() const { return dim_; }
  size_t m() const { return m_; }
  size_t m0() const { return m0_; }
  size_t max_neighbors_l0() const { return max_neighbors_l0_; }
  size_t ef_construction() const { return ef_construction_; }
  size_t ef_insert() const { return ef_insert_; }
  size_t max_level() const { return max_level_; }
  double level_scale() const { return level_scale_; }
  bool exact_fallback_enabled() const { return exact_fallback_enabled_; }
  size_t exact_fallback_threshold() const { return exact_fallback_threshold_; }
  size_t deleted_count() const { return deleted_count_.load(std::memory_order_acquire); }
  uint64_t entry_point_word() const { return entry_point_.load(std::memory_order_acquire); }
  size_t num_layers() const { return num_layers_; }
  uint64_t point_id(NodeIdx idx) const;
  uint8_t level_of(NodeIdx idx) const;
  uint8_t state_of(NodeIdx idx) const;
  bool is_deleted(NodeIdx idx) const;
  // Settings a segment copies onto a fresh index when it unloads.
  void set_m0(size_t v) { m0_ = v; }
  void set_max_neighbors_l0(size_t v) { max_neighbors_l0_ = v; }
  void set_ef_insert(size_t v) { ef_insert_ = v; }
  // Lean lists: insertion and caps keep only the neighbours the diversity
  // rule accepts, with no fill pass topping lists up to their target, and
  // insertion selects from its beam alone (no candidate extension). Lists
  // then stay under their cap, so back-links rarely trigger a cap. Off by
  // default (every load and log replay inserts with full lists); a build
  // switches it on for its own insertions. Not saved in snapshots.
  void set_lean_lists(bool on) { lean_lists_ = on; }
  bool lean_lists() const { return lean_lists_; }
  void set_exact_fallback(bool enabled, size_t threshold) {
    exact_fallback_enabled_ = enabled;
    exact_fallback_threshold_ = threshold;
  }

  // ---- adjacency lists (core.cpp) ----
  // Copies u's list at `layer` into out (cleared first) under its read lock.
  // Returns false when the layer does not exist or u has no slot in it.
  bool copy_neighbors(size_t layer, NodeIdx u, std::vector<NodeIdx>& out) const;
  // The element behind u's list at `layer`, or nullptr when there is none.
  // Callers take its lock themselves.
  const NeighborList* neighbor_list(size_t layer, NodeIdx u) const;
  NeighborList* neighbor_list_mut(size_t layer, NodeIdx u);
  // Like neighbor_list_mut, but creates the list (empty) when u < len() has
  // none at that layer yet. A list above layer 0 may be re-homed by a later
  // call: a writer re-checks, under the list's lock, that the pointer is
  // still the one neighbor_list returns.
  NeighborList* ensure_neighbor_list(size_t layer, NodeIdx u);
  // Replaces u's list at `layer` under its write lock (creating it if needed).
  void set_neighbors(size_t layer, NodeIdx u, std::span<const NodeIdx> items);
  AdjacencyView adjacency_view() const;
  // Vectors, deleted flags and states in one snapshot (node_views.hpp).
  NodeViews node_views() const;
  const ScoreList* l0_scores(NodeIdx u) const;
  size_t l0_scores_len() const;

  // ---- insertion (insert.cpp) ----
  utils::Status insert(uint64_t id, std::vector<float> vector);
  NodeIdx greedy_search_layer_unfiltered(std::span<const float> q, NodeIdx start,
                                         size_t layer) const;
  std::vector<NodeIdx> select_diverse_neighbors(const std::vector<NodeCandidate>& candidates,
                                                size_t target, bool negate, size_t layer) const;
  void cap_layer_neighbors(size_t layer, NodeIdx u);

  // ---- filter-aware edges (filter_edges.cpp) ----
  // Extra one-way layer-0 edges from a freshly inserted point towards the
  // closest points sharing one of its filter-key values. `payloads` is the
  // segment's payload map (passed along; only `payload` is read).
  utils::Status build_filter_aware_edges(
      uint64_t id, std::span<const float> vector, const utils::Payload& payload,
      const payload_storage::PayloadIndex& payload_index,
      const std::unordered_map<uint64_t, utils::Payload>& payloads,
      const std::vector<std::string>& keys);
  // Adds `to` to `from`'s list at `layer` once, re-sorts and re-caps the list.
  void add_one_way_edge(size_t layer, uint64_t from_id, uint64_t to_id);
  // Re-sorts f's list at `layer` by ascending sort key from f, dropping
  // tombstoned entries; on layer 0 rebuilds f's score list.
  void sort_layer_neighbors(size_t layer, NodeIdx f);

  // ---- search (search_with_options.cpp, search_layer.cpp, search_sq8.cpp) ----
  utils::Result<std::vector<utils::ScoredPoint>> search_with_options(
      std::span<const float> query, size_t k, const SearchOptions& options) const;

  struct LayerSearchResult {
    std::vector<NodeCandidate> nodes;  // sorted by sort_key ascending
    SearchCounters counters;
  };
  // With remember_scores, every score the search computes is also kept in
  // the thread's scratch (memo, memo_scores) until the next such search.
  utils::Result<LayerSearchResult> search_layer_unfiltered(std::span<const float> query,
                                                           std::span<const NodeIdx> entries,
                                                           size_t level, size_t ef,
                                                           const SearchOptions& options,
                                                           bool negate, StatsSink* stats,
                                                           TraceContext* trace,
                                                           bool remember_scores = false) const;
  utils::Result<std::vector<NodeCandidate>> run_l0_search(std::span<const float> query,
                                                          std::span<const NodeIdx> entries,
                                                          size_t ef, const SearchOptions& options,
                                                          bool negate, StatsSink* stats,
                                                          TraceContext* trace) const;
  utils::Result<std::vector<NodeResult>> search_layer_unfiltered_sq8(
      std::span<const int16_t> quantized_query, std::span<const NodeIdx> entries, size_t level,
      size_t pool, const SearchOptions& options, StatsSink* stats, TraceContext* trace) const;

  // ---- snapshot record (snapshot.cpp) ----
  // A detached copy keyed by point id; may run while searches run.
  HnswSnapshot to_snapshot() const;
  // Vector rows kept in place in a load's input (VectorArena::adopted_span).
  std::span<const std::byte> adopted_vector_rows() const { return vectors_.adopted_span(); }
  // Layer-0 caps so far that replayed their list's previous cap.
  uint64_t prune_memo_reuses() const { return prune_memo_.reuses(); }

  // Builds a new index from the record. Fails (Serialization) for input that
  // cannot be built: a dimension of 0, or a stored vector whose length
  // differs from the dimension.
  static utils::Result<std::unique_ptr<HNSWIndex>> from_snapshot(HnswSnapshot snapshot);

  // ---- SQ8 (quantize.cpp) ----
  void quantize_all();
  std::vector<int8_t> quantize_query_i8(std::span<const float> query) const;
  bool has_codes() const { return !codes_.empty(); }
  const std::vector<uint8_t>& codes() const { return codes_; }
  // Σ c² of each node's codes (affine codes only; empty for Cosine).
  const std::vector<int64_t>& code_square_sums() const { return code_square_sums_; }
  const std::vector<float>& mins() const { return mins_; }
  const std::vector<float>& scales() const { return scales_; }

 private:
  friend class HnswSnapshotBuilder;  // snapshot.cpp builds an index field by field

  // Appends a node to every per-node array under the alloc mutex; with
  // only_if_absent, returns nullopt instead when the id is already there.
  std::optional<NodeIdx> push_node(uint64_t id, std::span<const float> vector, uint8_t level,
                                   uint8_t state, bool deleted, bool only_if_absent);
  // For rebuilding from a record: appends ids.size() nodes whose vectors are
  // already in the arena, in one step per per-node array, with no adjacency
  // lists yet; each is live, or deleted where deleted[i] is set (and then
  // counts in deleted_count). The ids must be new. Returns the first index.
  NodeIdx push_loaded_nodes(std::span<const uint64_t> ids, std::span<const uint8_t> levels,
                            std::span<const uint8_t> deleted);
  // Items of room behind each layer-0 list: a full list, the node itself
  // and one back-link before its cap. Very wide lists (m in the hundreds)
  // live on the heap instead, so that small indexes stay small.
  size_t layer0_room() const {
    constexpr size_t kMaxRoom = 512;
    return max_neighbors_l0_ >= kMaxRoom - 2 ? kMaxRoom : max_neighbors_l0_ + 2;
  }

  utils::DistanceMetric metric_;
  size_t m_;
  size_t m0_;
  size_t max_neighbors_l0_;
  size_t ef_construction_;
  size_t ef_insert_;
  size_t max_level_;
  double level_scale_;
  size_t dim_;
  bool exact_fallback_enabled_;
  size_t exact_fallback_threshold_;

  // Node u's adjacency list at layer l (the node itself first, then its
  // neighbours) is layer0_[u] for l = 0 and upper_[u]->lists[l - 1] above;
  // a missing block or a block below l stands for an empty list.
  NodeLayer0Lists layer0_;
  NodeArray<std::atomic<UpperLists*>> upper_;
  size_t num_layers_;
  // Blocks replaced by a taller one stay alive until the index dies, since a
  // concurrent reader may still hold them.
  std::mutex upper_mutex_;
  std::vector<std::unique_ptr<UpperLists>> retired_upper_;
  NodeVectorArena vectors_;
  NodeArray<std::atomic<uint8_t>> levels_;
  NodeArray<std::atomic<bool>> deleted_;
  NodeArray<ScoreList> l0_neighbor_scores_;
  NodeArray<std::atomic<uint8_t>> states_;
  NodeArray<std::atomic<uint64_t>> ids_;
  std::atomic<uint64_t> entry_point_;
  std::atomic<size_t> deleted_count_{0};
  mutable std::mutex alloc_mutex_;
  // Set while the alloc state is being changed; still set afterwards only if
  // that change was cut short by an exception, leaving the state suspect.
  mutable bool alloc_poisoned_ = false;
  AllocState alloc_;
  // alloc_.next_idx for readers: searches ask for it on every query, and
  // the alloc mutex would be a lock shared by every searching core.
  std::atomic<size_t> node_count_{0};
  std::atomic<bool> frozen_{false};
  // Set by freeze(), read-only afterwards.
  bool all_live_ = false;

  // Set while a load appends nodes: their layer-0 lists get their room
  // as the load fills them (Layer0Lists::give_room).
  bool defer_layer0_room_ = false;

  // Outcomes of the last cap of each layer-0 list (see prune_memo.hpp).
  // Unused with lean lists: their caps run the full selection.
  PruneMemo prune_memo_;
  bool lean_lists_ = false;

  std::vector<uint8_t> codes_;
  std::vector<int64_t> code_square_sums_;  // one per row of codes_ (not Cosine)
  std::vector<float> mins_;
  std::vector<float> scales_;
};

}  // namespace dovadure::vector::hnsw
