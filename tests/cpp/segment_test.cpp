// Segment mutations: id reuse, purge, replay, memory cap, filter keys.
#include "segment/segment.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "segment/segment_lock.hpp"
#include "utils/log.hpp"

namespace dovadure::segment {
namespace {

using utils::DBErrorKind;
using utils::DistanceMetric;
using utils::Payload;
using utils::PayloadValue;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/segment_test_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<float> vec_for(uint64_t id, size_t dim = 4) {
  std::mt19937 rng(static_cast<uint32_t>(id * 7919 + 1));
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(dim);
  for (float& x : v) x = d(rng);
  return v;
}

std::unique_ptr<Segment> small_segment(size_t points, size_t dim = 4) {
  auto seg = std::make_unique<Segment>(DistanceMetric::Euclidean, 4, 16, 4, dim);
  for (uint64_t id = 0; id < points; ++id) {
    auto r = seg->insert_with_id_internal(id, vec_for(id, dim), std::nullopt, false);
    EXPECT_TRUE(r.ok());
  }
  return seg;
}

Payload payload_of(std::initializer_list<std::pair<const char*, PayloadValue>> fields) {
  Payload p;
  for (const auto& [k, v] : fields) p.fields.emplace(k, v);
  return p;
}

WalWriter open_writer(const std::string& path) {
  WalWriterConfig config;
  config.path = path;
  config.fsync = false;
  auto w = WalWriter::open(config);
  if (!w.ok()) {
    ADD_FAILURE() << w.error().to_string();
    std::abort();
  }
  return std::move(w.value());
}

uint64_t size_of(const std::string& path) { return std::filesystem::file_size(path); }

// Captures log records for the duration of a test.
class LogCapture {
 public:
  LogCapture() {
    utils::set_log_sink(
        [this](utils::LogLevel level, std::string_view target, std::string_view message) {
          std::lock_guard<std::mutex> g(mu_);
          records_.push_back({level, std::string(target), std::string(message)});
        },
        utils::LogLevel::Trace);
  }
  ~LogCapture() { utils::clear_log_sink(); }
  struct Record {
    utils::LogLevel level;
    std::string target;
    std::string message;
  };
  std::vector<Record> take() {
    std::lock_guard<std::mutex> g(mu_);
    return std::move(records_);
  }

 private:
  std::mutex mu_;
  std::vector<Record> records_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() { ::unsetenv(name_); }

 private:
  const char* name_;
};

// ------------------------------------------------------------ insert / delete

TEST(SegmentMutations, DeletedIdCannotBeReinsertedUntilPurge) {
  auto seg = small_segment(10);
  ASSERT_TRUE(seg->delete_internal(7, false).ok());
  auto again = seg->insert_with_id_internal(7, vec_for(7), std::nullopt, false);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().to_string(), "Point with ID 7 already exists");
  // Still refused while only tombstoned, also for a live caller.
  EXPECT_EQ(seg->insert_with_id_internal(7, vec_for(7), std::nullopt, true).error().kind(),
            DBErrorKind::AlreadyExists);

