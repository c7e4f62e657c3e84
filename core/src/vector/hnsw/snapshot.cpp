#include "vector/hnsw/snapshot.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>

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
  static utils::Result<std::unique_ptr<HNSWIndex>> build(HnswSnapshot s);

 private:
  static utils::Result<std::unique_ptr<HNSWIndex>> build_unchecked(HnswSnapshot& s);
};

namespace {

// A layer number of 256 or more cannot be reached: levels, max_level and the
// entry level all fit in a byte. Lists stored on such layers are dropped
// rather than allocating a layer array for every number up to them.
constexpr uint64_t kMaxLayers = 256;

// Point id -> node index for the ascending id order. Ids written by this
// system are mostly a dense range, which needs no hashing at all.
class IdTranslator {
 public:
  IdTranslator(const AllocState& alloc) : alloc_(alloc) {
    const std::vector<uint64_t>& ids = alloc.ids;
    if (!ids.empty() && ids.back() - ids.front() == ids.size() - 1) {
      dense_ = true;
      base_ = ids.front();
      count_ = ids.size();
    }
  }
  std::optional<NodeIdx> find(uint64_t id) const {
    if (dense_) {
      const uint64_t off = id - base_;
      if (off < count_) return static_cast<NodeIdx>(off);
      return std::nullopt;
    }
    return alloc_.find(id);
  }

 private:
  const AllocState& alloc_;
  bool dense_ = false;
  uint64_t base_ = 0;
  uint64_t count_ = 0;
};

}  // namespace

HnswSnapshot HnswSnapshotBuilder::take(const HNSWIndex& index) {
  HnswSnapshot s;
  const size_t n = index.len();
  const auto ids = index.ids_.view();
  const auto levels = index.levels_.view();
  const auto deleted = index.deleted_.view();
  const auto vectors = index.vectors_.view();
  const size_t dim = index.dim_;

  s.vectors.reserve(n, n * dim);
  s.levels.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t id = ids[i].load(std::memory_order_acquire);
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
    for (size_t i = 0; i < n; ++i) {
      const NeighborList* list = adjacency.list(layer, static_cast<NodeIdx>(i));
      if (list == nullptr) continue;
      std::shared_lock<utils::SpinRwLock> guard(list->lock);
      if (list->empty()) continue;
      out.lists.keys.push_back(ids[i].load(std::memory_order_acquire));
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

utils::Result<std::unique_ptr<HNSWIndex>> HnswSnapshotBuilder::build(HnswSnapshot s) {
  // Dimensions come from the file: an absurd one must fail the load, not the
  // process, when the arena cannot be allocated.
  try {
    return build_unchecked(s);
  } catch (const std::bad_alloc&) {
    return DBError::serialization("index snapshot too large to build (dimension " +
                                  std::to_string(s.dim) + ", " +
                                  std::to_string(s.vectors.size()) + " vectors)");
  }
}

utils::Result<std::unique_ptr<HNSWIndex>> HnswSnapshotBuilder::build_unchecked(HnswSnapshot& s) {
  if (s.dim == 0) return DBError::serialization("index snapshot has dimension 0");
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
    order.emplace_back(s.vectors.keys[e], e);
    if (e > 0 && s.vectors.keys[e] <= s.vectors.keys[e - 1]) ascending = false;
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
    const size_t len = s.vectors.list(e).size();
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
  std::vector<uint8_t> level_of(n, 0);
  for (const IdLevel& l : s.levels) {
    if (auto i = position(l.id)) level_of[*i] = static_cast<uint8_t>(std::min<uint64_t>(l.level, 255));
  }
  std::vector<uint8_t> deleted(n, 0);
  for (uint64_t id : s.deleted) {
    if (auto i = position(id)) deleted[*i] = 1;
  }
  sorted_ids = std::vector<uint64_t>();

  x.reserve_nodes(n);
  for (size_t i = 0; i < n; ++i) {
    x.push_node_unlinked(order[i].first, s.vectors.list(order[i].second), level_of[i],
                         deleted[i] != 0 ? kStateDeleted : kStateLive, deleted[i] != 0);
  }
  // The stored vectors are no longer needed; release them before the lists grow.
  s.vectors = IdListMap<float>();
  order = {};
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

  std::vector<NodeIdx> items;
  for (const auto& [layer_no, k] : last_layer) {
    const IdListMap<uint64_t>& lists = s.layers[k].lists;
    for (size_t e = 0; e < lists.size(); ++e) {
      const auto owner = translate.find(lists.keys[e]);
      if (!owner) continue;
      items.clear();
      for (uint64_t id : lists.list(e)) {
        if (auto u = translate.find(id)) items.push_back(*u);
      }
      x.set_neighbors(static_cast<size_t>(layer_no), *owner, items);
    }
  }

  NodeIdx entry = kNoNode;
  if (s.entry_point_id) {
    if (auto i = translate.find(*s.entry_point_id)) entry = *i;
  }
  x.store_entry_point_word(make_entry_word(entry, static_cast<uint32_t>(entry_level)));
  return index;
}

HnswSnapshot HNSWIndex::to_snapshot() const { return HnswSnapshotBuilder::take(*this); }

utils::Result<std::unique_ptr<HNSWIndex>> HNSWIndex::from_snapshot(HnswSnapshot snapshot) {
  return HnswSnapshotBuilder::build(std::move(snapshot));
}

}  // namespace dovadure::vector::hnsw
