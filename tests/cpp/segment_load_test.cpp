#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "segment/segment_snapshot.hpp"
#include "segment/wal.hpp"
#include "utils/envelope.hpp"
#include "utils/log.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::segment {
namespace {

using utils::DistanceMetric;
using utils::Payload;
using utils::PayloadValue;

std::vector<uint8_t> read_file(const std::string& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string& p, const std::vector<uint8_t>& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Payload payload_of(const std::string& name, int64_t v) {
  Payload p;
  p.fields.emplace(name, PayloadValue::of_int(v));
  return p;
}

class SegmentLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/h6_segload_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    snap_ = dir_ + "/seg.snap";
    wal_ = dir_ + "/seg.wal";
    unsetenv("DOROVOZU_WAL_AUTO_REPLAY");
    unsetenv("DOROVOZU_LOG_SNAPSHOT_LOAD_TIMING");
    setenv("DOROVOZU_WAL_FSYNC", "0", 1);
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    unsetenv("DOROVOZU_WAL_AUTO_REPLAY");
    unsetenv("DOROVOZU_LOG_SNAPSHOT_LOAD_TIMING");
    unsetenv("DOROVOZU_WAL_FSYNC");
  }

  // A saved segment with points 1..3 and no log.
  void save_three() {
    Segment seg(DistanceMetric::Euclidean, 4, 20, 3, 2);
    for (uint64_t id = 1; id <= 3; ++id) {
      const float f = static_cast<float>(id);
      ASSERT_TRUE(seg.insert_with_id_internal(id, {f, -f}, payload_of("n", id), false).ok());
    }
    ASSERT_TRUE(seg.persist_snapshot(snap_).ok());
  }

  WalWriter open_writer() {
    WalWriterConfig c;
    c.path = wal_;
    c.fsync = false;
    auto w = WalWriter::open(c);
    EXPECT_TRUE(w.ok());
    return std::move(w.value());
  }

  std::unique_ptr<Segment> load(SegmentAccess access = SegmentAccess::Writer) {
    auto r = Segment::load_from_path(snap_, access);
    EXPECT_TRUE(r.ok()) << r.error().to_string();
    return r.ok() ? std::move(r.value()) : nullptr;
  }

  std::string dir_, snap_, wal_;
};

TEST_F(SegmentLoad, LogRecordsAreReplayedAndTheWriterKeepsAppending) {
  save_three();
  {
    WalWriter w = open_writer();
    ASSERT_TRUE(w.append(WalRecord::insert(2, {9, 9}, std::nullopt)).ok());  // already held
    ASSERT_TRUE(w.append(WalRecord::insert(4, {4, -4}, payload_of("n", 4))).ok());
    ASSERT_TRUE(w.append(WalRecord::remove(1)).ok());
    ASSERT_TRUE(w.append(WalRecord::update_payload(3, payload_of("n", 30))).ok());
  }
  auto seg = load();
  ASSERT_NE(seg, nullptr);
  EXPECT_EQ(seg->index().len(), 4u);
  EXPECT_EQ((*seg->index().get_vector(2))[0], 2.0f);  // the stored point, not the log's copy
  EXPECT_TRUE(seg->is_live(4));
  EXPECT_FALSE(seg->is_live(1));
  EXPECT_EQ(seg->payloads().at(3).fields.at("n"), PayloadValue::of_int(30));
  EXPECT_EQ(seg->next_id(), 5u);
  ASSERT_TRUE(seg->has_wal_writer());

  const size_t before = read_file(wal_).size();
  ASSERT_TRUE(seg->insert_with_id_internal(5, {5, 5}, std::nullopt, true).ok());
  EXPECT_EQ(read_file(wal_).size(), before + 37);  // 29-byte insert record + 8
  seg.reset();
  auto again = load();
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(again->is_live(5));
}

TEST_F(SegmentLoad, ReplayingInsertsTheSnapshotHoldsChangesNothing) {
  save_three();
  {
    WalWriter w = open_writer();
    for (uint64_t id = 1; id <= 3; ++id) {
      ASSERT_TRUE(w.append(WalRecord::insert(id, {0, 0}, payload_of("n", 100))).ok());
    }
  }
  auto seg = load();
  ASSERT_NE(seg, nullptr);
  auto plain = Segment::load_from_path(snap_, SegmentAccess::ReadOnly);
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(seg->payloads(), plain.value()->payloads());
  EXPECT_EQ(seg->payload_index(), plain.value()->payload_index());
  EXPECT_EQ(seg->index().len(), 3u);
  EXPECT_EQ((*seg->index().get_vector(3))[1], -3.0f);
}

