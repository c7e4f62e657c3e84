#include "segment/segment_snapshot.hpp"

#include <gtest/gtest.h>

#include "golden_bytes.hpp"
#include "utils/digest.hpp"
#include <stdlib.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::segment {
namespace {

using utils::DistanceMetric;
using utils::Payload;
using utils::PayloadValue;

using testing_util::Bytes;

// Plain, unoptimised Adler-32, kept apart from the library's.
uint32_t reference_adler(const std::vector<uint8_t>& data) {
  uint32_t a = 1, b = 0;
  for (uint8_t x : data) {
    a = (a + x) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/h6_segsnap_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static void write_file(const std::string& p, const std::vector<uint8_t>& bytes) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<uint8_t> read_file(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
  }
  std::string dir_;
};

// --- hand-written layouts ---------------------------------------------------

// Index record of one point (id 7, vector [0.5, -1]) with m 4.
Bytes index_record(bool with_m0) {
  Bytes g;
  g.u64(1).u64(0).u64(1).u64(7).u64(1).u64(7);  // layers: {0: {7: [7]}}
  g.u64(1).u64(7).u64(2).f32(0.5f).f32(-1.0f);  // vectors
  g.u64(1).u64(7).u64(0);                       // levels
  g.u8(1).u64(7);                               // entry_point_id
  g.u32(2).u64(4);                              // Euclidean, m
  if (with_m0) g.u64(8).u64(8);
  g.u64(10).u64(10).u64(2).f64(0.5).u64(0).u64(2);  // ef_c, ef_i, max_level, scale, entry_level, dim
  g.u64(0).u8(0).u64(256);                          // deleted, exact fallback
  return g;
}

// Segment body around it: field "c" = Int 1 for point 7, next_id 8.
std::vector<uint8_t> body_record(bool with_m0) {
  Bytes g = index_record(with_m0);
  g.u64(1).str("c").u64(1).u32(0).u64(1).u64(1).u64(7);  // payload_index
  g.u64(1).u64(7).u64(1).str("c").u32(0).u64(1);         // payloads
  g.u64(0);                                              // deleted
  g.u64(8);                                              // next_id
  return g.b;
}

std::vector<uint8_t> metadata_record(uint64_t created) {
  Bytes g;
  g.u64(created);
  g.u32(2).u64(4).u64(8).u64(8).u64(10).u64(10).u64(2).f64(0.5).u64(0).u64(2).u8(0).u64(256);
  g.u64(1).u64(1);
  return g.b;
}

std::vector<uint8_t> with_footer(std::vector<uint8_t> content) {
  const uint32_t sum = reference_adler(content);
  Bytes g;
  g.append(content).raw("VDBF").u32(sum);
  return g.b;
}

std::vector<uint8_t> version3_file(const std::vector<uint8_t>& body,
                                   const std::vector<uint8_t>& meta) {
  Bytes g;
  g.raw("VDBS").u32(3).append(body).append(meta);
  g.u32(static_cast<uint32_t>(meta.size())).u32(1).raw("VDBM");
  return with_footer(g.b);
}

void expect_point_seven(const Segment& seg) {
  const auto& x = seg.index();
  ASSERT_EQ(x.len(), 1u);
  auto v = x.get_vector(7);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ((*v)[0], 0.5f);
  EXPECT_EQ((*v)[1], -1.0f);
  EXPECT_EQ(x.metric(), DistanceMetric::Euclidean);
  EXPECT_EQ(x.m(), 4u);
  EXPECT_EQ(seg.next_id(), 8u);
  ASSERT_EQ(seg.payloads().count(7), 1u);
  EXPECT_EQ(seg.payloads().at(7).fields.at("c"), PayloadValue::of_int(1));
  const auto* ids = seg.payload_index().query_exact("c", PayloadValue::of_int(1));
  ASSERT_NE(ids, nullptr);
  EXPECT_EQ(ids->count(7), 1u);
  EXPECT_TRUE(seg.deleted().empty());
}

TEST(SnapshotMetadataRecord, Is109BytesAndTheCoverageExtensionIsOptional) {
  SnapshotMetadata m;
  m.created_at_ms = 123;
  m.hnsw.metric = DistanceMetric::Euclidean;
  m.hnsw.m = 4;
  m.hnsw.m0 = 8;
  m.hnsw.max_neighbors_l0 = 8;
  m.hnsw.ef_construction = 10;
  m.hnsw.ef_insert = 10;
  m.hnsw.max_level = 2;
  m.hnsw.level_scale = 0.5;
  m.hnsw.dim = 2;
  m.hnsw.exact_fallback_threshold = 256;
  m.points = 1;
  m.payloads = 1;
  std::vector<uint8_t> out;
  {
    utils::Encoder enc(out);
    encode(enc, m);
  }
  ASSERT_EQ(out.size(), 109u);
  EXPECT_EQ(out, metadata_record(123));

  m.wal_coverage = WalCoverage{48, 0x0123456789ABCDEF, 2};
  std::vector<uint8_t> ext;
  {
    utils::Encoder enc(ext);
    encode(enc, m);
  }
  Bytes want;
  want.append(metadata_record(123)).u8(2).u64(48).u64(0x0123456789ABCDEF).u64(2);
  EXPECT_EQ(ext, want.b);

  SnapshotMetadata back;
  utils::Decoder dec(ext);
  ASSERT_TRUE(decode(dec, back).ok());
  EXPECT_EQ(back, m);
  // A reader of the first 109 bytes alone gets the base record.
  utils::Decoder base(std::span<const uint8_t>(ext.data(), 109));
  ASSERT_TRUE(decode(base, back).ok());
  EXPECT_FALSE(back.wal_coverage.has_value());
  EXPECT_EQ(back.points, 1u);
  // Foreign trailing bytes are not mistaken for an extension, and neither
  // is the earlier Adler-32 form (tag 1), even with bytes after it.
  std::vector<uint8_t> foreign = metadata_record(5);
  foreign.resize(109 + 25, 0);
  utils::Decoder f(foreign);
  ASSERT_TRUE(decode(f, back).ok());
  EXPECT_FALSE(back.wal_coverage.has_value());
  Bytes older;
  older.append(metadata_record(5)).u8(1).u64(48).u32(0xDEADBEEF).u64(2).u32(0);
  utils::Decoder o(older.b);
  ASSERT_TRUE(decode(o, back).ok());
  EXPECT_FALSE(back.wal_coverage.has_value());
}

TEST(SegmentSnapshotRecord, RoundTripsEveryField) {
  SegmentSnapshot s;
  const std::vector<uint8_t> index_bytes = index_record(true).b;
  utils::Decoder idx(index_bytes);
  ASSERT_TRUE(vector::hnsw::decode(idx, s.hnsw).ok());
  Payload p;
  p.fields.emplace("tag", PayloadValue::of_str("x"));
  p.fields.emplace("l", PayloadValue::of_list_int({1, 2}));
  s.payload_index.insert(7, p);
  s.payloads.emplace(7, p);
  s.deleted = {3, 4};
  s.next_id = 99;
  std::vector<uint8_t> bytes;
  {
    utils::Encoder enc(bytes);
    encode(enc, s);
  }
  bytes.push_back(0xAB);  // ignored trailing byte
  SegmentSnapshot back;
  utils::Decoder dec(bytes);
  ASSERT_TRUE(decode(dec, back).ok());
  EXPECT_EQ(back.payload_index, s.payload_index);
  EXPECT_EQ(back.payloads, s.payloads);
  EXPECT_EQ(back.deleted, s.deleted);
  EXPECT_EQ(back.next_id, 99u);
  EXPECT_EQ(back.hnsw.vectors.keys, s.hnsw.vectors.keys);

  // Hand-written body decodes; the older layout only as the older record.
  const std::vector<uint8_t> body = body_record(true);
  SegmentSnapshot hand;
  utils::Decoder d2(body);
  ASSERT_TRUE(decode(d2, hand).ok());
  EXPECT_EQ(d2.remaining(), 0u);
  EXPECT_EQ(hand.next_id, 8u);
  const std::vector<uint8_t> old = body_record(false);
  SegmentSnapshotV1 v1;
  utils::Decoder d3(old);
  ASSERT_TRUE(decode(d3, v1).ok());
  EXPECT_EQ(d3.remaining(), 0u);
  const SegmentSnapshot up = upgrade(std::move(v1));
  EXPECT_EQ(up.hnsw.m0, 8u);
  EXPECT_EQ(up.payloads, hand.payloads);
}

TEST(WalCoverageOf, CountsCompleteFramesOnly) {
  Bytes log;
  log.raw("VDBW").u32(1);
  log.u32(12).u32(1).u64(5).u32(0);  // a Delete frame (checksum not inspected)
  auto full = wal_coverage_of(log.b);
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->length, 28u);
  EXPECT_EQ(full->records, 1u);
  EXPECT_EQ(full->digest, utils::digest64(log.b));
  Bytes torn = log;
  torn.u32(12).u32(1).u64(6);  // checksum missing
  auto part = wal_coverage_of(torn.b);
  ASSERT_TRUE(part.has_value());
  EXPECT_EQ(*part, *full);
  EXPECT_FALSE(wal_coverage_of(std::vector<uint8_t>{'V', 'D', 'B'}).has_value());
  EXPECT_FALSE(wal_coverage_of(Bytes().raw("XXXX").u32(1).b).has_value());
}

TEST(DebugQuote, QuotesLikeADebugString) {
  EXPECT_EQ(debug_quote("/tmp/a.snap"), "\"/tmp/a.snap\"");
  EXPECT_EQ(debug_quote("a\"b\\c\nd\te"), "\"a\\\"b\\\\c\\nd\\te\"");
  EXPECT_EQ(debug_quote(std::string("x\x01y", 3)), "\"x\\u{1}y\"");
  EXPECT_EQ(debug_quote("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
  EXPECT_EQ(debug_quote("a\xFF"), "\"a\\xFF\"");
}

// --- files ------------------------------------------------------------------

using SegmentFiles = TempDir;

TEST_F(SegmentFiles, HandWrittenVersion3FileLoadsAndSavesToTheSameBytes) {
  const std::string p = path("seg.snap");
  const std::vector<uint8_t> file = version3_file(body_record(true), metadata_record(123));
  write_file(p, file);
  auto loaded = Segment::load_from_path(p);
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  expect_point_seven(*loaded.value());

  const std::string q = path("again.snap");
  ASSERT_TRUE(loaded.value()->persist_snapshot(q).ok());
  std::vector<uint8_t> saved = read_file(q);
  ASSERT_EQ(saved.size(), file.size());
  // Everything but the save time and hence the footer checksum is identical.
  const size_t created_at = 8 + body_record(true).size();
  std::vector<uint8_t> expect(file.begin(), file.end() - 4);
  std::copy(saved.begin() + created_at, saved.begin() + created_at + 8, expect.begin() + created_at);
  EXPECT_EQ(std::vector<uint8_t>(saved.begin(), saved.end() - 4), expect);
  EXPECT_EQ(reference_adler(std::vector<uint8_t>(saved.begin(), saved.end() - 8)),
            static_cast<uint32_t>(saved[saved.size() - 4] | saved[saved.size() - 3] << 8 |
                                  saved[saved.size() - 2] << 16 | saved[saved.size() - 1] << 24));
  EXPECT_FALSE(std::filesystem::exists(path("again.tmp")));
}

TEST_F(SegmentFiles, OlderShapesLoad) {
  const std::string p = path("old.snap");
  Bytes v2;
  v2.raw("VDBS").u32(2).append(body_record(true));
  write_file(p, with_footer(v2.b));
  auto a = Segment::load_from_path(p);
  ASSERT_TRUE(a.ok()) << a.error().to_string();
  expect_point_seven(*a.value());

  write_file(p, body_record(true));  // bare current body, no footer
  auto b = Segment::load_from_path(p);
  ASSERT_TRUE(b.ok()) << b.error().to_string();
  expect_point_seven(*b.value());

  write_file(p, with_footer(body_record(false)));  // bare older body
  auto c = Segment::load_from_path(p);
  ASSERT_TRUE(c.ok()) << c.error().to_string();
  expect_point_seven(*c.value());
  EXPECT_EQ(c.value()->index().m0(), 8u);
  EXPECT_EQ(c.value()->index().max_neighbors_l0(), 8u);

  // A version-3 file with a foreign trailer (version 2) still loads.
  Bytes odd;
  odd.raw("VDBS").u32(3).append(body_record(true)).append(metadata_record(1));
  odd.u32(109).u32(2).raw("VDBM");
  write_file(p, with_footer(odd.b));
  auto d = Segment::load_from_path(p);
  ASSERT_TRUE(d.ok()) << d.error().to_string();
  expect_point_seven(*d.value());
}

TEST_F(SegmentFiles, DamagedFilesFailWithTheirErrors) {
  const std::string p = path("bad.snap");
  auto load_error = [&](const std::vector<uint8_t>& bytes) {
    write_file(p, bytes);
    auto r = Segment::load_from_path(p);
    return r.ok() ? std::string("ok") : r.error().to_string();
  };
  std::vector<uint8_t> file = version3_file(body_record(true), metadata_record(1));
  file[20] ^= 1;
  EXPECT_EQ(load_error(file), "Serialization error: segment snapshot checksum mismatch");

  Bytes v4;
  v4.raw("VDBS").u32(4).append(body_record(true));
  EXPECT_EQ(load_error(with_footer(v4.b)),
            "Serialization error: unsupported segment snapshot version 4");

  // A bare body that fits neither layout reports the older layout's error.
  std::vector<uint8_t> cut = body_record(true);
  cut.resize(cut.size() - 3);
  SegmentSnapshotV1 older;
  utils::Decoder as_older(cut);
  auto older_error = decode(as_older, older);
  ASSERT_FALSE(older_error.ok());
  EXPECT_EQ(load_error(cut), older_error.error().to_string());
  EXPECT_EQ(load_error(cut), "Serialization error: invalid u8 while decoding bool, expected 0 or 1, found 2");
  EXPECT_EQ(load_error(Bytes().raw("VDBF").u32(1).b),
            "Serialization error: io error: unexpected end of file");

  // Dimension 0 with one stored vector (of no values): an index that was
  // never given a vector cannot hold one.
  Bytes zero_dim;
  zero_dim.u64(0).u64(1).u64(5).u64(0).u64(0).u8(0).u32(0).u64(4).u64(8).u64(8).u64(10);
  zero_dim.u64(10).u64(2).f64(0.5).u64(0).u64(0).u64(0).u8(0).u64(256);
  zero_dim.u64(0).u64(0).u64(0).u64(0);
  Bytes v3;
  v3.raw("VDBS").u32(2).append(zero_dim.b);
  EXPECT_EQ(load_error(with_footer(v3.b)),
            "Serialization error: index snapshot has dimension 0 but stores vectors");

  auto missing = Segment::load_from_path(path("nope.snap"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), utils::DBErrorKind::Io);
  EXPECT_NE(missing.error().to_string().find("No such file or directory"), std::string::npos);
}

TEST_F(SegmentFiles, PersistedSegmentLoadsBackWithEverythingItHolds) {
  Segment seg(DistanceMetric::Cosine, 8, 40, 6, 3);
  for (uint64_t id = 1; id <= 200; ++id) {
    std::optional<Payload> p;
    if (id % 3 == 0) {
      p.emplace();
      p->fields.emplace("kind", PayloadValue::of_str(id % 2 ? "odd" : "even"));
      p->fields.emplace("score", PayloadValue::of_float(static_cast<double>(id) / 7.0));
    }
    const float f = static_cast<float>(id);
    ASSERT_TRUE(seg.insert_with_id_internal(id * 10, {f, 1.0f / f, 1.0f}, std::move(p), false).ok());
  }
  ASSERT_TRUE(seg.delete_internal(30, false).ok());
  ASSERT_TRUE(seg.delete_internal(40, false).ok());
  const std::string p = path("full.snap");
  ASSERT_TRUE(seg.persist_snapshot(p).ok());

  auto loaded = Segment::load_from_path(p);
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  const Segment& back = *loaded.value();
  EXPECT_EQ(back.payloads(), seg.payloads());
  EXPECT_EQ(back.payload_index(), seg.payload_index());
  EXPECT_EQ(back.deleted(), seg.deleted());
  EXPECT_EQ(back.next_id(), 2001u);
  EXPECT_EQ(back.index().len(), 200u);
  EXPECT_EQ(back.index().deleted_count(), 2u);
  const SegmentSnapshot a = seg.build_snapshot();
  const SegmentSnapshot b = back.build_snapshot();
  EXPECT_EQ(a.hnsw.entry_point_id, b.hnsw.entry_point_id);
  EXPECT_EQ(a.hnsw.vectors.values.size(), b.hnsw.vectors.values.size());
  for (uint64_t id = 10; id <= 2000; id += 10) {
    auto va = seg.index().get_vector(id);
    auto vb = back.index().get_vector(id);
    ASSERT_EQ(va.has_value(), vb.has_value()) << id;
    if (va) {
      EXPECT_TRUE(std::equal(va->begin(), va->end(), vb->begin())) << id;
    }
  }

  // The metadata trailer describes the saved segment.
  const std::vector<uint8_t> file = read_file(p);
  const size_t m_at = file.size() - 8 - 12 - 109;
  SnapshotMetadata meta;
  utils::Decoder dec(std::span<const uint8_t>(file.data() + m_at, 109));
  ASSERT_TRUE(decode(dec, meta).ok());
  EXPECT_EQ(meta.points, 200u);
  EXPECT_EQ(meta.payloads, seg.payloads().size());
  EXPECT_EQ(meta.hnsw, vector::hnsw::HnswConfigSummary::of(seg.index()));
  EXPECT_GT(meta.created_at_ms, 1600000000000u);
}

TEST_F(SegmentFiles, FailedSaveLeavesThePreviousFile) {
  Segment seg(DistanceMetric::Dot, 4, 10, 2, 2);
  ASSERT_TRUE(seg.insert_with_id_internal(1, {1, 2}, std::nullopt, false).ok());
  const std::string p = path("keep.snap");
  ASSERT_TRUE(seg.persist_snapshot(p).ok());
  const std::vector<uint8_t> before = read_file(p);
  std::filesystem::create_directory(path("keep.tmp"));  // the temporary cannot be opened
  ASSERT_TRUE(seg.insert_with_id_internal(2, {3, 4}, std::nullopt, false).ok());
  auto st = seg.persist_snapshot(p);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), utils::DBErrorKind::Io);
  EXPECT_EQ(read_file(p), before);
}

}  // namespace
}  // namespace dovadure::segment
