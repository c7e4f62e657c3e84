#include "utils/atomic_file.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "utils/adler32.hpp"

namespace dovadure::utils {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("dovadure_atomic_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

Bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Status write_text(ChecksumWriter& w, std::string_view text) {
  return w.write_all({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

TEST(SiblingPathTest, ReplacesOrAddsTheExtension) {
  EXPECT_EQ(sibling_path("data.snap", "tmp"), "data.tmp");
  EXPECT_EQ(sibling_path("data", "tmp"), "data.tmp");
  EXPECT_EQ(sibling_path("/a/b.c/seg.snap", "wal"), "/a/b.c/seg.wal");
  EXPECT_EQ(sibling_path("/a/b.c/seg", "wal"), "/a/b.c/seg.wal");
  EXPECT_EQ(sibling_path("x.tar.gz", "tmp"), "x.tar.tmp");
  EXPECT_EQ(sibling_path(".snap", "tmp"), ".snap.tmp");
  EXPECT_EQ(sibling_path("dir/seg.snap/", "tmp"), "dir/seg.tmp");
  EXPECT_EQ(sibling_path("seg.", "tmp"), "seg.tmp");
  // Never the path itself, even without a file name.
  EXPECT_EQ(sibling_path("/", "tmp"), "/.tmp");
  EXPECT_EQ(sibling_path("a/..", "tmp"), "a/../.tmp");
}

TEST(AtomicFileTest, WritesBodyFooterMagicAndChecksum) {
  TempDir dir;
  const std::string path = dir.file("seg.snap");
  ASSERT_TRUE(write_atomic_with_checksum(path, 0x46424456,
                                         [](ChecksumWriter& w) { return write_text(w, "abc"); })
                  .ok());
  // "abc", "VDBF", Adler-32("abc") = 0x024d0127 little-endian.
  const Bytes want = {'a', 'b', 'c', 'V', 'D', 'B', 'F', 0x27, 0x01, 0x4d, 0x02};
  EXPECT_EQ(read_all(path), want);
  EXPECT_FALSE(fs::exists(dir.file("seg.tmp")));
}

TEST(AtomicFileTest, LargeBodiesCrossTheBufferAndReplaceTheOldFile) {
  TempDir dir;
  const std::string path = dir.file("seg");
  ASSERT_TRUE(write_atomic_with_checksum(path, 1, [](ChecksumWriter& w) {
                return write_text(w, "old");
              }).ok());
  Bytes body(100000);
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(write_atomic_with_checksum(path, 0x01020304, [&](ChecksumWriter& w) -> Status {
                DOVADURE_TRY(w.write_all(std::span(body).first(10)));
                DOVADURE_TRY(w.write_all(std::span(body).subspan(10, 9000)));
                return w.write_all(std::span(body).subspan(9010));
              }).ok());
  Bytes file = read_all(path);
  ASSERT_EQ(file.size(), body.size() + 8);
  EXPECT_TRUE(std::equal(body.begin(), body.end(), file.begin()));
  const Bytes footer(file.end() - 8, file.end());
  const uint32_t sum = adler32(body);
  EXPECT_EQ(footer, (Bytes{4, 3, 2, 1, static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8),
                           static_cast<uint8_t>(sum >> 16), static_cast<uint8_t>(sum >> 24)}));
}

TEST(AtomicFileTest, BodyFailureLeavesDestinationAndReturnsTheBodyError) {
  TempDir dir;
  const std::string path = dir.file("seg.snap");
  ASSERT_TRUE(write_atomic_with_checksum(path, 1, [](ChecksumWriter& w) {
                return write_text(w, "previous");
              }).ok());
  const Bytes before = read_all(path);
  Status s = write_atomic_with_checksum(path, 1, [](ChecksumWriter& w) -> Status {
    DOVADURE_TRY(write_text(w, "partial"));
    return DBError::serialization("io error: boom");
  });
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().to_string(), "Serialization error: io error: boom");
  EXPECT_EQ(read_all(path), before);
  EXPECT_TRUE(fs::exists(dir.file("seg.tmp")));
  // The next write truncates the leftover temporary file and succeeds.
  ASSERT_TRUE(write_atomic_with_checksum(path, 1, [](ChecksumWriter& w) {
                return write_text(w, "x");
              }).ok());
  EXPECT_EQ(read_all(path).size(), 9u);
}

TEST(AtomicFileTest, FailedRenameLeavesThePreviousContentIntact) {
  TempDir dir;
  // The destination is a non-empty directory, so the rename must fail.
  const std::string path = dir.file("seg.snap");
  fs::create_directories(path);
  { std::ofstream(path + "/keep") << "kept"; }
  Status s = write_atomic_with_checksum(path, 1, [](ChecksumWriter& w) {
    return write_text(w, "new");
  });
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), DBErrorKind::Io);
  EXPECT_NE(s.error().os_code(), 0);
  EXPECT_EQ(read_all(path + "/keep"), (Bytes{'k', 'e', 'p', 't'}));
  EXPECT_EQ(read_all(dir.file("seg.tmp")).size(), 11u);
}

TEST(AtomicFileTest, UnopenableTemporaryIsAnIoError) {
  TempDir dir;
  Status s = write_atomic_with_checksum(dir.file("missing/seg.snap"), 1,
                                        [](ChecksumWriter&) { return Status(); });
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().to_string(), "I/O error: No such file or directory (os error 2)");
}

// Takes at most `chunk` bytes per call and replays a script of outcomes.
class ScriptedWriter : public Writer {
 public:
  Result<size_t> write(std::span<const uint8_t> bytes) override {
    if (!script.empty()) {
      int next = script.front();
      script.erase(script.begin());
      if (next < 0) return DBError::io_errno(-next);
      if (next == 0) return size_t{0};
    }
    size_t n = std::min(bytes.size(), chunk);
    taken.insert(taken.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
    return n;
  }
  size_t chunk = 3;
  std::vector<int> script;  // negative errno, 0 for a zero-length write
  Bytes taken;
};

TEST(ChecksumWriterTest, PartialWritesAndInterruptsAreRetried) {
  ScriptedWriter inner;
  inner.script = {-EINTR, 5, -EINTR};
  ChecksumWriter w(inner);
  const Bytes data = {'W', 'i', 'k', 'i', 'p', 'e', 'd', 'i', 'a'};
  ASSERT_TRUE(w.write_all(data).ok());
  EXPECT_EQ(inner.taken, data);
  EXPECT_EQ(w.checksum(), 0x11E60398u);
}

TEST(ChecksumWriterTest, FailuresStopAndChecksumCoversOnlyAcceptedBytes) {
  ScriptedWriter zero;
  zero.script = {1, 0};
  ChecksumWriter w(zero);
  Status s = w.write_all(Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g'});
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().to_string(), "I/O error: failed to write whole buffer");
  EXPECT_EQ(w.checksum(), adler32(zero.taken));
  EXPECT_EQ(zero.taken.size(), 3u);

  ScriptedWriter broken;
  broken.script = {1, -ENOSPC};
  ChecksumWriter w2(broken);
  s = w2.write_all(Bytes(10, 1));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().os_code(), ENOSPC);
}

}  // namespace
}  // namespace dovadure::utils
