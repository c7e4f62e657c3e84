#include "vector/hnsw/config.hpp"

#include <cmath>
#include <limits>

#include "utils/env.hpp"
#include "utils/log.hpp"
#include "vector/hnsw/stats.hpp"

namespace dovadure::vector::hnsw {
namespace {

// Refinements shared by the cells. Function-local statics give each cell a
// single, thread-safe initialisation; later reads take no lock.

std::optional<size_t> nonzero_usize(const char* name) {
  auto v = utils::env_u64(name);
  if (!v || *v == 0) return std::nullopt;
  return static_cast<size_t>(*v);
}

std::optional<size_t> any_usize(const char* name) {
  auto v = utils::env_u64(name);
  if (!v) return std::nullopt;
  return static_cast<size_t>(*v);
}

std::optional<float> positive_f32(const char* name) {
  auto v = utils::env_f32(name);
  if (!v || !std::isfinite(*v) || !(*v > 0.0f)) return std::nullopt;
  return v;
}

bool flag_default_false(const char* name) { return utils::env_bool(name).value_or(false); }

std::optional<double> positive_f64(const char* name) {
  auto v = utils::env_f64(name);
  if (!v || !std::isfinite(*v) || !(*v > 0.0)) return std::nullopt;
  return v;
}

// 2^44 - 1 MiB is the largest count whose byte size still fits in 64 bits.
constexpr uint64_t kMaxRssMegabytes = (uint64_t{1} << 44) - 1;
constexpr size_t kMaxLevelLimit = 255;

}  // namespace

bool sq8_screen_enabled() {
  static const bool SQ8_SCREEN = flag_default_false("DOROVOZU_SQ8_SCREEN");
  return SQ8_SCREEN;
}

bool sq8_score_only_default() {
  static const bool SQ8_SCORE_ONLY = flag_default_false("DOROVOZU_SQ8_SCORE_ONLY");
  return SQ8_SCORE_ONLY;
}

std::optional<size_t> sq8_rerank_factor_default() {
  static const std::optional<size_t> SQ8_RERANK_FACTOR =
      nonzero_usize("DOROVOZU_SQ8_RERANK_FACTOR");
  return SQ8_RERANK_FACTOR;
}

bool disable_early_exit() {
  static const bool DISABLE_EARLY_EXIT = flag_default_false("DOROVOZU_DISABLE_EARLY_EXIT");
  return DISABLE_EARLY_EXIT;
}

size_t early_exit_patience() {
  static const size_t EARLY_EXIT_PATIENCE = any_usize("DOROVOZU_EARLY_EXIT_PATIENCE").value_or(3);
  return EARLY_EXIT_PATIENCE;
}

bool ti_skip_enabled() {
  static const bool TI_SKIP = flag_default_false("DOROVOZU_TI_SKIP");
  return TI_SKIP;
}

std::optional<size_t> neighbor_scan_cap() {
  static const std::optional<size_t> NEIGHBOR_SCAN_CAP_LEVEL0 = [] {
    auto v = any_usize("DOROVOZU_NEIGHBOR_SCAN_CAP_LEVEL0");
    if (v && *v == 0) return std::optional<size_t>(std::numeric_limits<size_t>::max());
    return v;
  }();
  return NEIGHBOR_SCAN_CAP_LEVEL0;
}

std::optional<size_t> neighbor_scan_patience() {
  static const std::optional<size_t> NEIGHBOR_SCAN_PATIENCE =
      nonzero_usize("DOROVOZU_NEIGHBOR_SCAN_PATIENCE");
  return NEIGHBOR_SCAN_PATIENCE;
}

bool neighbor_scan_rotate_enabled() {
  static const bool NEIGHBOR_SCAN_ROTATE = flag_default_false("DOROVOZU_NEIGHBOR_SCAN_ROTATE");
  return NEIGHBOR_SCAN_ROTATE;
}

bool neighbor_scan_stride_enabled() {
  static const bool NEIGHBOR_SCAN_STRIDE = flag_default_false("DOROVOZU_NEIGHBOR_SCAN_STRIDE");
  return NEIGHBOR_SCAN_STRIDE;
}

size_t search_expansion_multiplier() {
  static const size_t SEARCH_EXPANSION_MULT =
      nonzero_usize("DOROVOZU_SEARCH_EXPANSION_MULT").value_or(2);
  return SEARCH_EXPANSION_MULT;
}

std::optional<size_t> search_expansion_cap_override() {
  static const std::optional<size_t> SEARCH_EXPANSION_CAP =
      nonzero_usize("DOROVOZU_SEARCH_EXPANSION_CAP");
  return SEARCH_EXPANSION_CAP;
}

std::optional<size_t> num_entry_seeds_default() {
  static const std::optional<size_t> NUM_ENTRY_SEEDS = nonzero_usize("DOROVOZU_NUM_ENTRY_SEEDS");
  return NUM_ENTRY_SEEDS;
}

std::optional<size_t> adaptive_ef_high_default() {
  static const std::optional<size_t> ADAPTIVE_EF_HIGH = nonzero_usize("DOROVOZU_ADAPTIVE_EF_HIGH");
  return ADAPTIVE_EF_HIGH;
}

std::optional<float> adaptive_ef_score_threshold_default() {
  static const std::optional<float> ADAPTIVE_EF_SCORE_THRESHOLD =
      positive_f32("DOROVOZU_ADAPTIVE_EF_SCORE_THRESHOLD");
  return ADAPTIVE_EF_SCORE_THRESHOLD;
}

std::optional<bool> exact_fallback_enabled_override() {
  static const std::optional<bool> EXACT_FALLBACK_ENABLED =
      utils::env_bool("DOROVOZU_EXACT_FALLBACK_ENABLED");
  return EXACT_FALLBACK_ENABLED;
}

std::optional<size_t> exact_fallback_threshold_override() {
  static const std::optional<size_t> EXACT_FALLBACK_THRESHOLD =
      any_usize("DOROVOZU_EXACT_FALLBACK_THRESHOLD");
  return EXACT_FALLBACK_THRESHOLD;
}

float diversity_alpha_for_level(size_t layer) {
  static const std::optional<float> DIVERSITY_ALPHA = positive_f32("DOROVOZU_DIVERSITY_ALPHA");
  static const std::optional<float> DIVERSITY_ALPHA_HIGH =
      positive_f32("DOROVOZU_DIVERSITY_ALPHA_HIGH");
  static const std::optional<float> DIVERSITY_ALPHA_LOW =
      positive_f32("DOROVOZU_DIVERSITY_ALPHA_LOW");
  if (DIVERSITY_ALPHA) return *DIVERSITY_ALPHA;
  return (layer == 0 ? DIVERSITY_ALPHA_LOW : DIVERSITY_ALPHA_HIGH).value_or(1.0f);
}

std::optional<size_t> diversity_prune_floor() {
  static const std::optional<size_t> DIVERSITY_PRUNE_FLOOR =
      any_usize("DOROVOZU_DIVERSITY_PRUNE_FLOOR");
  return DIVERSITY_PRUNE_FLOOR;
}

std::optional<bool> enforce_neighbor_caps() {
  static const std::optional<bool> ENFORCE_NEIGHBOR_CAPS =
      utils::env_bool("DOROVOZU_ENFORCE_NEIGHBOR_CAPS");
  return ENFORCE_NEIGHBOR_CAPS;
}

bool log_unfiltered_enabled() {
  static const bool LOG_UNFILTERED_SEARCH = [] {
    bool on = flag_default_false("DOROVOZU_LOG_UNFILTERED_SEARCH");
    if (on) {
      DOVADURE_LOG(utils::LogLevel::Info, "vector::hnsw",
                   format_unfiltered_enabled(unfiltered_log_chunk()));
    }
    return on;
  }();
  return LOG_UNFILTERED_SEARCH;
}

size_t unfiltered_log_chunk() {
  static const size_t UNFILTERED_LOG_CHUNK =
      nonzero_usize("DOROVOZU_LOG_UNFILTERED_EVERY").value_or(1000);
  return UNFILTERED_LOG_CHUNK;
}

size_t trace_every() {
  static const size_t TRACE_EVERY = nonzero_usize("DOROVOZU_TRACE_EVERY").value_or(100);
  return TRACE_EVERY;
}

std::optional<uint64_t> max_rss_bytes() {
  static const std::optional<uint64_t> MAX_RSS_BYTES = []() -> std::optional<uint64_t> {
    auto mb = utils::env_u64("DOROVOZU_MAX_RSS_MB");
    if (!mb || *mb == 0) return std::nullopt;
    if (*mb > kMaxRssMegabytes) return std::numeric_limits<uint64_t>::max();
    return *mb << 20;
  }();
  return MAX_RSS_BYTES;
}

const std::optional<std::string>& oom_snapshot_path() {
  static const std::optional<std::string> OOM_SNAPSHOT_PATH = []() -> std::optional<std::string> {
    auto text = utils::env_text("DOROVOZU_OOM_SNAPSHOT_PATH");
    if (!text) return std::nullopt;
    std::string_view trimmed = utils::trim_whitespace(*text);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
  }();
  return OOM_SNAPSHOT_PATH;
}

double level_scale_for(size_t m) {
  if (auto scale = positive_f64("DOROVOZU_LEVEL_SCALE")) return *scale;
  // m = 1 gives an infinite base: every sampled level then saturates.
  double base = 1.0 / std::log(static_cast<double>(m));
  if (auto mult = positive_f64("DOROVOZU_LEVEL_SCALE_MULT")) return base * *mult;
  return base;
}

size_t max_level_for(size_t requested) {
  size_t level = requested;
  if (auto cap = nonzero_usize("DOROVOZU_MAX_LEVEL_CAP")) {
    level = *cap;
  } else if (auto max = nonzero_usize("DOROVOZU_MAX_LEVEL")) {
    level = *max;
  }
  return level < kMaxLevelLimit ? level : kMaxLevelLimit;
}

}  // namespace dovadure::vector::hnsw
