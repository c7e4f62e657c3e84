// Per-thread statistics aggregates and their periodic info lines.
//
// Aggregates live in thread-local storage and are dropped, unflushed, when the
// thread ends. Callers check the matching switch before recording.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

namespace dovadure::vector::hnsw {

struct UnfilteredSample {
  uint64_t ef_search = 0;
  uint64_t visited = 0;
  uint64_t expanded = 0;
  float best_score = 0.0f;
  float worst_score = 0.0f;
};

enum class FilterEdgeKind { Bool, Str, Int, Float };

// Adds a sample to this thread's list; at unfiltered_log_chunk() samples the
// "[unfiltered_search_stats]" line is logged and the list emptied.
void record_unfiltered_sample(const UnfilteredSample& sample);

// Every 10 000th pass on a thread logs "[filter_edges_agg]" (target "hnsw").
void record_filter_edge_pass(FilterEdgeKind kind, uint64_t sampled, uint64_t scored, uint64_t added,
                             std::chrono::nanoseconds elapsed);
inline constexpr uint64_t kFilterEdgePassesPerLine = 10'000;

// Every 5000th insert on a thread logs "[insert_timing_chunk]" (target "segment").
void record_insert_timing(std::chrono::nanoseconds hnsw, std::chrono::nanoseconds payload_idx,
                          std::chrono::nanoseconds filter_edges, std::chrono::nanoseconds total);
inline constexpr uint64_t kInsertsPerTimingLine = 5'000;

// Line formats.
std::string format_unfiltered_stats(std::span<const UnfilteredSample> samples);
std::string format_unfiltered_enabled(size_t chunk);

struct FilterEdgeTotals {
  uint64_t passes = 0;
  uint64_t sampled = 0;
  uint64_t scored = 0;
  uint64_t added = 0;
  std::chrono::nanoseconds bucket[4] = {};  // indexed by FilterEdgeKind
};
std::string format_filter_edges_agg(const FilterEdgeTotals& totals, uint64_t cumulative_passes);

std::string format_insert_timing_chunk(uint64_t n, uint64_t cumulative,
                                       std::chrono::nanoseconds hnsw_sum,
                                       std::chrono::nanoseconds payload_idx_sum,
                                       std::chrono::nanoseconds filter_edges_sum,
                                       std::chrono::nanoseconds total_sum,
                                       std::chrono::nanoseconds chunk_elapsed);

// "12ns", "1.5µs", "250ms", "2.000001s": the largest unit not above the value,
// with the exact fraction and no trailing zeros.
std::string format_duration(std::chrono::nanoseconds d);

// Element at round((n - 1) * q) of ascending values (half away from zero).
double quantile_of_sorted(std::span<const double> sorted, double q);

}  // namespace dovadure::vector::hnsw
