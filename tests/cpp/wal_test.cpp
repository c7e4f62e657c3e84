#include "segment/wal.hpp"

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "utils/adler32.hpp"

namespace dovadure::segment {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using utils::DBErrorKind;
using utils::Payload;
using utils::PayloadValue;
using utils::Status;

class WalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dovadure_wal_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "seg.wal").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  Bytes read_file() const {
    std::ifstream in(path_, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  void write_file(const Bytes& b) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  WalWriter open_writer(const ReplayOutcome& outcome = ReplayOutcome(), bool fsync = false) const {
    WalWriterConfig config;
    config.path = path_;
    config.fsync = fsync;
    auto w = WalWriter::open(config, outcome);
    EXPECT_TRUE(w.ok());
    return std::move(w).value();
  }
  utils::Result<ReplayOutcome> replay(std::vector<WalRecord>& out) const {
    out.clear();
    return WalReader::replay(path_, [&](WalRecord&& r) {
      out.push_back(std::move(r));
      return Status();
    });
  }

  fs::path dir_;
  std::string path_;
};

void put_u32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_u64(Bytes& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put_frame(Bytes& file, const Bytes& record) {
  put_u32(file, static_cast<uint32_t>(record.size()));
  file.insert(file.end(), record.begin(), record.end());
  put_u32(file, utils::adler32(record));
}

Payload one_field(const std::string& name, PayloadValue v) {
  Payload p;
  p.fields.emplace(name, std::move(v));
  return p;
}

// A log of three records laid out by hand from the format tables.
Bytes golden_log() {
  Bytes file = {'V', 'D', 'B', 'W', 1, 0, 0, 0};
  Bytes insert;
  put_u32(insert, 0);       // Insert
  put_u64(insert, 7);       // point id
  put_u64(insert, 3);       // three floats
  put_u32(insert, 0x3F800000);  // 1.0
  put_u32(insert, 0x40000000);  // 2.0
  put_u32(insert, 0xC0400000);  // -3.0
  insert.push_back(0);      // no payload
  put_frame(file, insert);
  Bytes del;
  put_u32(del, 1);
  put_u64(del, 7);
  put_frame(file, del);
  Bytes update;
  put_u32(update, 2);
  put_u64(update, 9);
  put_u64(update, 1);          // one field
  put_u64(update, 1);
  update.push_back('k');
  put_u32(update, 3);          // Bool
  update.push_back(1);
  put_frame(file, update);
  return file;
}

std::vector<WalRecord> golden_records() {
  return {WalRecord::insert(7, {1.0f, 2.0f, -3.0f}, std::nullopt), WalRecord::remove(7),
          WalRecord::update_payload(9, one_field("k", PayloadValue::of_bool(true)))};
}

TEST_F(WalTest, GoldenLogReplaysAndWriterProducesTheSameBytes) {
  write_file(golden_log());
  std::vector<WalRecord> got;
  auto outcome = replay(got);
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(got, golden_records());
  EXPECT_EQ(outcome.value().records_applied, 3u);
  EXPECT_EQ(outcome.value().valid_end, golden_log().size());
  EXPECT_FALSE(outcome.value().torn);

  fs::remove(path_);
  WalWriter w = open_writer();
  for (const WalRecord& r : golden_records()) ASSERT_TRUE(w.append(r).ok());
  EXPECT_EQ(read_file(), golden_log());
}

TEST_F(WalTest, RecordSizes) {
  EXPECT_EQ(WalRecord::remove(1).encoded_len(), 12u);
  EXPECT_EQ(WalRecord::insert(1, {1, 2, 3}, std::nullopt).encoded_len(), 33u);
  EXPECT_EQ(WalRecord::update_payload(1, Payload()).encoded_len(), 20u);
  const Payload p = one_field("ab", PayloadValue::of_int(5));  // 8 + 2 + 12
  EXPECT_EQ(WalRecord::insert(1, {1, 2, 3}, p).encoded_len(), 29u + 12 + 22);
  WalWriter w = open_writer();
  ASSERT_TRUE(w.append(WalRecord::remove(1)).ok());
  EXPECT_EQ(read_file().size(), 8u + 20u);
  ASSERT_TRUE(w.append(WalRecord::insert(1, {1, 2, 3}, std::nullopt)).ok());
  EXPECT_EQ(read_file().size(), 8u + 20u + 41u);
}

TEST_F(WalTest, RoundTripOfEveryRecordShape) {
  Payload rich;
  rich.fields.emplace("i", PayloadValue::of_int(-1));
  rich.fields.emplace("f", PayloadValue::of_float(std::nan("")));
  rich.fields.emplace("s", PayloadValue::of_str("ü"));
  rich.fields.emplace("l", PayloadValue::of_list_str({"a", ""}));
  rich.fields.emplace("b", PayloadValue::of_list_bool({true, false}));
  const std::vector<WalRecord> records = {
      WalRecord::insert(1, {}, std::nullopt),
      WalRecord::insert(UINT64_MAX, std::vector<float>(5000, 0.25f), rich),
      WalRecord::remove(0), WalRecord::update_payload(3, rich), WalRecord::update_payload(4, {})};
  WalWriter w = open_writer();
  for (const WalRecord& r : records) ASSERT_TRUE(w.append(r).ok());
  std::vector<WalRecord> got;
  ASSERT_TRUE(replay(got).ok());
  EXPECT_EQ(got, records);
}

TEST_F(WalTest, HeaderHandling) {
  std::vector<WalRecord> got;
  // Missing file: nothing, success, nothing created.
  auto missing = replay(got);
  ASSERT_TRUE(missing.ok());
  EXPECT_FALSE(missing.value().file_found);
  EXPECT_FALSE(fs::exists(path_));

  // An empty file gets exactly the header.
  write_file({});
  auto empty = replay(got);
  ASSERT_TRUE(empty.ok());
  EXPECT_FALSE(empty.value().torn);
  { WalWriter w = open_writer(empty.value()); }
  EXPECT_EQ(read_file(), (Bytes{'V', 'D', 'B', 'W', 1, 0, 0, 0}));

  // A non-empty file is left alone by open, even with a foreign header.
  write_file({'N', 'O', 'P', 'E', 1, 0, 0, 0});
  { WalWriter w = open_writer(); }
  EXPECT_EQ(read_file().size(), 8u);
  auto bad_magic = replay(got);
  ASSERT_FALSE(bad_magic.ok());
  EXPECT_EQ(bad_magic.error().to_string(), "WAL corruption: missing WAL header");

  write_file({'V', 'D', 'B', 'W', 2, 0, 0, 0});
  auto bad_version = replay(got);
  ASSERT_FALSE(bad_version.ok());
  EXPECT_EQ(bad_version.error().to_string(), "WAL corruption: unsupported WAL version 2");
}

TEST_F(WalTest, TornLastFrameAtEveryByteIsSkipped) {
  const Bytes full = golden_log();
  const size_t last_frame = full.size() - (8 + 34);  // UpdatePayload record is 34 bytes
  for (size_t cut = last_frame; cut < full.size(); ++cut) {
    write_file(Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(cut)));
    std::vector<WalRecord> got;
    auto outcome = replay(got);
    ASSERT_TRUE(outcome.ok()) << cut << ": " << outcome.error().to_string();
    EXPECT_EQ(got.size(), 2u) << cut;
    EXPECT_EQ(outcome.value().valid_end, last_frame) << cut;
    EXPECT_EQ(outcome.value().torn, cut > last_frame) << cut;
    EXPECT_EQ(read_file().size(), cut) << "replay must not modify the file";
  }
}

TEST_F(WalTest, AppendAfterTornFrameCutsItFirstSoLaterRecordsReplay) {
  const Bytes full = golden_log();
  write_file(Bytes(full.begin(), full.end() - 1));
  std::vector<WalRecord> got;
  auto outcome = replay(got);
  ASSERT_TRUE(outcome.ok());
  ASSERT_TRUE(outcome.value().torn);
  WalWriter w = open_writer(outcome.value(), /*fsync=*/true);
  EXPECT_EQ(read_file().size(), full.size() - 1) << "opening must not change the file";
  ASSERT_TRUE(w.append(WalRecord::remove(99)).ok());
  ASSERT_TRUE(w.append(WalRecord::remove(100)).ok());
  auto again = replay(got);
  ASSERT_TRUE(again.ok()) << again.error().to_string();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[2], WalRecord::remove(99));
  EXPECT_EQ(got[3], WalRecord::remove(100));
  EXPECT_FALSE(again.value().torn);
}

