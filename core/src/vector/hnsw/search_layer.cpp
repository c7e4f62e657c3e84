// Best-first beam search over one layer (search_layer_unfiltered).
//
// The loop is kept flat: one pass over each expanded node's list under its
// read lock, visited marks in a byte array, neighbours gathered in groups of
// 16 whose vectors are prefetched while the group fills, then scored and
// admitted one by one. Everything per search lives in the thread's scratch,
// and the arenas are read through snapshots taken once at the start.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <numeric>
#include <shared_mutex>

#include "utils/telemetry.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/prefetch.hpp"
#include "vector/hnsw/quantize.hpp"
#include "vector/hnsw/scratch.hpp"
#include "vector/hnsw/search_layer_detail.hpp"
#include "vector/hnsw/sq8.hpp"

namespace dovadure::vector::hnsw {

namespace search_detail {

int32_t screen_threshold(float worst) {
  // The screen keeps a neighbour whose estimated cosine reaches 85% of the
  // current worst result's (codes and query both carry a 127.5 scale).
  const float t = (1.0f - worst) * 127.5f * 127.5f * 0.85f;
  return saturating_i32(t);
}

int32_t saturating_i32(float v) {
  if (!(v == v)) return 0;
  // 2147483520 is the largest f32 below 2^31.
  if (v >= 2147483648.0f) return std::numeric_limits<int32_t>::max();
  if (v < -2147483648.0f) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

size_t coprime_stride(uint64_t h, size_t len) {
  // Only called with len >= 2 (a cap below the list length, and caps are >= 1).
  size_t t = static_cast<size_t>((h >> 32) % (len - 1)) + 1;
  while (std::gcd(t, len) != 1) t = (t % (len - 1)) + 1;
  return t;
}

ScanWalk scan_walk(std::optional<uint64_t> seed, NodeIdx u, size_t len, size_t cap, bool rotate,
                   bool stride) {
  ScanWalk walk;
  walk.count = std::min(cap, len);
  if (cap < len) {
    const uint64_t h = (seed.value_or(0) + u) * 0x9E3779B97F4A7C15ull;
    if (rotate) walk.start = static_cast<size_t>(h % len);
    if (stride) walk.step = coprime_stride(h, len);
  }
  return walk;
}

size_t expansion_cap_for(size_t ef, size_t multiplier) {
  if (auto cap = search_expansion_cap_override()) return *cap;
  size_t product;
  if (__builtin_mul_overflow(ef, multiplier, &product)) product = SIZE_MAX;
  return std::max(ef, product);
}

double elapsed_ms(const TraceContext& trace) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                   trace.start)
      .count();
}

utils::SearchTraceEntry blank_trace_entry(const TraceContext& trace,
                                          utils::DistanceMetric metric) {
  utils::SearchTraceEntry e{};
  e.search_id = trace.search_id;
  e.metric = metric;
  e.stop_reason = nullptr;
  return e;
}

}  // namespace search_detail

namespace {

using search_detail::ScanWalk;

constexpr size_t kGroupSize = 16;
// Indexes up to this many nodes keep their visited marks (a byte per node)
// within a core's L2 cache.
constexpr size_t kMarksInCache = size_t{256} << 10;

// The per-search state of one layer search: settings fixed at the start,
// the arena snapshots and the running counters.
class LayerSearch {
 public:
  LayerSearch(const HNSWIndex& index, SearchScratch& scratch, const float* query, size_t dim,
              size_t level, size_t ef, bool negate_dot)
      : index_(index),
        scratch_(scratch),
        query_(query),
        dim_(dim),
        level_(level),
        ef_(ef),
        metric_(index.metric()),
        negate_dot_(negate_dot),
        kernel_(pick_kernel(metric_)) {}

  // Settings.
  size_t n = 0;
  NodeArray<std::atomic<uint8_t>>::View states;
  NodeVectorArena::View vectors;
  AdjacencyView adjacency;
  bool frozen = false;    // no list lock is needed
  bool all_live = false;  // no node needs its state checked
  size_t scan_cap = SIZE_MAX;  // SIZE_MAX: no cap
  size_t scan_patience = 0;
  bool rotate = false;
  bool stride = false;
  std::optional<uint64_t> rotation_seed;
  bool counting = false;  // a stats sink wants scanned / scored
  bool remember_scores = false;  // see HNSWIndex::search_layer_unfiltered
  bool ti_skip = false;
  NodeArray<ScoreList>::View l0_scores;
  bool screen = false;
  const uint8_t* codes = nullptr;
  size_t coded_nodes = 0;
  const LayerFilter* filter = nullptr;  // null: every node may be a result
  bool two_hop = false;

