// Collections: the manifest's byte format and its damage, rotation of the
// active segment, whole-batch refusals across segments, and kill -9 at
// random moments of a writer that keeps crossing segment boundaries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "segment/collection_writer.hpp"
#include "segment/manifest.hpp"
#include "utils/adler32.hpp"

namespace dovadure::segment {
namespace {

using Kind = WriteError::Kind;
using utils::Payload;
using utils::PayloadValue;
namespace fs = std::filesystem;

constexpr auto kNoWait = std::chrono::milliseconds(0);

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/collection_test_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::map<std::string, std::string> all_files(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out[e.path().filename()] = bytes_of(e.path());
  return out;
}

std::vector<float> vec_of(uint64_t id) {
  return {static_cast<float>(id) * 0.5f, 1.0f + static_cast<float>(id % 7), -static_cast<float>(id % 13)};
}

Payload tag(int64_t v) {
  Payload p;
  p.fields.emplace("tag", PayloadValue::of_int(v));
  return p;
}

PointRows rows_for(const std::vector<uint64_t>& ids, bool with_ids = true, float shift = 0.0f) {
  PointRows rows;
  rows.rows = ids.size();
  rows.dim = 3;
  for (uint64_t id : ids) {
    for (float v : vec_of(id)) rows.vectors.push_back(v + shift);
  }
  if (with_ids) rows.ids = ids;
  return rows;
}

CollectionSettings small_settings() {
  CollectionSettings s;
  s.dim = 3;
  s.m = 4;
  s.ef_construction = 16;
  s.max_level = 4;
  return s;
}

struct Seen {
  size_t copies = 0;
  std::vector<float> vector;
  std::optional<Payload> payload;
};

// Every live point of every listed segment, read independently of the
// writer's own bookkeeping.
std::map<uint64_t, Seen> scan(const std::string& dir) {
  std::map<uint64_t, Seen> out;
  auto manifest = read_manifest(dir);
  EXPECT_TRUE(manifest.ok()) << (manifest.ok() ? "" : manifest.error().to_string());
  if (!manifest.ok()) return out;
  for (const ManifestEntry& e : manifest.value().segments) {
    auto loaded = Segment::load_from_path(dir + "/" + e.snapshot, SegmentAccess::ReadOnly);
    EXPECT_TRUE(loaded.ok()) << e.snapshot << ": " << (loaded.ok() ? "" : loaded.error().to_string());
    if (!loaded.ok()) continue;
    const Segment& seg = *loaded.value();
    const auto& index = seg.index();
    for (size_t i = 0; i < index.len(); ++i) {
      const uint64_t id = index.point_id(static_cast<vector::hnsw::NodeIdx>(i));
      if (!seg.is_live(id)) continue;
      Seen& s = out[id];
      ++s.copies;
      auto v = index.get_vector(id);
      if (v) s.vector.assign(v->begin(), v->end());
      auto p = seg.payloads().find(id);
      if (p != seg.payloads().end()) s.payload = p->second;
    }
  }
  return out;
}

void expect_shape(const Manifest& m, size_t segments) {
  ASSERT_EQ(m.segments.size(), segments);
  for (size_t i = 0; i < segments; ++i) EXPECT_EQ(m.segments[i].sealed, i + 1 < segments) << i;
}

// ------------------------------------------------------------- manifest

Manifest sample_manifest() {
  Manifest m;
  m.generation = 7;
  m.next_segment = 3;
  m.dim = 128;
  m.metric = utils::DistanceMetric::Cosine;
  m.m = 12;
  m.ef_construction = 100;
  m.max_level = 9;
  m.segments = {{segment_file_name(0), true}, {segment_file_name(1), true}, {segment_file_name(2), false}};
  return m;
}

// Rewrites the footer of a manifest image so that the damage under test is
// not merely a checksum mismatch.
std::string resigned(std::string file) {
  const size_t content = file.size() - 8;
  const uint32_t sum = utils::adler32(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(file.data()), content));
  std::memcpy(file.data() + content + 4, &sum, 4);
  return file;
}

std::string read_error(const std::string& dir) {
  auto r = read_manifest(dir);
  if (r.ok()) return "read succeeded";
  EXPECT_EQ(r.error().kind(), utils::DBErrorKind::Serialization) << r.error().to_string();
  return r.error().to_string();
}

TEST(CollectionManifest, RoundTripsAndNamesEveryDamage) {
  TempDir dir;
  EXPECT_EQ(segment_file_name(1), "segment-000001.snap");
  auto missing = read_manifest(dir.path());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), utils::DBErrorKind::Io);

  const Manifest m = sample_manifest();
  ASSERT_TRUE(write_manifest(dir.path(), m).ok());
  auto back = read_manifest(dir.path());
  ASSERT_TRUE(back.ok()) << back.error().to_string();
  EXPECT_EQ(back.value(), m);
  EXPECT_FALSE(fs::exists(dir.file("collection.tmp")));

  const std::string path = dir.file(kManifestName);
  const std::string good = bytes_of(path);
  // Header 68 bytes, three entries of 8 + 19 + 1, footer 8.
  ASSERT_EQ(good.size(), 68u + 3 * 28u + 8u);
  ASSERT_EQ(good.substr(0, 4), "VDCM");

  // Manifests write_manifest must refuse, leaving the file as it was.
  Manifest two_active = m;
  two_active.segments[1].sealed = false;
  Manifest bad_name = m;
  bad_name.segments[0].snapshot = "../escape.snap";
  Manifest reused = m;
  reused.next_segment = 2;
  for (const Manifest* bad : {&two_active, &bad_name, &reused}) {
    EXPECT_FALSE(write_manifest(dir.path(), *bad).ok());
    EXPECT_EQ(bytes_of(path), good);
  }

  auto with = [&](const std::string& bytes) {
    put_bytes(path, bytes);
    return read_error(dir.path());
  };
  std::string b = good;
  b[1] = 'X';
  EXPECT_NE(with(b).find("bad magic"), std::string::npos);
  b = good;
  b[4] = 2;
  EXPECT_NE(with(b).find("unsupported version 2"), std::string::npos);
  b = good;
  b[9] ^= 0x10;  // generation
  EXPECT_NE(with(b).find("checksum mismatch"), std::string::npos);
  EXPECT_NE(with(good.substr(0, good.size() - 3)).find("truncated"), std::string::npos);
  EXPECT_NE(with(good.substr(0, 6)).find("truncated"), std::string::npos);
  b = good;
  b[60 + 7] = 0x10;  // entry count 2^60, correctly signed
  EXPECT_NE(with(resigned(b)).find("entry count"), std::string::npos);
  b = good;
  b[68 + 4] = 0x01;  // first name length 2^32
  EXPECT_NE(with(resigned(b)).find("has a name of"), std::string::npos);
  b = good;
  b[68 + 8 + 7] = '/';  // "segment/00000.snap"
  EXPECT_NE(with(resigned(b)).find("bad file name"), std::string::npos);
  b = good;
  b[68 + 28 + 27] = 0;  // second entry unsealed before the last
  EXPECT_NE(with(resigned(b)).find("more than one active"), std::string::npos);
  b = good;
  b[68 + 27] = 2;
  EXPECT_NE(with(resigned(b)).find("sealed flag 2"), std::string::npos);
  b = good;
  b[32] = 3;  // metric tag
  EXPECT_NE(with(resigned(b)).find("unknown metric"), std::string::npos);
  b = good;
  b[36] = 1;  // m = 1
  EXPECT_NE(with(resigned(b)).find("m 1 is out of range"), std::string::npos);
  b = good;
  b.insert(b.size() - 8, "zz");
  EXPECT_NE(with(resigned(b)).find("stray bytes"), std::string::npos);

  // No prefix and no single flipped bit reads as a manifest.
  for (size_t len = 0; len < good.size(); ++len) {
    put_bytes(path, good.substr(0, len));
    EXPECT_FALSE(read_manifest(dir.path()).ok()) << len;
  }
  for (size_t i = 0; i < good.size(); ++i) {
    b = good;
    b[i] ^= 0x04;
    put_bytes(path, b);
    EXPECT_FALSE(read_manifest(dir.path()).ok()) << i;
  }
  // A damaged manifest stops the writer with its text, never a crash.
  b = good;
  b[9] ^= 0x10;
  put_bytes(path, b);
  WriteError error;
  EXPECT_FALSE(CollectionWriter::open(dir.path(), 10, kNoWait, error));
  EXPECT_EQ(error.kind, Kind::Failed);
  EXPECT_NE(error.message.find("checksum mismatch"), std::string::npos);
}