TEST_F(WalTest, TornHeaderIsRewrittenAtFirstAppend) {
  write_file({'V', 'D', 'B'});
  std::vector<WalRecord> got;
  auto outcome = replay(got);
  ASSERT_TRUE(outcome.ok());
  EXPECT_TRUE(outcome.value().torn);
  EXPECT_EQ(outcome.value().valid_end, 0u);
  WalWriter w = open_writer(outcome.value());
  EXPECT_EQ(read_file().size(), 3u);
  ASSERT_TRUE(w.append(WalRecord::remove(5)).ok());
  ASSERT_TRUE(replay(got).ok());
  EXPECT_EQ(got, std::vector<WalRecord>{WalRecord::remove(5)});
}

TEST_F(WalTest, FlippedByteInMiddleFrameIsChecksumMismatch) {
  Bytes file = golden_log();
  file[8 + 4 + 10] ^= 0x01;  // inside the first record
  write_file(file);
  std::vector<WalRecord> got;
  auto outcome = replay(got);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().kind(), DBErrorKind::WalCorruption);
  EXPECT_EQ(outcome.error().to_string(), "WAL corruption: checksum mismatch");
  EXPECT_TRUE(got.empty());
}

TEST_F(WalTest, DamagedLengthFieldIsCorruptionNotATornTail) {
  Bytes file = golden_log();
  // First frame's length now claims more than the file holds.
  file[8 + 1] = 0x7F;
  write_file(file);
  std::vector<WalRecord> got;
  auto outcome = replay(got);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().kind(), DBErrorKind::WalCorruption);
  EXPECT_EQ(outcome.error().to_string(),
            "WAL corruption: incomplete frame at byte offset 8 is followed by a complete frame "
            "at byte offset 49");
  // A length that points into the following frames is caught the same way.
  file = golden_log();
  file[8] = 45;  // 33 -> 45: runs 12 bytes into the Delete frame
  write_file(file);
  outcome = replay(got);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().kind(), DBErrorKind::WalCorruption);
  // Nothing was cut: the bytes are still there for repair.
  EXPECT_EQ(read_file(), file);
}