  // Counters.
  uint64_t visited_count = 0;
  SearchCounters counters;
  float worst = std::numeric_limits<float>::max();

  bool live(NodeIdx w) const {
    return states[w].load(std::memory_order_acquire) == kStateLive;
  }

  // Keeps w's score in the scratch's memo, when the caller asked for that.
  void remember(NodeIdx w, float score) {
    if (!remember_scores) return;
    scratch_.memo.set(w);
    scratch_.memo_scores[w] = score;
  }

  float score_of(NodeIdx w) const {
    return fast_score_n(metric_, query_, vectors.ptr(w), dim_);
  }
  float key_of(float score) const { return negate_dot_ ? sort_key_of(metric_, score) : score; }

  // Entries are not limited by ef: all of them start in the results.
  void seed(std::span<const NodeIdx> entries) {
    VisitedMarks& marks = scratch_.visited;
    for (const NodeIdx v : entries) {
      if (v >= n || !live(v) || marks.test(v)) continue;
      marks.set(v);
      ++visited_count;
      const float score = score_of(v);
      remember(v, score);
      const float key = key_of(score);
      scratch_.candidates.push({v, score, key});
      // A filtered walk starts from its entries whether or not they may be
      // returned.
      if (filter == nullptr || filter->allows(v)) scratch_.results.push({v, score, key});
    }
    if (!scratch_.results.empty()) set_worst(scratch_.results.top().sort_key);
  }

  // A neighbour enters when the results have room or it beats the worst;
  // a NaN key therefore enters only while the results are not full.
  // Always inlined: it runs once per scored neighbour.
  [[gnu::always_inline]] bool admit(NodeIdx w, float score, float key) {
    ResultHeap& results = scratch_.results;
    if (!(results.size() < ef_ || key < worst)) return false;
    // Most candidates get expanded: start fetching the list now (its
    // header and first items; the rest once it is next in line).
    if (level_ == 0 && w < adjacency.len()) adjacency.layer0().prefetch(w, 0, 1);
    scratch_.candidates.push({w, score, key});
    if (filter != nullptr && !filter->allows(w)) return true;
    if (results.size() < ef_) {
      results.push({w, score, key});
    } else {
      results.push_pop({w, score, key});
    }
    if (!results.empty()) set_worst(results.top().sort_key);
    return true;
  }

  // Starts fetching the rest of w's list, the one likeliest to be expanded
  // next (its first line was fetched when w was admitted). Only while the
  // graph can change: searches of a frozen index ran faster without the
  // extra traffic. Lists that outgrew their room are left to the hardware.
  [[gnu::always_inline]] void prefetch_next(NodeIdx w) const {
    if (!frozen && level_ == 0 && w < adjacency.len()) adjacency.layer0().prefetch(w, 1, 8);
  }