// Read into memory, and mapped.
class SegmentLoadReading : public SegmentLoad,
                           public ::testing::WithParamInterface<SnapshotReading> {};

INSTANTIATE_TEST_SUITE_P(CopyAndMap, SegmentLoadReading,
                         ::testing::Values(SnapshotReading::Copy, SnapshotReading::Map));

TEST_P(SegmentLoadReading, LargeSnapshotLoadsWholeAndItsChecksumStillHolds) {
  // More than a chunk of 4096 rows, and a file of over 4 MiB, which is read
  // (or summed) in two halves at once, each summed on its own.
  constexpr size_t kPoints = 4096 + 50, kDim = 256;
  Segment seg(DistanceMetric::Euclidean, 4, 20, 3, kDim);
  std::vector<float> v(kDim);
  for (uint64_t id = 0; id < kPoints; ++id) {
    for (size_t d = 0; d < kDim; ++d) v[d] = static_cast<float>((id * 31 + d * 7) % 101);
    ASSERT_TRUE(seg.insert_with_id_internal(id, v, std::nullopt, false).ok());
  }
  ASSERT_TRUE(seg.persist_snapshot(snap_).ok());
  auto r = Segment::load_from_path(snap_, SegmentAccess::ReadOnly, GetParam());
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  std::unique_ptr<Segment> loaded = std::move(r.value());
  ASSERT_EQ(loaded->index().len(), kPoints);
  for (uint64_t id = 0; id < kPoints; ++id) {
    const auto want = seg.index().get_vector(id);
    const auto got = loaded->index().get_vector(id);
    ASSERT_TRUE(want && got) << id;
    ASSERT_TRUE(std::equal(want->begin(), want->end(), got->begin(), got->end())) << id;
  }
  loaded.reset();

  const std::vector<uint8_t> intact = read_file(snap_);
  ASSERT_GT(intact.size(), size_t{4} << 20);
  // A flipped bit in either half, and one just before the footer.
  for (size_t at : {intact.size() / 4, intact.size() / 2 + 3, intact.size() - 9}) {
    std::vector<uint8_t> bytes = intact;
    bytes[at] ^= 0x10;
    write_file(snap_, bytes);
    auto damaged = Segment::load_from_path(snap_, SegmentAccess::ReadOnly, GetParam());
    ASSERT_FALSE(damaged.ok()) << at;
    EXPECT_EQ(damaged.error().to_string(), "Serialization error: segment snapshot checksum mismatch")
        << at;
  }
}

TEST_F(SegmentLoad, AutoReplaySwitchHasItsOwnRule) {
  save_three();
  {
    WalWriter w = open_writer();
    ASSERT_TRUE(w.append(WalRecord::remove(2)).ok());
  }
  const std::pair<const char*, bool> cases[] = {
      {"FALSE", false}, {"false", false}, {"0", false},   {"0 ", true}, {" false", true},
      {"no", true},     {"", true},       {"fAlSe", false}, {"1", true},
  };
  for (const auto& [value, replays] : cases) {
    setenv("DOROVOZU_WAL_AUTO_REPLAY", value, 1);
    auto seg = load();
    ASSERT_NE(seg, nullptr);
    EXPECT_EQ(seg->is_live(2), !replays) << '"' << value << '"';
    EXPECT_EQ(seg->has_wal_writer(), replays) << '"' << value << '"';
  }
}

TEST_F(SegmentLoad, LogFileStatesDecideTheWriter) {
  save_three();
  // No log: success, no writer, nothing created.
  auto a = load();
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->has_wal_writer());
  EXPECT_FALSE(std::filesystem::exists(wal_));

  // An empty log: a reader leaves it empty, a writer gives it its header.
  write_file(wal_, {});
  auto r = load(SegmentAccess::ReadOnly);
  ASSERT_NE(r, nullptr);
  EXPECT_FALSE(r->has_wal_writer());
  EXPECT_EQ(std::filesystem::file_size(wal_), 0u);
  auto w = load(SegmentAccess::Writer);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->has_wal_writer());
  EXPECT_EQ(read_file(wal_), (std::vector<uint8_t>{'V', 'D', 'B', 'W', 1, 0, 0, 0}));
}

