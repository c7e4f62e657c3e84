#include "vector/hnsw/snapshot.hpp"

#include <algorithm>
#include <gtest/gtest.h>

#include "golden_bytes.hpp"
#include <stdlib.h>

#include <bit>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "vector/hnsw/core.hpp"

namespace dovadure::vector::hnsw {
namespace {

using utils::DistanceMetric;

using testing_util::Bytes;

// Map view of a record, applying the repeated-key rule, for comparisons.
struct Canon {
  std::map<uint64_t, std::map<uint64_t, std::vector<uint64_t>>> layers;
  std::map<uint64_t, std::vector<float>> vectors;
  std::map<uint64_t, uint64_t> levels;
  std::set<uint64_t> deleted;
  std::optional<uint64_t> entry_point_id;
  bool operator==(const Canon&) const = default;
};

Canon canon(const HnswSnapshot& s) {
  Canon c;
  for (const SnapshotLayer& layer : s.layers) {
    auto& m = c.layers[layer.layer];
    m.clear();
    for (size_t i = 0; i < layer.lists.size(); ++i) {
      auto l = layer.lists.list(i);
      m[layer.lists.keys[i]] = std::vector<uint64_t>(l.begin(), l.end());
    }
  }
  for (size_t i = 0; i < s.vectors.size(); ++i) {
    auto v = s.vectors.list(i);
    c.vectors[s.vectors.keys[i]] = std::vector<float>(v.begin(), v.end());
  }
  for (const IdLevel& l : s.levels) c.levels[l.id] = l.level;
  c.deleted.insert(s.deleted.begin(), s.deleted.end());
  c.entry_point_id = s.entry_point_id;
  return c;
}

std::vector<uint8_t> encode_to_bytes(const HnswSnapshot& s) {
  std::vector<uint8_t> out;
  utils::Encoder enc(out);
  encode(enc, s);
  return out;
}

// A two-node, two-dimensional record with one upper layer.
HnswSnapshot small_snapshot() {
  HnswSnapshot s;
  SnapshotLayer l0;
  l0.layer = 0;
  l0.lists.append(7, std::vector<uint64_t>{7, 9});
  l0.lists.append(9, std::vector<uint64_t>{9, 7});
  SnapshotLayer l1;
  l1.layer = 1;
  l1.lists.append(9, std::vector<uint64_t>{9});
  s.layers.push_back(std::move(l0));
  s.layers.push_back(std::move(l1));
  s.vectors.append(7, std::vector<float>{1.0f, 2.0f});
  s.vectors.append(9, std::vector<float>{-0.5f, 0.25f});
  s.levels = {{7, 0}, {9, 1}};
  s.entry_point_id = 9;
  s.metric = DistanceMetric::Euclidean;
  s.m = 4;
  s.m0 = 8;
  s.max_neighbors_l0 = 8;
  s.ef_construction = 50;
  s.ef_insert = 50;
  s.max_level = 3;
  s.level_scale = 0.5;
  s.entry_level = 1;
  s.dim = 2;
  s.deleted = {7};
  s.exact_fallback_enabled = true;
  s.exact_fallback_threshold = 256;
  return s;
}

// The same record, byte by byte from the layout table.
std::vector<uint8_t> small_snapshot_golden(bool with_m0) {
  Bytes g;
  g.u64(2);                                            // layers: 2 entries
  g.u64(0).u64(2);                                     // layer 0: 2 lists
  g.u64(7).u64(2).u64(7).u64(9);                       //   7 -> [7, 9]
  g.u64(9).u64(2).u64(9).u64(7);                       //   9 -> [9, 7]
  g.u64(1).u64(1);                                     // layer 1: 1 list
  g.u64(9).u64(1).u64(9);                              //   9 -> [9]
  g.u64(2);                                            // vectors
  g.u64(7).u64(2).f32(1.0f).f32(2.0f);
  g.u64(9).u64(2).f32(-0.5f).f32(0.25f);
  g.u64(2).u64(7).u64(0).u64(9).u64(1);                // levels
  g.u8(1).u64(9);                                      // entry_point_id
  g.u32(2);                                            // metric Euclidean
  g.u64(4);                                            // m
  if (with_m0) g.u64(8).u64(8);                        // m0, max_neighbors_l0
  g.u64(50).u64(50).u64(3).f64(0.5).u64(1).u64(2);     // ef_c, ef_i, max_level, scale, entry_level, dim
  g.u64(1).u64(7);                                     // deleted
  g.u8(1).u64(256);                                    // exact fallback
  return g.b;
}

TEST(HnswSnapshotRecord, EncodesToHandWrittenBytesAndBack) {
  const HnswSnapshot s = small_snapshot();
  const std::vector<uint8_t> golden = small_snapshot_golden(true);
  EXPECT_EQ(encode_to_bytes(s), golden);
  EXPECT_EQ(encoded_size(s), golden.size());

  HnswSnapshot back;
  utils::Decoder dec(golden);
  ASSERT_TRUE(decode(dec, back).ok());
  EXPECT_EQ(dec.remaining(), 0u);
  EXPECT_EQ(canon(back), canon(s));
  EXPECT_EQ(back.metric, DistanceMetric::Euclidean);
  EXPECT_EQ(back.m0, 8u);
  EXPECT_EQ(back.level_scale, 0.5);
  EXPECT_EQ(back.entry_level, 1u);
  EXPECT_TRUE(back.exact_fallback_enabled);
  EXPECT_EQ(back.exact_fallback_threshold, 256u);
}

TEST(HnswSnapshotRecord, OlderLayoutDecodesAndUpgradesWithDoubledM) {
  const std::vector<uint8_t> golden = small_snapshot_golden(false);
  HnswSnapshotV1 v1;
  utils::Decoder dec(golden);
  ASSERT_TRUE(decode(dec, v1).ok());
  EXPECT_EQ(dec.remaining(), 0u);
  std::vector<uint8_t> again;
  utils::Encoder enc(again);
  encode(enc, v1);
  EXPECT_EQ(again, golden);

  const HnswSnapshot up = upgrade(std::move(v1));
  EXPECT_EQ(up.m0, 8u);
  EXPECT_EQ(up.max_neighbors_l0, 8u);
  EXPECT_EQ(canon(up), canon(small_snapshot()));
  EXPECT_EQ(up.ef_insert, 50u);
  EXPECT_EQ(up.dim, 2u);
}

TEST(HnswSnapshotRecord, EveryTruncationFailsWithEndOfInput) {
  const std::vector<uint8_t> golden = small_snapshot_golden(true);
  for (size_t cut = 0; cut < golden.size(); ++cut) {
    HnswSnapshot out;
    utils::Decoder dec(std::span<const uint8_t>(golden.data(), cut));
    auto st = decode(dec, out);
    ASSERT_FALSE(st.ok()) << cut;
    EXPECT_EQ(st.error().to_string(), "Serialization error: io error: unexpected end of file")
        << cut;
  }
}

TEST(HnswSnapshotRecord, BadTagsAndHugeCountsAreDecodeErrors) {
  std::vector<uint8_t> bytes = small_snapshot_golden(true);
  // Metric tag sits after layers (8+8+8+32+32+8+8+24) + vectors (8+16+8+16+8) + levels (40) + option (9).
  const size_t metric_at = 8 + (16 + 32 + 32) + (16 + 24) + (8 + 16 + 8 + 16 + 8) + 40 + 9;
  ASSERT_EQ(bytes[metric_at], 2);
  bytes[metric_at] = 3;
  HnswSnapshot out;
  utils::Decoder dec(bytes);
  auto st = decode(dec, out);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");

  std::vector<uint8_t> tag = small_snapshot_golden(true);
  tag[metric_at - 9] = 2;  // entry_point_id option tag
  utils::Decoder dec2(tag);
  auto st2 = decode(dec2, out);
  ASSERT_FALSE(st2.ok());
  EXPECT_EQ(st2.error().message(), "tag for enum is not valid, found 2");

  // A vector count of 2^61 must fail on the input length, not allocate.
  Bytes huge;
  huge.u64(0).u64(1).u64(5).u64(uint64_t{1} << 61);
  utils::Decoder dec3(huge.b);
  auto st3 = decode(dec3, out);
  ASSERT_FALSE(st3.ok());
  EXPECT_EQ(st3.error().message(), "io error: unexpected end of file");
  // So must a map that claims 2^64-1 entries.
  Bytes many;
  many.u64(~uint64_t{0});
  utils::Decoder dec4(many.b);
  EXPECT_FALSE(decode(dec4, out).ok());
}

TEST(HnswConfigSummaryRecord, Is85BytesAtFixedOffsets) {
  HnswConfigSummary c;
  c.metric = DistanceMetric::Dot;
  c.m = 16;
  c.m0 = 32;
  c.max_neighbors_l0 = 33;
  c.ef_construction = 200;
  c.ef_insert = 201;
  c.max_level = 16;
  c.level_scale = 0.36067376022224085;
  c.entry_level = 3;
  c.dim = 128;
  c.exact_fallback_enabled = true;
  c.exact_fallback_threshold = 256;
  std::vector<uint8_t> out;
  utils::Encoder enc(out);
  encode(enc, c);
  ASSERT_EQ(out.size(), HnswConfigSummary::kEncodedSize);
  ASSERT_EQ(out.size(), 85u);
  Bytes g;
  g.u32(1).u64(16).u64(32).u64(33).u64(200).u64(201).u64(16).f64(0.36067376022224085);
  g.u64(3).u64(128).u8(1).u64(256);
  EXPECT_EQ(out, g.b);
  uint64_t dim = 0;
  std::memcpy(&dim, out.data() + 68, 8);
  EXPECT_EQ(dim, 128u);
  EXPECT_EQ(out[76], 1);

  HnswConfigSummary back;
  utils::Decoder dec(out);
  ASSERT_TRUE(decode(dec, back).ok());
  EXPECT_EQ(back, c);
  out[76] = 7;
  utils::Decoder bad(out);
  auto st = decode(bad, back);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "invalid u8 while decoding bool, expected 0 or 1, found 7");
}

// ---------------------------------------------------------------------------
// Building an index from a record.

HnswSnapshot three_points() {
  HnswSnapshot s;
  s.metric = DistanceMetric::Euclidean;
  s.m = 16;
  s.m0 = 0;
  s.max_neighbors_l0 = 0;
  s.ef_construction = 100;
  s.ef_insert = 100;
  s.max_level = 4;
  s.level_scale = 0.25;
  s.dim = 2;
  s.vectors.append(5, std::vector<float>{5, 5});
  s.vectors.append(3, std::vector<float>{3, 3});
  s.vectors.append(9, std::vector<float>{9, 9});
  s.levels = {{5, 1}, {3, 0}, {9, 0}};
  SnapshotLayer l0;
  l0.layer = 0;
  l0.lists.append(5, std::vector<uint64_t>{5, 3, 42, 9});  // 42 has no vector
  l0.lists.append(3, std::vector<uint64_t>{3, 5});
  l0.lists.append(77, std::vector<uint64_t>{77, 5});  // unknown owner
  SnapshotLayer l1;
  l1.layer = 1;
  l1.lists.append(5, std::vector<uint64_t>{5});
  s.layers.push_back(std::move(l0));
  s.layers.push_back(std::move(l1));
  s.entry_point_id = 5;
  s.entry_level = 1;
  return s;
}

std::vector<NodeIdx> neighbors(const HNSWIndex& x, size_t layer, NodeIdx u) {
  std::vector<NodeIdx> out;
  x.copy_neighbors(layer, u, out);
  return out;
}

TEST(HnswFromSnapshot, AscendingIdsBecomeNodeIndicesAndDanglingIdsAreDropped) {
  auto built = HNSWIndex::from_snapshot(three_points());
  ASSERT_TRUE(built.ok()) << built.error().to_string();
  const HNSWIndex& x = *built.value();
  ASSERT_EQ(x.len(), 3u);
  EXPECT_EQ(x.idx_of(3), NodeIdx{0});
  EXPECT_EQ(x.idx_of(5), NodeIdx{1});
  EXPECT_EQ(x.idx_of(9), NodeIdx{2});
  EXPECT_EQ(x.point_id(2), 9u);
  EXPECT_EQ(neighbors(x, 0, 1), (std::vector<NodeIdx>{1, 0, 2}));  // 42 dropped, order kept
  EXPECT_EQ(neighbors(x, 0, 0), (std::vector<NodeIdx>{0, 1}));
  EXPECT_TRUE(neighbors(x, 0, 2).empty());
  EXPECT_EQ(neighbors(x, 1, 1), (std::vector<NodeIdx>{1}));
  EXPECT_EQ(x.level_of(1), 1);
  EXPECT_EQ(x.state_of(0), kStateLive);
  EXPECT_EQ(x.entry_point_word(), make_entry_word(1, 1));
  EXPECT_EQ(x.m0(), 32u);
  EXPECT_EQ(x.max_neighbors_l0(), 32u);
  EXPECT_EQ(x.max_level(), 4u);
  EXPECT_EQ(x.num_layers(), 5u);
  EXPECT_EQ(x.level_scale(), 0.25);
  EXPECT_EQ(x.ef_construction(), 100u);
  auto v = x.get_vector(9);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ((std::vector<float>(v->begin(), v->end())), (std::vector<float>{9, 9}));
}

TEST(HnswFromSnapshot, RepairsOutOfRangeSettings) {
  HnswSnapshot s = three_points();
  s.levels = {{5, 300}, {3, 0}, {9, 0}, {1234, 2}};
  s.max_level = 1000;
  s.entry_level = 100000;
  s.entry_point_id = 1234;  // no vector: the index has no entry point
  s.m0 = 20;
  s.deleted = {9, 9, 555};
  SnapshotLayer far;
  far.layer = uint64_t{1} << 40;  // unreachable; must not size the layer arrays
  far.lists.append(5, std::vector<uint64_t>{5});
  s.layers.push_back(std::move(far));
  auto built = HNSWIndex::from_snapshot(std::move(s));
  ASSERT_TRUE(built.ok());
  const HNSWIndex& x = *built.value();
  EXPECT_EQ(x.level_of(1), 255);
  EXPECT_EQ(x.max_level(), 255u);
  EXPECT_EQ(x.num_layers(), 256u);
  EXPECT_EQ(x.entry_point_word(), make_entry_word(kNoNode, 255));
  EXPECT_EQ(x.m0(), 20u);
  EXPECT_EQ(x.max_neighbors_l0(), 20u);
  EXPECT_EQ(x.deleted_count(), 1u);
  EXPECT_TRUE(x.is_deleted(2));
  EXPECT_EQ(x.state_of(2), kStateDeleted);
  EXPECT_FALSE(x.get_vector(9).has_value());
  EXPECT_TRUE(x.contains(9));
}

TEST(HnswFromSnapshot, RepeatedKeysKeepTheLastEntry) {
  HnswSnapshot s = three_points();
  s.vectors.append(3, std::vector<float>{-1, -1});
  s.levels.push_back({3, 2});
  SnapshotLayer again;
  again.layer = 0;
  again.lists.append(9, std::vector<uint64_t>{9, 3});
  s.layers.push_back(std::move(again));  // replaces the whole first layer-0 map
  auto built = HNSWIndex::from_snapshot(std::move(s));
  ASSERT_TRUE(built.ok());
  const HNSWIndex& x = *built.value();
  ASSERT_EQ(x.len(), 3u);
  auto v = x.get_vector(3);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ((*v)[0], -1.0f);
  EXPECT_EQ(x.level_of(0), 2);
  EXPECT_TRUE(neighbors(x, 0, 1).empty());
  EXPECT_EQ(neighbors(x, 0, 2), (std::vector<NodeIdx>{2, 0}));
}

TEST(HnswFromSnapshot, RejectsWhatCannotBeBuilt) {
  HnswSnapshot zero = three_points();
  zero.dim = 0;
  auto a = HNSWIndex::from_snapshot(std::move(zero));
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().to_string(),
            "Serialization error: index snapshot has dimension 0 but stores vectors");

