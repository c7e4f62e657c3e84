// Filter-aware edges: extra one-way layer-0 edges from a new point towards
// the closest points that share one of its filter-key payload values, so that
// filtered searches reach same-valued points through the graph.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <unordered_set>

#include "payload_storage/stores.hpp"
#include "utils/env.hpp"
#include "utils/payload.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/stats.hpp"

namespace dovadure::vector::hnsw {
namespace {

std::mt19937_64& thread_generator() {
  thread_local std::mt19937_64 generator([] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }());
  return generator;
}

// Statistics bucket of a key's value: lists count as floats.
FilterEdgeKind bucket_of(const utils::PayloadValue& value) {
  switch (value.kind()) {
    case utils::PayloadKind::Bool: return FilterEdgeKind::Bool;
    case utils::PayloadKind::Str: return FilterEdgeKind::Str;
    case utils::PayloadKind::Int: return FilterEdgeKind::Int;
    default: return FilterEdgeKind::Float;
  }
}

// Ascending with NaN after every number (and equal to NaN): a strict weak
// ordering, so the sorts below stay defined on NaN vectors.
bool key_less(float a, float b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

}  // namespace

utils::Status HNSWIndex::build_filter_aware_edges(
    uint64_t id, std::span<const float> vector, const utils::Payload& payload,
    const payload_storage::PayloadIndex& payload_index,
    const std::unordered_map<uint64_t, utils::Payload>& payloads,
    const std::vector<std::string>& keys) {
  (void)payloads;  // the pass reads only the new point's own payload
  if (keys.empty()) return {};

  const std::vector<float> base = metric_ == utils::DistanceMetric::Cosine
                                      ? maybe_normalize(vector)
                                      : std::vector<float>(vector.begin(), vector.end());
  const size_t k = m0_;
  const size_t sample_cap = k > SIZE_MAX / 2 ? SIZE_MAX : 2 * k;
  const bool aggregate = utils::env_flag_lowercase_rule("DOROVOZU_LOG_FILTER_EDGES_AGG");

  std::unordered_set<uint64_t> chosen;
  std::vector<uint64_t> taken;
  std::vector<utils::ScoredPoint> scored;
  if (!payload.fields.empty()) {
    for (const std::string& key : keys) {
      auto field = payload.fields.find(key);
      if (field == payload.fields.end()) continue;
      const auto started = std::chrono::steady_clock::now();
      const payload_storage::PayloadIndex::IdSet* posting =
          payload_index.query_exact(key, field->second);
      if (posting == nullptr) continue;

      auto eligible = [&](uint64_t member) { return member != id && get_vector(member).has_value(); };
      taken.clear();
      if (sample_cap < posting->size()) {
        // Reservoir sampling over the eligible members in set order.
        uint64_t later = 0;
        for (uint64_t member : *posting) {
          if (!eligible(member)) continue;
          if (taken.size() < sample_cap) {
            taken.push_back(member);
            continue;
          }
          std::uniform_int_distribution<uint64_t> draw(0, sample_cap + later);
          uint64_t slot = draw(thread_generator());
          if (slot < sample_cap) taken[slot] = member;
          ++later;
        }
      } else {
        for (uint64_t member : *posting) {
          if (eligible(member)) taken.push_back(member);
        }
      }

      scored.clear();
      for (uint64_t member : taken) {
        auto stored = get_vector(member);
        if (!stored) continue;
        float score = fast_score(base, *stored);
        scored.push_back({member, score, sort_key_of(metric_, score)});
      }
      if (metric_ == utils::DistanceMetric::Dot) {
        std::stable_sort(scored.begin(), scored.end(),
                         [](const auto& a, const auto& b) { return key_less(-a.score, -b.score); });
      } else {
        std::stable_sort(scored.begin(), scored.end(),
                         [](const auto& a, const auto& b) { return key_less(a.score, b.score); });
      }

      uint64_t added = 0;
      if (k > 0) {
        const size_t best = std::min(k, scored.size());
        for (size_t i = 0; i < best; ++i) added += chosen.insert(scored[i].id).second ? 1 : 0;
      }
      if (aggregate && !scored.empty()) {
        record_filter_edge_pass(bucket_of(field->second), taken.size(), scored.size(), added,
                                std::chrono::steady_clock::now() - started);
      }
      if (chosen.size() >= k) break;
    }
  }

  const size_t max_edges = std::max<size_t>(k, 1);
  size_t edges = 0;
  for (uint64_t target : chosen) {
    if (edges >= max_edges) break;
    if (target == id) continue;
    add_one_way_edge(0, id, target);
    ++edges;
  }
  return {};
}

void HNSWIndex::add_one_way_edge(size_t layer, uint64_t from_id, uint64_t to_id) {
  const std::optional<NodeIdx> from = idx_of(from_id);
  const std::optional<NodeIdx> to = idx_of(to_id);
  if (!from || !to) return;
  NeighborList* list = ensure_neighbor_list(layer, *from);
  if (list == nullptr) return;
  {
    std::unique_lock<utils::SpinRwLock> guard(list->lock);
    const auto items = list->items();
    if (std::find(items.begin(), items.end(), *to) == items.end()) list->push_back(*to);
  }
  sort_layer_neighbors(layer, *from);
  if (enforce_neighbor_caps().value_or(true)) cap_layer_neighbors(layer, *from);
}

void HNSWIndex::sort_layer_neighbors(size_t layer, NodeIdx f) {
  NeighborList* list = neighbor_list_mut(layer, f);
  if (list == nullptr) return;
  std::vector<NodeIdx> items;
  {
    std::shared_lock<utils::SpinRwLock> guard(list->lock);
    items.assign(list->begin(), list->end());
  }
  if (items.size() < 2) return;
  const auto own = get_vector_by_idx(f);
  if (!own) return;

  struct Keyed {
    NodeIdx idx;
    float key;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(items.size());
  for (NodeIdx x : items) {
    const auto other = get_vector_by_idx(x);
    if (!other) continue;  // tombstoned entries leave the list
    keyed.push_back({x, sort_key_of(metric_, fast_score(*own, *other))});
  }
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const Keyed& a, const Keyed& b) { return key_less(a.key, b.key); });
  items.clear();
  for (const Keyed& e : keyed) items.push_back(e.idx);
  {
    std::unique_lock<utils::SpinRwLock> guard(list->lock);
    list->assign(items);
  }

  if (layer != 0 || l0_scores_len() == 0 || f >= l0_neighbor_scores_.len()) return;
  std::vector<float> scores;
  scores.reserve(items.size());
  for (NodeIdx x : items) {
    if (x == f) {
      scores.push_back(0.0f);
      continue;
    }
    const auto other = get_vector_by_idx(x);
    scores.push_back(other ? fast_score(*own, *other) : 0.0f);
  }
  l0_neighbor_scores_.with(f, [&](ScoreList& entry) {
    std::unique_lock<utils::SpinRwLock> guard(entry.lock);
    entry.assign(scores);
  });
}

}  // namespace dovadure::vector::hnsw
