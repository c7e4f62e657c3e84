// Insertion: greedy descent, per-layer candidate search and extension,
// diverse neighbour selection, back-links and list caps.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "utils/log.hpp"
#include "utils/telemetry.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/node_views.hpp"
#include "vector/hnsw/scratch.hpp"

namespace dovadure::vector::hnsw {

namespace {

using utils::DistanceMetric;

// Ascending sort key with NaN after every number and equal to another NaN:
// a strict weak ordering, so std::stable_sort keeps its guarantees on the
// unchecked stored vectors.
bool key_less(const NodeCandidate& a, const NodeCandidate& b) {
  if (std::isnan(a.sort_key)) return false;
  return std::isnan(b.sort_key) || a.sort_key < b.sort_key;
}

void sort_candidates(std::vector<NodeCandidate>& w) { std::stable_sort(w.begin(), w.end(), key_less); }

struct Scorer {
  DistanceMetric metric;
  size_t dim;
  float score(const float* a, const float* b) const { return fast_score_n(metric, a, b, dim); }
  float key(float score, bool negate) const { return negate ? sort_key_of(metric, score) : score; }
};

// The halving bisection of std::partition_point, written out because the
// list need not be partitioned by pred (the owner's own entry under Dot, the
// unsorted tail a fill pass leaves) and the library leaves that case open.
template <class Pred>
size_t bisect(std::span<const NodeIdx> items, Pred pred) {
  size_t first = 0;
  size_t len = items.size();
  while (len > 0) {
    const size_t half = len >> 1;
    const size_t mid = first + half;
    if (pred(items[mid])) {
      first = mid + 1;
      len = len - half - 1;
    } else {
      len = half;
    }
  }
  return first;
}

// Rewrites owner's layer-0 score list from its adjacency list: 0 for the
// owner, else the raw score from the owner's vector. An entry with no stored
// vector (never produced by this code) scores NaN rather than reading past
// the arena.
void fill_l0_scores(ScoreList& scores, NodeIdx owner, const float* owner_vec,
                    std::span<const NodeIdx> list, const NodeViews& views, const Scorer& scorer) {
  thread_local std::vector<float> buffer;
  buffer.clear();
  for (NodeIdx x : list) {
    if (x == owner) {
      buffer.push_back(0.0f);
      continue;
    }
    const float* xv = views.vector(x);
    buffer.push_back(xv != nullptr && owner_vec != nullptr ? scorer.score(owner_vec, xv)
                                                           : std::numeric_limits<float>::quiet_NaN());
  }
  std::unique_lock<utils::SpinRwLock> write(scores.lock);
  scores.assign(buffer);
}

// Widens w with the unseen live neighbours of its first ml members, scored
// against q, using the thread's u32-stamped visited marks.
void extend_candidates(std::vector<NodeCandidate>& w, NodeIdx u, size_t layer, size_t ml,
                       bool negate, std::span<const float> q, size_t node_count,
                       const AdjacencyView& adjacency, const NodeViews& views,
                       const Scorer& scorer) {
  ScratchBorrow scratch;
  VisitedStamps& stamps = scratch->stamps;
  stamps.begin(node_count);
  for (const NodeCandidate& c : w) {
    if (stamps.has_slot(c.idx)) stamps.set(c.idx);
  }
  if (stamps.has_slot(u)) stamps.set(u);

  std::vector<NodeCandidate>& extra = scratch->extension;
  std::vector<NodeIdx>& copy = scratch->neighbors;
  extra.clear();
  const size_t heads = std::min(ml, w.size());
  for (size_t h = 0; h < heads; ++h) {
    const NeighborList* list = adjacency.list(layer, w[h].idx);
    if (list == nullptr) continue;
    {
      std::shared_lock<utils::SpinRwLock> read(list->lock);
      copy.assign(list->begin(), list->end());
    }
    for (NodeIdx x : copy) {
      if (!views.is_live(x) || !stamps.has_slot(x) || stamps.test(x)) continue;
      stamps.set(x);
      const float s = scorer.score(q.data(), views.vectors.ptr(x));
      extra.push_back(NodeCandidate{x, s, scorer.key(s, negate)});
    }
  }
  w.insert(w.end(), extra.begin(), extra.end());
}

double millis_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

utils::Status HNSWIndex::insert(uint64_t id, std::vector<float> vector) {
  if (vector.size() != dim_) return utils::DBError::dimension_mismatch(dim_, vector.size());

  const uint64_t seq = utils::next_insert_trace_seq();
  const size_t every = trace_every();
  const bool traced = utils::insert_trace_enabled() && every != 0 && seq % every == 0;
  const auto started = traced ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};

