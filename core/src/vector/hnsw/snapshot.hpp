// The index's stored form: a self-contained record keyed by point id (node
// indices are an in-memory artefact and change when an index is rebuilt),
// the older record without m0 / max_neighbors_l0, and the 85-byte summary of
// the index settings carried in snapshot metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "utils/encoding.hpp"
#include "utils/errors.hpp"
#include "utils/types.hpp"

namespace dovadure::vector::hnsw {

class HNSWIndex;

// A stored map from point id to a list of T, kept flat so that a 100 000-node
// graph decodes into three allocations instead of 100 000: entry i maps
// keys[i] to values[starts[i], starts[i + 1]).
//
// It behaves like the map it encodes: when a key occurs more than once (only
// a foreign or damaged file can do that) the last entry wins. Every consumer
// applies that rule; encoding writes the entries as held.
template <class T>
struct IdListMap {
  std::vector<uint64_t> keys;
  std::vector<uint64_t> starts{0};
  std::vector<T> values;

  size_t size() const { return keys.size(); }
  bool empty() const { return keys.empty(); }
  std::span<const T> list(size_t i) const {
    return {values.data() + starts[i], static_cast<size_t>(starts[i + 1] - starts[i])};
  }
  void append(uint64_t key, std::span<const T> list) {
    keys.push_back(key);
    values.insert(values.end(), list.begin(), list.end());
    starts.push_back(values.size());
  }
  void reserve(size_t entries, size_t total_values) {
    keys.reserve(entries);
    starts.reserve(entries + 1);
    values.reserve(total_values);
  }
};

// One stored layer: its number and point id -> neighbour point ids (the
// list's own id first, as the index holds it).
struct SnapshotLayer {
  uint64_t layer = 0;
  IdListMap<uint64_t> lists;
};

struct IdLevel {
  uint64_t id = 0;
  uint64_t level = 0;
};

// Record layout (fields in this order, encoding rules of utils/encoding.hpp):
//   layers                    map u64 -> map u64 -> seq u64
//   vectors                   map u64 -> seq f32
//   levels                    map u64 -> u64
//   entry_point_id            option u64
//   metric                    u32 tag (0 Cosine, 1 Dot, 2 Euclidean)
//   m, m0, max_neighbors_l0   u64
//   ef_construction, ef_insert, max_level   u64
//   level_scale               f64
//   entry_level, dim          u64
//   deleted                   set u64
//   exact_fallback_enabled    bool
//   exact_fallback_threshold  u64
// Repeated keys: the last entry wins (layers as a whole, lists, vectors,
// levels); a repeated deleted id counts once.
struct HnswSnapshot {
  std::vector<SnapshotLayer> layers;
  IdListMap<float> vectors;
  std::vector<IdLevel> levels;
  std::optional<uint64_t> entry_point_id;
  utils::DistanceMetric metric = utils::DistanceMetric::Cosine;
  uint64_t m = 0;
  uint64_t m0 = 0;
  uint64_t max_neighbors_l0 = 0;
  uint64_t ef_construction = 0;
  uint64_t ef_insert = 0;
  uint64_t max_level = 0;
  double level_scale = 0.0;
  uint64_t entry_level = 0;
  uint64_t dim = 0;
  std::vector<uint64_t> deleted;
  bool exact_fallback_enabled = false;
  uint64_t exact_fallback_threshold = 0;
};

// The oldest record: the same fields without m0 and max_neighbors_l0. It only
// occurs inside headerless segment snapshots.
struct HnswSnapshotV1 {
  std::vector<SnapshotLayer> layers;
  IdListMap<float> vectors;
  std::vector<IdLevel> levels;
  std::optional<uint64_t> entry_point_id;
  utils::DistanceMetric metric = utils::DistanceMetric::Cosine;
  uint64_t m = 0;
  uint64_t ef_construction = 0;
  uint64_t ef_insert = 0;
  uint64_t max_level = 0;
  double level_scale = 0.0;
  uint64_t entry_level = 0;
  uint64_t dim = 0;
  std::vector<uint64_t> deleted;
  bool exact_fallback_enabled = false;
  uint64_t exact_fallback_threshold = 0;
};

// The index settings; fixed 85-byte encoding:
//   0 metric u32 | 4 m | 12 m0 | 20 max_neighbors_l0 | 28 ef_construction |
//   36 ef_insert | 44 max_level | 52 level_scale f64 | 60 entry_level | 68 dim |
//   76 exact_fallback_enabled u8 | 77 exact_fallback_threshold   (others u64)
struct HnswConfigSummary {
  static constexpr size_t kEncodedSize = 85;

  utils::DistanceMetric metric = utils::DistanceMetric::Cosine;
  uint64_t m = 0;
  uint64_t m0 = 0;
  uint64_t max_neighbors_l0 = 0;
  uint64_t ef_construction = 0;
  uint64_t ef_insert = 0;
  uint64_t max_level = 0;
  double level_scale = 0.0;
  uint64_t entry_level = 0;
  uint64_t dim = 0;
  bool exact_fallback_enabled = false;
  uint64_t exact_fallback_threshold = 0;

  // Filled from a live index exactly as to_snapshot fills these fields.
  static HnswConfigSummary of(const HNSWIndex& index);

  bool operator==(const HnswConfigSummary&) const = default;
};

// 2 x m, saturating: the default of m0 and max_neighbors_l0.
uint64_t default_m0(uint64_t m);

HnswSnapshot upgrade(HnswSnapshotV1 v1);

void encode(utils::Encoder& enc, const HnswSnapshot& s);
void encode(utils::Encoder& enc, const HnswSnapshotV1& s);
void encode(utils::Encoder& enc, const HnswConfigSummary& s);
// Decoders leave their position after the record's last field.
utils::Status decode(utils::Decoder& dec, HnswSnapshot& out);
utils::Status decode(utils::Decoder& dec, HnswSnapshotV1& out);
utils::Status decode(utils::Decoder& dec, HnswConfigSummary& out);

// Exact encoded size of the record, for pre-sizing buffers.
size_t encoded_size(const HnswSnapshot& s);

}  // namespace dovadure::vector::hnsw