  ASSERT_TRUE(seg->purge().ok());
  EXPECT_TRUE(seg->deleted().empty());
  EXPECT_EQ(seg->index().len(), 9u);
  ASSERT_TRUE(seg->insert_with_id_internal(7, vec_for(8), std::nullopt, false).ok());
  EXPECT_EQ(seg->index().len(), 10u);
  EXPECT_TRUE(seg->is_live(7));
}

TEST(SegmentMutations, DeletingUnknownOrDeletedIdsChangesNothing) {
  auto seg = small_segment(3);
  ASSERT_TRUE(seg->delete_internal(99, true).ok());
  EXPECT_TRUE(seg->deleted().empty());
  ASSERT_TRUE(seg->delete_internal(1, true).ok());
  ASSERT_TRUE(seg->delete_internal(1, true).ok());
  EXPECT_EQ(seg->deleted().size(), 1u);
  EXPECT_EQ(seg->index().deleted_count(), 1u);
}

TEST(SegmentMutations, PayloadsFollowInsertUpdateAndDelete) {
  auto seg = small_segment(0);
  Payload red = payload_of({{"color", PayloadValue::of_str("red")}});
  Payload blue = payload_of({{"color", PayloadValue::of_str("blue")}});
  ASSERT_TRUE(seg->insert_with_id_internal(1, vec_for(1), red, false).ok());
  ASSERT_TRUE(seg->insert_with_id_internal(2, vec_for(2), red, false).ok());
  ASSERT_TRUE(seg->update_payload_internal(2, blue, false).ok());
  const auto* reds = seg->payload_index().query_exact("color", PayloadValue::of_str("red"));
  ASSERT_NE(reds, nullptr);
  EXPECT_EQ(*reds, (std::unordered_set<uint64_t>{1}));
  ASSERT_TRUE(seg->delete_internal(1, false).ok());
  EXPECT_EQ(seg->payload_index().query_exact("color", PayloadValue::of_str("red")), nullptr);
  EXPECT_FALSE(seg->payloads().contains(1));

  auto missing = seg->update_payload_internal(1, blue, false);
  EXPECT_EQ(missing.error().to_string(), "Point with ID 1 not found");
  EXPECT_EQ(seg->update_payload_internal(42, blue, false).error().kind(), DBErrorKind::NotFound);
}

TEST(SegmentMutations, NextIdGrowsAndSaturates) {
  auto seg = small_segment(0);
  ASSERT_TRUE(seg->insert_with_id_internal(10, vec_for(10), std::nullopt, false).ok());
  ASSERT_TRUE(seg->insert_with_id_internal(3, vec_for(3), std::nullopt, false).ok());
  EXPECT_EQ(seg->next_id(), 11u);
  ASSERT_TRUE(seg->insert_with_id_internal(UINT64_MAX, vec_for(5), std::nullopt, false).ok());
  EXPECT_EQ(seg->next_id(), UINT64_MAX);
}

// ------------------------------------------------------------------ purge

struct PurgeCase {
  size_t points;
  size_t deletions;
  bool purges;
};

TEST(SegmentPurge, TriggerNeedsHundredDeletionsAndAQuarter) {
  ScopedEnv on("DOROVOZU_PURGE_DELETIONS", "1");
  for (const PurgeCase& c : {PurgeCase{100, 99, false}, PurgeCase{400, 100, true},
                             PurgeCase{401, 100, false}}) {
    SCOPED_TRACE(std::to_string(c.deletions) + "/" + std::to_string(c.points));
    auto seg = small_segment(c.points);
    LogCapture capture;
    for (uint64_t id = 0; id < c.deletions; ++id) ASSERT_TRUE(seg->delete_internal(id, false).ok());
    auto records = capture.take();
    EXPECT_EQ(seg->purge_count(), c.purges ? 1u : 0u);
    if (c.purges) {
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].message, "[DELETE] Triggering purge: 100/400 (25.00%) deleted");
      EXPECT_EQ(records[0].target, "segment");
      EXPECT_EQ(records[0].level, utils::LogLevel::Info);
      EXPECT_TRUE(seg->deleted().empty());
      EXPECT_EQ(seg->index().len(), 300u);
    } else {
      EXPECT_TRUE(records.empty());
      EXPECT_EQ(seg->deleted().size(), c.deletions);
    }
  }
}

TEST(SegmentPurge, NoTriggerWhenSwitchedOff) {
  for (const char* value : {static_cast<const char*>(nullptr), "0", "FALSE"}) {
    ScopedEnv off("DOROVOZU_PURGE_DELETIONS", value);
    auto seg = small_segment(400);
    for (uint64_t id = 0; id < 200; ++id) ASSERT_TRUE(seg->delete_internal(id, false).ok());
    EXPECT_EQ(seg->purge_count(), 0u);
  }
}

TEST(SegmentPurge, KeepsNodeOrderPayloadsAndNextId) {
  auto seg = small_segment(0);
  for (uint64_t id : {50, 10, 40, 20, 30}) {
    Payload p = payload_of({{"n", PayloadValue::of_int(static_cast<int64_t>(id))}});
    ASSERT_TRUE(seg->insert_with_id_internal(id, vec_for(id), p, false).ok());
  }
  ASSERT_TRUE(seg->delete_internal(10, false).ok());
  ASSERT_TRUE(seg->delete_internal(20, false).ok());
  ASSERT_TRUE(seg->purge().ok());
  std::vector<uint64_t> order;
  for (size_t i = 0; i < seg->index().len(); ++i) order.push_back(seg->index().point_id(static_cast<uint32_t>(i)));
  EXPECT_EQ(order, (std::vector<uint64_t>{50, 40, 30}));
  EXPECT_EQ(seg->next_id(), 51u);
  EXPECT_EQ(seg->payloads().size(), 3u);
  EXPECT_NE(seg->payload_index().query_exact("n", PayloadValue::of_int(40)), nullptr);
  EXPECT_EQ(seg->payload_index().query_exact("n", PayloadValue::of_int(10)), nullptr);
  // Stored vectors survive the rebuild unchanged.
  auto v = seg->index().get_vector(40);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(std::vector<float>(v->begin(), v->end()), vec_for(40));
}