  void expand(NodeIdx u, float u_key) {
    const NeighborList* list = adjacency.list(level_, u);
    if (list == nullptr) return;
    // A frozen index changes no list: its locks are skipped altogether.
    std::shared_lock<utils::SpinRwLock> lock;
    if (!frozen) lock = std::shared_lock<utils::SpinRwLock>(list->lock);
    const size_t len = list->size();
    const NodeIdx* const items = list->data();
    if (len == 0) return;

    const bool capped = level_ == 0 && scan_cap != SIZE_MAX;
    const size_t cap = level_ == 0 ? scan_cap : SIZE_MAX;
    // Without a cap below the length the walk is the whole list in order.
    const ScanWalk walk = cap < len
                              ? search_detail::scan_walk(rotation_seed, u, len, cap, rotate, stride)
                              : ScanWalk{0, 1, len};

    const bool patience_on = scan_patience > 0 && metric_ != utils::DistanceMetric::Dot;
    // A cap without rotation or stride scans a prefix of the list.
    if (!counting && !ti_skip && !screen && !patience_on && filter == nullptr && walk.start == 0 &&
        walk.step == 1) {
      // The marks of a small index stay in cache: fetching them ahead only
      // costs instructions.
      const bool fetch_marks = n > kMarksInCache;
      if (all_live) {
        fetch_marks ? expand_plain<false, true>(items, walk.count)
                    : expand_plain<false, false>(items, walk.count);
      } else {
        fetch_marks ? expand_plain<true, true>(items, walk.count)
                    : expand_plain<true, false>(items, walk.count);
      }
      if (capped && len >= scan_cap) ++counters.cap_hits;
      return;
    }

    if (ti_skip) load_ti_scores(u);
    size_t misses = 0;  // scored neighbours in a row that were not admitted
    bool patience_stop = false;

    VisitedMarks& marks = scratch_.visited;
    NodeIdx* group = scratch_.group.data();
    size_t grouped = 0;
    const auto score_group = [&]() {
      for (size_t g = 0; g < grouped; ++g) {
        const NodeIdx w = group[g];
        const float score = score_of(w);
        remember(w, score);
        if (counting) ++counters.scored;
        const bool admitted = admit(w, score, key_of(score));
        if (!patience_on) continue;
        misses = admitted ? 0 : misses + 1;
        // The rest of the group stays marked visited and is dropped.
        if (misses >= scan_patience) return true;
      }
      grouped = 0;
      return false;
    };

    // Two-hop: a disallowed neighbour is not scored; its own allowed
    // neighbours are, as if they were u's.
    const auto gather_through = [&](NodeIdx w) {
      const NeighborList* bridge = adjacency.list(0, w);
      if (bridge == nullptr) return false;
      const NodeIdx* around = bridge->data();
      const size_t around_len = bridge->size();
      for (size_t i = 0; i < around_len; ++i) {
        const NodeIdx x = around[i];
        if (x >= n || marks.test(x) || !filter->allows(x) || !live(x)) continue;
        marks.set(x);
        ++visited_count;
        group[grouped++] = x;
        prefetch_vector(vectors.ptr(x), dim_);
        if (grouped == kGroupSize && score_group()) return true;
      }
      return false;
    };

    size_t pos = walk.start;
    size_t ahead = walk.start;
    for (size_t k = 0; k < 2 && k < walk.count; ++k) ahead = advance(ahead, walk.step, len);
    for (size_t k = 0; k < walk.count; ++k) {
      const NodeIdx w = items[pos];
      const size_t j = pos;
      pos = advance(pos, walk.step, len);
      if (k + 2 < walk.count) {
        const NodeIdx next = items[ahead];
        if (next < n) __builtin_prefetch(&marks.marks[next], 1, 3);
        ahead = advance(ahead, walk.step, len);
      }
      if (counting) ++counters.scanned;
      if (w >= n || marks.test(w) || !live(w)) continue;
      if (ti_skip && skip_by_triangle(j, u_key)) continue;
      marks.set(w);
      ++visited_count;
      if (two_hop && !filter->allows(w)) {
        if (gather_through(w)) {
          patience_stop = true;
          break;
        }
        continue;
      }
      if (screen && screened_out(w)) continue;
      group[grouped++] = w;
      prefetch_vector(vectors.ptr(w), dim_);
      if (grouped == kGroupSize && score_group()) {
        patience_stop = true;
        break;
      }
    }
    if (!patience_stop && grouped > 0 && score_group()) patience_stop = true;

    if (patience_stop) {
      ++counters.patience_stops;
    } else if (capped && len >= scan_cap) {
      ++counters.cap_hits;
    }
  }

