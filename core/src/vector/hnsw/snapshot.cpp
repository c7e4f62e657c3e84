#include "vector/hnsw/snapshot.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "utils/run_beside.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::vector::hnsw {

using utils::DBError;
using utils::Decoder;
using utils::Encoder;
using utils::Status;

uint64_t default_m0(uint64_t m) {
  return m > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max()
                                                      : 2 * m;
}

HnswSnapshot upgrade(HnswSnapshotV1 v1) {
  HnswSnapshot s;
  s.layers = std::move(v1.layers);
  s.vectors = std::move(v1.vectors);
  s.levels = std::move(v1.levels);
  s.entry_point_id = v1.entry_point_id;
  s.metric = v1.metric;
  s.m = v1.m;
  s.m0 = default_m0(v1.m);
  s.max_neighbors_l0 = default_m0(v1.m);
  s.ef_construction = v1.ef_construction;
  s.ef_insert = v1.ef_insert;
  s.max_level = v1.max_level;
  s.level_scale = v1.level_scale;
  s.entry_level = v1.entry_level;
  s.dim = v1.dim;
  s.deleted = std::move(v1.deleted);
  s.exact_fallback_enabled = v1.exact_fallback_enabled;
  s.exact_fallback_threshold = v1.exact_fallback_threshold;
  return s;
}

// ---------------------------------------------------------------------------
// Encoding. The fields shared by both record forms are written by the same
// helpers so that the two layouts cannot drift apart.

namespace {

template <class T>
void put_id_lists(Encoder& enc, const IdListMap<T>& map) {
  enc.put_len(map.size());
  for (size_t i = 0; i < map.size(); ++i) {
    enc.put_u64(map.keys[i]);
    if constexpr (std::is_same_v<T, float>) {
      enc.put_f32_seq(map.list(i));
    } else {
      enc.put_u64_seq(map.list(i));
    }
  }
}

void put_head(Encoder& enc, const std::vector<SnapshotLayer>& layers,
              const IdListMap<float>& vectors, const std::vector<IdLevel>& levels,
              const std::optional<uint64_t>& entry_point_id, utils::DistanceMetric metric,
              uint64_t m) {
  enc.put_len(layers.size());
  for (const SnapshotLayer& layer : layers) {
    enc.put_u64(layer.layer);
    put_id_lists(enc, layer.lists);
  }
  put_id_lists(enc, vectors);
  enc.put_len(levels.size());
  for (const IdLevel& l : levels) {
    enc.put_u64(l.id);
    enc.put_u64(l.level);
  }
  enc.put_option_tag(entry_point_id.has_value());
  if (entry_point_id) enc.put_u64(*entry_point_id);
  enc.put_variant(utils::metric_tag(metric));
  enc.put_u64(m);
}

template <class S>
void put_tail(Encoder& enc, const S& s) {
  enc.put_u64(s.ef_construction);
  enc.put_u64(s.ef_insert);
  enc.put_u64(s.max_level);
  enc.put_f64(s.level_scale);
  enc.put_u64(s.entry_level);
  enc.put_u64(s.dim);
  enc.put_u64_seq(s.deleted);
  enc.put_bool(s.exact_fallback_enabled);
  enc.put_u64(s.exact_fallback_threshold);
}

// Reads one u64 from a span the caller has bounds-checked.
inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return utils::to_little_endian(v);
}

// Decodes a map u64 -> seq T in two passes over the input: the first checks
// every entry and counts the values, the second copies them into storage
// sized exactly once. Both passes are bounded by the input length.
template <class T>
Status read_id_lists(Decoder& dec, IdListMap<T>& out) {
  uint64_t count = 0;
  DOVADURE_TRY(dec.read_len(count));
  Decoder probe = dec;
  uint64_t total = 0;
  uint64_t entries = 0;
  std::span<const uint8_t> raw;
  for (; entries < count; ++entries) {
    DOVADURE_TRY(probe.read_raw(16, raw));
    const uint64_t n = load_u64(raw.data() + 8);
    if (n > probe.remaining() / sizeof(T)) return Decoder::eof_error();
    DOVADURE_TRY(probe.read_raw(static_cast<size_t>(n) * sizeof(T), raw));
    total += n;
  }
  out.keys.clear();
  out.starts.assign(1, 0);
  out.values.clear();
  out.reserve(static_cast<size_t>(entries), static_cast<size_t>(total));
  for (uint64_t e = 0; e < entries; ++e) {
    DOVADURE_TRY(dec.read_raw(16, raw));
    out.keys.push_back(load_u64(raw.data()));
    const size_t n = static_cast<size_t>(load_u64(raw.data() + 8));
    DOVADURE_TRY(dec.read_raw(n * sizeof(T), raw));
    const size_t at = out.values.size();
    out.values.resize(at + n);
    if (n != 0) std::memcpy(out.values.data() + at, raw.data(), n * sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
      for (size_t i = at; i < at + n; ++i) out.values[i] = utils::to_little_endian(out.values[i]);
    }
    out.starts.push_back(out.values.size());
  }
  return Status();
}

Status read_metric(Decoder& dec, utils::DistanceMetric& out) {
  uint32_t tag = 0;
  DOVADURE_TRY(dec.read_variant(tag, utils::kDistanceMetricVariants));
  out = *utils::metric_from_tag(tag);
  return Status();
}

