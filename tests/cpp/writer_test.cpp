// The segment writer through its C++ surface: a session's whole life, with
// refusals in between, and what a fresh load then holds.
#include "segment/writer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace dovadure::segment {
namespace {

using Kind = WriteError::Kind;
using utils::Payload;
using utils::PayloadValue;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/writer_test_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

PointRows rows_from(size_t n, float base, std::optional<std::vector<uint64_t>> ids = std::nullopt) {
  PointRows rows;
  rows.rows = n;
  rows.dim = 3;
  rows.vectors.resize(n * 3);
  for (size_t i = 0; i < n; ++i) {
    rows.vectors[i * 3] = base + static_cast<float>(i);
    rows.vectors[i * 3 + 1] = 1.0f;
    rows.vectors[i * 3 + 2] = -static_cast<float>(i);
  }
  rows.ids = std::move(ids);
  return rows;
}

Payload tag(int64_t v) {
  Payload p;
  p.fields.emplace("tag", PayloadValue::of_int(v));
  return p;
}

TEST(SegmentWriter, SessionRefusesWholeBatchesAndReloadsWhatItAcknowledged) {
  TempDir dir;
  const std::string path = dir.file("s.snap");
  BuildSettings settings;
  settings.path = path;
  settings.m = 4;
  settings.ef_construction = 16;
  settings.threads = 2;
  PointRows initial = rows_from(40, 0.0f);
  initial.payloads.assign(40, std::nullopt);
  initial.payloads[5] = tag(5);
  ASSERT_FALSE(build_segment(settings, std::move(initial)));
  auto again = build_segment(settings, rows_from(1, 0.0f));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->kind, Kind::Exists);

  WriteError error;
  auto writer = SegmentWriter::open(path, std::chrono::milliseconds(0), error);
  ASSERT_TRUE(writer) << error.message;
  EXPECT_EQ(writer->live_points(), 40u);
  WriteError second;
  EXPECT_FALSE(SegmentWriter::open(path, std::chrono::milliseconds(0), second));
  EXPECT_EQ(second.kind, Kind::Locked);

  SegmentWriter::DeleteCounts deleted;
  const std::vector<uint64_t> gone = {7, 8, 1000};
  ASSERT_FALSE(writer->remove(gone, deleted));
  EXPECT_EQ(deleted.deleted, 2u);
  EXPECT_EQ(deleted.absent, 1u);

  const std::string snap_before = bytes_of(path);
  const std::string wal_before = bytes_of(dir.file("s.wal"));
  SegmentWriter::UpsertCounts counts;
  // A new point first, then a refused one: nothing of the batch is applied.
  auto refused = writer->upsert(rows_from(2, 100.0f, std::vector<uint64_t>{500, 3}), counts);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind, Kind::Refused);
  EXPECT_EQ(refused->id, 3u);
  refused = writer->upsert(rows_from(2, 100.0f, std::vector<uint64_t>{501, 7}), counts);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->message.find("deleted point"), std::string::npos);
  PointRows bad = rows_from(2, 100.0f);
  bad.vectors[4] = std::numeric_limits<float>::quiet_NaN();
  refused = writer->upsert(std::move(bad), counts);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->message, "vector 1 holds a non-finite value");
  EXPECT_EQ(writer->set_payload(7, tag(1))->kind, Kind::NotFound);
  EXPECT_EQ(bytes_of(path), snap_before);
  EXPECT_EQ(bytes_of(dir.file("s.wal")), wal_before);

  // New ids follow the largest; the same vector under an existing id takes
  // the new payload.
  PointRows fresh = rows_from(2, 100.0f);
  ASSERT_FALSE(writer->upsert(std::move(fresh), counts));
  EXPECT_EQ(counts.ids, (std::vector<uint64_t>{40, 41}));
  PointRows same = rows_from(1, 0.0f, std::vector<uint64_t>{0});
  same.payloads = {tag(9)};
  ASSERT_FALSE(writer->upsert(std::move(same), counts));
  EXPECT_EQ(counts.updated, 1u);
  SegmentWriter::CompactCounts compacted;
  ASSERT_FALSE(writer->compact(true, compacted));
  EXPECT_EQ(compacted.purged, 2u);
  // Appends after a compaction land in the emptied log and replay.
  ASSERT_FALSE(writer->upsert(rows_from(1, 50.0f, std::vector<uint64_t>{7}), counts));
  ASSERT_FALSE(writer->set_payload(5, Payload()));
  EXPECT_EQ(writer->live_points(), 41u);
  writer.reset();

  auto loaded = Segment::load_from_path(path, SegmentAccess::ReadOnly);
  ASSERT_TRUE(loaded.ok());
  const Segment& seg = *loaded.value();
  EXPECT_TRUE(seg.is_live(7));
  EXPECT_FALSE(seg.is_live(8));
  EXPECT_TRUE(seg.is_live(41));
  EXPECT_EQ(seg.payloads().at(0), tag(9));
  EXPECT_TRUE(seg.payloads().at(5).fields.empty());
  const auto stored = seg.index().get_vector(7);
  ASSERT_TRUE(stored);
  EXPECT_EQ(std::vector<float>(stored->begin(), stored->end()), (std::vector<float>{50.0f, 1.0f, 0.0f}));
}

}  // namespace
}  // namespace dovadure::segment
