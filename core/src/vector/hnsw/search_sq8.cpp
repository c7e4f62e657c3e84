// Layer-0 dispatch (run_l0_search) and the walk over SQ8 codes
// (search_layer_unfiltered_sq8).
//
// The walk ranks nodes by an integer dot product of a 16-bit query with the
// byte codes, keeps a pool larger than ef, and the dispatcher then re-scores
// the pool exactly or turns the integers into approximate cosine distances.
#include <algorithm>
#include <cmath>
#include <limits>
#include <shared_mutex>

#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/quantize.hpp"
#include "vector/hnsw/scratch.hpp"
#include "vector/hnsw/search_layer_detail.hpp"
#include "vector/hnsw/sq8.hpp"

namespace dovadure::vector::hnsw {

namespace {

constexpr size_t kGroupSize = 16;

// 127.5 × 127.5: the integer score of a unit vector against itself.
constexpr float kCosineScale = 16256.25f;

// Ascending by key, NaN keys last and equal to each other: a strict weak
// ordering, as std::stable_sort requires.
bool key_before(const NodeCandidate& a, const NodeCandidate& b) {
  if (std::isnan(a.sort_key)) return false;
  return std::isnan(b.sort_key) || a.sort_key < b.sort_key;
}

// Σ c² over n codes; at most 65025 per code, so i64 never overflows.
int64_t code_square_sum(const uint8_t* c, size_t n) {
  int64_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += int32_t{c[i]} * c[i];
  return sum;
}

// Pulls the lines of a block's first KiB towards the cache while its group
// fills; beyond that the hardware prefetcher has caught on. A row need not
// start on a line boundary, so the lines are counted from the one holding
// its first byte. Always inlined: out of line GCC finds it const (a
// prefetch is no side effect to it) and deletes the calls.
[[gnu::always_inline]] inline void prefetch_bytes(const void* p, size_t bytes) {
  if (bytes == 0) return;
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t last = (start + std::min<size_t>(bytes, 1024) - 1) & ~uintptr_t{63};
  for (uintptr_t line = start & ~uintptr_t{63}; line <= last; line += 64) {
    __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 1);
  }
}

// Integer key of a node for the walk: the negated score, so that smaller is
// better as everywhere else. Under Euclidean the plain dot product of query
// and codes would favour large codes over near ones, so the score is
// 2·q·c − c·c, which orders nodes exactly as −|q − c|² does in the code
// domain; c·c comes from the per-node sums when they span the whole query.
struct Sq8Keys {
  Sq8DotI16Kernel kernel;
  const int16_t* query;
  const uint8_t* codes;
  size_t dim;
  size_t qlen;
  bool euclidean;
  const int64_t* square_sums;  // null: summed per node

  const uint8_t* row(NodeIdx v) const { return codes + size_t{v} * dim; }

  float key(NodeIdx v) const {
    const uint8_t* c = row(v);
    const int32_t dot = kernel(query, c, qlen);
    if (!euclidean) return -static_cast<float>(dot);
    const int64_t squares = square_sums != nullptr ? square_sums[v] : code_square_sum(c, qlen);
    return -static_cast<float>(2 * int64_t{dot} - squares);
  }
};

// The per-search state of one walk. The neighbour scan copies what it reads
// into locals: the visited marks are bytes, and a byte store would otherwise
// force every member to be reloaded after it.
struct Sq8Walk {
  Sq8Keys keys;
  size_t pool = 0;
  size_t reachable = 0;  // nodes below both the snapshot length and the codes
  uint8_t* marks = nullptr;
  uint8_t epoch = 0;
  NodeArray<std::atomic<uint8_t>>::View states;
  AdjacencyView adjacency;
  bool layer0 = false;
  CandidateHeap* candidates = nullptr;
  ResultHeap* results = nullptr;
  float worst = std::numeric_limits<float>::max();
  uint64_t visited = 0;
  const LayerFilter* filter = nullptr;  // null: every node may be pooled

  bool live(NodeIdx v) const { return states[v].load(std::memory_order_acquire) == kStateLive; }

  void admit_scored(const NodeIdx* group, size_t count) {
    CandidateHeap& cand = *candidates;
    ResultHeap& res = *results;
    for (size_t g = 0; g < count; ++g) {
      const NodeIdx w = group[g];
      const float key = keys.key(w);
      if (!(res.size() < pool || key < worst)) continue;
      // Most admitted nodes get expanded: start fetching the list now.
      if (layer0) adjacency.layer0().prefetch(w, 0, 1);
      cand.push({w, 0.0f, key});
      if (filter != nullptr && !filter->allows(w)) continue;
      res.push({w, 0.0f, key});
      if (res.size() > pool) res.pop();
      worst = res.top().sort_key;
    }
  }