Status read_head(Decoder& dec, std::vector<SnapshotLayer>& layers, IdListMap<float>& vectors,
                 std::vector<IdLevel>& levels, std::optional<uint64_t>& entry_point_id,
                 utils::DistanceMetric& metric, uint64_t& m) {
  uint64_t layer_count = 0;
  DOVADURE_TRY(dec.read_len(layer_count));
  layers.clear();
  layers.reserve(dec.reserve_hint(layer_count, 16, sizeof(SnapshotLayer)));
  for (uint64_t i = 0; i < layer_count; ++i) {
    SnapshotLayer layer;
    DOVADURE_TRY(dec.read_u64(layer.layer));
    DOVADURE_TRY(read_id_lists(dec, layer.lists));
    layers.push_back(std::move(layer));
  }
  DOVADURE_TRY(read_id_lists(dec, vectors));
  uint64_t level_count = 0;
  DOVADURE_TRY(dec.read_len(level_count));
  if (level_count > dec.remaining() / 16) return Decoder::eof_error();
  std::span<const uint8_t> raw;
  DOVADURE_TRY(dec.read_raw(static_cast<size_t>(level_count) * 16, raw));
  levels.resize(static_cast<size_t>(level_count));
  for (size_t i = 0; i < levels.size(); ++i) {
    levels[i].id = load_u64(raw.data() + 16 * i);
    levels[i].level = load_u64(raw.data() + 16 * i + 8);
  }
  bool present = false;
  DOVADURE_TRY(dec.read_option_tag(present));
  entry_point_id.reset();
  if (present) {
    uint64_t id = 0;
    DOVADURE_TRY(dec.read_u64(id));
    entry_point_id = id;
  }
  DOVADURE_TRY(read_metric(dec, metric));
  DOVADURE_TRY(dec.read_u64(m));
  return Status();
}

template <class S>
Status read_tail(Decoder& dec, S& s) {
  DOVADURE_TRY(dec.read_u64(s.ef_construction));
  DOVADURE_TRY(dec.read_u64(s.ef_insert));
  DOVADURE_TRY(dec.read_u64(s.max_level));
  DOVADURE_TRY(dec.read_f64(s.level_scale));
  DOVADURE_TRY(dec.read_u64(s.entry_level));
  DOVADURE_TRY(dec.read_u64(s.dim));
  DOVADURE_TRY(dec.read_u64_seq(s.deleted));
  DOVADURE_TRY(dec.read_bool(s.exact_fallback_enabled));
  DOVADURE_TRY(dec.read_u64(s.exact_fallback_threshold));
  return Status();
}

template <class T>
size_t id_lists_size(const IdListMap<T>& map) {
  return 8 + map.size() * 16 + map.values.size() * sizeof(T);
}

}  // namespace

void encode(Encoder& enc, const HnswSnapshot& s) {
  put_head(enc, s.layers, s.vectors, s.levels, s.entry_point_id, s.metric, s.m);
  enc.put_u64(s.m0);
  enc.put_u64(s.max_neighbors_l0);
  put_tail(enc, s);
}

void encode(Encoder& enc, const HnswSnapshotV1& s) {
  put_head(enc, s.layers, s.vectors, s.levels, s.entry_point_id, s.metric, s.m);
  put_tail(enc, s);
}

Status decode(Decoder& dec, HnswSnapshot& out) {
  DOVADURE_TRY(
      read_head(dec, out.layers, out.vectors, out.levels, out.entry_point_id, out.metric, out.m));
  DOVADURE_TRY(dec.read_u64(out.m0));
  DOVADURE_TRY(dec.read_u64(out.max_neighbors_l0));
  return read_tail(dec, out);
}

Status decode(Decoder& dec, HnswSnapshotV1& out) {
  DOVADURE_TRY(
      read_head(dec, out.layers, out.vectors, out.levels, out.entry_point_id, out.metric, out.m));
  return read_tail(dec, out);
}

size_t encoded_size(const HnswSnapshot& s) {
  size_t n = 8;
  for (const SnapshotLayer& layer : s.layers) n += 8 + id_lists_size(layer.lists);
  n += id_lists_size(s.vectors);
  n += 8 + 16 * s.levels.size();
  n += s.entry_point_id ? 9 : 1;
  n += 4 + 8 * 6 + 8 + 8 + 8;  // metric, m .. max_level, level_scale, entry_level, dim
  n += 8 + 8 * s.deleted.size() + 1 + 8;  // deleted, exact_fallback_*
  return n;
}

// ---------------------------------------------------------------------------
// In-place decoding. The reads follow decode() field for field, so the same
// bytes fail at the same place with the same text.

namespace {

constexpr uintptr_t kHeaderLookahead = 8;

template <class T>
Status view_id_lists(Decoder& dec, RawIdLists<T>& out) {
  uint64_t count = 0;
  DOVADURE_TRY(dec.read_len(count));
  // Every entry takes at least its 16-byte key and count, which bounds the
  // reservation by the input actually present.
  const size_t cap = static_cast<size_t>(std::min<uint64_t>(count, dec.remaining() / 16));
  out.keys.clear();
  out.data.clear();
  out.counts.clear();
  out.keys.reserve(cap);
  out.data.reserve(cap);
  out.counts.reserve(cap);
  out.begin_bytes = out.end_bytes = nullptr;
  std::span<const uint8_t> raw;
  for (uint64_t e = 0; e < count; ++e) {
    DOVADURE_TRY(dec.read_raw(16, raw));
    if (e == 0) out.begin_bytes = raw.data();
    const uint64_t n = load_u64_le(raw.data() + 8);
    out.keys.push_back(load_u64_le(raw.data()));
    if (n > dec.remaining() / sizeof(T)) return Decoder::eof_error();
    DOVADURE_TRY(dec.read_raw(static_cast<size_t>(n) * sizeof(T), raw));
    out.data.push_back(raw.data());
    out.counts.push_back(n);
    out.end_bytes = raw.data() + raw.size();
    // Entries of one map mostly share a length (vector rows always do), and
    // the input was just read, so it is no longer in cache: fetch the header
    // a few entries on, which the walk would otherwise wait for entry after
    // entry. A wrong guess costs one line.
    const uintptr_t ahead = reinterpret_cast<uintptr_t>(out.end_bytes) +
                            kHeaderLookahead * (16 + static_cast<uintptr_t>(n) * sizeof(T));
    __builtin_prefetch(reinterpret_cast<const void*>(ahead), 0, 0);
  }
  return Status();
}

Status view_u64_set(Decoder& dec, RawU64s& out) {
  uint64_t count = 0;
  DOVADURE_TRY(dec.read_len(count));
  if (count > dec.remaining() / 8) return Decoder::eof_error();
  std::span<const uint8_t> raw;
  DOVADURE_TRY(dec.read_raw(static_cast<size_t>(count) * 8, raw));
  out.data = raw.data();
  out.count = static_cast<size_t>(count);
  return Status();
}

}  // namespace