  HnswSnapshot bad = three_points();
  bad.vectors.append(11, std::vector<float>{1, 2, 3});
  auto b = HNSWIndex::from_snapshot(std::move(bad));
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().kind(), utils::DBErrorKind::Serialization);
  EXPECT_EQ(b.error().message(), "stored vector of point 11 has 3 values, expected dimension 2");

  HnswSnapshot wide = three_points();
  wide.vectors = IdListMap<float>();
  wide.dim = uint64_t{1} << 62;
  auto c = HNSWIndex::from_snapshot(std::move(wide));
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().kind(), utils::DBErrorKind::Serialization);
}

// Lists longer than the room kept behind each layer-0 list header move to
// the heap; searches read them there whether or not the index is frozen.
TEST(HnswFromSnapshot, ListsBeyondTheirRoomAreKeptWholeAndSearched) {
  HnswSnapshot s = three_points();
  s.m = 1;
  s.m0 = 2;
  s.max_neighbors_l0 = 2;  // room for 4 items per list
  s.vectors = IdListMap<float>();
  s.levels.clear();
  s.layers.clear();
  SnapshotLayer l0;
  l0.layer = 0;
  constexpr uint64_t kPoints = 40;
  for (uint64_t id = 0; id < kPoints; ++id) {
    s.vectors.append(id, std::vector<float>{static_cast<float>(id % 7), static_cast<float>(id / 7)});
    std::vector<uint64_t> list{id};
    const uint64_t extra = id % 3 == 0 ? kPoints : 2;  // every third list is complete
    for (uint64_t k = 1; k < extra; ++k) list.push_back((id + k) % kPoints);
    l0.lists.append(id, list);
  }
  s.layers.push_back(l0);
  s.entry_point_id = 0;
  s.entry_level = 0;
  auto built = HNSWIndex::from_snapshot(s);
  ASSERT_TRUE(built.ok()) << built.error().to_string();
  HNSWIndex& x = *built.value();
  for (uint64_t id = 0; id < kPoints; ++id) {
    std::vector<NodeIdx> want;
    for (uint64_t v : l0.lists.list(id)) want.push_back(static_cast<NodeIdx>(v));
    EXPECT_EQ(neighbors(x, 0, static_cast<NodeIdx>(id)), want) << id;
  }
  SearchOptions opts;
  opts.ef = 40;
  const std::vector<float> query{2.2f, 3.9f};
  for (int frozen = 0; frozen < 2; ++frozen) {
    if (frozen) x.freeze();
    auto hits = x.search_with_options(query, 3, opts);
    ASSERT_TRUE(hits.ok());
    std::vector<uint64_t> ids;
    for (const auto& h : hits.value()) ids.push_back(h.id);
    EXPECT_EQ(ids, (std::vector<uint64_t>{30, 31, 23})) << frozen;  // (2,4), (3,4), (2,3)
  }

  HnswSnapshot huge = three_points();
  huge.layers[0].lists.append(9, std::vector<uint64_t>(NeighborList::kMaxSize + 1, 3));
  auto rejected = HNSWIndex::from_snapshot(std::move(huge));
  ASSERT_FALSE(rejected.ok());
  EXPECT_EQ(rejected.error().message(),
            "index snapshot list of point 9 at layer 0 holds 1048576 neighbours, more than the "
            "1048575 a list can hold");
}