// ------------------------------------------------------------------ logging

TEST(SegmentLog, LiveMutationsAppendReplayableRecordsOnly) {
  TempDir dir;
  const std::string snap = dir.file("seg.snap");
  auto seg = small_segment(2);
  ASSERT_TRUE(seg->persist_snapshot(snap).ok());
  seg->attach_wal_writer(open_writer(dir.file("seg.wal")));
  const uint64_t header_only = size_of(dir.file("seg.wal"));
  EXPECT_EQ(header_only, 8u);

  // Failures known before the append leave the log untouched.
  auto wrong_dim = seg->insert_with_id_internal(5, {1.0f, 2.0f, 3.0f}, std::nullopt, true);
  EXPECT_EQ(wrong_dim.error().to_string(), "Vector length mismatch: expected 4, got 3");
  Payload bad = payload_of({{"s", PayloadValue::of_str(std::string("\xff\xfe", 2))}});
  EXPECT_EQ(seg->insert_with_id_internal(6, vec_for(6), bad, true).error().kind(),
            DBErrorKind::InvalidPayload);
  EXPECT_EQ(seg->update_payload_internal(0, bad, true).error().kind(), DBErrorKind::InvalidPayload);
  EXPECT_EQ(seg->insert_with_id_internal(0, vec_for(0), std::nullopt, true).error().kind(),
            DBErrorKind::AlreadyExists);
  EXPECT_EQ(size_of(dir.file("seg.wal")), header_only);

  Payload good = payload_of({{"k", PayloadValue::of_bool(true)}});
  ASSERT_TRUE(seg->insert_with_id_internal(7, vec_for(7), good, true).ok());
  ASSERT_TRUE(seg->update_payload_internal(0, good, true).ok());
  ASSERT_TRUE(seg->delete_internal(1, true).ok());
  ASSERT_TRUE(seg->delete_internal(1, true).ok());  // a no-op appends nothing
  seg.reset();

  auto loaded = Segment::load_from_path(snap, SegmentAccess::ReadOnly);
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  const Segment& back = *loaded.value();
  EXPECT_TRUE(back.is_live(7));
  EXPECT_TRUE(back.is_live(0));
  EXPECT_FALSE(back.is_live(1));
  EXPECT_EQ(back.payloads().at(0), good);
  EXPECT_EQ(back.next_id(), 8u);
}

TEST(SegmentLog, ReplayOfRecordsAlreadyInTheSnapshotIsANoOp) {
  TempDir dir;
  const std::string snap = dir.file("seg.snap");
  auto seg = small_segment(0);
  seg->attach_wal_writer(open_writer(dir.file("seg.wal")));
  Payload p = payload_of({{"k", PayloadValue::of_int(1)}});
  ASSERT_TRUE(seg->insert_with_id_internal(1, vec_for(1), p, true).ok());
  ASSERT_TRUE(seg->insert_with_id_internal(2, vec_for(2), std::nullopt, true).ok());
  // Saved beside a different log name, so the snapshot claims no coverage.
  seg->detach_wal_writer();
  ASSERT_TRUE(seg->persist_snapshot(snap).ok());
  auto loaded = Segment::load_from_path(snap, SegmentAccess::ReadOnly);
  ASSERT_TRUE(loaded.ok()) << loaded.error().to_string();
  EXPECT_EQ(loaded.value()->index().len(), 2u);
  EXPECT_EQ(loaded.value()->payloads().size(), 1u);
}