TEST_F(SegmentLoad, AReaderNeverChangesTheFiles) {
  save_three();
  {
    WalWriter w = open_writer();
    ASSERT_TRUE(w.append(WalRecord::remove(3)).ok());
  }
  std::vector<uint8_t> log = read_file(wal_);
  log.insert(log.end(), {20, 0, 0, 0, 1, 0});  // a torn last frame
  write_file(wal_, log);
  const std::vector<uint8_t> snap_before = read_file(snap_);
  auto seg = load(SegmentAccess::ReadOnly);
  ASSERT_NE(seg, nullptr);
  EXPECT_FALSE(seg->is_live(3));
  EXPECT_FALSE(seg->has_wal_writer());
  seg.reset();
  EXPECT_EQ(read_file(wal_), log);
  EXPECT_EQ(read_file(snap_), snap_before);
}

TEST_F(SegmentLoad, ReplayFailureFailsTheLoad) {
  save_three();
  {
    WalWriter w = open_writer();
    ASSERT_TRUE(w.append(WalRecord::update_payload(99, payload_of("n", 1))).ok());
  }
  auto r = Segment::load_from_path(snap_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "Point with ID 99 not found");

  std::vector<uint8_t> log = read_file(wal_);
  log[0] = 'X';
  write_file(wal_, log);
  auto h = Segment::load_from_path(snap_);
  ASSERT_FALSE(h.ok());
  EXPECT_EQ(h.error().to_string(), "WAL corruption: missing WAL header");
  // With replay off the same files load.
  setenv("DOROVOZU_WAL_AUTO_REPLAY", "false", 1);
  EXPECT_NE(load(), nullptr);
}

// A segment that was never given a vector has dimension 0. It saves and
// loads as an empty collection, through the in-place build and through the
// decoded record alike; it takes no vector afterwards, so its log never holds
// one that would fail the next load; and a dimension-0 record that stores a
// vector is still refused.
TEST_F(SegmentLoad, SegmentOfDimensionZeroLoadsEmpty) {
  {
    Segment empty(DistanceMetric::Cosine, 4, 20, 3, 0);
    ASSERT_TRUE(empty.persist_snapshot(snap_).ok());
  }
  { WalWriter w = open_writer(); }  // an empty log, so the load attaches a writer
  auto seg = load();
  ASSERT_NE(seg, nullptr);
  EXPECT_EQ(seg->index().dim(), 0u);
  EXPECT_EQ(seg->index().len(), 0u);
  EXPECT_EQ(seg->index().metric(), DistanceMetric::Cosine);
  auto copy = vector::hnsw::HNSWIndex::from_snapshot(seg->index().to_snapshot());
  ASSERT_TRUE(copy.ok()) << copy.error().to_string();
  EXPECT_EQ(copy.value()->dim(), 0u);
  EXPECT_EQ(copy.value()->len(), 0u);

  ASSERT_TRUE(seg->has_wal_writer());
  const size_t log_before = read_file(wal_).size();
  auto refused = seg->insert_with_id_internal(1, {}, std::nullopt, true);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), utils::DBErrorKind::DimensionMismatch);
  EXPECT_FALSE(seg->is_live(1));
  EXPECT_EQ(read_file(wal_).size(), log_before);
  seg.reset();
  auto again = load(SegmentAccess::ReadOnly);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->index().len(), 0u);

  SegmentSnapshot body = again->build_snapshot();
  again.reset();
  body.hnsw.vectors.append(1, std::span<const float>());
  body.hnsw.levels.push_back({1, 0});
  ASSERT_TRUE(utils::write_snapshot_file(
                  snap_, [&](utils::Encoder& enc) { encode(enc, body); }, std::nullopt)
                  .ok());
  auto r = Segment::load_from_path(snap_, SegmentAccess::ReadOnly);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "Serialization error: index snapshot has dimension 0 but stores vectors");
}