TEST(HnswFromSnapshot, EmptyRecordStillSizesLayersByMaxLevel) {
  HnswSnapshot s;
  s.m = 8;
  s.dim = 3;
  s.max_level = 6;
  auto built = HNSWIndex::from_snapshot(std::move(s));
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(built.value()->len(), 0u);
  EXPECT_EQ(built.value()->num_layers(), 7u);
  EXPECT_EQ(entry_word_idx(built.value()->entry_point_word()), kNoNode);
}

TEST(HnswFromSnapshot, ExactFallbackSwitchIsNotTakenFromTheRecord) {
  // Each case runs in a freshly started child: the knob cells are read once
  // per process, and this process may have read them already.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        HnswSnapshot s = three_points();
        s.exact_fallback_enabled = true;
        s.exact_fallback_threshold = 77;
        auto built = HNSWIndex::from_snapshot(std::move(s));
        const bool ok = built.ok() && !built.value()->exact_fallback_enabled() &&
                        built.value()->exact_fallback_threshold() == 77;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        setenv("DOROVOZU_EXACT_FALLBACK_ENABLED", "1", 1);
        setenv("DOROVOZU_EXACT_FALLBACK_THRESHOLD", "12", 1);
        HnswSnapshot s = three_points();
        s.exact_fallback_threshold = 77;
        auto built = HNSWIndex::from_snapshot(std::move(s));
        const bool ok = built.ok() && built.value()->exact_fallback_enabled() &&
                        built.value()->exact_fallback_threshold() == 12;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(HnswToSnapshot, RebuiltIndexGivesBackTheSameRecord) {
  HnswSnapshot s = three_points();
  s.deleted = {9};
  auto built = HNSWIndex::from_snapshot(s);
  ASSERT_TRUE(built.ok());
  const HnswSnapshot back = built.value()->to_snapshot();
  Canon want = canon(s);
  want.layers[0].erase(77);
  want.layers[0][5] = {5, 3, 9};
  want.levels = {{3, 0}, {5, 1}, {9, 0}};
  EXPECT_EQ(canon(back), want);
  EXPECT_EQ(back.m0, 32u);
  EXPECT_EQ(back.entry_level, 1u);
  EXPECT_EQ(back.dim, 2u);
  EXPECT_FALSE(back.exact_fallback_enabled);
  EXPECT_EQ(HnswConfigSummary::of(*built.value()).m0, back.m0);

  // And through bytes once more.
  HnswSnapshot decoded;
  const std::vector<uint8_t> bytes = encode_to_bytes(back);
  utils::Decoder dec(bytes);
  ASSERT_TRUE(decode(dec, decoded).ok());
  EXPECT_EQ(canon(decoded), want);
}

TEST(HnswToSnapshot, InsertedGraphRoundTripsAndSearchesAlike) {
  HNSWIndex x(DistanceMetric::Cosine, 8, 64, 8, 4);
  uint32_t state = 12345;
  auto rnd = [&] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
  };
  // Ids arrive out of order; the record lists them ascending all the same,
  // so that a loader can consume it front to back.
  for (uint64_t k = 0; k < 300; ++k) {
    ASSERT_TRUE(x.insert((k * 37) % 300 * 3 + 1, {rnd(), rnd(), rnd(), rnd()}).ok());
  }
  x.mark_deleted(4);
  const HnswSnapshot s = x.to_snapshot();
  EXPECT_EQ(s.vectors.size(), 300u);
  EXPECT_TRUE(std::is_sorted(s.vectors.keys.begin(), s.vectors.keys.end()));
  ASSERT_FALSE(s.layers.empty());
  for (const auto& layer : s.layers) {
    EXPECT_TRUE(std::is_sorted(layer.lists.keys.begin(), layer.lists.keys.end())) << layer.layer;
  }
  EXPECT_EQ(s.deleted, std::vector<uint64_t>{4});
  auto built = HNSWIndex::from_snapshot(s);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(canon(built.value()->to_snapshot()), canon(s));
  EXPECT_EQ(HnswConfigSummary::of(*built.value()).level_scale, x.level_scale());

  SearchOptions opts;
  opts.ef = 64;
  for (int q = 0; q < 10; ++q) {
    const std::vector<float> query{rnd(), rnd(), rnd(), rnd()};
    auto a = x.search_with_options(query, 5, opts);
    auto b = built.value()->search_with_options(query, 5, opts);
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_EQ(a.value().size(), b.value().size());
    for (size_t i = 0; i < a.value().size(); ++i) EXPECT_EQ(a.value()[i].id, b.value()[i].id);
  }
}

}  // namespace
}  // namespace dovadure::vector::hnsw
