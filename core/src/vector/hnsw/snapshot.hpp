// The index's stored form: a self-contained record keyed by point id (node
// indices are an in-memory artefact and change when an index is rebuilt),
// the older record without m0 / max_neighbors_l0, and the 85-byte summary of
// the index settings carried in snapshot metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
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

// ---------------------------------------------------------------------------
// The same record decoded in place: structure checked, counts and offsets
// noted, but vectors, lists, levels and deleted ids left where they lie in the
// input buffer. A load then copies each value once, from the file bytes into
// the index, instead of through an intermediate HnswSnapshot. Pointers are
// valid only while the input buffer lives and may be unaligned.

// Little-endian u64 at a possibly unaligned address.
inline uint64_t load_u64_le(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return utils::to_little_endian(v);
}

// A stored map u64 -> seq T: entry i is keys[i] -> counts[i] elements at data[i].
template <class T>
struct RawIdLists {
  std::vector<uint64_t> keys;
  std::vector<const uint8_t*> data;
  std::vector<uint64_t> counts;

  size_t size() const { return keys.size(); }
  // First and one-past-last input byte of the map's element data.
  const uint8_t* begin_bytes = nullptr;
  const uint8_t* end_bytes = nullptr;
};

// A stored map u64 -> u64 (the levels): 16-byte entries.
struct RawIdLevels {
  const uint8_t* data = nullptr;
  size_t count = 0;
  size_t size() const { return count; }
  IdLevel operator[](size_t i) const {
    return {load_u64_le(data + 16 * i), load_u64_le(data + 16 * i + 8)};
  }
};

// A stored set of u64.
struct RawU64s {
  const uint8_t* data = nullptr;
  size_t count = 0;
  size_t size() const { return count; }
  uint64_t operator[](size_t i) const { return load_u64_le(data + 8 * i); }
};

struct RawLayer {
  uint64_t layer = 0;
  RawIdLists<uint64_t> lists;
};

// HnswSnapshot's fields, in place. An older-layout record is read into the
// same shape with m0 and max_neighbors_l0 upgraded to 2 x m.
struct HnswRecordView {
  std::vector<RawLayer> layers;
  RawIdLists<float> vectors;
  RawIdLevels levels;
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
  RawU64s deleted;
  bool exact_fallback_enabled = false;
  uint64_t exact_fallback_threshold = 0;
};

enum class RecordLayout : uint8_t { Current, Older };

// Checks and indexes a record of `layout` at the decoder's position. Fails
// with exactly the errors decode() reports for the same bytes.
utils::Status decode_view(utils::Decoder& dec, RecordLayout layout, HnswRecordView& out);

// Called with input ranges [from, to) the build has finished reading, so a
// caller can hand their memory back early. Ranges grow in input order.
using ConsumedInput = std::function<void(const uint8_t* from, const uint8_t* to)>;

// HNSWIndex::from_snapshot for a record decoded in place: the same index,
// the same errors.
//
// With `input_owner`, which keeps the record's bytes alive, is their only
// writer and never changes them, the index may keep whole chunks of stored
// vectors where they are instead of copying them; it then holds a reference
// to the owner, and `consumed` is never called for those bytes.
utils::Result<std::unique_ptr<HNSWIndex>> build_index(
    const HnswRecordView& view, const ConsumedInput& consumed = {},
    std::shared_ptr<const void> input_owner = {});

// Whether from_snapshot(index.to_snapshot()) would rebuild exactly `index`:
// the same node numbering, vectors, levels, lists, deleted marks and states,
// entry point, settings and count of layer arrays, no cached layer-0 scores
// and no SQ8 codes. True for an index fresh from from_snapshot or
// build_index, unless its record named a layer above every non-empty one.
bool rebuilds_identically(const HNSWIndex& index);

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