  const uint8_t level = sample_level();
  const std::vector<float> normalized = maybe_normalize(vector);
  const auto allocated = allocate_node(id, normalized, level);
  if (!allocated) return utils::Status();  // duplicates are the segment's concern
  const NodeIdx u = *allocated;
  const std::span<const float> q = vectors_.get_direct(u);
  const bool negate = metric_ != DistanceMetric::Euclidean;
  const Scorer scorer{metric_, dim_};

  const uint64_t word = entry_point_.load(std::memory_order_acquire);
  NodeIdx e = entry_word_idx(word);
  const size_t top = entry_word_level(word);
  if (e == kNoNode) {
    entry_point_.store(make_entry_word(u, level), std::memory_order_release);
    set_state(u, kStateLive);
    return utils::Status();
  }
  if (is_deleted(e)) e = find_highest_level_entry_point().value_or(u);

  NodeIdx current = e;
  for (size_t layer = top; layer > level; --layer) {
    current = greedy_search_layer_unfiltered(q, current, layer);
  }

  const bool enforce_caps = enforce_neighbor_caps().value_or(true);
  SearchOptions layer_options;
  layer_options.expansion_mult = 1;
  const size_t node_count = len();
  std::vector<NodeIdx> own_list;

  for (size_t l = level + 1; l-- > 0;) {
    auto found = search_layer_unfiltered(q, std::span<const NodeIdx>(&current, 1), l, ef_insert_,
                                         layer_options, negate, nullptr, nullptr);
    if (!found.ok()) return found.take_error();
    std::vector<NodeCandidate> w = std::move(found.value().nodes);
    sort_candidates(w);

    const size_t ml = l == 0 ? m0_ : m_;
    // Views are taken per layer: caps and back-links below only change list
    // contents, which are read under their own locks.
    const AdjacencyView adjacency = adjacency_view();
    const NodeViews views = node_views();
    extend_candidates(w, u, l, ml, negate, q, node_count, adjacency, views, scorer);
    sort_candidates(w);

    const std::vector<NodeIdx> chosen = select_diverse_neighbors(w, ml, negate, l);

    own_list.assign(1, u);
    for (NodeIdx s : chosen) {
      if (s != u) own_list.push_back(s);
    }
    set_neighbors(l, u, own_list);
    if (l == 0) {
      fill_l0_scores(*const_cast<ScoreList*>(l0_scores(u)), u, q.data(), own_list, views, scorer);
    }
    if (enforce_caps) cap_layer_neighbors(l, u);

    for (NodeIdx s : chosen) {
      const float* sv = views.live_vector(s);
      if (sv == nullptr) continue;
      const float k = scorer.key(scorer.score(sv, q.data()), negate);
      NeighborList* list = ensure_neighbor_list(l, s);
      if (list == nullptr) continue;
      {
        std::unique_lock<utils::SpinRwLock> write(list->lock);
        // Entries that tie with u stay before it.
        const size_t pos = bisect(list->items(), [&](NodeIdx x) {
          const float* xv = views.live_vector(x);
          return xv == nullptr || scorer.key(scorer.score(sv, xv), negate) <= k;
        });
        list->insert(pos, u);
        if (l == 0) {
          fill_l0_scores(*const_cast<ScoreList*>(l0_scores(s)), s, sv, list->items(), views,
                         scorer);
        }
      }
      if (enforce_caps) cap_layer_neighbors(l, s);
    }

    if (!chosen.empty()) current = chosen.front();

    if (traced) {
      const uint64_t now_word = entry_point_.load(std::memory_order_acquire);
      const NodeIdx entry = entry_word_idx(now_word);
      utils::InsertTraceEntry entry_record{};
      entry_record.insert_id = seq;
      entry_record.point_id = id;
      entry_record.level = level;
      entry_record.current_max_level = entry_word_level(now_word);
      entry_record.layer = l;
      if (entry != kNoNode) entry_record.entry_point = point_id(entry);
      entry_record.current_entry = point_id(current);
      entry_record.candidates = w.size();
      entry_record.neighbors = chosen.size();
      if (!chosen.empty()) entry_record.best_neighbor = point_id(chosen.front());
      entry_record.elapsed_ms = millis_since(started);
      utils::log_insert_trace(entry_record);
    }
  }

