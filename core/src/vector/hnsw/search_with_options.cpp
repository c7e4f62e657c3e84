// One k-nearest-neighbour query: exact scan for small collections, else
// greedy descent, optional layer-1 seeding, the layer-0 search, an optional
// wider retry, and the final ordering with the point-id tie-break.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "utils/telemetry.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/node_views.hpp"
#include "vector/hnsw/stats.hpp"

namespace dovadure::vector::hnsw {

namespace {

using utils::DistanceMetric;
using utils::ScoredPoint;

constexpr float kLargestF32 = std::numeric_limits<float>::max();

// Ascending key, equal keys by point id; NaN keys after all numbers (among
// themselves by id). Ids are unique, so this is a total order and the result
// does not depend on the sort algorithm.
bool result_order(const ScoredPoint& a, const ScoredPoint& b) {
  const bool a_nan = std::isnan(a.sort_key);
  const bool b_nan = std::isnan(b.sort_key);
  if (a_nan || b_nan) return a_nan == b_nan ? a.id < b.id : b_nan;
  if (a.sort_key != b.sort_key) return a.sort_key < b.sort_key;
  return a.id < b.id;
}

void keep_best(std::vector<ScoredPoint>& points, size_t k) {
  if (k < points.size()) {
    std::partial_sort(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(k), points.end(),
                      result_order);
    points.resize(k);
  } else {
    std::sort(points.begin(), points.end(), result_order);
  }
}

float best_key(const std::vector<NodeCandidate>& nodes) {
  return nodes.empty() ? kLargestF32 : nodes.front().sort_key;
}

double millis_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

utils::Result<std::vector<ScoredPoint>> HNSWIndex::search_with_options(
    std::span<const float> query, size_t k, const SearchOptions& options) const {
  const uint64_t word = entry_point_.load(std::memory_order_acquire);
  if (entry_word_idx(word) == kNoNode) return std::vector<ScoredPoint>{};
  if (query.size() != dim_) return utils::DBError::dimension_mismatch(dim_, query.size());

  const std::vector<float> q = maybe_normalize(query);
  const bool negate = metric_ != DistanceMetric::Euclidean;
  const size_t node_count = len();
  const size_t deleted = deleted_count();
  const size_t live = node_count > deleted ? node_count - deleted : 0;
  const LayerFilter* filter = options.filter;
  const bool exact = (exact_fallback_enabled_ && live <= exact_fallback_threshold_) ||
                     (filter != nullptr && filter->exact_scan);

  std::optional<TraceContext> trace;
  utils::SearchTraceEntry record{};
  if (utils::search_trace_enabled()) {
    trace.emplace();
    trace->search_id = utils::next_search_trace_seq();
    trace->trace_every = trace_every();
    trace->start = std::chrono::steady_clock::now();
    record.search_id = trace->search_id;
    record.metric = metric_;
    record.ef_search = k;
    record.exact_fallback_enabled = exact_fallback_enabled_;
    record.exact_fallback_threshold = exact_fallback_threshold_;
    record.collection_size = live;
    record.exact_scan = exact;
    record.stop_reason = "start";
    utils::log_search_trace(record);
  }

  // Scores every live node, or every allowed one under a filter.
  const auto scan = [&]() {
    const NodeViews views = node_views();
    const auto ids = ids_.view();
    std::vector<ScoredPoint> points;
    const auto score = [&](size_t i) {
      if (i >= views.deleted.len || views.deleted.at(i).load(std::memory_order_acquire)) return;
      const float* v = views.vector(i);
      if (v == nullptr) return;
      const float s = fast_score_n(metric_, q.data(), v, dim_);
      points.push_back(ScoredPoint{ids.at(i).load(std::memory_order_acquire), s,
                                   sort_key_of(metric_, s)});
    };
    if (filter == nullptr) {
      points.reserve(live);
      for (size_t i = 0; i < node_count; ++i) score(i);
    } else {
      points.reserve(filter->allowed_count);
      const size_t bits = std::min(filter->allowed_bits, node_count);
      for (size_t w = 0; w * 64 < bits; ++w) {
        for (uint64_t word = filter->allowed[w]; word != 0; word &= word - 1) {
          const size_t i = w * 64 + static_cast<size_t>(__builtin_ctzll(word));
          if (i < bits) score(i);
        }
      }
    }
    keep_best(points, k);
    return points;
  };

  if (exact) {
    std::vector<ScoredPoint> points = scan();
    if (trace) {
      record.stop_reason = "exact_scan";
      if (!points.empty()) {
        record.top_id = points.front().id;
        record.top_raw = points.front().score;
        record.top_sort_key = points.front().sort_key;
      }
      record.results_len = points.size();
      record.worst_score = points.empty() ? 0.0f : points.back().sort_key;
      record.elapsed_ms = millis_since(trace->start);
      utils::log_search_trace(record);
    }
    return points;
  }

  const size_t entry_level = entry_word_level(word);
  NodeIdx current = entry_word_idx(word);
  for (size_t level = entry_level; level >= 1; --level) {
    current = greedy_search_layer_unfiltered(q, current, level);
  }

  const size_t ef = std::max(options.ef.value_or(ef_construction_), k);

  std::vector<NodeIdx> seeds;
  const size_t seed_count =
      std::max<size_t>(options.num_entry_seeds ? *options.num_entry_seeds
                                               : num_entry_seeds_default().value_or(1),
                       1);
  if (seed_count >= 2 && entry_level >= 1) {
    SearchOptions seed_options;
    seed_options.expansion_mult = 1;
    auto found = search_layer_unfiltered(q, std::span<const NodeIdx>(&current, 1), 1, seed_count,
                                         seed_options, negate, nullptr, nullptr);
    if (!found.ok()) return found.take_error();
    seeds.reserve(found.value().nodes.size());
    for (const NodeCandidate& c : found.value().nodes) seeds.push_back(c.idx);
  } else {
    seeds.push_back(current);
  }

  std::optional<StatsSink> stats;
  if (log_unfiltered_enabled()) stats.emplace();

  auto first = run_l0_search(q, seeds, ef, options, negate, stats ? &*stats : nullptr,
                             trace ? &*trace : nullptr);
  if (!first.ok()) return first.take_error();
  std::vector<NodeCandidate> nodes = std::move(first.value());
  // A filtered walk that gave up, or found fewer allowed nodes than it
  // should return, leaves the answer to a scan: a filtered search is never
  // short while enough points match.
  if (filter != nullptr && nodes.size() < std::min(k, filter->allowed_count)) return scan();

  const std::optional<size_t> high =
      options.adaptive_ef_high ? options.adaptive_ef_high : adaptive_ef_high_default();
  const std::optional<float> threshold = options.adaptive_ef_score_threshold
                                             ? options.adaptive_ef_score_threshold
                                             : adaptive_ef_score_threshold_default();
  if (high && threshold) {
    const float best = best_key(nodes);
    if (best > *threshold && *high > ef) {
      auto retry = run_l0_search(q, seeds, *high, options, negate, nullptr, nullptr);
      if (!retry.ok()) return retry.take_error();
      if (best_key(retry.value()) < best) nodes = std::move(retry.value());
    }
  }

  const auto ids = ids_.view();
  std::vector<ScoredPoint> points;
  points.reserve(nodes.size());
  for (const NodeCandidate& c : nodes) {
    // Layer searches return nodes of their own snapshot, so the id view
    // (taken later) covers them.
    points.push_back(ScoredPoint{ids.at(c.idx).load(std::memory_order_acquire), c.score, c.sort_key});
  }
  keep_best(points, k);

  if (stats) {
    UnfilteredSample sample;
    sample.ef_search = ef;
    sample.visited = stats->visited;
    sample.expanded = stats->expansions;
    sample.best_score = points.empty() ? 0.0f : points.front().sort_key;
    sample.worst_score = points.empty() ? 0.0f : points.back().sort_key;
    record_unfiltered_sample(sample);
  }
  return points;
}

}  // namespace dovadure::vector::hnsw