TEST_F(SegmentLoad, TimingLineOncePerSuccessfulLoad) {
  save_three();
  std::mutex mu;
  std::vector<std::string> records;
  utils::set_log_sink(
      [&](utils::LogLevel level, std::string_view target, std::string_view message) {
        std::lock_guard<std::mutex> g(mu);
        if (level == utils::LogLevel::Info && target == "snapshot") records.emplace_back(message);
      },
      utils::LogLevel::Info);
  setenv("DOROVOZU_LOG_SNAPSHOT_LOAD_TIMING", "TRUE", 1);
  ::testing::internal::CaptureStderr();
  auto seg = load();
  auto failed = Segment::load_from_path(dir_ + "/missing.snap");
  const std::string err = ::testing::internal::GetCapturedStderr();
  utils::clear_log_sink();
  ASSERT_NE(seg, nullptr);
  ASSERT_FALSE(failed.ok());
  const std::regex line(
      "snapshot_load path=\"" + dir_ +
      "/seg\\.snap\" bytes=([0-9]+) read_ms=[0-9]+ checksum_ms=[0-9]+ deserialize_ms=[0-9]+ "
      "build_ms=[0-9]+ wal_replay_ms=0 total_ms=[0-9]+\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(err, m, line)) << err;
  EXPECT_EQ(std::stoull(m[1]), std::filesystem::file_size(snap_));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0] + "\n", err);

  setenv("DOROVOZU_LOG_SNAPSHOT_LOAD_TIMING", "False", 1);
  ::testing::internal::CaptureStderr();
  auto quiet = load();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A save that is not followed by truncating the log (a crash in between)
// must not make the next load replay records the snapshot already holds:
// here that would delete point 7 again and then fail on its payload update.
TEST_F(SegmentLoad, LogHeldBySavedSnapshotIsNotReplayedTwice) {
  {
    Segment seg(DistanceMetric::Euclidean, 4, 20, 3, 2);
    ASSERT_TRUE(seg.persist_snapshot(snap_).ok());
  }
  {
    auto seg = load();
    ASSERT_NE(seg, nullptr);
    write_file(wal_, {});
  }
  auto seg = load();
  ASSERT_NE(seg, nullptr);
  ASSERT_TRUE(seg->has_wal_writer());
  ASSERT_TRUE(seg->insert_with_id_internal(7, {1, 1}, std::nullopt, true).ok());
  ASSERT_TRUE(seg->insert_with_id_internal(8, {2, 2}, std::nullopt, true).ok());
  ASSERT_TRUE(seg->delete_internal(7, true).ok());
  ASSERT_TRUE(seg->purge().ok());
  ASSERT_TRUE(seg->insert_with_id_internal(7, {3, 3}, std::nullopt, true).ok());
  ASSERT_TRUE(seg->update_payload_internal(7, payload_of("v", 2), true).ok());
  ASSERT_TRUE(seg->persist_snapshot(snap_).ok());  // ... and no truncation
  const std::vector<uint8_t> log_at_save = read_file(wal_);
  seg.reset();

  for (SegmentAccess access : {SegmentAccess::ReadOnly, SegmentAccess::Writer}) {
    auto back = load(access);
    ASSERT_NE(back, nullptr);
    EXPECT_TRUE(back->is_live(7));
    EXPECT_TRUE(back->is_live(8));
    EXPECT_EQ((*back->index().get_vector(7))[0], 3.0f);
    EXPECT_EQ(back->payloads().at(7).fields.at("v"), PayloadValue::of_int(2));
    EXPECT_EQ(read_file(wal_), log_at_save);
  }

  // Records appended after the save are still replayed.
  {
    auto w = load();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->delete_internal(8, true).ok());
  }
  auto later = load();
  ASSERT_NE(later, nullptr);
  EXPECT_FALSE(later->is_live(8));
  EXPECT_TRUE(later->is_live(7));

  // Once the log is truncated and refilled, all of it is replayed again.
  {
    auto w = load();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->persist_snapshot(snap_).ok());
    ASSERT_TRUE(w->wal_writer()->truncate().ok());
    ASSERT_TRUE(w->insert_with_id_internal(9, {9, 9}, std::nullopt, true).ok());
  }
  auto fresh = load();
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(fresh->is_live(9));
  EXPECT_TRUE(fresh->is_live(7));
  EXPECT_FALSE(fresh->is_live(8));
}