TEST_F(WalTest, UndecodableRecordAndApplyFailuresStopReplay) {
  Bytes file = {'V', 'D', 'B', 'W', 1, 0, 0, 0};
  Bytes bad;
  put_u32(bad, 3);
  put_u64(bad, 1);
  put_frame(file, bad);
  write_file(file);
  std::vector<WalRecord> got;
  auto outcome = replay(got);
  ASSERT_FALSE(outcome.ok());
  EXPECT_EQ(outcome.error().to_string(),
            "Serialization error: invalid value: integer `3`, expected variant index 0 <= i < 3");

  write_file(golden_log());
  int applied = 0;
  auto failing = WalReader::replay(path_, [&](WalRecord&&) -> Status {
    if (++applied == 2) return utils::DBError::not_found(9);
    return Status();
  });
  ASSERT_FALSE(failing.ok());
  EXPECT_EQ(failing.error().to_string(), "Point with ID 9 not found");
  EXPECT_EQ(applied, 2);
}

TEST_F(WalTest, SyncPolicy) {
  WalWriterConfig config;
  config.path = path_;
  config.fsync = true;
  config.fsync_every = 1;
  config.fsync_interval = std::chrono::nanoseconds(0);
  {
    auto w = WalWriter::open(config);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.value().sync_count(), 1u);  // the new header
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.value().append(WalRecord::remove(1)).ok());
    EXPECT_EQ(w.value().sync_count(), 4u);
  }
  config.fsync_every = 100;
  config.fsync_interval = std::chrono::hours(1);
  {
    auto w = WalWriter::open(config);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(w.value().sync_count(), 0u);  // header already there
    for (int i = 0; i < 99; ++i) ASSERT_TRUE(w.value().append(WalRecord::remove(1)).ok());
    EXPECT_EQ(w.value().sync_count(), 0u);
    EXPECT_EQ(w.value().pending_appends(), 99u);
    ASSERT_TRUE(w.value().append(WalRecord::remove(1)).ok());
    EXPECT_EQ(w.value().sync_count(), 1u);
    EXPECT_EQ(w.value().pending_appends(), 0u);
  }
  config.fsync_interval = std::chrono::milliseconds(1);
  {
    auto w = WalWriter::open(config);
    ASSERT_TRUE(w.ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(w.value().append(WalRecord::remove(1)).ok());
    EXPECT_EQ(w.value().sync_count(), 1u);
  }
  config.fsync = false;
  config.fsync_every = 1;
  config.fsync_interval = std::chrono::nanoseconds(0);
  fs::remove(path_);
  {
    auto w = WalWriter::open(config);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w.value().append(WalRecord::remove(1)).ok());
    ASSERT_TRUE(w.value().truncate().ok());
    EXPECT_EQ(w.value().sync_count(), 0u);
  }
}

TEST_F(WalTest, TruncateLeavesJustTheHeader) {
  WalWriter w = open_writer();
  ASSERT_TRUE(w.append(WalRecord::remove(1)).ok());
  ASSERT_TRUE(w.truncate().ok());
  EXPECT_EQ(read_file(), (Bytes{'V', 'D', 'B', 'W', 1, 0, 0, 0}));
  std::vector<WalRecord> got;
  ASSERT_TRUE(replay(got).ok());
  EXPECT_TRUE(got.empty());
  ASSERT_TRUE(w.append(WalRecord::remove(2)).ok());
  ASSERT_TRUE(replay(got).ok());
  EXPECT_EQ(got, std::vector<WalRecord>{WalRecord::remove(2)});
}

TEST_F(WalTest, OpenFailureIsAnIoError) {
  WalWriterConfig config;
  config.path = (dir_ / "missing" / "seg.wal").string();
  auto w = WalWriter::open(config);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().to_string(), "I/O error: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace dovadure::segment
