#include "vector/hnsw/core.hpp"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "utils/run_beside.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/node_views.hpp"

namespace dovadure::vector::hnsw {

namespace {

constexpr size_t kMaxLevelStorage = 255;

// Holds the alloc mutex; a state left half-changed by an exception poisons it
// for good, since ids, map and arrays may then disagree.
class AllocGuard {
 public:
  AllocGuard(std::mutex& mutex, bool& poisoned) : lock_(mutex), poisoned_(poisoned) {
    if (poisoned_) arena_detail::fatal("alloc mutex poisoned");
  }
  // Marks the start of a change; commit() marks its successful end.
  void begin_change() { poisoned_ = true; }
  void commit() { poisoned_ = false; }

 private:
  std::lock_guard<std::mutex> lock_;
  bool& poisoned_;
};

// The calling thread's level generator, seeded once from the OS.
std::mt19937_64& level_rng() {
  thread_local std::mt19937_64 rng = [] {
    std::random_device device;
    std::seed_seq seq{device(), device(), device(), device()};
    return std::mt19937_64(seq);
  }();
  return rng;
}

void check_not_frozen(const HNSWIndex& index) {
  if (index.frozen()) arena_detail::fatal("attempt to change a frozen HNSW index");
}

// floor(x) as an unsigned word; negative and NaN give 0, too large saturates.
size_t saturating_floor(double x) {
  if (!(x > 0.0)) return 0;
  const double f = std::floor(x);
  if (f >= 18446744073709551616.0) return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(f);
}

}  // namespace

HNSWIndex::HNSWIndex(utils::DistanceMetric metric, size_t m, size_t ef_construction,
                     size_t max_level, size_t dim)
    : metric_(metric),
      m_(m),
      m0_(m > std::numeric_limits<size_t>::max() / 2 ? std::numeric_limits<size_t>::max() : 2 * m),
      max_neighbors_l0_(m0_),
      ef_construction_(ef_construction),
      ef_insert_(ef_construction),
      max_level_(std::min(max_level_for(max_level), kMaxLevelStorage)),
      level_scale_(level_scale_for(m)),
      dim_(dim),
      exact_fallback_enabled_(exact_fallback_enabled_override().value_or(false)),
      exact_fallback_threshold_(exact_fallback_threshold_override().value_or(256)),
      layer0_(kChunkCapacity),
      upper_(kChunkCapacity),
      num_layers_(max_level_ + 1),
      vectors_(dim, kChunkCapacity),
      levels_(kChunkCapacity),
      deleted_(kChunkCapacity),
      l0_neighbor_scores_(kChunkCapacity),
      states_(kChunkCapacity),
      ids_(kChunkCapacity),
      entry_point_(make_entry_word(kNoNode, 0)) {
  // The statistics switch is read here so that its one-off notice appears
  // when the index is made, not in the middle of the first search.
  (void)log_unfiltered_enabled();
}

HNSWIndex::~HNSWIndex() {
  const auto upper = upper_.view();
  for (size_t i = 0; i < upper.len; ++i) delete upper.at(i).load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Accessors

size_t HNSWIndex::len() const { return node_count_.load(std::memory_order_acquire); }

bool HNSWIndex::contains(uint64_t id) const { return idx_of(id).has_value(); }

std::optional<NodeIdx> HNSWIndex::idx_of(uint64_t id) const {
  AllocGuard guard(alloc_mutex_, alloc_poisoned_);
  return alloc_.find(id);
}

std::optional<std::span<const float>> HNSWIndex::get_vector(uint64_t id) const {
  const auto idx = idx_of(id);
  if (!idx) return std::nullopt;
  return get_vector_by_idx(*idx);
}

std::optional<std::span<const float>> HNSWIndex::get_vector_by_idx(size_t idx) const {
  if (idx >= vectors_.len()) return std::nullopt;
  if (deleted_.with(idx, [](const std::atomic<bool>& d) { return d.load(std::memory_order_acquire); })) {
    return std::nullopt;
  }
  return vectors_.get_direct(idx);
}

uint64_t HNSWIndex::point_id(NodeIdx idx) const {
  return ids_.with(idx, [](const std::atomic<uint64_t>& v) { return v.load(std::memory_order_acquire); });
}

uint8_t HNSWIndex::level_of(NodeIdx idx) const {
  return levels_.with(idx, [](const std::atomic<uint8_t>& v) { return v.load(std::memory_order_acquire); });
}

uint8_t HNSWIndex::state_of(NodeIdx idx) const {
  return states_.with(idx, [](const std::atomic<uint8_t>& v) { return v.load(std::memory_order_acquire); });
}

bool HNSWIndex::is_deleted(NodeIdx idx) const {
  return deleted_.with(idx, [](const std::atomic<bool>& v) { return v.load(std::memory_order_acquire); });
}

void HNSWIndex::set_state(NodeIdx idx, uint8_t state) {
  states_.with(idx, [state](std::atomic<uint8_t>& v) { v.store(state, std::memory_order_release); });
}

void seed_level_generator(uint64_t seed) { level_rng().seed(seed); }

float HNSWIndex::fast_score(std::span<const float> a, std::span<const float> b) const {
  return hnsw::fast_score(metric_, a, b);
}

std::vector<float> HNSWIndex::maybe_normalize(std::span<const float> v) const {
  return hnsw::maybe_normalize(metric_, v);
}

// ---------------------------------------------------------------------------
// Levels, allocation, deletion, entry point

uint8_t HNSWIndex::sample_level() const {
  // 53 random bits give a uniform r in [0, 1); r = 0 makes -ln r infinite,
  // which saturates to max_level like any other huge draw.
  const double r = static_cast<double>(level_rng()() >> 11) * 0x1.0p-53;
  size_t level = saturating_floor(-std::log(r) * level_scale_);
  level = std::min(level, max_level_);
  if (level > kMaxLevelStorage) arena_detail::fatal("HNSW level exceeds u8 storage");
  return static_cast<uint8_t>(level);
}

std::optional<NodeIdx> HNSWIndex::push_node(uint64_t id, std::span<const float> vector,
                                            uint8_t level, uint8_t state, bool deleted,
                                            bool only_if_absent) {
  check_not_frozen(*this);
  AllocGuard guard(alloc_mutex_, alloc_poisoned_);
  // Checked under the same lock as the append, so that two writers racing
  // with one id cannot both allocate it.
  if (only_if_absent && alloc_.find(id)) return std::nullopt;
  const size_t i = alloc_.next_idx;
  // kNoNode is the entry word's "none" and the id table's empty slot.
  if (i >= kNoNode) arena_detail::fatal("HNSW node index space exhausted");
  guard.begin_change();
  vectors_.push(vector);
  levels_.with(levels_.push_default(), [level](std::atomic<uint8_t>& v) { v.store(level); });
  deleted_.with(deleted_.push_default(), [deleted](std::atomic<bool>& v) { v.store(deleted); });
  l0_neighbor_scores_.push_default();
  states_.with(states_.push_default(), [state](std::atomic<uint8_t>& v) { v.store(state); });
  ids_.with(ids_.push_default(), [id](std::atomic<uint64_t>& v) { v.store(id); });
  layer0_.push_default(layer0_room(), !defer_layer0_room_);
  upper_.push_default();
  alloc_.ids.push_back(id);
  alloc_.id_to_idx.insert(id, static_cast<NodeIdx>(i), alloc_.ids);
  alloc_.next_idx = i + 1;
  node_count_.store(i + 1, std::memory_order_release);
  if (deleted) deleted_count_.fetch_add(1, std::memory_order_acq_rel);
  guard.commit();
  return static_cast<NodeIdx>(i);
}

NodeIdx HNSWIndex::push_loaded_nodes(std::span<const uint64_t> ids,
                                     std::span<const uint8_t> levels,
                                     std::span<const uint8_t> deleted) {
  check_not_frozen(*this);
  const size_t n = ids.size();
  if (levels.size() != n || deleted.size() != n) {
    arena_detail::fatal("push_loaded_nodes: ids, levels and flags differ in length");
  }
  AllocGuard guard(alloc_mutex_, alloc_poisoned_);
  const size_t first = alloc_.next_idx;
  // kNoNode is the entry word's "none" and the id table's empty slot.
  if (n > kNoNode - first) arena_detail::fatal("HNSW node index space exhausted");
  if (vectors_.len() < first + n) arena_detail::fatal("node row was not placed");
  guard.begin_change();
  levels_.push_defaults(n);
  deleted_.push_defaults(n);
  l0_neighbor_scores_.push_defaults(n);
  states_.push_defaults(n);
  ids_.push_defaults(n);
  layer0_.push_defaults(n, layer0_room(), !defer_layer0_room_);
  upper_.push_defaults(n);
  const auto level_view = levels_.view();
  const auto deleted_view = deleted_.view();
  const auto state_view = states_.view();
  const auto id_view = ids_.view();
  alloc_.ids.insert(alloc_.ids.end(), ids.begin(), ids.end());
  size_t dead = 0;
  for (size_t k = 0; k < n; ++k) {
    const size_t i = first + k;
    const bool gone = deleted[k] != 0;
    level_view.at(i).store(levels[k], std::memory_order_relaxed);
    deleted_view.at(i).store(gone, std::memory_order_relaxed);
    state_view.at(i).store(gone ? kStateDeleted : kStateLive, std::memory_order_relaxed);
    id_view.at(i).store(ids[k], std::memory_order_relaxed);
    alloc_.id_to_idx.insert(ids[k], static_cast<NodeIdx>(i), alloc_.ids);
    dead += gone ? 1 : 0;
  }
  alloc_.next_idx = first + n;
  // Release: the values above are visible to whoever sees the new count.
  node_count_.store(first + n, std::memory_order_release);
  if (dead != 0) deleted_count_.fetch_add(dead, std::memory_order_acq_rel);
  guard.commit();
  return static_cast<NodeIdx>(first);
}

std::optional<NodeIdx> HNSWIndex::allocate_node(uint64_t id, std::span<const float> vector,
                                                uint8_t level) {
  const std::optional<NodeIdx> u = push_node(id, vector, level, kStateAllocated, false, true);
  if (!u) return std::nullopt;
  // No other writer knows u yet (it is in no list), so these cannot race.
  for (size_t l = 0; l <= level; ++l) set_neighbors(l, *u, std::span<const NodeIdx>(&*u, 1));
  return u;
}

void HNSWIndex::reserve_nodes(size_t n) {
  AllocGuard guard(alloc_mutex_, alloc_poisoned_);
  guard.begin_change();
  alloc_.ids.reserve(n);
  alloc_.id_to_idx.reserve(n, alloc_.ids);
  guard.commit();
}

void HNSWIndex::mark_deleted(uint64_t id) {
  // Searches of a frozen index may skip state checks (all_live).
  check_not_frozen(*this);
  const auto found = idx_of(id);
  if (!found) return;
  const NodeIdx i = *found;
  const bool was_deleted = deleted_.with(i, [](std::atomic<bool>& d) { return d.exchange(true); });
  if (!was_deleted) deleted_count_.fetch_add(1, std::memory_order_acq_rel);
  set_state(i, kStateDeleted);
  if (entry_word_idx(entry_point_.load(std::memory_order_acquire)) == i) {
    const auto next = find_highest_level_entry_point();
    entry_point_.store(next ? make_entry_word(*next, level_of(*next)) : make_entry_word(kNoNode, 0),
                       std::memory_order_release);
  }
}

std::optional<NodeIdx> HNSWIndex::find_highest_level_entry_point() const {
  const size_t n = len();
  const auto deleted = deleted_.view();
  const auto levels = levels_.view();
  std::optional<NodeIdx> best;
  uint8_t best_level = 0;
  for (size_t i = 0; i < n; ++i) {
    if (deleted.at(i).load(std::memory_order_acquire)) continue;
    const uint8_t level = levels.at(i).load(std::memory_order_acquire);
    // >= so that the later of equally high nodes wins.
    if (!best || level >= best_level) {
      best = static_cast<NodeIdx>(i);
      best_level = level;
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// Adjacency lists

AdjacencyView HNSWIndex::adjacency_view() const {
  AdjacencyView v;
  // upper_ is appended after layer0_, so taking it first keeps its length
  // at or below layer0_'s.
  v.upper_ = upper_.view();
  v.layer0_ = layer0_.view();
  v.len_ = std::min(v.upper_.len, v.layer0_.len);
  v.num_layers_ = num_layers_;
  return v;
}

NodeViews HNSWIndex::node_views() const {
  // Vectors are appended before the other arrays, so taking their view last
  // keeps every index below the other views' lengths inside the arena.
  NodeViews v;
  v.states = states_.view();
  v.deleted = deleted_.view();
  v.vectors = vectors_.view();
  return v;
}

const NeighborList* HNSWIndex::neighbor_list(size_t layer, NodeIdx u) const {
  if (layer >= num_layers_) return nullptr;
  if (layer == 0) {
    if (u >= layer0_.len()) return nullptr;
    return &layer0_.with(u, [](NeighborList& l) -> NeighborList& { return l; });
  }
  if (u >= upper_.len()) return nullptr;
  const UpperLists* block =
      upper_.with(u, [](const std::atomic<UpperLists*>& b) { return b.load(std::memory_order_acquire); });
  return block != nullptr && layer <= block->top ? &block->lists[layer - 1] : nullptr;
}

NeighborList* HNSWIndex::neighbor_list_mut(size_t layer, NodeIdx u) {
  check_not_frozen(*this);
  return const_cast<NeighborList*>(neighbor_list(layer, u));
}

NeighborList* HNSWIndex::ensure_neighbor_list(size_t layer, NodeIdx u) {
  check_not_frozen(*this);
  if (layer >= num_layers_) return nullptr;
  if (layer == 0) return neighbor_list_mut(0, u);
  if (u >= upper_.len()) return nullptr;
  std::lock_guard<std::mutex> guard(upper_mutex_);
  std::atomic<UpperLists*>& slot =
      upper_.with(u, [](std::atomic<UpperLists*>& b) -> std::atomic<UpperLists*>& { return b; });
  UpperLists* block = slot.load(std::memory_order_acquire);
  if (block != nullptr && layer <= block->top) return &block->lists[layer - 1];
  // A first block covers the node's own levels; a list above them (a
  // back-link landing above the node's level) gets every layer at once, so a
  // node is re-homed at most twice.
  const size_t level = level_of(u);
  const size_t top = block == nullptr && layer <= level ? level : num_layers_ - 1;
  auto grown = std::make_unique<UpperLists>(top);
  // The old lists stay read-locked until the new block is published: a
  // writer that fetched an old list before the swap gets its lock only
  // afterwards, sees the list is no longer current and retries on the new
  // one (lock_current_list in insert.cpp), so no edit lands in a dead copy.
  // Only this function holds several list locks, always under upper_mutex_.
  std::vector<std::shared_lock<utils::SpinRwLock>> held;
  if (block != nullptr) {
    held.reserve(block->top);
    for (size_t l = 1; l <= block->top; ++l) {
      NeighborList& old = block->lists[l - 1];
      held.emplace_back(old.lock);
      grown->lists[l - 1].assign(old.items());
    }
  }
  UpperLists* fresh = grown.release();
  slot.store(fresh, std::memory_order_release);
  held.clear();
  if (block != nullptr) retired_upper_.emplace_back(block);
  return &fresh->lists[layer - 1];
}

void HNSWIndex::set_neighbors(size_t layer, NodeIdx u, std::span<const NodeIdx> items) {
  NeighborList* list = ensure_neighbor_list(layer, u);
  if (list == nullptr) return;
  std::unique_lock<utils::SpinRwLock> write(list->lock);
  list->assign(items);
}

bool HNSWIndex::copy_neighbors(size_t layer, NodeIdx u, std::vector<NodeIdx>& out) const {
  out.clear();
  if (layer >= num_layers_ || u >= layer0_.len()) return false;
  const NeighborList* list = neighbor_list(layer, u);
  if (list == nullptr) return true;  // a node without a list there has an empty one
  std::shared_lock<utils::SpinRwLock> read(list->lock);
  out.assign(list->begin(), list->end());
  return true;
}

namespace {

// Lists from which freezing them pays for a second thread.
constexpr size_t kFreezeWorthAThread = 16384;

}  // namespace

void HNSWIndex::freeze() {
  // Every list's lock and cached scores are touched once: each a cache miss,
  // shared between two threads on a large index.
  const auto layer0 = layer0_.view();
  const auto scores = l0_neighbor_scores_.view();
  const bool keep_scores = metric_ == utils::DistanceMetric::Cosine;
  utils::in_two_halves(layer0.len, kFreezeWorthAThread, [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) layer0.at(i).lock.freeze();
  });
  utils::in_two_halves(scores.len, kFreezeWorthAThread, [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      ScoreList& list = scores.at(i);
      // Only the cosine layer search reads these (triangle skip); nothing
      // writes them once frozen.
      if (!keep_scores) list.clear();
      list.lock.freeze();
    }
  });
  const auto upper = upper_.view();
  for (size_t i = 0; i < upper.len; ++i) {
    UpperLists* block = upper.at(i).load(std::memory_order_acquire);
    if (block == nullptr) continue;
    for (size_t l = 0; l < block->top; ++l) block->lists[l].lock.freeze();
  }
  const auto states = states_.view();
  bool live = true;
  for (size_t i = 0; i < states.len && live; ++i) {
    live = states.at(i).load(std::memory_order_relaxed) == kStateLive;
  }
  all_live_ = live;
  // Whatever the build of the index freed (a load's decoding buffers, the
  // score lists just cleared) lies in the heap; give those pages back
  // rather than keep them resident for the life of the index.
  malloc_trim(0);
  frozen_.store(true, std::memory_order_release);
}

const ScoreList* HNSWIndex::l0_scores(NodeIdx u) const {
  if (u >= l0_neighbor_scores_.len()) return nullptr;
  return &l0_neighbor_scores_.with(u, [](ScoreList& l) -> ScoreList& { return l; });
}

size_t HNSWIndex::l0_scores_len() const { return l0_neighbor_scores_.len(); }

}  // namespace dovadure::vector::hnsw
