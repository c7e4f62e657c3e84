// Process-wide tuning knobs of the graph index.
//
// Each accessor reads its DOROVOZU_* variable once, on first use from any
// thread, and returns that value for the life of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace dovadure::vector::hnsw {

bool sq8_screen_enabled();
bool sq8_score_only_default();
std::optional<size_t> sq8_rerank_factor_default();
bool disable_early_exit();
size_t early_exit_patience();  // default 3, 0 allowed
bool ti_skip_enabled();
std::optional<size_t> neighbor_scan_cap();       // parsed 0 -> SIZE_MAX (no cap)
std::optional<size_t> neighbor_scan_patience();  // non-zero
bool neighbor_scan_rotate_enabled();             // set and true
bool neighbor_scan_stride_enabled();             // set and true
size_t search_expansion_multiplier();            // default 2, 0 -> 2
std::optional<size_t> search_expansion_cap_override();
std::optional<size_t> num_entry_seeds_default();
std::optional<size_t> adaptive_ef_high_default();
std::optional<float> adaptive_ef_score_threshold_default();
std::optional<bool> exact_fallback_enabled_override();
std::optional<size_t> exact_fallback_threshold_override();
float diversity_alpha_for_level(size_t layer);
std::optional<size_t> diversity_prune_floor();
std::optional<bool> enforce_neighbor_caps();  // consumers treat absent as true
bool log_unfiltered_enabled();                // first read emits the "enabled" info line when on
size_t unfiltered_log_chunk();
size_t trace_every();
std::optional<uint64_t> max_rss_bytes();
const std::optional<std::string>& oom_snapshot_path();

// Read afresh at every index construction (not cached).
double level_scale_for(size_t m);
size_t max_level_for(size_t requested);

}  // namespace dovadure::vector::hnsw