  if (level > top) {
    // A concurrent raise to an equal or higher level wins.
    uint64_t seen = entry_point_.load(std::memory_order_acquire);
    const uint64_t raised = make_entry_word(u, level);
    while (entry_word_level(seen) < level &&
           !entry_point_.compare_exchange_weak(seen, raised, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
    }
  }
  set_state(u, kStateLive);
  return utils::Status();
}

NodeIdx HNSWIndex::greedy_search_layer_unfiltered(std::span<const float> q, NodeIdx start,
                                                  size_t layer) const {
  constexpr size_t kMaxMoves = 1000;
  NodeIdx current = start;
  size_t moves = 0;
  if (layer < num_layers_) {
    const AdjacencyView adjacency = adjacency_view();
    const NodeViews views = node_views();
    const Scorer scorer{metric_, dim_};
    const bool negate = metric_ != DistanceMetric::Euclidean;
    thread_local std::vector<NodeIdx> copy;
    bool moved = true;
    while (moved && moves < kMaxMoves && current < adjacency.len()) {
      moved = false;
      const NeighborList* list = adjacency.list(layer, current);
      if (list == nullptr) break;
      {
        std::shared_lock<utils::SpinRwLock> read(list->lock);
        copy.assign(list->begin(), list->end());
      }
      const float* cv = views.vector(current);
      if (cv == nullptr) break;
      const float current_key = scorer.key(scorer.score(q.data(), cv), negate);
      for (NodeIdx x : copy) {
        if (!views.is_live(x)) continue;
        // First strictly closer entry wins, not the closest one.
        if (current_key > scorer.key(scorer.score(q.data(), views.vectors.ptr(x)), negate)) {
          current = x;
          ++moves;
          moved = true;
          break;
        }
      }
    }
  }
  if (moves >= kMaxMoves - 1) {
    DOVADURE_LOG(utils::LogLevel::Warn, "vector::hnsw",
                 "[GREEDY] Reached max steps at level " + std::to_string(layer) +
                     ", current = " + std::to_string(current));
  }
  return current;
}

std::vector<NodeIdx> HNSWIndex::select_diverse_neighbors(
    const std::vector<NodeCandidate>& candidates, size_t target, bool negate, size_t layer) const {
  const float alpha = diversity_alpha_for_level(layer);
  // Without the knob there is no floor: every candidate is tested.
  const std::optional<size_t> prune_floor = diversity_prune_floor();
  const size_t floor = prune_floor ? std::min(target, *prune_floor) : 0;
  const NodeViews views = node_views();
  const Scorer scorer{metric_, dim_};

  std::vector<NodeIdx> chosen;
  std::vector<const float*> chosen_vectors;
  const auto already = [&chosen](NodeIdx x) {
    return std::find(chosen.begin(), chosen.end(), x) != chosen.end();
  };

  for (const NodeCandidate& c : candidates) {
    if (chosen.size() >= target) break;
    if (already(c.idx)) continue;
    const float* cv = views.live_vector(c.idx);
    if (cv == nullptr) continue;
    if (chosen.size() >= floor) {
      // Rejected when some chosen neighbour is strictly closer to c than the
      // base is (scaled by alpha); NaN comparisons do not reject.
      const float threshold = c.sort_key * alpha;
      bool rejected = false;
      for (const float* rv : chosen_vectors) {
        if (rv != nullptr && scorer.key(scorer.score(cv, rv), negate) < threshold) {
          rejected = true;
          break;
        }
      }
      if (rejected) continue;
    }
    chosen.push_back(c.idx);
    chosen_vectors.push_back(cv);
  }

  // Fill pass: top up to target from the head of the candidates, no tests.
  for (const NodeCandidate& c : candidates) {
    if (chosen.size() >= target) break;
    if (!already(c.idx)) chosen.push_back(c.idx);
  }
  return chosen;
}

void HNSWIndex::cap_layer_neighbors(size_t layer, NodeIdx u) {
  NeighborList* list = neighbor_list_mut(layer, u);
  if (list == nullptr) return;
  const size_t cap = layer == 0 ? max_neighbors_l0_ : m_;
  std::vector<NodeIdx> copy;
  {
    std::shared_lock<utils::SpinRwLock> read(list->lock);
    // The owner's own entry is not counted against the cap.
    if (list->size() <= cap || list->size() - cap <= 1) return;
    copy.assign(list->begin(), list->end());
  }
  const NodeViews views = node_views();
  const float* uv = views.vector(u);
  if (uv == nullptr) return;
  const Scorer scorer{metric_, dim_};
  std::vector<NodeCandidate> candidates;
  candidates.reserve(copy.size());
  for (NodeIdx x : copy) {
    const float* xv = views.vector(x);
    if (xv == nullptr) continue;  // a dangling index has nothing to score
    const float s = scorer.score(uv, xv);
    candidates.push_back(NodeCandidate{x, s, sort_key_of(metric_, s)});
  }
  sort_candidates(candidates);
  const size_t target = cap == std::numeric_limits<size_t>::max() ? cap : cap + 1;
  const std::vector<NodeIdx> kept = select_diverse_neighbors(candidates, target, true, layer);
  {
    std::unique_lock<utils::SpinRwLock> write(list->lock);
    list->assign(kept);
  }
  if (layer == 0 && l0_scores_len() > 0) {
    if (const ScoreList* scores = l0_scores(u)) {
      fill_l0_scores(*const_cast<ScoreList*>(scores), u, uv, kept, views, scorer);
    }
  }
}

}  // namespace dovadure::vector::hnsw