// A snapshot's coverage names the log it was saved beside. After the log is
// truncated and refilled, a load must replay the new records, also when
// their bytes sum like the covered ones: deletes of 545, 546 and 554, then
// of 544, 548 and 553, give logs of equal length and equal Adler-32.
TEST_F(SegmentLoad, StaleCoverageNeverSkipsTheRecordsOfALaterLog) {
  {
    Segment seg(DistanceMetric::Euclidean, 4, 20, 3, 2);
    ASSERT_TRUE(seg.persist_snapshot(snap_).ok());
  }
  write_file(wal_, {});  // a log to write to
  {
    auto w = load();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->has_wal_writer());
    for (uint64_t id : {544, 545, 546, 548, 553, 554}) {
      ASSERT_TRUE(w->insert_with_id_internal(id, {float(id), 0}, std::nullopt, true).ok());
    }
    ASSERT_TRUE(w->persist_snapshot(snap_).ok());
    ASSERT_TRUE(w->wal_writer()->truncate().ok());
    for (uint64_t id : {545, 546, 554}) ASSERT_TRUE(w->delete_internal(id, true).ok());
    ASSERT_TRUE(w->persist_snapshot(snap_).ok());
    ASSERT_TRUE(w->wal_writer()->truncate().ok());
    for (uint64_t id : {544, 548, 553}) ASSERT_TRUE(w->delete_internal(id, true).ok());
  }
  for (SegmentAccess access : {SegmentAccess::ReadOnly, SegmentAccess::Writer}) {
    auto back = load(access);
    ASSERT_NE(back, nullptr);
    for (uint64_t id : {544, 545, 546, 548, 553, 554}) EXPECT_FALSE(back->is_live(id)) << id;
  }
}

// Whether some mapping of this process begins at `address`.
bool mapping_starts_at(uintptr_t address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (std::stoull(line.substr(0, line.find('-')), nullptr, 16) == address) return true;
  }
  return false;
}

bool huge_pages_enabled() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string line;
  return std::getline(in, line) && line.find("[never]") == std::string::npos;
}

// A load keeps whole chunks of rows in its read buffer and then moves them
// onto huge pages on a thread of its own: the rows must read the same
// before, during and after the move, also once the segment is gone first.
TEST_F(SegmentLoad, KeptRowsReadTheSameWhileMovedOntoHugePages) {
  constexpr size_t kDim = 256;
  constexpr uint64_t kPoints = 4096 + 5;  // one whole chunk of rows, and a few copied
  const auto value = [](uint64_t id, size_t j) {
    return static_cast<float>((id * 31 + j * 7) % 1009) - 500.0f;
  };
  {
    Segment seg(DistanceMetric::Euclidean, 4, 8, 2, kDim);
    std::vector<float> v(kDim);
    for (uint64_t id = 1; id <= kPoints; ++id) {
      for (size_t j = 0; j < kDim; ++j) v[j] = value(id, j);
      ASSERT_TRUE(seg.insert_with_id_internal(id, v, std::nullopt, false).ok());
    }
    ASSERT_TRUE(seg.persist_snapshot(snap_).ok());
  }
  for (int round = 0; round < 2; ++round) {
    auto seg = load(SegmentAccess::ReadOnly);
    ASSERT_NE(seg, nullptr);
    if (round == 1) continue;  // dropped at once, thread or no thread
    const std::span<const std::byte> rows = seg->index().adopted_vector_rows();
    EXPECT_GE(rows.size(), 4096 * kDim * sizeof(float));
    const auto read_all = [&] {
      for (uint64_t id = 1; id <= kPoints; ++id) {
        const auto got = seg->index().get_vector(id);
        ASSERT_TRUE(got.has_value()) << id;
        for (size_t j = 0; j < kDim; j += 17) ASSERT_EQ((*got)[j], value(id, j)) << id;
      }
    };
    for (int pass = 0; pass < 3; ++pass) read_all();
    if (!huge_pages_enabled()) continue;
    // 4 MiB of rows hold at least one whole 2 MiB page; once it has moved it
    // is a mapping of its own, which the read buffer alone never begins at.
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    const uintptr_t first_huge = (reinterpret_cast<uintptr_t>(rows.data()) + kHuge - 1) & ~(kHuge - 1);
    bool moved = false;
    for (int wait = 0; wait < 1000 && !moved; ++wait) {
      read_all();
      moved = mapping_starts_at(first_huge);
      if (!moved) usleep(10'000);
    }
    EXPECT_TRUE(moved);
    read_all();
  }
}

}  // namespace
}  // namespace dovadure::segment
