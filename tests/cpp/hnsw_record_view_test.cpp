// The in-place decode and build of the index record must give exactly what
// decode + from_snapshot gives (index and errors), and rebuilds_identically
// must hold exactly when a rebuild through the record changes nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "utils/encoding.hpp"
#include "index_image.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/node_views.hpp"
#include "vector/hnsw/snapshot.hpp"

namespace dovadure::vector::hnsw {
namespace {

using utils::DistanceMetric;

HnswSnapshot base_record(size_t dim) {
  HnswSnapshot s;
  s.metric = DistanceMetric::Euclidean;
  s.m = 4;
  s.ef_construction = 40;
  s.ef_insert = 30;
  s.max_level = 3;
  s.level_scale = 0.7;
  s.dim = dim;
  s.exact_fallback_enabled = true;
  s.exact_fallback_threshold = 17;
  return s;
}

// Ids out of order, a repeated vector key, a level above 255, dangling
// neighbour, owner and entry ids, a repeated layer and a layer beyond 255.
HnswSnapshot awkward_record() {
  HnswSnapshot s = base_record(3);
  s.m0 = 0;
  s.max_neighbors_l0 = 20;
  s.vectors.append(50, std::vector<float>{1, 2, 3});
  s.vectors.append(10, std::vector<float>{-0.0f, 1e30f, 7});
  s.vectors.append(30, std::vector<float>{4, 5, 6});
  s.vectors.append(10, std::vector<float>{8, 9, 10});  // the later entry wins
  s.levels = {{50, 2}, {10, 300}, {99, 1}};
  s.deleted = {30, 30, 1234};
  SnapshotLayer l0;
  l0.layer = 0;
  l0.lists.append(50, std::vector<uint64_t>{50, 10, 77, 30});
  l0.lists.append(10, std::vector<uint64_t>{10, 50});
  l0.lists.append(88, std::vector<uint64_t>{88, 50});
  SnapshotLayer l2;
  l2.layer = 2;
  l2.lists.append(50, std::vector<uint64_t>{50});
  SnapshotLayer l2_again;
  l2_again.layer = 2;
  l2_again.lists.append(10, std::vector<uint64_t>{10, 50});
  SnapshotLayer far;
  far.layer = 1000;
  far.lists.append(50, std::vector<uint64_t>{50});
  s.layers.push_back(std::move(l0));
  s.layers.push_back(std::move(l2));
  s.layers.push_back(std::move(l2_again));
  s.layers.push_back(std::move(far));
  s.entry_point_id = 50;
  s.entry_level = 2;
  return s;
}

// n nodes with sparse ids, full random lists on every layer up to a node's level.
HnswSnapshot random_record(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> gauss;
  HnswSnapshot s = base_record(dim);
  std::vector<float> v(dim);
  std::vector<uint64_t> level(n);
  for (size_t i = 0; i < n; ++i) {
    for (float& f : v) f = gauss(rng);
    s.vectors.append(3 * i + 1, v);
    level[i] = rng() % 8 == 0 ? 1 + rng() % 2 : 0;
    s.levels.push_back({3 * i + 1, level[i]});
    if (rng() % 10 == 0) s.deleted.push_back(3 * i + 1);
  }
  for (uint64_t l = 0; l <= 2; ++l) {
    SnapshotLayer layer;
    layer.layer = l;
    for (size_t i = 0; i < n; ++i) {
      if (level[i] < l) continue;
      std::vector<uint64_t> list{3 * i + 1};
      for (int k = 0; k < 8; ++k) list.push_back(3 * (rng() % n) + 1);
      layer.lists.append(3 * i + 1, list);
    }
    s.layers.push_back(std::move(layer));
  }
  s.entry_point_id = 1;
  s.entry_level = 2;
  return s;
}

std::vector<uint8_t> encode_to_bytes(const HnswSnapshot& s) {
  std::vector<uint8_t> out;
  utils::Encoder enc(out);
  encode(enc, s);
  return out;
}

// Outcome of one of the two paths: an error text or the built index.
struct Outcome {
  std::string error;
  std::unique_ptr<HNSWIndex> index;
};

Outcome via_record(std::span<const uint8_t> bytes) {
  HnswSnapshot s;
  utils::Decoder dec(bytes);
  if (auto st = decode(dec, s); !st.ok()) return {st.error().to_string(), nullptr};
  auto built = HNSWIndex::from_snapshot(std::move(s));
  if (!built.ok()) return {built.error().to_string(), nullptr};
  return {"", std::move(built).value()};
}

Outcome in_place(std::span<const uint8_t> bytes, const ConsumedInput& consumed = {}) {
  HnswRecordView view;
  utils::Decoder dec(bytes);
  if (auto st = decode_view(dec, RecordLayout::Current, view); !st.ok()) {
    return {st.error().to_string(), nullptr};
  }
  auto built = build_index(view, consumed);
  if (!built.ok()) return {built.error().to_string(), nullptr};
  return {"", std::move(built).value()};
}

void expect_same(const Outcome& a, const Outcome& b, const std::string& what) {
  EXPECT_EQ(a.error, b.error) << what;
  ASSERT_EQ(a.index == nullptr, b.index == nullptr) << what;
  if (a.index) {
    EXPECT_TRUE(image(*a.index) == image(*b.index)) << what;
  }
}

TEST(HnswRecordView, InPlaceBuildMatchesDecodeAndFromSnapshot) {
  std::vector<HnswSnapshot> records;
  records.push_back(awkward_record());
  records.push_back(base_record(2));  // no vectors at all
  records.push_back(random_record(700, 5, 1));
  HnswSnapshot zero_dim = awkward_record();
  zero_dim.dim = 0;
  records.push_back(std::move(zero_dim));
  HnswSnapshot wrong_length = awkward_record();
  wrong_length.vectors.append(60, std::vector<float>{1, 2});
  records.push_back(std::move(wrong_length));

  for (size_t r = 0; r < records.size(); ++r) {
    const std::vector<uint8_t> bytes = encode_to_bytes(records[r]);
    const Outcome expected = via_record(bytes);
    expect_same(expected, in_place(bytes), "record " + std::to_string(r));
    // The same bytes one byte off alignment (odd dimensions already shift
    // later fields): the build must not depend on where the input sits.
    std::vector<uint8_t> shifted(bytes.size() + 1);
    std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    expect_same(expected, in_place(std::span<const uint8_t>(shifted).subspan(1)),
                "shifted record " + std::to_string(r));
  }
  EXPECT_EQ(in_place(encode_to_bytes(records[3])).error,
            "Serialization error: index snapshot has dimension 0 but stores vectors");
}

TEST(HnswRecordView, EveryTruncationAndByteDamageFailsOrBuildsAlike) {
  const std::vector<uint8_t> bytes = encode_to_bytes(awkward_record());
  for (size_t len = 0; len < bytes.size(); ++len) {
    const auto prefix = std::span<const uint8_t>(bytes).first(len);
    expect_same(via_record(prefix), in_place(prefix), "prefix " + std::to_string(len));
  }
  // Bool, option tag, variant, count and value bytes all get hit.
  for (size_t at = 0; at < bytes.size(); ++at) {
    for (uint8_t value : {uint8_t{2}, uint8_t{7}, uint8_t{0xFF}}) {
      std::vector<uint8_t> damaged = bytes;
      damaged[at] = value;
      expect_same(via_record(damaged), in_place(damaged),
                  "byte " + std::to_string(at) + " = " + std::to_string(value));
    }
  }
}

TEST(HnswRecordView, OlderLayoutReadsAsTheUpgradedRecord) {
  const HnswSnapshot current = random_record(50, 4, 2);
  HnswSnapshotV1 v1;
  v1.layers = current.layers;
  v1.vectors = current.vectors;
  v1.levels = current.levels;
  v1.entry_point_id = current.entry_point_id;
  v1.metric = current.metric;
  v1.m = 6;
  v1.ef_construction = current.ef_construction;
  v1.ef_insert = current.ef_insert;
  v1.max_level = current.max_level;
  v1.level_scale = current.level_scale;
  v1.entry_level = current.entry_level;
  v1.dim = current.dim;
  v1.deleted = current.deleted;
  std::vector<uint8_t> bytes;
  {
    utils::Encoder enc(bytes);
    encode(enc, v1);
  }
  HnswSnapshotV1 decoded;
  utils::Decoder dec(bytes);
  ASSERT_TRUE(decode(dec, decoded).ok());
  auto expected = HNSWIndex::from_snapshot(upgrade(std::move(decoded)));
  ASSERT_TRUE(expected.ok());

  HnswRecordView view;
  utils::Decoder again(bytes);
  ASSERT_TRUE(decode_view(again, RecordLayout::Older, view).ok());
  EXPECT_EQ(again.position(), bytes.size());
  EXPECT_EQ(view.m0, 12u);
  EXPECT_EQ(view.max_neighbors_l0, 12u);
  auto built = build_index(view);
  ASSERT_TRUE(built.ok());
  EXPECT_TRUE(image(*built.value()) == image(*expected.value()));
}

TEST(HnswRecordView, ConsumedInputIsNeverReadAgain) {
  // Over 4 MiB of vectors and lists, so input is handed back mid-build.
  const std::vector<uint8_t> bytes = encode_to_bytes(random_record(3000, 400, 3));
  const Outcome expected = via_record(bytes);
  ASSERT_TRUE(expected.index);

  std::vector<uint8_t> scribbled = bytes;
  const uint8_t* lo = scribbled.data();
  const uint8_t* hi = lo + scribbled.size();
  size_t calls = 0, handed_back = 0;
  Outcome got = in_place(scribbled, [&](const uint8_t* from, const uint8_t* to) {
    ASSERT_TRUE(lo <= from && from < to && to <= hi);
    ++calls;
    handed_back += static_cast<size_t>(to - from);
    std::memset(const_cast<uint8_t*>(from), 0xAB, static_cast<size_t>(to - from));
  });
  EXPECT_GT(calls, 2u);
  EXPECT_GT(handed_back, bytes.size() / 2);
  expect_same(expected, got, "scribbled after use");
}

TEST(HnswRecordView, AnOwnedInputLendsWholeChunksOfRowsInPlace) {
  // Two whole chunks of vectors and a tail that is copied.
  const size_t n = 2 * kChunkCapacity + 100;
  const auto bytes = std::make_shared<std::vector<uint8_t>>(encode_to_bytes(random_record(n, 6, 5)));
  const Outcome expected = via_record(*bytes);
  ASSERT_TRUE(expected.index);

  HnswRecordView view;
  utils::Decoder dec(*bytes);
  ASSERT_TRUE(decode_view(dec, RecordLayout::Current, view).ok());
  const uint8_t* rows_begin = view.vectors.data[0];
  const uint8_t* rows_end = view.vectors.data[2 * kChunkCapacity - 1] + 6 * sizeof(float);
  size_t calls = 0;
  auto built = build_index(
      view,
      [&](const uint8_t* from, const uint8_t* to) {
        ++calls;
        EXPECT_TRUE(to <= rows_begin || from >= rows_end) << "adopted rows handed back";
      },
      bytes);
  ASSERT_TRUE(built.ok());
  Outcome got{"", std::move(built).value()};
  EXPECT_GT(calls, 0u);
  EXPECT_GT(bytes.use_count(), 1);
  expect_same(expected, got, "rows in place");
  const auto rows = got.index->node_views().vectors;
  EXPECT_EQ(rows.ptr(1), reinterpret_cast<const float*>(view.vectors.data[1]));
  EXPECT_NE(rows.ptr(n - 1), reinterpret_cast<const float*>(view.vectors.data[n - 1]));
  got.index.reset();
  EXPECT_EQ(bytes.use_count(), 1);
}

// A layer 0 large enough to be filled by two threads, block by block: it must
// build what the same lists give in one pass (stored out of order, which
// takes that pass), hand back only input neither thread reads again, and
// report the first over-long list in stored order, whichever thread met it.
TEST(HnswRecordView, LargeLayerZeroFillsOnTwoThreadsAsInOnePass) {
  struct Case {
    const char* name;
    uint64_t first_id, id_step;
    std::vector<size_t> overlong;  // nodes whose layer-0 list is too long
  };
  const size_t n = 20000;
  const std::vector<Case> cases = {
      {"consecutive ids", 5, 1, {}},
      {"sparse ids", 1, 3, {}},
      {"two over-long lists", 5, 1, {n - 10, 9000}},
  };
  for (const Case& c : cases) {
    const auto id = [&](size_t i) { return c.first_id + c.id_step * i; };
    std::mt19937_64 rng(11);
    HnswSnapshot s = base_record(2);
    std::vector<std::pair<uint64_t, std::vector<uint64_t>>> lists;
    for (size_t i = 0; i < n; ++i) {
      s.vectors.append(id(i), std::vector<float>{float(i), 1});
      std::vector<uint64_t> list;
      const size_t len = rng() % 12;  // some empty, most with an id of no node
      for (size_t k = 0; k < len; ++k) list.push_back(k == 0 ? id(n) + i : id(rng() % n));
      lists.emplace_back(id(i), std::move(list));
    }
    for (size_t i : c.overlong) lists[i].second.assign(NeighborList::kMaxSize + 1, id(i));
    lists.erase(lists.begin() + 123);  // a node with no stored list
    s.entry_point_id = id(0);
    SnapshotLayer ascending{0, {}};
    for (const auto& [key, list] : lists) ascending.lists.append(key, list);
    HnswSnapshot one_pass = s;
    SnapshotLayer reversed{0, {}};
    for (auto it = lists.rbegin(); it != lists.rend(); ++it) reversed.lists.append(it->first, it->second);
    s.layers.push_back(std::move(ascending));
    one_pass.layers.push_back(std::move(reversed));

    std::vector<uint8_t> bytes = encode_to_bytes(s);
    const uint8_t* lo = bytes.data();
    const uint8_t* hi = lo + bytes.size();
    std::atomic<size_t> handed_back{0};
    const Outcome got = in_place(bytes, [&](const uint8_t* from, const uint8_t* to) {
      EXPECT_TRUE(lo <= from && from < to && to <= hi);
      handed_back += static_cast<size_t>(to - from);
      std::memset(const_cast<uint8_t*>(from), 0xAB, static_cast<size_t>(to - from));
    });
    if (c.overlong.empty()) {
      expect_same(via_record(encode_to_bytes(one_pass)), got, c.name);
      EXPECT_GT(handed_back.load(), bytes.size() / 2) << c.name;
    } else {
      EXPECT_EQ(got.error, "Serialization error: index snapshot list of point " +
                               std::to_string(id(9000)) + " at layer 0 holds " +
                               std::to_string(NeighborList::kMaxSize + 1) +
                               " neighbours, more than the " +
                               std::to_string(NeighborList::kMaxSize) + " a list can hold");
    }
  }
}

// ---------------------------------------------------------------------------
// rebuilds_identically: the condition for keeping a loaded index instead of
// copying it through its record.

std::unique_ptr<HNSWIndex> build(HnswSnapshot s) {
  auto built = HNSWIndex::from_snapshot(std::move(s));
  EXPECT_TRUE(built.ok());
  return built.ok() ? std::move(built).value() : nullptr;
}

TEST(HnswRebuildsIdentically, AFreshIndexIsWhatItsOwnRecordRebuilds) {
  for (HnswSnapshot s : {awkward_record(), random_record(500, 3, 4), base_record(2)}) {
    if (s.layers.size() == 4) s.layers.pop_back();  // see the next test for this layer
    const auto x = build(std::move(s));
    ASSERT_TRUE(x);
    EXPECT_TRUE(rebuilds_identically(*x));
    const auto copy = build(x->to_snapshot());
    ASSERT_TRUE(copy);
    EXPECT_TRUE(image(*copy) == image(*x));
    EXPECT_TRUE(rebuilds_identically(*copy));
  }
}

TEST(HnswRebuildsIdentically, AStoredLayerAboveEveryListIsTheOneDifference) {
  HnswSnapshot s = awkward_record();  // layer 1000 dropped, but layer 2 holds lists
  SnapshotLayer empty_top;
  empty_top.layer = 9;  // only an unknown owner: no list survives
  empty_top.lists.append(4242, std::vector<uint64_t>{4242});
  s.layers.push_back(std::move(empty_top));
  const auto x = build(std::move(s));
  ASSERT_TRUE(x);
  EXPECT_EQ(x->num_layers(), 10u);
  EXPECT_FALSE(rebuilds_identically(*x));
  const auto copy = build(x->to_snapshot());
  EXPECT_EQ(copy->num_layers(), 4u);  // max(entry level 2, max_level 3) + 1
  EXPECT_TRUE(rebuilds_identically(*copy));
}

TEST(HnswRebuildsIdentically, InsertionsAndCodesRuleItOut) {
  HnswSnapshot s = random_record(200, 3, 5);
  s.deleted.clear();
  const auto inserted = build(s);
  ASSERT_TRUE(inserted->insert(0, {1, 2, 3}).ok());  // id 0 sorts first: renumbering
  EXPECT_FALSE(rebuilds_identically(*inserted));

  const auto appended = build(s);
  ASSERT_TRUE(appended->insert(100000, {1, 2, 3}).ok());  // in id order, but scores cached
  EXPECT_FALSE(rebuilds_identically(*appended));

  const auto quantized = build(s);
  quantized->quantize_all();
  EXPECT_FALSE(rebuilds_identically(*quantized));
}

}  // namespace
}  // namespace dovadure::vector::hnsw