TEST(SegmentLog, PayloadUpdateOfDeletedIdFailsTheLoad) {
  TempDir dir;
  const std::string snap = dir.file("seg.snap");
  auto seg = small_segment(1);
  ASSERT_TRUE(seg->persist_snapshot(snap).ok());
  {
    WalWriter w = open_writer(dir.file("seg.wal"));
    ASSERT_TRUE(w.append(WalRecord::insert(5, vec_for(5), std::nullopt)).ok());
    ASSERT_TRUE(w.append(WalRecord::remove(5)).ok());
    ASSERT_TRUE(w.append(WalRecord::update_payload(5, Payload{})).ok());
  }
  auto loaded = Segment::load_from_path(snap, SegmentAccess::ReadOnly);
  ASSERT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error().to_string(), "Point with ID 5 not found");
}

TEST(SegmentLog, ApplyWalRecordOutcomes) {
  auto seg = small_segment(2);
  EXPECT_TRUE(seg->apply_wal_record(WalRecord::insert(1, vec_for(9), std::nullopt)).ok());
  EXPECT_EQ(seg->index().len(), 2u);
  auto wrong = seg->apply_wal_record(WalRecord::insert(3, {1.0f}, std::nullopt));
  EXPECT_EQ(wrong.error().kind(), DBErrorKind::DimensionMismatch);
  EXPECT_TRUE(seg->apply_wal_record(WalRecord::remove(77)).ok());
  EXPECT_EQ(seg->apply_wal_record(WalRecord::update_payload(77, Payload{})).error().kind(),
            DBErrorKind::NotFound);
}

TEST(SegmentPurge, RebuildFlagIsReleasedAfterEachPurge) {
  // A flag left set would refuse the second purge.
  auto seg = small_segment(5);
  ASSERT_TRUE(seg->purge().ok());
  ASSERT_TRUE(seg->purge().ok());
  EXPECT_EQ(seg->purge_count(), 2u);
}

// ------------------------------------------------------------- filter keys

TEST(SegmentFilterKeys, EdgesSwitchIsReadAtEveryCall) {
  {
    ScopedEnv e("DOROVOZU_FILTER_EDGES", nullptr);
    EXPECT_FALSE(Segment::filter_edges_enabled());
  }
  for (const char* off : {"0", "false", "FaLsE"}) {
    ScopedEnv e("DOROVOZU_FILTER_EDGES", off);
    EXPECT_FALSE(Segment::filter_edges_enabled()) << off;
  }
  for (const char* on : {"1", "no", ""}) {
    ScopedEnv e("DOROVOZU_FILTER_EDGES", on);
    EXPECT_TRUE(Segment::filter_edges_enabled()) << on;
  }
}

// The key configuration is cached per process: each case runs in a fresh
// process (threadsafe death tests re-execute the binary).
int keys_exit_code(const std::vector<std::string>& expected) {
  Payload p = payload_of({{"b", PayloadValue::of_bool(true)},
                          {"a", PayloadValue::of_str("x")},
                          {"z", PayloadValue::of_int(3)},
                          {"c", PayloadValue::of_float(1.5)},
                          {"l", PayloadValue::of_list_int({1, 2})}});
  return Segment::filter_keys_for_payload(p) == expected ? 0 : 1;
}

TEST(SegmentFilterKeys, OrderedByKindThenNameAndCapped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::unsetenv("DOROVOZU_FILTER_KEYS");
        ::unsetenv("DOROVOZU_FILTER_MAX_KEYS");
        std::exit(keys_exit_code({"b", "a", "z", "c"}));
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        ::unsetenv("DOROVOZU_FILTER_KEYS");
        ::setenv("DOROVOZU_FILTER_MAX_KEYS", "2", 1);
        std::exit(keys_exit_code({"b", "a"}));
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        ::setenv("DOROVOZU_FILTER_KEYS", " z ,  c ,, ", 1);
        ::unsetenv("DOROVOZU_FILTER_MAX_KEYS");
        std::exit(keys_exit_code({"z", "c"}));
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        ::unsetenv("DOROVOZU_FILTER_KEYS");
        ::setenv("DOROVOZU_FILTER_MAX_KEYS", "1_0", 1);  // unparsable: no limit
        std::exit(keys_exit_code({"b", "a", "z", "c"}));
      },
      ::testing::ExitedWithCode(0), "");
}

// ------------------------------------------------------------- memory cap