// ------------------------------------------------------------- rotation

TEST(CollectionWriter, RotatesAcrossBoundariesAndReopensWithEveryPointOnce) {
  TempDir dir;
  const std::string cdir = dir.file("c");
  WriteError error;
  auto w = CollectionWriter::create(cdir, small_settings(), 5, kNoWait, error);
  ASSERT_TRUE(w) << error.message;
  EXPECT_FALSE(CollectionWriter::create(cdir, small_settings(), 5, kNoWait, error));
  EXPECT_EQ(error.kind, Kind::Locked);

  // Twelve new points with assigned ids: 5 + 5 + 2, two boundaries crossed.
  CollectionWriter::UpsertCounts counts;
  ASSERT_FALSE(w->upsert(rows_for({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, false), counts));
  EXPECT_EQ(counts.inserted, 12u);
  EXPECT_EQ(counts.ids, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  expect_shape(w->manifest(), 3);
  EXPECT_EQ(w->manifest().generation, 3u);
  EXPECT_EQ(w->live_points(), 12u);

  // A sealed segment takes its own point's payload update, not the active one.
  PointRows update = rows_for({1, 12});
  update.payloads = {tag(5), std::nullopt};
  ASSERT_FALSE(w->upsert(std::move(update), counts));
  EXPECT_EQ(counts.updated, 1u);
  EXPECT_EQ(counts.inserted, 1u);
  EXPECT_EQ(w->live_points(), 13u);

  CollectionWriter::DeleteCounts deleted;
  const std::vector<uint64_t> gone = {2, 7, 11, 999};
  ASSERT_FALSE(w->remove(gone, deleted));
  EXPECT_EQ(deleted.deleted, 3u);
  EXPECT_EQ(deleted.absent, 1u);
  // A deleted id stays its segment's until purged: refused, not re-inserted elsewhere.
  auto refused = w->upsert(rows_for({7}), counts);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind, Kind::Refused);
  CollectionWriter::CompactCounts compacted;
  ASSERT_FALSE(w->compact(true, compacted));
  EXPECT_EQ(compacted.purged, 3u);
  EXPECT_EQ(compacted.segments, 3u);
  ASSERT_FALSE(w->upsert(rows_for({7}), counts));
  EXPECT_EQ(counts.inserted, 1u);
  const Manifest before_close = w->manifest();
  w.reset();

  // Leftovers of an interrupted rotation and save; a stranger's file stays.
  put_bytes(cdir + "/segment-000009.snap", "orphan");
  put_bytes(cdir + "/segment-000009.wal", "orphan");
  put_bytes(cdir + "/segment-000001.tmp", "half a save");
  put_bytes(cdir + "/collection.tmp", "half a manifest");
  put_bytes(cdir + "/notes.txt", "mine");
  w = CollectionWriter::open(cdir, 5, kNoWait, error);
  ASSERT_TRUE(w) << error.message;
  EXPECT_FALSE(fs::exists(cdir + "/segment-000009.snap"));
  EXPECT_FALSE(fs::exists(cdir + "/segment-000009.wal"));
  EXPECT_FALSE(fs::exists(cdir + "/segment-000001.tmp"));
  EXPECT_FALSE(fs::exists(cdir + "/collection.tmp"));
  EXPECT_TRUE(fs::exists(cdir + "/notes.txt"));
  EXPECT_EQ(w->manifest(), before_close);
  EXPECT_EQ(w->live_points(), 11u);
  // New ids go above the largest the collection ever held (12), purged ones included.
  ASSERT_FALSE(w->upsert(rows_for({13}, false), counts));
  EXPECT_EQ(counts.ids, (std::vector<uint64_t>{13}));
  w.reset();

  const auto seen = scan(cdir);
  const std::set<uint64_t> expected = {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13};
  ASSERT_EQ(seen.size(), expected.size());
  for (uint64_t id : expected) {
    auto it = seen.find(id);
    ASSERT_NE(it, seen.end()) << id;
    EXPECT_EQ(it->second.copies, 1u) << id;
    EXPECT_EQ(it->second.vector, vec_of(id)) << id;
  }
  EXPECT_EQ(seen.at(1).payload, tag(5));
  // The active segment took 10, 12, 7 and 13: still below its limit of 5.
  auto m = read_manifest(cdir);
  ASSERT_TRUE(m.ok());
  expect_shape(m.value(), 3);
}

TEST(CollectionWriter, RefusedBatchSpanningSegmentsChangesNoFile) {
  TempDir dir;
  const std::string cdir = dir.file("c");
  std::vector<uint64_t> ids(30);
  for (uint64_t i = 0; i < 30; ++i) ids[i] = i;
  ASSERT_FALSE(build_collection(cdir, small_settings(), rows_for(ids), 10, 2, false, kNoWait));
  auto again = build_collection(cdir, small_settings(), rows_for({1}), 10, 1, false, kNoWait);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->kind, Kind::Exists);

  WriteError error;
  auto w = CollectionWriter::open(cdir, 10, kNoWait, error);
  ASSERT_TRUE(w) << error.message;
  expect_shape(w->manifest(), 3);
  EXPECT_EQ(w->live_points(), 30u);
  CollectionWriter::DeleteCounts deleted;
  const std::vector<uint64_t> gone = {25};
  ASSERT_FALSE(w->remove(gone, deleted));

  const auto files = all_files(cdir);
  CollectionWriter::UpsertCounts counts;
  // The active segment is full, so the new ids would start a rotation; the
  // valid update in the first segment comes before the refusal in the second.
  PointRows batch = rows_for({500, 501, 3, 15});
  for (size_t k = 0; k < 3; ++k) batch.vectors[3 * 3 + k] += 1.0f;
  batch.payloads = {tag(1), tag(1), tag(2), tag(3)};
  auto refused = w->upsert(std::move(batch), counts);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind, Kind::Refused);
  EXPECT_EQ(refused->id, 15u);
  PointRows with_deleted = rows_for({502, 3, 25});
  with_deleted.payloads = {std::nullopt, tag(2), std::nullopt};
  refused = w->upsert(std::move(with_deleted), counts);
  ASSERT_TRUE(refused);
  EXPECT_NE(refused->message.find("deleted point"), std::string::npos);
  PointRows wide;
  wide.rows = 1;
  wide.dim = 4;
  wide.vectors = {1, 2, 3, 4};
  refused = w->upsert(std::move(wide), counts);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->kind, Kind::DimensionMismatch);
  EXPECT_EQ(all_files(cdir), files);
  EXPECT_EQ(w->live_points(), 29u);
  w.reset();
  const auto seen = scan(cdir);
  EXPECT_EQ(seen.size(), 29u);
  EXPECT_FALSE(seen.contains(500));
  EXPECT_FALSE(seen.at(3).payload.has_value());

  // Overwrite: new numbers, old files gone once the new manifest is in.
  ASSERT_FALSE(build_collection(cdir, small_settings(), rows_for({100, 101, 102}), 2, 1, true, kNoWait));
  auto m = read_manifest(cdir);
  ASSERT_TRUE(m.ok());
  expect_shape(m.value(), 2);
  EXPECT_EQ(m.value().segments[0].snapshot, segment_file_name(3));
  EXPECT_FALSE(fs::exists(cdir + "/" + segment_file_name(0)));
  EXPECT_EQ(scan(cdir).size(), 3u);
}