  // Marks and gathers the walkable nodes of one list in order, scoring them
  // in groups of kGroupSize (and what is left at the end of the list).
  template <bool kCheckState>
  [[gnu::noinline]] void scan(const NodeIdx* items, size_t len) {
    const size_t limit = reachable;
    uint8_t* const mark = marks;
    const uint8_t stamp = epoch;
    const NodeArray<std::atomic<uint8_t>>::View st = states;
    const uint8_t* const codes = keys.codes;
    const size_t dim = keys.dim;
    const size_t row_bytes = keys.qlen;
    const int64_t* const sums = keys.square_sums;
    NodeIdx group[kGroupSize];
    size_t grouped = 0;
    uint64_t seen = visited;
    for (size_t k = 0; k < len; ++k) {
      if (k + 2 < len) {
        const NodeIdx next = items[k + 2];
        if (next < limit) __builtin_prefetch(&mark[next], 1, 3);
      }
      const NodeIdx w = items[k];
      if (w >= limit || mark[w] == stamp ||
          (kCheckState && st[w].load(std::memory_order_acquire) != kStateLive)) {
        continue;
      }
      mark[w] = stamp;
      ++seen;
      group[grouped++] = w;
      prefetch_bytes(codes + size_t{w} * dim, row_bytes);
      if (sums != nullptr) __builtin_prefetch(sums + w, 0, 1);
      if (grouped == kGroupSize) {
        admit_scored(group, grouped);
        grouped = 0;
      }
    }
    visited = seen;
    admit_scored(group, grouped);
  }
};

}  // namespace

utils::Result<std::vector<NodeCandidate>> HNSWIndex::run_l0_search(
    std::span<const float> query, std::span<const NodeIdx> entries, size_t ef,
    const SearchOptions& options, bool negate, StatsSink* stats, TraceContext* trace) const {
  const size_t rerank = options.sq8_rerank_factor.value_or(sq8_rerank_factor_default().value_or(0));
  const bool cosine = metric_ == utils::DistanceMetric::Cosine;
  bool score_only = false;
  if (options.sq8_score_only == Tristate::True) {
    score_only = cosine;
  } else if (options.sq8_score_only == Tristate::Unset) {
    score_only = sq8_score_only_default() && cosine;
  }

  // Codes cover the nodes present when they were computed; once the index
  // has grown past them the walk could not see the newer nodes, so the float
  // search (which scores uncovered nodes exactly) answers instead.
  const bool codes_cover_all = has_codes() && codes_.size() / dim_ >= states_.len();
  if (!((score_only || rerank > 0) && codes_cover_all &&
        metric_ != utils::DistanceMetric::Dot)) {
    auto layer = search_layer_unfiltered(query, entries, 0, ef, options, negate, stats, trace);
    if (!layer.ok()) return layer.take_error();
    return std::move(layer.value().nodes);
  }

  size_t pool = ef;
  if (!score_only && __builtin_mul_overflow(ef, rerank, &pool)) pool = SIZE_MAX;
  pool = std::max(pool, ef);

  // Reused by the thread's next search; this function never re-enters
  // itself on one thread.
  thread_local std::vector<int16_t> quantized;
  if (cosine) {
    quantize_query_cosine_wide(query, quantized);
  } else {
    quantize_query(query, mins_, scales_, quantized);
  }
  if (quantized.size() != dim_) return utils::DBError::dimension_mismatch(dim_, quantized.size());

  auto walked = search_layer_unfiltered_sq8(quantized, entries, 0, pool, options, stats, trace);
  if (!walked.ok()) return walked.take_error();

  const std::vector<NodeResult>& pooled = walked.value();
  std::vector<NodeCandidate> out;
  out.reserve(pooled.size());
  if (score_only) {
    for (const NodeResult& r : pooled) {
      // Rounding can push the integer score past a perfect match; the clamp
      // keeps the distance from going negative.
      float a = -r.sort_key / kCosineScale;
      if (a > 1.0f) {
        a = 1.0f;
      } else if (a < -1.0f) {
        a = -1.0f;
      }
      const float score = 1.0f - a;
      out.push_back({r.idx, score, score});
    }
  } else {
    const NodeVectorArena::View vectors = vectors_.view();
    const size_t bytes = dim_ * sizeof(float);
    // The pool's vectors are scattered over the arena: fetch two ahead.
    constexpr size_t kAhead = 2;
    for (size_t i = 0; i < kAhead && i < pooled.size(); ++i) {
      prefetch_bytes(vectors.ptr(pooled[i].idx), bytes);
    }
    for (size_t i = 0; i < pooled.size(); ++i) {
      if (i + kAhead < pooled.size()) prefetch_bytes(vectors.ptr(pooled[i + kAhead].idx), bytes);
      const NodeIdx idx = pooled[i].idx;
      const float score = fast_score_n(metric_, query.data(), vectors.ptr(idx), dim_);
      out.push_back({idx, score, negate ? sort_key_of(metric_, score) : score});
    }
  }
  std::stable_sort(out.begin(), out.end(), key_before);
  if (out.size() > ef) out.resize(ef);
  return out;
}