// Runs in a fresh process with a 1 MiB cap, which any test process exceeds.
int memory_cap_scenario(const std::string& dir, bool with_path) {
  ::setenv("DOROVOZU_MAX_RSS_MB", "1", 1);
  const std::string oom = dir + "/oom.snap";
  if (with_path) {
    ::setenv("DOROVOZU_OOM_SNAPSHOT_PATH", ("  " + oom + " ").c_str(), 1);
  } else {
    ::unsetenv("DOROVOZU_OOM_SNAPSHOT_PATH");
  }
  std::vector<std::string> warnings;
  utils::set_log_sink(
      [&](utils::LogLevel level, std::string_view target, std::string_view message) {
        if (level == utils::LogLevel::Warn && target == "segment::memory") warnings.emplace_back(message);
      },
      utils::LogLevel::Trace);

  auto seg = small_segment(20);
  const size_t m0 = seg->index().m0();
  seg->attach_wal_writer(open_writer(dir + "/seg.wal"));
  if (!seg->update_payload_internal(3, payload_of({{"k", PayloadValue::of_int(1)}}), true).ok()) return 10;
  if (size_of(dir + "/seg.wal") <= 8) return 11;

  auto r = seg->insert_with_id_internal(100, vec_for(100), std::nullopt, true);
  if (r.ok() || r.error().kind() != DBErrorKind::MemoryCapExceeded) return 12;
  const std::string text = r.error().to_string();
  if (text.rfind("Memory cap exceeded: rss_bytes=", 0) != 0) return 13;
  if (text.find(" cap_bytes=1048576") == std::string::npos) return 14;

  // Unloaded: empty, settings kept, every later live mutation refused.
  if (!seg->unloaded() || seg->index().len() != 0 || !seg->payloads().empty()) return 15;
  if (seg->index().m0() != m0 || seg->has_wal_writer()) return 16;
  const std::string refused = "Memory cap exceeded: segment unloaded after memory cap exceeded";
  if (seg->insert_with_id_internal(101, vec_for(1), std::nullopt, true).error().to_string() != refused) return 17;
  if (seg->delete_internal(1, true).error().to_string() != refused) return 18;
  if (seg->update_payload_internal(1, Payload{}, true).error().to_string() != refused) return 19;

  if (with_path) {
    if (!warnings.empty()) return 20;
    if (size_of(dir + "/seg.wal") != 8) return 21;  // truncated after the save
    auto back = Segment::load_from_path(oom, SegmentAccess::ReadOnly);
    if (!back.ok() || back.value()->index().len() != 20) return 22;
    if (back.value()->payloads().size() != 1) return 23;
  } else {
    if (warnings != std::vector<std::string>{"memory cap exceeded but DOROVOZU_OOM_SNAPSHOT_PATH is not set"}) return 24;
    if (size_of(dir + "/seg.wal") <= 8) return 25;  // nothing saved, so the log is kept
  }
  utils::clear_log_sink();
  return 0;
}

TEST(SegmentMemoryCap, EmergencySnapshotTruncateAndUnload) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const std::string d = dir.file("");
  EXPECT_EXIT(std::exit(memory_cap_scenario(d.substr(0, d.size() - 1), true)),
              ::testing::ExitedWithCode(0), "");
}

TEST(SegmentMemoryCap, WithoutSnapshotPathWarnsAndUnloads) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const std::string d = dir.file("");
  EXPECT_EXIT(std::exit(memory_cap_scenario(d.substr(0, d.size() - 1), false)),
              ::testing::ExitedWithCode(0), "");
}

// ------------------------------------------------------------ writer lock

TEST(SegmentLockTest, SecondWriterIsRefusedUntilTheFirstLetsGo) {
  TempDir dir;
  const std::string snap = dir.file("seg.snap");
  auto first = SegmentLock::acquire(snap, std::chrono::milliseconds(0));
  ASSERT_TRUE(first.ok()) << first.error().to_string();
  // flock locks belong to the open file description, so a second open in
  // the same process conflicts just as another process would.
  auto second = SegmentLock::acquire(snap, std::chrono::milliseconds(50));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().to_string(), "I/O error: segment " + snap +
                                            " is locked by another writer (lock file " +
                                            dir.file("seg.lock") + ")");
  first.value().reset();
  EXPECT_TRUE(SegmentLock::acquire(snap, std::chrono::milliseconds(0)).ok());
}

}  // namespace
}  // namespace dovadure::segment