// ---------------------------------------------------------------- crash

constexpr size_t kCrashSegmentPoints = 16;
constexpr uint64_t kRefusedBase = 1'000'000'000;

// One operation as the child announces it before the call.
struct Pending {
  char kind = 0;  // 'U' upsert, 'D' delete, 'C' compact, 'R' refused upsert
  int64_t tag = 0;
  std::vector<uint64_t> ids;
};

Pending parse_pending(const std::string& line) {
  std::istringstream in(line);
  std::string p;
  Pending out;
  in >> p >> out.kind >> out.tag;
  uint64_t id;
  while (in >> id) out.ids.push_back(id);
  return out;
}

void write_line(int fd, const std::string& line) {
  // Below PIPE_BUF, so a line arrives whole or not at all.
  (void)!::write(fd, line.data(), line.size());
}

[[noreturn]] void child_fail(int fd, const std::string& what) {
  write_line(fd, "X " + what + "\n");
  _exit(2);
}

// Random work against the collection, announcing each call ("P ...") and
// acknowledging it ("A") once it returned success (or the refusal expected).
[[noreturn]] void crash_child(int fd, const std::string& dir, std::map<uint64_t, int64_t> live, uint64_t next_new,
                              int64_t next_tag, uint64_t seed) {
  ::setenv("DOROVOZU_WAL_FSYNC", "0", 1);
  WriteError error;
  auto w = CollectionWriter::open(dir, kCrashSegmentPoints, std::chrono::milliseconds(2000), error);
  if (!w) child_fail(fd, "open: " + error.message);
  write_line(fd, "O\n");
  std::mt19937_64 rng(seed);
  uint64_t refused_next = kRefusedBase + seed * 1000;
  for (;;) {
    const int64_t t = next_tag++;
    const unsigned dice = static_cast<unsigned>(rng() % 100);
    std::vector<uint64_t> live_ids;
    live_ids.reserve(live.size());
    for (const auto& [id, tg] : live) live_ids.push_back(id);
    auto pick = [&](size_t n) {
      std::set<uint64_t> out;
      for (size_t i = 0; i < n && !live_ids.empty(); ++i) out.insert(live_ids[rng() % live_ids.size()]);
      return std::vector<uint64_t>(out.begin(), out.end());
    };
    std::ostringstream line;
    if (dice < 45 || live.empty()) {
      // New points, some updates of existing ones (wherever they live).
      std::vector<uint64_t> ids;
      const size_t fresh = 1 + rng() % 24;
      for (size_t i = 0; i < fresh; ++i) ids.push_back(next_new++);
      for (uint64_t id : pick(live.size() > 500 ? 0 : rng() % 4)) ids.push_back(id);
      line << "P U " << t;
      for (uint64_t id : ids) line << ' ' << id;
      write_line(fd, line.str() + "\n");
      PointRows rows = rows_for(ids);
      rows.payloads.assign(ids.size(), tag(t));
      CollectionWriter::UpsertCounts counts;
      if (auto bad = w->upsert(std::move(rows), counts)) child_fail(fd, "upsert: " + bad->message);
      for (uint64_t id : ids) live[id] = t;
    } else if (dice < 70) {
      std::vector<uint64_t> ids = pick(live.size() > 400 ? 24 : 1 + rng() % 5);
      line << "P D " << t;
      for (uint64_t id : ids) line << ' ' << id;
      write_line(fd, line.str() + "\n");
      CollectionWriter::DeleteCounts counts;
      if (auto bad = w->remove(ids, counts)) child_fail(fd, "remove: " + bad->message);
      if (counts.deleted != ids.size()) child_fail(fd, "remove missed live points");
      for (uint64_t id : ids) live.erase(id);
    } else if (dice < 85) {
      // Valid new points and updates, then a live point under another vector.
      std::vector<uint64_t> ids = {refused_next, refused_next + 1};
      refused_next += 2;
      std::vector<uint64_t> victims = pick(2);
      ids.insert(ids.end(), victims.begin(), victims.end());
      line << "P R " << t;
      for (uint64_t id : ids) line << ' ' << id;
      write_line(fd, line.str() + "\n");
      PointRows rows = rows_for(ids);
      for (size_t k = 0; k < 3; ++k) rows.vectors[(ids.size() - 1) * 3 + k] += 0.25f;
      rows.payloads.assign(ids.size(), tag(t));
      CollectionWriter::UpsertCounts counts;
      auto bad = w->upsert(std::move(rows), counts);
      if (!bad || bad->kind != Kind::Refused) child_fail(fd, "a conflicting batch was not refused");
    } else {
      line << "P C " << t;
      write_line(fd, line.str() + "\n");
      CollectionWriter::CompactCounts counts;
      if (auto bad = w->compact(rng() % 2 == 0, counts)) child_fail(fd, "compact: " + bad->message);
    }
    write_line(fd, "A\n");
  }
}

