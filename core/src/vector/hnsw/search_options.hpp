// Per-query options and the counters a layer search reports.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace dovadure::vector::hnsw {

// A switch that is false, true, or unset (deferring to its knob).
enum class Tristate : uint8_t { Unset = 0, False = 1, True = 2 };

inline bool tristate_or(Tristate t, bool knob) {
  return t == Tristate::Unset ? knob : t == Tristate::True;
}

// Restricts what a search returns to a set of nodes; the layer-0 walk may
// still pass through the others to reach them. Made per call by a caller
// that filters, and read-only during the search.
struct LayerFilter {
  const uint64_t* allowed = nullptr;  // bit i of word i / 64: node i may be returned
  size_t allowed_bits = 0;            // nodes the bitmap covers; later ones are not allowed
  size_t allowed_count = 0;           // live nodes among the allowed
  // Answer by scoring every allowed node instead of walking the graph.
  bool exact_scan = false;
  // Walk only allowed nodes, reaching them also through disallowed
  // neighbours (neighbours of neighbours), so that a sparse allowed set
  // stays connected. Frozen indexes only (it reads a second list inside
  // the first one's scan).
  bool two_hop = false;
  // A layer-0 walk that visits more nodes than this gives up and returns
  // nothing; the search then scans the allowed nodes, which costs less.
  uint64_t visit_budget = UINT64_MAX;

  bool allows(uint32_t v) const {
    return v < allowed_bits && ((allowed[v >> 6] >> (v & 63)) & 1) != 0;
  }
};

// An absent field defers to its knob (or to the index's own configuration).
struct SearchOptions {
  std::optional<size_t> ef;
  std::optional<size_t> scan_cap;  // 0 means no cap
  std::optional<size_t> scan_patience;
  std::optional<size_t> early_exit_patience;
  std::optional<size_t> expansion_mult;
  std::optional<size_t> num_entry_seeds;
  std::optional<size_t> adaptive_ef_high;
  std::optional<size_t> sq8_rerank_factor;
  std::optional<float> adaptive_ef_score_threshold;
  Tristate ti_skip = Tristate::Unset;
  Tristate sq8_screen = Tristate::Unset;
  Tristate sq8_score_only = Tristate::Unset;
  // Null: every live node may be returned.
  const LayerFilter* filter = nullptr;
};

// Returned with every layer search. scanned and scored are counted only when
// a stats sink is given; cap_hits and patience_stops always.
struct SearchCounters {
  uint64_t scanned = 0;
  uint64_t scored = 0;
  uint64_t cap_hits = 0;
  uint64_t patience_stops = 0;
};

// Filled by a search at its end, for the unfiltered-search statistics.
struct StatsSink {
  uint64_t visited = 0;  // entry nodes included
  uint64_t expansions = 0;
  uint64_t scanned = 0;
  uint64_t scored = 0;
  uint64_t cap_hits = 0;
  uint64_t patience_stops = 0;
};

// Carried from the orchestrating search into the layer-0 search when the
// search trace log is configured.
struct TraceContext {
  uint64_t search_id = 0;
  uint64_t step = 0;
  size_t trace_every = 100;
  std::chrono::steady_clock::time_point start;
};

}  // namespace dovadure::vector::hnsw