utils::Result<std::vector<NodeResult>> HNSWIndex::search_layer_unfiltered_sq8(
    std::span<const int16_t> quantized_query, std::span<const NodeIdx> entries, size_t level,
    size_t pool, const SearchOptions& options, StatsSink* stats, TraceContext* trace) const {
  ScratchBorrow scratch;
  const auto states = states_.view();
  const size_t n = states.len;
  Sq8Walk walk;
  walk.states = states;
  walk.adjacency = adjacency_view();
  walk.layer0 = level == 0;
  // A frozen index changes no list (no lock needed) and may vouch that
  // every node is live.
  const bool frozen_now = frozen();
  const bool check_state = !frozen_now || !all_live();
  const size_t dim = dim_;
  // Only nodes whose codes exist can be ranked; the rest are passed over.
  const size_t coded_nodes = dim == 0 ? 0 : codes_.size() / dim;
  walk.reachable = std::min(n, coded_nodes);
  walk.pool = pool;
  if (level == 0) walk.filter = options.filter;
  const bool euclidean = metric_ == utils::DistanceMetric::Euclidean;

  Sq8Keys& keys = walk.keys;
  keys.kernel = sq8_dot_i16_kernel(metric_ == utils::DistanceMetric::Cosine);
  keys.query = quantized_query.data();
  keys.codes = codes_.data();
  keys.dim = dim;
  keys.qlen = std::min(quantized_query.size(), dim);
  keys.euclidean = euclidean;
  keys.square_sums = nullptr;
  // The sums run over whole rows; a shorter query scores a prefix of each
  // row, whose squares are summed on the spot instead.
  if (euclidean && keys.qlen == dim) {
    // quantize_all makes both together; anything else is a bug here.
    if (code_square_sums_.size() != coded_nodes) {
      arena_detail::fatal("HNSWIndex: code square sums out of step with the codes");
    }
    keys.square_sums = code_square_sums_.data();
  }

  scratch->begin_search(n);
  CandidateHeap& candidates = scratch->candidates;
  ResultHeap& results = scratch->results;
  walk.candidates = &candidates;
  walk.results = &results;
  walk.marks = scratch->visited.marks.data();
  walk.epoch = scratch->visited.epoch;

  const auto seed_one = [&](NodeIdx v) {
    walk.marks[v] = walk.epoch;
    ++walk.visited;
    const float key = keys.key(v);
    candidates.push({v, 0.0f, key});
    if (walk.filter == nullptr || walk.filter->allows(v)) results.push({v, 0.0f, key});
  };
  for (const NodeIdx v : entries) {
    if (v < walk.reachable && walk.marks[v] != walk.epoch && walk.live(v)) seed_one(v);
  }
  if (walk.visited == 0) {
    // Every seed was unusable: start from the first live node rather than
    // return nothing. With no live node at all the walk returns empty (a
    // deleted node must never be offered as a result).
    for (size_t v = 0; v < walk.reachable; ++v) {
      if (walk.live(static_cast<NodeIdx>(v))) {
        seed_one(static_cast<NodeIdx>(v));
        break;
      }
    }
  }

  walk.worst = results.empty() ? std::numeric_limits<float>::max() : results.top().sort_key;
  const size_t patience = options.early_exit_patience.value_or(early_exit_patience());
  uint64_t expansions = 0;
  size_t beaten = 0;
  bool gave_up = false;
  while (!candidates.empty()) {
    if (results.size() >= pool) {
      beaten = candidates.top().sort_key > walk.worst ? beaten + 1 : 0;
      if (beaten > patience) break;
    }
    // Past its budget a filtered walk returns nothing: the caller scans.
    if (walk.filter != nullptr && walk.visited > walk.filter->visit_budget) {
      gave_up = true;
      break;
    }
    const QueuedNode u = candidates.pop();
    ++expansions;
    const NeighborList* list = walk.adjacency.list(level, u.idx);
    if (list == nullptr) continue;
    if (frozen_now) {
      if (check_state) {
        walk.scan<true>(list->data(), list->size());
      } else {
        walk.scan<false>(list->data(), list->size());
      }
      continue;
    }
    std::shared_lock<utils::SpinRwLock> lock(list->lock);
    walk.scan<true>(list->data(), list->size());
  }
  const uint64_t visited = walk.visited;
  const float worst = walk.worst;

  if (gave_up) results.clear();
  results.sort_ascending();
  // The walk ranks by estimated keys only: the results carry no score.
  std::vector<NodeResult> out;
  out.reserve(results.size());
  for (const QueuedNode& r : results.items()) out.push_back({r.idx, 0.0f, r.sort_key});
  results.clear();

  if (trace != nullptr) {
    utils::SearchTraceEntry e = search_detail::blank_trace_entry(*trace, metric_);
    e.exact_fallback_enabled = exact_fallback_enabled_;
    e.exact_fallback_threshold = exact_fallback_threshold_;
    e.collection_size = n;
    e.level = level;
    if (!entries.empty()) {
      e.current_idx = entries[0];
      if (entries[0] < n) e.current_point = point_id(entries[0]);
    }
    e.visited = visited;
    e.expanded = expansions;
    e.results_len = out.size();
    e.worst_score = worst;
    e.stop_reason = "sq8_search_done";
    e.elapsed_ms = search_detail::elapsed_ms(*trace);
    utils::log_search_trace(e);
  }
  if (stats != nullptr) {
    stats->visited = visited;
    stats->expansions = expansions;
  }
  return out;
}

}  // namespace dovadure::vector::hnsw
