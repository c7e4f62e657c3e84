// Shared value types of the core library.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace dovadure::utils {

// Stored as a u32 tag (0, 1, 2) in every serialised form.
enum class DistanceMetric : uint8_t { Cosine = 0, Dot = 1, Euclidean = 2 };

inline constexpr uint32_t kDistanceMetricVariants = 3;

// Variant name as printed in trace and statistics lines.
constexpr std::string_view metric_name(DistanceMetric m) {
  switch (m) {
    case DistanceMetric::Cosine: return "Cosine";
    case DistanceMetric::Dot: return "Dot";
    case DistanceMetric::Euclidean: return "Euclidean";
  }
  return "Cosine";
}

// Decodes a stored tag; nullopt for 3 and above (the caller builds the
// "variant index 0 <= i < 3" decode error).
constexpr std::optional<DistanceMetric> metric_from_tag(uint32_t tag) {
  if (tag >= kDistanceMetricVariants) return std::nullopt;
  return static_cast<DistanceMetric>(tag);
}

constexpr uint32_t metric_tag(DistanceMetric m) { return static_cast<uint32_t>(m); }

// One search result: the caller's point id, the metric's raw score and the
// sort key (raw score, negated for Dot). Smaller sort keys are better.
struct ScoredPoint {
  uint64_t id = 0;
  float score = 0.0f;
  float sort_key = 0.0f;
};

}  // namespace dovadure::utils