TEST(CollectionCrash, KilledWriterLeavesEveryAcknowledgedPointExactlyOnce) {
  TempDir dir;
  const std::string cdir = dir.file("c");
  WriteError error;
  ASSERT_TRUE(CollectionWriter::create(cdir, small_settings(), kCrashSegmentPoints, kNoWait, error))
      << error.message;

  std::map<uint64_t, int64_t> live;  // acknowledged state: id -> payload tag
  uint64_t next_new = 0;
  int64_t next_tag = 1;
  std::mt19937_64 rng(20240611);
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  size_t rounds = 0, acked_total = 0, killed_pending = 0;
  while (std::chrono::steady_clock::now() < stop) {
    ++rounds;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const uint64_t seed = rounds;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      crash_child(fds[1], cdir, live, next_new, next_tag, seed);
    }
    ::close(fds[1]);

    // Read lines as they come; kill at a random moment after a random
    // number of acknowledged calls, whatever speed the build runs at.
    std::string buffer;
    bool armed = false;
    const size_t acks_before_kill = rng() % 6;
    const auto started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point kill_at = started + std::chrono::seconds(20);
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= kill_at) break;
      pollfd p{fds[0], POLLIN, 0};
      const int wait_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kill_at - now).count());
      if (::poll(&p, 1, std::max(1, wait_ms)) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) break;  // the child ended on its own: a failure it reported
      buffer.append(chunk, static_cast<size_t>(n));
      size_t acks = 0;
      for (size_t at = buffer.find("A\n"); at != std::string::npos; at = buffer.find("A\n", at + 2)) ++acks;
      if (!armed && buffer.find("O\n") != std::string::npos && acks >= acks_before_kill) {
        armed = true;
        kill_at = std::chrono::steady_clock::now() + std::chrono::microseconds(rng() % 20000);
      }
    }
    ::kill(pid, SIGKILL);
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) buffer.append(chunk, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended on its own: " << buffer.substr(buffer.find('X') == std::string::npos ? 0 : buffer.find('X'));

    // Replay the acknowledged calls onto the model; the last one may be in flight.
    std::optional<Pending> pending;
    std::istringstream lines(buffer);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.empty() || line == "O") continue;
      ASSERT_NE(line[0], 'X') << line;
      if (line[0] == 'P') {
        ASSERT_FALSE(pending) << "announced twice without an acknowledgement";
        pending = parse_pending(line);
        next_tag = std::max(next_tag, pending->tag + 1);
        for (uint64_t id : pending->ids) {
          if (id < kRefusedBase) next_new = std::max(next_new, id + 1);
        }
        continue;
      }
      ASSERT_EQ(line, "A");
      ASSERT_TRUE(pending);
      ++acked_total;
      if (pending->kind == 'U') {
        for (uint64_t id : pending->ids) live[id] = pending->tag;
      } else if (pending->kind == 'D') {
        for (uint64_t id : pending->ids) live.erase(id);
      }
      pending.reset();
    }
    if (pending) ++killed_pending;

    // Independently of the writer: every acknowledged point once, with its
    // vector and its last acknowledged payload; nothing else but what the
    // call in flight may have added.
    const auto seen = scan(cdir);
    std::set<uint64_t> in_flight;
    if (pending && (pending->kind == 'U' || pending->kind == 'D')) {
      in_flight.insert(pending->ids.begin(), pending->ids.end());
    }
    std::map<uint64_t, int64_t> resolved;
    for (const auto& [id, s] : seen) {
      ASSERT_EQ(s.copies, 1u) << "id " << id << " in round " << rounds;
      ASSERT_EQ(s.vector, vec_of(id)) << id;
      ASSERT_LT(id, kRefusedBase) << "a refused point exists, round " << rounds;
      auto known = live.find(id);
      if (known != live.end() && s.payload == tag(known->second)) {
        resolved[id] = known->second;
      } else if (in_flight.contains(id) && pending->kind == 'U' && s.payload == tag(pending->tag)) {
        resolved[id] = pending->tag;
      } else {
        FAIL() << "id " << id << " holds a payload no acknowledged call gave it, round " << rounds;
      }
    }
    for (const auto& [id, tg] : live) {
      if (!seen.contains(id)) {
        ASSERT_TRUE(in_flight.contains(id) && pending->kind == 'D')
            << "acknowledged point " << id << " is lost, round " << rounds;
      }
    }
    live = std::move(resolved);

    // The writer opens it too (removing orphans) and counts the same points.
    auto w = CollectionWriter::open(cdir, kCrashSegmentPoints, kNoWait, error);
    ASSERT_TRUE(w) << error.message;
    EXPECT_EQ(w->live_points(), live.size());
    const Manifest& m = w->manifest();
    for (size_t i = 0; i + 1 < m.segments.size(); ++i) ASSERT_TRUE(m.segments[i].sealed);
    ASSERT_FALSE(m.segments.back().sealed);
    std::set<std::string> listed;
    for (const ManifestEntry& e : m.segments) listed.insert(e.snapshot);
    for (const auto& e : fs::directory_iterator(cdir)) {
      const std::string name = e.path().filename();
      if (name.ends_with(".snap")) {
        EXPECT_TRUE(listed.contains(name)) << "orphan " << name << " survived";
      }
    }
  }
  RecordProperty("rounds", static_cast<int>(rounds));
  std::printf("%zu rounds, %zu acknowledged calls, %zu killed mid-call, %zu live points\n", rounds, acked_total,
              killed_pending, live.size());
  EXPECT_GT(rounds, 5u);
  EXPECT_GT(acked_total, 2 * rounds);
}

}  // namespace
}  // namespace dovadure::segment
