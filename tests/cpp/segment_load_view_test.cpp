// Loading builds the index straight from the file buffer and hands the buffer
// back as it goes; the result must be the saved index, and the segment must
// say whether log records changed it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "index_image.hpp"
#include "segment/segment.hpp"
#include "segment/wal.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/snapshot.hpp"

namespace dovadure::segment {
namespace {

using utils::DistanceMetric;
using vector::hnsw::HNSWIndex;
using vector::hnsw::HnswSnapshot;
using vector::hnsw::image;

class SegmentLoadView : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/h10_loadview_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    snap_ = dir_ + "/seg.snap";
    wal_ = dir_ + "/seg.wal";
    unsetenv("DOROVOZU_WAL_AUTO_REPLAY");
    setenv("DOROVOZU_WAL_FSYNC", "0", 1);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    unsetenv("DOROVOZU_WAL_FSYNC");
  }

  std::unique_ptr<Segment> load(SegmentAccess access) {
    auto r = Segment::load_from_path(snap_, access);
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return r.ok() ? std::move(r.value()) : nullptr;
  }

  std::string dir_, snap_, wal_;
};

// Enough nodes and dimensions (about 6 MB of vectors) for the loader to hand
// file pages back in the middle of the build; dimension 301 is odd, which
// leaves every later field of the record only 4-byte aligned.
std::unique_ptr<HNSWIndex> large_index() {
  std::mt19937_64 rng(7);
  std::normal_distribution<float> gauss;
  HnswSnapshot s;
  s.metric = DistanceMetric::Cosine;
  s.m = 8;
  s.ef_construction = 64;
  s.ef_insert = 64;
  s.max_level = 5;
  s.level_scale = 0.48;
  s.dim = 301;
  const size_t n = 5000;
  std::vector<float> v(s.dim);
  std::vector<uint64_t> level(n);
  for (size_t i = 0; i < n; ++i) {
    for (float& f : v) f = gauss(rng);
    s.vectors.append(1000 + i, v);
    level[i] = rng() % 8 == 0 ? 1 : 0;
    s.levels.push_back({1000 + i, level[i]});
    if (i % 97 == 0) s.deleted.push_back(1000 + i);
  }
  for (uint64_t l = 0; l <= 1; ++l) {
    vector::hnsw::SnapshotLayer layer;
    layer.layer = l;
    for (size_t i = 0; i < n; ++i) {
      if (level[i] < l) continue;
      std::vector<uint64_t> list{1000 + i};
      for (int k = 0; k < (l == 0 ? 16 : 8); ++k) list.push_back(1000 + rng() % n);
      layer.lists.append(1000 + i, list);
    }
    s.layers.push_back(std::move(layer));
  }
  s.entry_point_id = 1001;
  s.entry_level = 1;
  auto built = HNSWIndex::from_snapshot(std::move(s));
  EXPECT_TRUE(built.ok());
  return std::move(built).value();
}

TEST_F(SegmentLoadView, LoadedIndexIsTheSavedOneAndCanBeTakenWhole) {
  std::unique_ptr<HNSWIndex> original = large_index();
  const auto expected = image(*original);
  {
    Segment seg(std::move(original), payload_storage::PayloadIndex(), PayloadMap(), DeletedSet(),
                6000);
    ASSERT_TRUE(seg.persist_snapshot(snap_).ok());
  }
  auto seg = load(SegmentAccess::ReadOnly);
  ASSERT_NE(seg, nullptr);
  EXPECT_TRUE(image(seg->index()) == expected);
  EXPECT_EQ(seg->replayed_records(), 0u);
  EXPECT_TRUE(vector::hnsw::rebuilds_identically(seg->index()));
  // What the module would otherwise build by copying through the record.
  auto copy = HNSWIndex::from_snapshot(seg->index().to_snapshot());
  ASSERT_TRUE(copy.ok());
  EXPECT_TRUE(image(*copy.value()) == expected);

  std::unique_ptr<HNSWIndex> taken = Segment::take_index(std::move(seg));
  ASSERT_NE(taken, nullptr);
  EXPECT_TRUE(image(*taken) == expected);
}

TEST_F(SegmentLoadView, ReplayedRecordsAreCountedAndHeldOnesAreNot) {
  {
    Segment seg(DistanceMetric::Euclidean, 4, 20, 3, 2);
    ASSERT_TRUE(seg.insert_with_id_internal(1, {1, 1}, std::nullopt, false).ok());
    ASSERT_TRUE(seg.persist_snapshot(snap_).ok());
  }
  auto no_log = load(SegmentAccess::ReadOnly);
  ASSERT_NE(no_log, nullptr);
  EXPECT_EQ(no_log->replayed_records(), 0u);

  {
    auto writer = load(SegmentAccess::Writer);  // no log yet: no writer either
    ASSERT_NE(writer, nullptr);
    WalWriterConfig c;
    c.path = wal_;
    c.fsync = false;
    auto w = WalWriter::open(c);
    ASSERT_TRUE(w.ok());
    writer->attach_wal_writer(std::move(w.value()));
    ASSERT_TRUE(writer->insert_with_id_internal(2, {2, 2}, std::nullopt, true).ok());
    ASSERT_TRUE(writer->delete_internal(1, true).ok());
  }
  auto replayed = load(SegmentAccess::ReadOnly);
  ASSERT_NE(replayed, nullptr);
  EXPECT_EQ(replayed->replayed_records(), 2u);
  EXPECT_EQ(replayed->index().len(), 2u);

  setenv("DOROVOZU_WAL_AUTO_REPLAY", "false", 1);
  auto skipped = load(SegmentAccess::ReadOnly);
  ASSERT_NE(skipped, nullptr);
  EXPECT_EQ(skipped->replayed_records(), 0u);
  unsetenv("DOROVOZU_WAL_AUTO_REPLAY");

  // A snapshot saved beside the log holds its records: none are replayed.
  {
    auto writer = load(SegmentAccess::Writer);
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(writer->persist_snapshot(snap_).ok());
  }
  auto held = load(SegmentAccess::ReadOnly);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->replayed_records(), 0u);
  EXPECT_EQ(held->index().len(), 2u);
}

}  // namespace
}  // namespace dovadure::segment