Status decode_view(Decoder& dec, RecordLayout layout, HnswRecordView& out) {
  uint64_t layer_count = 0;
  DOVADURE_TRY(dec.read_len(layer_count));
  out.layers.clear();
  out.layers.reserve(dec.reserve_hint(layer_count, 16, sizeof(RawLayer)));
  for (uint64_t i = 0; i < layer_count; ++i) {
    RawLayer layer;
    DOVADURE_TRY(dec.read_u64(layer.layer));
    DOVADURE_TRY(view_id_lists(dec, layer.lists));
    out.layers.push_back(std::move(layer));
  }
  DOVADURE_TRY(view_id_lists(dec, out.vectors));
  uint64_t level_count = 0;
  DOVADURE_TRY(dec.read_len(level_count));
  if (level_count > dec.remaining() / 16) return Decoder::eof_error();
  std::span<const uint8_t> raw;
  DOVADURE_TRY(dec.read_raw(static_cast<size_t>(level_count) * 16, raw));
  out.levels.data = raw.data();
  out.levels.count = static_cast<size_t>(level_count);
  bool present = false;
  DOVADURE_TRY(dec.read_option_tag(present));
  out.entry_point_id.reset();
  if (present) {
    uint64_t id = 0;
    DOVADURE_TRY(dec.read_u64(id));
    out.entry_point_id = id;
  }
  DOVADURE_TRY(read_metric(dec, out.metric));
  DOVADURE_TRY(dec.read_u64(out.m));
  if (layout == RecordLayout::Current) {
    DOVADURE_TRY(dec.read_u64(out.m0));
    DOVADURE_TRY(dec.read_u64(out.max_neighbors_l0));
  } else {
    out.m0 = default_m0(out.m);
    out.max_neighbors_l0 = default_m0(out.m);
  }
  DOVADURE_TRY(dec.read_u64(out.ef_construction));
  DOVADURE_TRY(dec.read_u64(out.ef_insert));
  DOVADURE_TRY(dec.read_u64(out.max_level));
  DOVADURE_TRY(dec.read_f64(out.level_scale));
  DOVADURE_TRY(dec.read_u64(out.entry_level));
  DOVADURE_TRY(dec.read_u64(out.dim));
  DOVADURE_TRY(view_u64_set(dec, out.deleted));
  DOVADURE_TRY(dec.read_bool(out.exact_fallback_enabled));
  DOVADURE_TRY(dec.read_u64(out.exact_fallback_threshold));
  return Status();
}

void encode(Encoder& enc, const HnswConfigSummary& s) {
  enc.put_variant(utils::metric_tag(s.metric));
  enc.put_u64(s.m);
  enc.put_u64(s.m0);
  enc.put_u64(s.max_neighbors_l0);
  enc.put_u64(s.ef_construction);
  enc.put_u64(s.ef_insert);
  enc.put_u64(s.max_level);
  enc.put_f64(s.level_scale);
  enc.put_u64(s.entry_level);
  enc.put_u64(s.dim);
  enc.put_bool(s.exact_fallback_enabled);
  enc.put_u64(s.exact_fallback_threshold);
}

Status decode(Decoder& dec, HnswConfigSummary& out) {
  DOVADURE_TRY(read_metric(dec, out.metric));
  DOVADURE_TRY(dec.read_u64(out.m));
  DOVADURE_TRY(dec.read_u64(out.m0));
  DOVADURE_TRY(dec.read_u64(out.max_neighbors_l0));
  DOVADURE_TRY(dec.read_u64(out.ef_construction));
  DOVADURE_TRY(dec.read_u64(out.ef_insert));
  DOVADURE_TRY(dec.read_u64(out.max_level));
  DOVADURE_TRY(dec.read_f64(out.level_scale));
  DOVADURE_TRY(dec.read_u64(out.entry_level));
  DOVADURE_TRY(dec.read_u64(out.dim));
  DOVADURE_TRY(dec.read_bool(out.exact_fallback_enabled));
  DOVADURE_TRY(dec.read_u64(out.exact_fallback_threshold));
  return Status();
}

HnswConfigSummary HnswConfigSummary::of(const HNSWIndex& index) {
  HnswConfigSummary s;
  s.metric = index.metric();
  s.m = index.m();
  s.m0 = index.m0();
  s.max_neighbors_l0 = index.max_neighbors_l0();
  s.ef_construction = index.ef_construction();
  s.ef_insert = index.ef_insert();
  s.max_level = index.max_level();
  s.level_scale = index.level_scale();
  s.entry_level = entry_word_level(index.entry_point_word());
  s.dim = index.dim();
  s.exact_fallback_enabled = index.exact_fallback_enabled();
  s.exact_fallback_threshold = index.exact_fallback_threshold();
  return s;
}

}  // namespace dovadure::vector::hnsw