  // The whole list in order with none of the optional checks. Everything
  // the loop reads lives in locals: the visited marks are bytes, and a byte
  // store would otherwise force every member to be reloaded after it.
  // Out of line so that the loop gets registers of its own instead of
  // sharing them with the whole search.
  // Every entry below n has a state and a vector in the snapshots (states
  // are snapshotted first), so they are read unchecked.
  template <bool kCheckState, bool kFetchMarks>
  [[gnu::noinline]] void expand_plain(const NodeIdx* items, size_t len) {
    const size_t count = n;
    uint8_t* const marks = scratch_.visited.marks.data();
    const uint8_t epoch = scratch_.visited.epoch;
    const NodeArray<std::atomic<uint8_t>>::View st = states;
    const NodeVectorArena::View vec = vectors;
    // What prefetch_vector fetches of each vector, worked out once.
    const size_t lines = vector_prefetch_lines(dim_);
    NodeIdx* const group = scratch_.group.data();
    // Each gathered vector's address, worked out once for its prefetch.
    const float* rows[kGroupSize];
    uint64_t visited = visited_count;
    size_t grouped = 0;
    const auto visit = [&](NodeIdx w) __attribute__((always_inline)) {
      if (w >= count || marks[w] == epoch ||
          (kCheckState && st.at_unchecked(w).load(std::memory_order_acquire) != kStateLive)) {
        return;
      }
      marks[w] = epoch;
      ++visited;
      const float* row = vec.ptr_unchecked(w);
      prefetch_lines(row, lines);
      group[grouped] = w;
      rows[grouped++] = row;
      if (grouped == kGroupSize) {
        visited_count = visited;
        score_plain(group, rows, grouped);
        grouped = 0;
      }
    };
    // On a large index the marks two entries ahead are fetched while this
    // one is looked at; the last two entries have none ahead.
    size_t k = 0;
    if constexpr (kFetchMarks) {
      for (; k + 2 < len; ++k) {
        const NodeIdx next = items[k + 2];
        if (next < count) __builtin_prefetch(&marks[next], 1, 3);
        visit(items[k]);
      }
    }
    for (; k < len; ++k) visit(items[k]);
    visited_count = visited;
    if (grouped > 0) score_plain(group, rows, grouped);
  }

  void trace_step(const TraceContext& trace, NodeIdx u, float u_key, uint64_t expansions) const {
    utils::SearchTraceEntry e = search_detail::blank_trace_entry(trace, metric_);
    e.ef_search = ef_;
    e.step = trace.step;
    e.level = level_;
    e.current_idx = u;
    e.current_point = index_.point_id(u);
    e.current_sort_key = u_key;
    e.visited = visited_count;
    e.expanded = expansions;
    e.candidate_len = scratch_.candidates.size();
    e.results_len = scratch_.results.size();
    e.worst_score = worst;
    e.elapsed_ms = search_detail::elapsed_ms(trace);
    utils::log_search_trace(e);
  }

  void trace_end(const TraceContext& trace, const char* reason, uint64_t expansions,
                 size_t result_len) const {
    utils::SearchTraceEntry e = search_detail::blank_trace_entry(trace, metric_);
    e.ef_search = ef_;
    e.step = trace.step;
    e.level = level_;
    e.visited = visited_count;
    e.expanded = expansions;
    e.candidate_len = scratch_.candidates.size();
    e.results_len = result_len;
    e.worst_score = worst;
    e.stop_reason = reason;
    e.elapsed_ms = search_detail::elapsed_ms(trace);
    utils::log_search_trace(e);
  }

 private:
  static size_t advance(size_t pos, size_t step, size_t len) {
    pos += step;
    return pos >= len ? pos - len : pos;
  }

  // Scores and admits a gathered group (nodes and their vectors); the
  // kernel is the one fast_score_n would pick, chosen once per search.
  void score_plain(const NodeIdx* group, const float* const* rows, size_t count) {
    // In locals: the stores below would otherwise make every member be
    // loaded again for the next neighbour.
    const Kernel kernel = kernel_;
    const float* const query = query_;
    const size_t dim = dim_;
    const bool cosine = metric_ == utils::DistanceMetric::Cosine;
    uint32_t* const memo = remember_scores ? scratch_.memo.stamps.data() : nullptr;
    const uint32_t memo_epoch = scratch_.memo.epoch;
    float* const memo_scores = scratch_.memo_scores.data();
    for (size_t g = 0; g < count; ++g) {
      const NodeIdx w = group[g];
      float score = kernel(query, rows[g], dim);
      if (cosine) {
        if (score > 1.0f) {
          score = 1.0f;
        } else if (score < -1.0f) {
          score = -1.0f;
        }
        score = 1.0f - score;
      }
      // As remember().
      if (memo != nullptr) {
        memo[w] = memo_epoch;
        memo_scores[w] = score;
      }
      admit(w, score, key_of(score));
    }
  }

  using Kernel = FloatKernel;

