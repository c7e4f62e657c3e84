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

using IntKernel = int32_t (*)(const int16_t*, const uint8_t*, size_t);

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

  std::vector<int16_t> quantized;
  if (cosine) {
    quantize_query_cosine_wide(query, quantized);
  } else {
    quantize_query(query, mins_, scales_, quantized);
  }
  if (quantized.size() != dim_) return utils::DBError::dimension_mismatch(dim_, quantized.size());

  auto walked = search_layer_unfiltered_sq8(quantized, entries, 0, pool, options, stats, trace);
  if (!walked.ok()) return walked.take_error();

  std::vector<NodeCandidate> out;
  out.reserve(walked.value().size());
  if (score_only) {
    for (const NodeResult& r : walked.value()) {
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
    const VectorArena::View vectors = vectors_.view();
    for (const NodeResult& r : walked.value()) {
      const float score = fast_score_n(metric_, query.data(), vectors.ptr(r.idx), dim_);
      out.push_back({r.idx, score, negate ? sort_key_of(metric_, score) : score});
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
  const AdjacencyView adjacency = adjacency_view();
  const size_t dim = dim_;
  // Only nodes whose codes exist can be ranked; the rest are passed over.
  const size_t coded_nodes = dim == 0 ? 0 : codes_.size() / dim;
  const uint8_t* codes = codes_.data();
  const size_t qlen = std::min(quantized_query.size(), dim);
  const int16_t* q = quantized_query.data();
  const IntKernel kernel = metric_ == utils::DistanceMetric::Cosine
                               ? &sq8_dot_i16_centered
                               : &sq8_dot_i16_raw;

  scratch->begin_search(n);
  VisitedMarks& marks = scratch->visited;
  CandidateHeap& candidates = scratch->candidates;
  ResultHeap& results = scratch->results;

  const auto live = [&](NodeIdx v) {
    return states[v].load(std::memory_order_acquire) == kStateLive;
  };
  const auto walkable = [&](NodeIdx v) {
    return v < n && v < coded_nodes && live(v) && !marks.test(v);
  };
  // Larger integer scores are better; the key is their negation. Under
  // Euclidean the plain dot product of query and codes would favour large
  // codes over near ones, so the score is 2·q·c − c·c, which orders nodes
  // exactly as −|q − c|² does in the code domain.
  const bool euclidean = metric_ == utils::DistanceMetric::Euclidean;
  const auto key_of = [&](NodeIdx v) {
    const uint8_t* c = codes + size_t{v} * dim;
    const int32_t dot = kernel(q, c, qlen);
    if (!euclidean) return -static_cast<float>(dot);
    return -static_cast<float>(2 * int64_t{dot} - code_square_sum(c, qlen));
  };

  uint64_t visited = 0;
  const auto seed_one = [&](NodeIdx v) {
    marks.set(v);
    ++visited;
    const float key = key_of(v);
    candidates.push({v, 0.0f, key});
    results.push({v, 0.0f, key});
  };
  for (const NodeIdx v : entries) {
    if (walkable(v)) seed_one(v);
  }
  if (visited == 0) {
    // Every seed was unusable: start from the first live node rather than
    // return nothing. With no live node at all the walk returns empty (a
    // deleted node must never be offered as a result).
    for (size_t v = 0; v < std::min(n, coded_nodes); ++v) {
      if (live(static_cast<NodeIdx>(v))) {
        seed_one(static_cast<NodeIdx>(v));
        break;
      }
    }
  }

  float worst = results.empty() ? std::numeric_limits<float>::max() : results.top().sort_key;
  const size_t patience = options.early_exit_patience.value_or(early_exit_patience());
  uint64_t expansions = 0;
  size_t beaten = 0;
  NodeIdx group[kGroupSize];
  size_t grouped = 0;
  const auto score_group = [&]() {
    for (size_t g = 0; g < grouped; ++g) {
      const NodeIdx w = group[g];
      const float key = key_of(w);
      if (!(results.size() < pool || key < worst)) continue;
      candidates.push({w, 0.0f, key});
      results.push({w, 0.0f, key});
      if (results.size() > pool) results.pop();
      worst = results.top().sort_key;
    }
    grouped = 0;
  };

  while (!candidates.empty()) {
    if (results.size() >= pool) {
      beaten = candidates.top().sort_key > worst ? beaten + 1 : 0;
      if (beaten > patience) break;
    }
    const NodeCandidate u = candidates.pop();
    ++expansions;
    const NeighborList* list = adjacency.list(level, u.idx);
    if (list == nullptr) continue;
    std::shared_lock<utils::SpinRwLock> lock(list->lock);
    for (const NodeIdx w : list->items()) {
      if (!walkable(w)) continue;
      marks.set(w);
      ++visited;
      group[grouped++] = w;
      __builtin_prefetch(codes + size_t{w} * dim, 0, 1);
      if (grouped == kGroupSize) score_group();
    }
    score_group();
  }

  results.sort_ascending();
  std::vector<NodeResult> out(results.items().begin(), results.items().end());
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