// ---------------------------------------------------------------------------
// Conversions between a live index and the record.

namespace dovadure::vector::hnsw {

class HnswSnapshotBuilder {
 public:
  static HnswSnapshot take(const HNSWIndex& index);
  template <class Record>
  static utils::Result<std::unique_ptr<HNSWIndex>> build(Record& s, const ConsumedInput& consumed,
                                                         std::shared_ptr<const void> owner);
  static bool rebuilds_identically(const HNSWIndex& index);

 private:
  template <class Record>
  static utils::Result<std::unique_ptr<HNSWIndex>> build_unchecked(
      Record& s, const ConsumedInput& consumed, std::shared_ptr<const void> owner);
  template <class Lists, class Translator>
  static utils::Status fill_lists_shared(HNSWIndex& x, const Lists& lists,
                                         const Translator& translate,
                                         const ConsumedInput& consumed, size_t& filled);
  template <class Lists, class Translator>
  static utils::Status fill_lists(HNSWIndex& x, const Lists& lists, size_t layer_no, size_t from,
                                  size_t to, const Translator& translate,
                                  const ConsumedInput& consumed, std::atomic<size_t>* filled);
};

namespace {

// A layer number of 256 or more cannot be reached: levels, max_level and the
// entry level all fit in a byte. Lists stored on such layers are dropped
// rather than allocating a layer array for every number up to them.
constexpr uint64_t kMaxLayers = 256;

// Input handed back to the caller in steps of this size: small enough to keep
// the peak low, large enough that the calls cost nothing.
constexpr size_t kConsumeStep = size_t{4} << 20;

// Layer-0 list counts from which two threads fill them; below it a thread
// costs more than it saves. The threads take blocks of kSharedFillBlock
// lists in turn, so that one that is held up leaves its share to the other.
constexpr size_t kSharedFillMin = 16384;
constexpr size_t kSharedFillBlock = 4096;

// Point id -> node index for the ascending id order, with a whole list at a
// time for stored lists.
class IdTranslator {
 public:
  explicit IdTranslator(const AllocState& alloc) : alloc_(alloc) {}
  std::optional<NodeIdx> find(uint64_t id) const { return alloc_.find(id); }
  // The nodes of the stored ids (count little-endian u64 at p), those with
  // no node left out; out has room for count.
  size_t translate_all(const uint8_t* p, size_t count, NodeIdx* out) const {
    size_t kept = 0;
    const IdIndex& index = alloc_.id_to_idx;
    if (index.consecutive()) {
      // Ids written by this system are mostly one dense range. Branch-free:
      // every slot is written, a miss is overwritten by the next id.
      const uint64_t first = index.first_id();
      const size_t n = index.size();
      for (size_t j = 0; j < count; ++j) {
        const uint64_t off = load_u64_le(p + 8 * j) - first;
        out[kept] = static_cast<NodeIdx>(off);
        kept += off < n ? 1 : 0;
      }
      return kept;
    }
    for (size_t j = 0; j < count; ++j) {
      if (auto u = alloc_.find(load_u64_le(p + 8 * j))) out[kept++] = *u;
    }
    return kept;
  }

 private:
  const AllocState& alloc_;
};

// Uniform reads of a stored id -> list map, held (IdListMap) or in place
// (RawIdLists), so that one build routine serves both.
template <class T>
uint64_t key_at(const IdListMap<T>& m, size_t e) { return m.keys[e]; }
template <class T>
uint64_t key_at(const RawIdLists<T>& m, size_t e) { return m.keys[e]; }
template <class T>
size_t count_at(const IdListMap<T>& m, size_t e) { return static_cast<size_t>(m.starts[e + 1] - m.starts[e]); }
template <class T>
size_t count_at(const RawIdLists<T>& m, size_t e) { return static_cast<size_t>(m.counts[e]); }

inline uint64_t id_at(const IdListMap<uint64_t>& m, size_t e, size_t j) {
  return m.values[m.starts[e] + j];
}
inline uint64_t id_at(const RawIdLists<uint64_t>& m, size_t e, size_t j) {
  return load_u64_le(m.data[e] + 8 * j);
}

// The nodes of list entry e's ids, those with no node left out; out has
// room for all of them. Returns how many were written.
template <class Translator>
size_t translated_ids(const IdListMap<uint64_t>& m, size_t e, const Translator& translate,
                      NodeIdx* out) {
  size_t kept = 0;
  for (size_t j = 0; j < count_at(m, e); ++j) {
    if (auto u = translate.find(id_at(m, e, j))) out[kept++] = *u;
  }
  return kept;
}
template <class Translator>
size_t translated_ids(const RawIdLists<uint64_t>& m, size_t e, const Translator& translate,
                      NodeIdx* out) {
  return translate.translate_all(m.data[e], count_at(m, e), out);
}

// The floats of vector entry e as an aligned, native-order array.
inline const float* floats_at(const IdListMap<float>& m, size_t e, std::vector<float>&) {
  return m.values.data() + m.starts[e];
}
inline const float* floats_at(const RawIdLists<float>& m, size_t e, std::vector<float>& scratch) {
  const uint8_t* p = m.data[e];
  if constexpr (std::endian::native == std::endian::little) {
    // Records of this system keep every float 4-byte aligned (everything
    // before them is a multiple of 4 bytes); a foreign layout takes the copy.
    if (reinterpret_cast<uintptr_t>(p) % alignof(float) == 0) {
      return reinterpret_cast<const float*>(p);
    }
  }
  const size_t n = static_cast<size_t>(m.counts[e]);
  scratch.resize(n);
  if (n != 0) std::memcpy(scratch.data(), p, n * sizeof(float));
  if constexpr (std::endian::native == std::endian::big) {
    for (float& f : scratch) {
      f = std::bit_cast<float>(utils::to_little_endian(std::bit_cast<uint32_t>(f)));
    }
  }
  return scratch.data();
}

// Rows of stored vectors that the arena can adopt in place: the entries in
// stored order are the nodes in order, each exactly dim little-endian floats,
// 4-byte aligned and evenly spaced (the 16-byte key and count of the next
// entry between two rows). Returns the row stride in floats, or 0.
size_t adoptable_stride(const IdListMap<float>&, size_t, bool) { return 0; }
size_t adoptable_stride(const RawIdLists<float>& m, size_t dim, bool ascending) {
  if constexpr (std::endian::native != std::endian::little) return 0;
  const size_t n = m.size();
  if (!ascending || n < kChunkCapacity) return 0;
  const size_t step = dim * sizeof(float) + 16;
  const uint8_t* first = m.data[0];
  if (reinterpret_cast<uintptr_t>(first) % alignof(float) != 0) return 0;
  for (size_t e = 0; e < n; ++e) {
    if (m.counts[e] != dim || m.data[e] != first + e * step) return 0;
  }
  return step / sizeof(float);
}

// Reports consumed input of one region in kConsumeStep steps.
class ConsumeTracker {
 public:
  ConsumeTracker(const ConsumedInput& consumed, const uint8_t* begin)
      : consumed_(consumed), from_(begin) {}
  void advance(const uint8_t* to) {
    if (consumed_ && from_ != nullptr && to - from_ >= static_cast<ptrdiff_t>(kConsumeStep)) {
      consumed_(from_, to);
      from_ = to;
    }
  }
  void finish(const uint8_t* to) {
    if (consumed_ && from_ != nullptr && to > from_) consumed_(from_, to);
    from_ = nullptr;
  }