  // The kernel fast_score_n dispatches to for this metric on this machine.
  static Kernel pick_kernel(utils::DistanceMetric metric) {
    return metric == utils::DistanceMetric::Euclidean ? l2_kernel() : dot_kernel();
  }

  void set_worst(float w) {
    worst = w;
    if (screen) threshold_ = search_detail::screen_threshold(w);
  }

  // Copies u's layer-0 scores (position j: raw score from u to its j-th
  // entry) so that no second lock is held during the scan.
  void load_ti_scores(NodeIdx u) {
    std::vector<float>& out = scratch_.scores;
    out.clear();
    if (u >= l0_scores.len) return;
    const ScoreList& list = l0_scores[u];
    std::shared_lock<utils::SpinRwLock> lock(list.lock);
    out.assign(list.begin(), list.end());
  }

  // By the triangle inequality a neighbour at distance e_j from u is at
  // least d_u − e_j from the query; if that exceeds the worst result it
  // cannot enter. It is not marked, so another path may still reach it.
  bool skip_by_triangle(size_t j, float u_key) const {
    return scratch_.results.size() >= ef_ && j < scratch_.scores.size() &&
           u_key - scratch_.scores[j] > worst;
  }

  // Nodes beyond the code array (appended after quantisation) are not
  // screened: they are scored exactly.
  bool screened_out(NodeIdx w) const {
    if (scratch_.results.size() < ef_ || w >= coded_nodes) return false;
    const int32_t dot = screen_dot(scratch_.screen_query.data(), codes + size_t{w} * dim_, dim_);
    return dot < threshold_;
  }

  const HNSWIndex& index_;
  SearchScratch& scratch_;
  const float* query_;
  size_t dim_;
  size_t level_;
  size_t ef_;
  utils::DistanceMetric metric_;
  bool negate_dot_;
  int32_t threshold_ = 0;
  Kernel kernel_;
};

}  // namespace

utils::Result<HNSWIndex::LayerSearchResult> HNSWIndex::search_layer_unfiltered(
    std::span<const float> query, std::span<const NodeIdx> entries, size_t level, size_t ef,
    const SearchOptions& options, bool negate, StatsSink* stats, TraceContext* trace,
    bool remember_scores) const {
  if (query.size() != dim_) return utils::DBError::dimension_mismatch(dim_, query.size());

  const bool rotate = neighbor_scan_rotate_enabled();
  const bool stride = neighbor_scan_stride_enabled();
  std::optional<uint64_t> rotation_seed;
  if (rotate || stride) rotation_seed = utils::hash_query(query);

  size_t multiplier = options.expansion_mult.value_or(search_expansion_multiplier());
  if (multiplier == 0) multiplier = 1;
  // A walk through every node meets an allowed one only every so often, so
  // it may expand that many times more nodes for the same results.
  if (level == 0 && options.filter != nullptr && !options.filter->two_hop &&
      options.filter->allowed_count > 0) {
    const size_t sparsity = (options.filter->allowed_bits + options.filter->allowed_count - 1) /
                            options.filter->allowed_count;
    if (__builtin_mul_overflow(multiplier, sparsity, &multiplier)) multiplier = SIZE_MAX;
  }
  const size_t expansion_cap = search_detail::expansion_cap_for(ef, multiplier);
  const bool dot = metric_ == utils::DistanceMetric::Dot;
  // The line is logged once per process; the local flag spares every later
  // search a write to the shared once-flag.
  static std::atomic<bool> scan_state_logged{false};
  if (!scan_state_logged.load(std::memory_order_relaxed)) {
    scan_state_logged.store(true, std::memory_order_relaxed);
    utils::log_neighbor_scan_state(neighbor_scan_cap(), rotate, stride, multiplier,
                                   dot ? std::nullopt : std::optional<size_t>(expansion_cap));
  }

  ScratchBorrow scratch;
  LayerSearch s(*this, *scratch, query.data(), dim_, level, ef, negate);
  // States first: a node's vector and score list are appended before its
  // state, so every node below the state snapshot's length has both.
  s.states = states_.view();
  s.n = s.states.len;
  s.vectors = vectors_.view();
  s.adjacency = adjacency_view();
  if (frozen()) {
    s.frozen = true;
    s.all_live = all_live();
  }
  s.rotate = rotate;
  s.stride = stride;
  s.rotation_seed = rotation_seed;
  s.counting = stats != nullptr;
  const LayerFilter* filter = level == 0 ? options.filter : nullptr;
  if (filter != nullptr) {
    s.filter = filter;
    s.two_hop = filter->two_hop && s.frozen;
  }

  scratch->begin_search(s.n);
  scratch->group.resize(kGroupSize);
  if (remember_scores) {
    s.remember_scores = true;
    scratch->memo.begin(s.n);
    if (scratch->memo_scores.size() < s.n) scratch->memo_scores.resize(s.n);
  }

  s.scan_patience = options.scan_patience ? *options.scan_patience
                                          : neighbor_scan_patience().value_or(0);
  const bool early_exit = !disable_early_exit();
  const size_t patience = options.early_exit_patience.value_or(early_exit_patience());

  if (level == 0) {
    const std::optional<size_t> cap = options.scan_cap ? options.scan_cap : neighbor_scan_cap();
    if (cap && *cap != 0) s.scan_cap = *cap;
  }

  // The two pruning filters only ever touch a plain scan: no counting, no
  // cap, no scan patience, no rotation or stride.
  const bool plain_scan =
      stats == nullptr && s.scan_cap == SIZE_MAX && s.scan_patience == 0 && !rotate && !stride;
  if (level == 0 && metric_ == utils::DistanceMetric::Cosine) {
    s.ti_skip = tristate_or(options.ti_skip, ti_skip_enabled()) && l0_scores_len() > 0;
    const bool screen = !s.ti_skip && has_codes() &&
                        tristate_or(options.sq8_screen, sq8_screen_enabled());
    if (screen) {
      quantize_query_i8_into(query, scratch->screen_query);
      s.codes = codes_.data();
      s.coded_nodes = codes_.size() / dim_;
    }
    s.ti_skip = s.ti_skip && plain_scan;
    s.screen = screen && plain_scan;
    if (s.ti_skip) s.l0_scores = l0_neighbor_scores_.view();
  }
  s.seed(entries);

  const char* stop_reason = "queue_empty";
  bool gave_up = false;
  uint64_t expansions = 0;
  size_t beaten = 0;  // best candidates in a row that could not improve the results
  CandidateHeap& candidates = scratch->candidates;
  while (!candidates.empty()) {
    if (early_exit && scratch->results.size() >= ef) {
      beaten = candidates.top().sort_key > s.worst ? beaten + 1 : 0;
      if (beaten > patience) {
        stop_reason = "early_exit_patience";
        break;
      }
    }
    if (filter != nullptr && s.visited_count > filter->visit_budget) {
      stop_reason = "visit_budget";
      gave_up = true;
      break;
    }
    const QueuedNode u = candidates.pop();
    if (!candidates.empty()) s.prefetch_next(candidates.top().idx);
    s.expand(u.idx, u.sort_key);
    ++expansions;
    if (!dot && expansions >= expansion_cap) {
      stop_reason = "expansion_cap";
      break;
    }
    if (trace != nullptr) {
      ++trace->step;
      if (trace->trace_every != 0 && trace->step % trace->trace_every == 0) {
        s.trace_step(*trace, u.idx, u.sort_key, expansions);
      }
    }
  }

  ResultHeap& results = scratch->results;
  // A walk over its budget returns nothing: the caller scans instead.
  if (gave_up) results.clear();
  results.sort_ascending();
  LayerSearchResult out;
  out.nodes.reserve(results.size());
  // A key is its score, or under negate the score with its sign bit flipped
  // (which flipping again undoes exactly).
  for (const QueuedNode& r : results.items()) {
    const float score = negate ? sort_key_of(metric_, r.sort_key) : r.sort_key;
    out.nodes.push_back({r.idx, score, r.sort_key});
  }
  results.clear();
  if (trace != nullptr) s.trace_end(*trace, stop_reason, expansions, out.nodes.size());
  out.counters = s.counters;
  if (stats != nullptr) {
    stats->visited = s.visited_count;
    stats->expansions = expansions;
    stats->scanned = s.counters.scanned;
    stats->scored = s.counters.scored;
    stats->cap_hits = s.counters.cap_hits;
    stats->patience_stops = s.counters.patience_stops;
  }
  return out;
}

}  // namespace dovadure::vector::hnsw