 private:
  const ConsumedInput& consumed_;
  const uint8_t* from_;
};

template <class T>
const uint8_t* region_begin(const IdListMap<T>&) { return nullptr; }
template <class T>
const uint8_t* region_begin(const RawIdLists<T>& m) { return m.begin_bytes; }
template <class T>
const uint8_t* region_end(const IdListMap<T>&) { return nullptr; }
template <class T>
const uint8_t* region_end(const RawIdLists<T>& m) { return m.end_bytes; }
template <class Lists>
bool keys_ascending(const Lists& m) {
  for (size_t e = 1; e < m.size(); ++e) {
    if (key_at(m, e) <= key_at(m, e - 1)) return false;
  }
  return true;
}

template <class T>
const uint8_t* entry_begin(const IdListMap<T>&, size_t) { return nullptr; }
template <class T>
const uint8_t* entry_begin(const RawIdLists<T>& m, size_t e) { return m.data[e]; }
template <class T>
const uint8_t* entry_end(const IdListMap<T>&, size_t) { return nullptr; }
template <class T>
const uint8_t* entry_end(const RawIdLists<T>& m, size_t e) {
  return m.data[e] + static_cast<size_t>(m.counts[e]) * sizeof(T);
}

}  // namespace

HnswSnapshot HnswSnapshotBuilder::take(const HNSWIndex& index) {
  HnswSnapshot s;
  const size_t n = index.len();
  const auto ids = index.ids_.view();
  const auto levels = index.levels_.view();
  const auto deleted = index.deleted_.view();
  const auto vectors = index.vectors_.view();
  const size_t dim = index.dim_;

  // Nodes go out in ascending id order, the order a loader numbers them
  // in: it then reads vectors and lists front to back and can hand the file
  // back as it goes. A single writer inserting ascending ids has numbered
  // its nodes that way already; parallel writers have not.
  std::vector<uint64_t> node_ids(n);
  std::vector<NodeIdx> order(n);
  bool ascending = true;
  for (size_t i = 0; i < n; ++i) {
    node_ids[i] = ids[i].load(std::memory_order_acquire);
    order[i] = static_cast<NodeIdx>(i);
    if (i > 0 && node_ids[i] <= node_ids[i - 1]) ascending = false;
  }
  if (!ascending) {
    std::sort(order.begin(), order.end(),
              [&](NodeIdx a, NodeIdx b) { return node_ids[a] < node_ids[b]; });
  }

  s.vectors.reserve(n, n * dim);
  s.levels.reserve(n);
  for (const NodeIdx i : order) {
    const uint64_t id = node_ids[i];
    s.vectors.append(id, vectors.get(i));
    s.levels.push_back({id, levels[i].load(std::memory_order_acquire)});
    if (deleted[i].load(std::memory_order_acquire)) s.deleted.push_back(id);
  }

  // Lists may name nodes allocated after `ids` was viewed (an insertion
  // running meanwhile); their ids are looked up afresh.
  auto id_of = [&](NodeIdx u) -> uint64_t {
    return u < ids.len ? ids[u].load(std::memory_order_acquire) : index.point_id(u);
  };
  const AdjacencyView adjacency = index.adjacency_view();
  for (size_t layer = 0; layer < adjacency.num_layers(); ++layer) {
    SnapshotLayer out;
    out.layer = layer;
    if (layer == 0) out.lists.reserve(n, n * (std::min<size_t>(index.m0_, 256) + 1));
    for (const NodeIdx i : order) {
      const NeighborList* list = adjacency.list(layer, i);
      if (list == nullptr) continue;
      std::shared_lock<utils::SpinRwLock> guard(list->lock);
      if (list->empty()) continue;
      out.lists.keys.push_back(node_ids[i]);
      for (NodeIdx u : list->items()) out.lists.values.push_back(id_of(u));
      out.lists.starts.push_back(out.lists.values.size());
    }
    if (!out.lists.empty()) s.layers.push_back(std::move(out));
  }

  const uint64_t word = index.entry_point_word();
  const NodeIdx entry = entry_word_idx(word);
  if (entry != kNoNode) s.entry_point_id = id_of(entry);
  s.entry_level = entry_word_level(word);
  s.metric = index.metric_;
  s.m = index.m_;
  s.m0 = index.m0_;
  s.max_neighbors_l0 = index.max_neighbors_l0_;
  s.ef_construction = index.ef_construction_;
  s.ef_insert = index.ef_insert_;
  s.max_level = index.max_level_;
  s.level_scale = index.level_scale_;
  s.dim = dim;
  s.exact_fallback_enabled = index.exact_fallback_enabled_;
  s.exact_fallback_threshold = index.exact_fallback_threshold_;
  return s;
}

template <class Record>
utils::Result<std::unique_ptr<HNSWIndex>> HnswSnapshotBuilder::build(
    Record& s, const ConsumedInput& consumed, std::shared_ptr<const void> owner) {
  // Dimensions come from the file: an absurd one must fail the load, not the
  // process, when the arena cannot be allocated.
  try {
    return build_unchecked(s, consumed, std::move(owner));
  } catch (const std::bad_alloc&) {
    return DBError::serialization("index snapshot too large to build (dimension " +
                                  std::to_string(s.dim) + ", " +
                                  std::to_string(s.vectors.size()) + " vectors)");
  }
}

template <class Record>
utils::Result<std::unique_ptr<HNSWIndex>> HnswSnapshotBuilder::build_unchecked(
    Record& s, const ConsumedInput& consumed, std::shared_ptr<const void> owner) {
  // Dimension 0 is an index that was never given a vector: it builds empty.
  // A stored vector, even one of no values, cannot belong to it.
  if (s.dim == 0 && s.vectors.size() != 0) {
    return DBError::serialization("index snapshot has dimension 0 but stores vectors");
  }
  // The vector arena allocates whole chunks of kChunkCapacity vectors.
  if (s.dim > std::numeric_limits<size_t>::max() / sizeof(float) / kChunkCapacity) {
    return DBError::serialization("index snapshot dimension " + std::to_string(s.dim) +
                                  " is too large");
  }

  // Ascending ids give the node indices; when an id is stored twice the later
  // entry wins, as it would in the map the record encodes.
  const size_t entries = s.vectors.size();
  std::vector<std::pair<uint64_t, size_t>> order;
  order.reserve(entries);
  bool ascending = true;
  for (size_t e = 0; e < entries; ++e) {
    order.emplace_back(key_at(s.vectors, e), e);
    if (e > 0 && order[e].first <= order[e - 1].first) ascending = false;
  }
  if (!ascending) {
    std::sort(order.begin(), order.end());
    size_t kept = 0;
    for (size_t e = 0; e < order.size(); ++e) {
      if (e + 1 < order.size() && order[e + 1].first == order[e].first) continue;
      order[kept++] = order[e];
    }
    order.resize(kept);
  }
  const size_t n = order.size();
  if (n >= kNoNode) {
    return DBError::serialization("index snapshot holds " + std::to_string(n) +
                                  " vectors, more than an index can address");
  }
  for (const auto& [id, e] : order) {
    const size_t len = count_at(s.vectors, e);
    if (len != s.dim) {
      return DBError::serialization("stored vector of point " + std::to_string(id) + " has " +
                                    std::to_string(len) + " values, expected dimension " +
                                    std::to_string(s.dim));
    }
  }

  const size_t max_level = static_cast<size_t>(std::min<uint64_t>(s.max_level, 255));
  auto index = std::make_unique<HNSWIndex>(s.metric, static_cast<size_t>(s.m),
                                           static_cast<size_t>(s.ef_construction), max_level,
                                           static_cast<size_t>(s.dim));
  HNSWIndex& x = *index;
  x.m_ = static_cast<size_t>(s.m);
  x.m0_ = static_cast<size_t>(s.m0 != 0 ? s.m0 : default_m0(s.m));
  x.max_neighbors_l0_ = s.max_neighbors_l0 != 0 ? static_cast<size_t>(s.max_neighbors_l0) : x.m0_;
  x.ef_construction_ = static_cast<size_t>(s.ef_construction);
  x.ef_insert_ = static_cast<size_t>(s.ef_insert);
  x.max_level_ = max_level;
  x.level_scale_ = s.level_scale;
  x.exact_fallback_threshold_ =
      exact_fallback_threshold_override().value_or(static_cast<size_t>(s.exact_fallback_threshold));
  x.exact_fallback_enabled_ = exact_fallback_enabled_override().value_or(false);

  // Levels and deletions go by position in the ascending order; ids that
  // have no vector are ignored.
  std::vector<uint8_t> deleted_flag(n, 0);
  std::vector<uint8_t> level_of(n, 0);
  {
    std::vector<uint64_t> sorted_ids(n);
    for (size_t i = 0; i < n; ++i) sorted_ids[i] = order[i].first;
    const bool dense = n != 0 && sorted_ids.back() - sorted_ids.front() == n - 1;
    auto position = [&](uint64_t id) -> std::optional<NodeIdx> {
      if (dense) {
        const uint64_t off = id - sorted_ids.front();
        return off < n ? std::optional<NodeIdx>(static_cast<NodeIdx>(off)) : std::nullopt;
      }
      auto it = std::lower_bound(sorted_ids.begin(), sorted_ids.end(), id);
      if (it == sorted_ids.end() || *it != id) return std::nullopt;
      return static_cast<NodeIdx>(it - sorted_ids.begin());
    };
    for (size_t k = 0; k < s.levels.size(); ++k) {
      const IdLevel l = s.levels[k];
      if (auto i = position(l.id)) level_of[*i] = static_cast<uint8_t>(std::min<uint64_t>(l.level, 255));
    }
    for (size_t k = 0; k < s.deleted.size(); ++k) {
      if (auto i = position(s.deleted[k])) deleted_flag[*i] = 1;
    }
  }

  // Vectors go from the record straight into the arena: whole chunks of
  // rows stay where they are when the input's owner allows it, the rest is
  // copied. When they are taken in stored order, the input behind the copied
  // rows is handed back as it is used.
  x.reserve_nodes(n);
  // Layer-0 records are touched only as the lists are filled, after the
  // input they come from has been handed back.
  x.defer_layer0_room_ = true;
  {
    const size_t dim = static_cast<size_t>(s.dim);
    const size_t stride = owner ? adoptable_stride(s.vectors, dim, ascending) : 0;
    const size_t adopted = stride != 0 ? n / kChunkCapacity * kChunkCapacity : 0;
    if (adopted != 0) x.vectors_.set_stride(stride);
    std::vector<float> scratch;
    ConsumeTracker tracker(consumed, !ascending   ? nullptr
                                     : adopted != 0 ? entry_end(s.vectors, adopted - 1)
                                                    : region_begin(s.vectors));
    // Rows first, then the nodes over them in one append.
    for (size_t i = 0; i < adopted; i += kChunkCapacity) {
      const float* rows = floats_at(s.vectors, order[i].second, scratch);
      x.vectors_.adopt_chunk(const_cast<float*>(rows), owner);
    }
    for (size_t i = adopted; i < n; ++i) {
      const size_t e = order[i].second;
      x.vectors_.push(std::span<const float>(floats_at(s.vectors, e, scratch), dim));
      tracker.advance(entry_end(s.vectors, e));
    }
    tracker.finish(region_end(s.vectors));
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = order[i].first;
    x.push_loaded_nodes(ids, level_of, deleted_flag);
  }
  // Stored vectors held in memory are no longer needed; release them before
  // the lists grow.
  if constexpr (std::is_same_v<Record, HnswSnapshot>) s.vectors = IdListMap<float>();
  order = {};
  deleted_flag = {};
  level_of = {};
  const IdTranslator translate(x.alloc_);

  // One layer array per layer number up to the highest that matters.
  const uint64_t entry_level = std::min<uint64_t>(s.entry_level, 255);
  uint64_t top = std::max<uint64_t>(entry_level, max_level);
  // For a layer number stored twice, only its last map counts.
  std::unordered_map<uint64_t, size_t> last_layer;
  for (size_t k = 0; k < s.layers.size(); ++k) {
    if (s.layers[k].layer < kMaxLayers) {
      last_layer[s.layers[k].layer] = k;
      top = std::max(top, s.layers[k].layer);
    }
  }
  x.set_num_layers(static_cast<size_t>(top) + 1);

  // Layers in stored order, so that their input is consumed front to back.
  size_t layer0_filled = 0;  // lists given, when no list was given twice
  for (size_t k = 0; k < s.layers.size(); ++k) {
    const uint64_t layer_no = s.layers[k].layer;
    if (layer_no >= kMaxLayers || last_layer[layer_no] != k) continue;
    const auto& lists = s.layers[k].lists;
    const size_t count = lists.size();
    // Layer 0 holds a list per node, and lists of different nodes share
    // nothing: with ascending keys (no list stored twice, whose later copy
    // must win) it fills on two threads.
    if (layer_no == 0 && count >= kSharedFillMin && keys_ascending(lists)) {
      utils::Status st = fill_lists_shared(x, lists, translate, consumed, layer0_filled);
      if (!st.ok()) return st.take_error();
    } else {
      utils::Status st = fill_lists(x, lists, static_cast<size_t>(layer_no), 0, count, translate,
                                    consumed, nullptr);
      if (!st.ok()) return st.take_error();
    }
  }

  // Lists the record did not hold get their room too (unless every node's
  // list was filled, each once).
  const auto layer0 = x.layer0_.view();
  if (layer0_filled != layer0.len) {
    for (size_t i = 0; i < layer0.len; ++i) x.layer0_.give_room(layer0.at(i));
  }
  x.defer_layer0_room_ = false;

  NodeIdx entry = kNoNode;
  if (s.entry_point_id) {
    if (auto i = translate.find(*s.entry_point_id)) entry = *i;
  }
  x.store_entry_point_word(make_entry_word(entry, static_cast<uint32_t>(entry_level)));
  return index;
}

// Fills the lists of a stored layer 0 whose keys ascend, on this thread and
// one more, block by block. Reports the failure of the first failing list in
// stored order, as a fill in one pass would.
template <class Lists, class Translator>
utils::Status HnswSnapshotBuilder::fill_lists_shared(HNSWIndex& x, const Lists& lists,
                                                     const Translator& translate,
                                                     const ConsumedInput& consumed,
                                                     size_t& filled) {
  const size_t count = lists.size();
  std::atomic<size_t> given{0};
  const size_t blocks = (count + kSharedFillBlock - 1) / kSharedFillBlock;
  std::atomic<size_t> next{0};
  std::mutex failure_mutex;
  size_t failed_block = blocks;
  utils::Status failure;
  std::exception_ptr thrown;
  const auto work = [&] {
    try {
      for (size_t b = next.fetch_add(1); b < blocks; b = next.fetch_add(1)) {
        const size_t from = b * kSharedFillBlock;
        utils::Status st = fill_lists(x, lists, 0, from, std::min(count, from + kSharedFillBlock),
                                      translate, consumed, &given);
        if (!st.ok()) {
          std::lock_guard<std::mutex> lock(failure_mutex);
          if (b < failed_block) {
            failed_block = b;
            failure = std::move(st);
          }
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(failure_mutex);
      if (!thrown) thrown = std::current_exception();
      next.store(blocks);
    }
  };
  // Without a second thread the first call takes every block.
  utils::run_beside(work, work);
  if (thrown) std::rethrow_exception(thrown);
  filled = given.load();
  return failure;
}

// Fills the lists of entries [from, to) of one stored layer. Layer-0 lists
// exist for every node already and are filled through one view; upper lists
// are created as the index creates them. Input is handed back from the first
// entry's data on, in steps. Adds the number of lists filled to *filled.
template <class Lists, class Translator>
utils::Status HnswSnapshotBuilder::fill_lists(HNSWIndex& x, const Lists& lists, size_t layer_no,
                                              size_t from, size_t to,
                                              const Translator& translate,
                                              const ConsumedInput& consumed,
                                              std::atomic<size_t>* filled) {
  const auto layer0 = x.layer0_.view();
  std::vector<NodeIdx> items;
  size_t given = 0;
  // Stored layer-0 lists in ascending order fill a run of records in order.
  if (layer_no == 0 && to > from) {
    const auto first = translate.find(key_at(lists, from));
    const auto last = translate.find(key_at(lists, to - 1));
    if (first && last && *last >= *first && *last - *first == to - 1 - from) {
      layer0.populate(*first, *last + 1);
    }
  }
  ConsumeTracker tracker(consumed, from == 0 ? region_begin(lists) : entry_begin(lists, from));
  for (size_t e = from; e < to; ++e) {
    const auto owner = translate.find(key_at(lists, e));
    if (owner) {
      items.resize(count_at(lists, e));
      items.resize(translated_ids(lists, e, translate, items.data()));
      if (items.size() > NeighborList::kMaxSize) {
        return DBError::serialization(
            "index snapshot list of point " + std::to_string(key_at(lists, e)) + " at layer " +
            std::to_string(layer_no) + " holds " + std::to_string(items.size()) +
            " neighbours, more than the " + std::to_string(NeighborList::kMaxSize) +
            " a list can hold");
      }
      if (layer_no == 0) {
        NeighborList& list = layer0.at(*owner);
        std::unique_lock<utils::SpinRwLock> write(list.lock);
        x.layer0_.give_room(list);
        list.assign(items);
      } else {
        x.set_neighbors(layer_no, *owner, items);
      }
      ++given;
    }
    tracker.advance(entry_end(lists, e));
  }
  tracker.finish(to == lists.size() ? region_end(lists) : entry_end(lists, to - 1));
  if (filled != nullptr) filled->fetch_add(given, std::memory_order_relaxed);
  return utils::Status();
}

bool HnswSnapshotBuilder::rebuilds_identically(const HNSWIndex& index) {
  // A rebuild numbers nodes by ascending id, marks every node linked or
  // deleted, caches no layer-0 scores and holds no SQ8 codes; an index that
  // differs in any of these is not what a rebuild gives.
  const size_t n = index.len();
  if (index.has_codes()) return false;
  const auto ids = index.ids_.view();
  const auto states = index.states_.view();
  const auto deleted = index.deleted_.view();
  const auto scores = index.l0_neighbor_scores_.view();
  if (ids.len < n || states.len < n || deleted.len < n || scores.len < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && ids[i].load(std::memory_order_acquire) <= ids[i - 1].load(std::memory_order_acquire)) {
      return false;
    }
    const uint8_t expected =
        deleted[i].load(std::memory_order_acquire) ? kStateDeleted : kStateLive;
    if (states[i].load(std::memory_order_acquire) != expected) return false;
    const ScoreList& cached = scores[i];
    std::shared_lock<utils::SpinRwLock> guard(cached.lock);
    if (!cached.empty()) return false;
  }
  // A rebuild sizes its layer arrays from the layers its record holds, and a
  // record taken from an index leaves out layers whose lists are all empty.
  const size_t entry_level = entry_word_level(index.entry_point_word());
  if (entry_level > 255) return false;  // a rebuild clamps it
  const size_t floor = std::max(entry_level, index.max_level_) + 1;
  const AdjacencyView adjacency = index.adjacency_view();
  size_t needed = floor;
  for (size_t layer = adjacency.num_layers(); layer-- > floor;) {
    bool any = false;
    for (size_t i = 0; i < adjacency.len() && !any; ++i) {
      const NeighborList* list = adjacency.list(layer, static_cast<NodeIdx>(i));
      if (list == nullptr) continue;
      std::shared_lock<utils::SpinRwLock> guard(list->lock);
      any = !list->empty();
    }
    if (any) {
      needed = layer + 1;
      break;
    }
  }
  return needed == index.num_layers_;
}

HnswSnapshot HNSWIndex::to_snapshot() const { return HnswSnapshotBuilder::take(*this); }

utils::Result<std::unique_ptr<HNSWIndex>> HNSWIndex::from_snapshot(HnswSnapshot snapshot) {
  return HnswSnapshotBuilder::build(snapshot, ConsumedInput(), nullptr);
}

utils::Result<std::unique_ptr<HNSWIndex>> build_index(const HnswRecordView& view,
                                                      const ConsumedInput& consumed,
                                                      std::shared_ptr<const void> input_owner) {
  return HnswSnapshotBuilder::build(view, consumed, std::move(input_owner));
}

bool rebuilds_identically(const HNSWIndex& index) {
  return HnswSnapshotBuilder::rebuilds_identically(index);
}

}  // namespace dovadure::vector::hnsw
