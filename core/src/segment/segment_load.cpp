// Segment::load_from_path: read, verify, decode, build, replay the log.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "segment/huge_rows.hpp"
#include "segment/segment.hpp"
#include "segment/segment_snapshot.hpp"
#include "utils/adler32.hpp"
#include "utils/atomic_file.hpp"
#include "utils/digest.hpp"
#include "utils/env.hpp"
#include "utils/envelope.hpp"
#include "utils/log.hpp"
#include "utils/populate.hpp"
#include "utils/run_beside.hpp"

namespace dovadure::segment {

using utils::DBError;
using utils::Result;
using utils::Status;

namespace {

using Clock = std::chrono::steady_clock;

uint64_t whole_ms(Clock::time_point from, Clock::time_point to) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

// The whole snapshot file in one anonymous mapping, or in a private mapping
// of the file itself. Mapped rather than allocated so that the loader can
// hand back the parts it has finished with (release) while the index is
// built: the file and the index then never both stand in memory whole.
class FileBuffer {
 public:
  FileBuffer() = default;
  FileBuffer(FileBuffer&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)),
        mapped_(std::exchange(other.mapped_, 0)),
        len_(std::exchange(other.len_, 0)),
        adler_(std::exchange(other.adler_, utils::Adler32())),
        file_mapping_(std::exchange(other.file_mapping_, false)) {}
  FileBuffer& operator=(FileBuffer&& other) noexcept {
    if (this != &other) {
      unmap();
      base_ = std::exchange(other.base_, nullptr);
      mapped_ = std::exchange(other.mapped_, 0);
      len_ = std::exchange(other.len_, 0);
      adler_ = std::exchange(other.adler_, utils::Adler32());
      file_mapping_ = std::exchange(other.file_mapping_, false);
    }
    return *this;
  }
  ~FileBuffer() { unmap(); }

  // Reads the file in cache-sized pieces into a buffer sized from fstat
  // (grown if the file grows meanwhile).
  static Result<FileBuffer> read(const std::string& path) { return take(path, &FileBuffer::fill); }

  // Maps a regular file privately instead of reading it (SnapshotReading::Map);
  // other files, and empty ones, are read. Every page is mapped up front and
  // summed on two threads once the file is large enough.
  static Result<FileBuffer> map(const std::string& path) { return take(path, &FileBuffer::map_fd); }

  bool is_mapping() const { return file_mapping_; }

  std::span<const uint8_t> bytes() const { return {base_, len_}; }

  // Adler-32 of all bytes but the last 8 (a snapshot's checksummed content),
  // summed while reading, when each piece is still in cache.
  uint32_t adler_but_last_8() const { return adler_.value(); }

  // Gives back the whole pages inside [from, to); their bytes read as zero
  // (or, in a file mapping, as the file) afterwards, so callers release only
  // input they will not read again.
  void release(const uint8_t* from, const uint8_t* to) {
    if (base_ == nullptr || from < base_ || to > base_ + len_ || from >= to) return;
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t lo = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
    const uintptr_t hi = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
    // Advisory: memory that is not given back is freed with the buffer.
    if (hi > lo) (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
  }

 private:
  // Pieces small enough to stay in the core's cache until summed.
  static constexpr size_t kReadPiece = size_t{512} << 10;

  // Regular files from this size on are read in two halves at once: most of
  // a read into fresh memory is the kernel faulting in and clearing pages,
  // which a second core halves. Below it a thread costs more than it saves.
  static constexpr size_t kTwoHalvesMin = size_t{4} << 20;

  // Returns 0 or an errno value.
  int fill(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    const size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    // One spare byte detects growth without a second stat.
    if (int err = grow(size + 1); err != 0) return err;
    size_t summed = 0;
    if (S_ISREG(st.st_mode) && size >= kTwoHalvesMin) {
      const int got = read_halves(fd, size);
      if (got > 0) return got;
      if (got == 0) {
        // Whole up to the size seen; a file that grew since is read on below.
        len_ = size;
        summed = size - 8;
        if (::lseek(fd, static_cast<off_t>(size), SEEK_SET) < 0) return errno;
      } else {
        // It shrank meanwhile: start over, one piece after another.
        adler_ = utils::Adler32();
      }
    }
    for (;;) {
      if (len_ == mapped_) {
        if (int err = grow(mapped_ * 2); err != 0) return err;
      }
      const ssize_t n = ::read(fd, base_ + len_, std::min(mapped_ - len_, kReadPiece));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return errno;
      if (n == 0) return 0;
      len_ += static_cast<size_t>(n);
      // The last 8 bytes read so far may be the footer; sum up to them.
      if (len_ > summed + 8) {
        adler_.update({base_ + summed, len_ - 8 - summed});
        summed = len_ - 8;
      }
    }
  }

  // Reads [0, size) with positioned reads, the head on this thread and the
  // tail on another, each summing its part (all but the last 8 bytes) while
  // it is in cache; the sums join into adler_. Returns 0 when every byte
  // arrived, -1 when the file ended early, else an errno value. The file
  // offset is left where it was.
  int read_halves(int fd, size_t size) {
    struct Part {
      size_t from;
      size_t to;
      size_t sum_to;
      utils::Adler32 sum;
      int result = 0;
    };
    const auto run = [this, fd](Part& part) {
      size_t at = part.from;
      size_t summed = part.from;
      while (at < part.to) {
        populate(at, std::min(part.to, at + kReadPiece));
        const ssize_t n = ::pread(fd, base_ + at, std::min(part.to - at, kReadPiece),
                                  static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          part.result = n < 0 ? errno : -1;
          return;
        }
        at += static_cast<size_t>(n);
        const size_t end = std::min(at, part.sum_to);
        if (end > summed) {
          part.sum.update({base_ + summed, end - summed});
          summed = end;
        }
      }
    };
    // size >= kTwoHalvesMin, so the head ends well before the footer.
    const size_t half = (size / 2) & ~size_t{4095};
    Part head{0, half, half, {}};
    Part tail{half, size, size - 8, {}};
    utils::run_beside([&] { run(tail); }, [&] { run(head); });
    for (const Part* part : {&head, &tail}) {
      if (part->result > 0) return part->result;
    }
    if (head.result != 0 || tail.result != 0) return -1;
    adler_ = head.sum;
    adler_.append(tail.sum, size - 8 - half);
    return 0;
  }

  // The file at `path` through `way` (fill or map_fd).
  static Result<FileBuffer> take(const std::string& path, int (FileBuffer::*way)(int)) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return DBError::io_errno(errno);
    FileBuffer out;
    const int err = (out.*way)(fd);
    ::close(fd);
    if (err != 0) return DBError::io_errno(err);
    return out;
  }

  // Returns 0 or an errno value.
  int map_fd(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    const size_t size = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    if (!S_ISREG(st.st_mode) || size <= 8) return fill(fd);
    // Writable, privately: a row the index changes becomes its own copy and
    // never reaches the file.
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) return errno;
    base_ = static_cast<uint8_t*>(p);
    mapped_ = len_ = size;
    file_mapping_ = true;
    // Maps every page of [from, to) and sums its bytes but the file's last 8
    // (the footer). The pages are mapped before any is read: a file that
    // shrank since fstat then fails here and is read instead, rather than
    // faulting (SIGBUS) while summing. Kernels without the request (before
    // Linux 5.14) refuse it; the pages are then mapped as they are summed.
    const size_t sum_to = size - 8;
    const auto sum = [this, sum_to](size_t from, size_t to, utils::Adler32& part) {
      if (::madvise(base_ + from, to - from, utils::kMadvPopulateRead) != 0 && errno == EFAULT) {
        return false;
      }
      part.update({base_ + from, std::min(to, sum_to) - from});
      return true;
    };
    bool whole = false;
    if (size < kTwoHalvesMin) {
      whole = sum(0, size, adler_);
    } else {
      // Page-aligned halves, on two threads.
      const size_t half = (size / 2) & ~size_t{4095};
      utils::Adler32 tail;
      bool tail_whole = false;
      utils::run_beside([&] { tail_whole = sum(half, size, tail); },
                        [&] { whole = sum(0, half, adler_); });
      whole = whole && tail_whole;
      if (whole) adler_.append(tail, sum_to - half);
    }
    if (!whole) {
      unmap();
      adler_ = utils::Adler32();
      if (::lseek(fd, 0, SEEK_SET) < 0) return errno;
      return fill(fd);
    }
    return 0;
  }

  // Faults in the pages of [from, to) with one call before a read fills
  // them: a read into untouched memory takes a fault on every page, which
  // cost about a quarter of reading a large snapshot. Advisory: a kernel
  // without the request (before Linux 5.14) faults them in during the read.
  void populate(size_t from, size_t to) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t lo = from & ~(page - 1);
    const size_t hi = std::min((to + page - 1) & ~(page - 1), mapped_);
    if (hi > lo) (void)::madvise(base_ + lo, hi - lo, utils::kMadvPopulateWrite);
  }

  int grow(size_t bytes) {
    void* p = base_ == nullptr
                  ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : ::mremap(base_, mapped_, bytes, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) return errno;
    base_ = static_cast<uint8_t*>(p);
    mapped_ = bytes;
    // No MADV_HUGEPAGE while reading: where the kernel compacts memory on
    // first touch of such regions, a fresh process stalled for hundreds of
    // milliseconds on about half of its loads. The rows a load keeps move
    // onto huge pages once it is done, off the caller's thread.
    return 0;
  }

  void unmap() {
    if (base_ != nullptr) ::munmap(base_, mapped_);
    base_ = nullptr;
    mapped_ = len_ = 0;
    file_mapping_ = false;
  }

  uint8_t* base_ = nullptr;
  size_t mapped_ = 0;
  size_t len_ = 0;
  utils::Adler32 adler_;
  bool file_mapping_ = false;  // base_ maps the file itself
};

// The first `n` bytes of a file (fewer when it is shorter), or nullopt.
std::optional<std::vector<uint8_t>> read_prefix(const std::string& path, uint64_t n) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < n) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<uint8_t> out(static_cast<size_t>(n));
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t r = ::read(fd, out.data() + got, out.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  if (got != out.size()) return std::nullopt;
  return out;
}

// Replay is off only for exactly "0" or a value whose lower-case form is
// exactly "false"; the value is not trimmed.
bool wal_auto_replay() {
  const std::optional<std::string> v = utils::env_text("DOROVOZU_WAL_AUTO_REPLAY");
  if (!v) return true;
  if (*v == "0") return false;
  if (v->size() != 5) return true;
  std::string lower = *v;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower != "false";
}

// How many leading records of the log the snapshot already holds: those of
// its recorded coverage, when the log still begins with exactly those bytes.
uint64_t records_already_held(const std::optional<WalCoverage>& coverage,
                              const std::string& wal_path) {
  if (!coverage || coverage->records == 0) return 0;
  const auto prefix = read_prefix(wal_path, coverage->length);
  if (!prefix || utils::digest64(*prefix) != coverage->digest) return 0;
  return coverage->records;
}

Status decode_body(const utils::SnapshotEnvelope& env, SegmentSnapshotView& out) {
  utils::Decoder dec(env.body);
  Status st = decode_view(dec, vector::hnsw::RecordLayout::Current, out);
  if (st.ok() || env.version != 0) return st;
  // A headerless file may hold the oldest layout; its error is the one reported.
  out = SegmentSnapshotView();
  utils::Decoder again(env.body);
  return decode_view(again, vector::hnsw::RecordLayout::Older, out);
}

}  // namespace

bool Segment::log_snapshot_load_timing() {
  return utils::env_flag_lowercase_rule("DOROVOZU_LOG_SNAPSHOT_LOAD_TIMING");
}

Result<std::unique_ptr<Segment>> Segment::load_from_path(const std::string& path,
                                                         SegmentAccess access,
                                                         SnapshotReading reading) {
  const LoadScope loading;
  const bool timing = log_snapshot_load_timing();
  const Clock::time_point start = Clock::now();

  auto file = reading == SnapshotReading::Map ? FileBuffer::map(path) : FileBuffer::read(path);
  if (!file.ok()) return file.take_error();
  const size_t file_len = file.value().bytes().size();
  const Clock::time_point read_done = Clock::now();

  SnapshotMetadata metadata;
  bool metadata_decoded = false;
  auto envelope = utils::open_snapshot_envelope(
      file.value().bytes(), [&](std::span<const uint8_t> bytes) -> Status {
        utils::Decoder dec(bytes);
        SnapshotMetadata m;
        DOVADURE_TRY(decode(dec, m));
        metadata = m;
        metadata_decoded = true;
        return Status();
      },
      file.value().adler_but_last_8());
  if (!envelope.ok()) return envelope.take_error();
  const Clock::time_point checksum_done = Clock::now();

  // The index record stays in the file buffer until the build copies it out.
  SegmentSnapshotView s;
  if (Status st = decode_body(envelope.value(), s); !st.ok()) return st.take_error();
  const Clock::time_point decode_done = Clock::now();

  // The index may keep whole chunks of vector rows in the buffer rather than
  // copy them; it then shares the buffer, which keeps only those rows.
  auto buffer = std::make_shared<FileBuffer>(std::move(file.value()));
  auto index = vector::hnsw::build_index(
      s.hnsw, [&](const uint8_t* from, const uint8_t* to) { buffer->release(from, to); },
      buffer);
  if (index.ok() && buffer.use_count() > 1) {
    const std::span<const uint8_t> all = buffer->bytes();
    buffer->release(all.data(), s.hnsw.vectors.begin_bytes);
    buffer->release(s.hnsw.vectors.end_bytes, all.data() + all.size());
    // Rows in a file mapping are the page cache's, shared: they stay put.
    if (!buffer->is_mapping()) {
      move_rows_to_huge_pages_later(buffer, index.value()->adopted_vector_rows());
    }
  }
  s.hnsw = vector::hnsw::HnswRecordView();
  buffer.reset();
  if (!index.ok()) return index.take_error();
  auto segment =
      std::make_unique<Segment>(std::move(index.value()), std::move(s.payload_index),
                                std::move(s.payloads), std::move(s.deleted), s.next_id);
  const Clock::time_point build_done = Clock::now();

  uint64_t replay_ms = 0;
  if (wal_auto_replay()) {
    const std::string wal_path = utils::sibling_path(path, "wal");
    struct stat st {};
    if (::stat(wal_path.c_str(), &st) == 0) {
      const Clock::time_point replay_start = Clock::now();
      uint64_t skip = records_already_held(
          metadata_decoded && envelope.value().has_metadata ? metadata.wal_coverage
                                                            : std::nullopt,
          wal_path);
      Segment* target = segment.get();
      auto outcome = WalReader::replay(wal_path, [&](WalRecord&& record) -> Status {
        if (skip > 0) {
          --skip;
          return Status();
        }
        ++target->replayed_records_;
        return target->apply_wal_record(std::move(record));
      });
      if (!outcome.ok()) return outcome.take_error();

      // A reading caller never writes: no writer, not even a log header.
      if (access == SegmentAccess::Writer) {
        const utils::WalSettings settings = utils::read_wal_settings();
        WalWriterConfig config;
        config.path = wal_path;
        config.fsync = settings.fsync;
        config.fsync_every = settings.fsync_every;
        config.fsync_interval = settings.fsync_interval;
        auto writer = WalWriter::open(config, outcome.value());
        if (!writer.ok()) return writer.take_error();
        segment->attach_wal_writer(std::move(writer.value()));
      }
      replay_ms = whole_ms(replay_start, Clock::now());
    }
  }

  if (timing) {
    const Clock::time_point end = Clock::now();
    const std::string line =
        "snapshot_load path=" + debug_quote(path) + " bytes=" + std::to_string(file_len) +
        " read_ms=" + std::to_string(whole_ms(start, read_done)) +
        " checksum_ms=" + std::to_string(whole_ms(read_done, checksum_done)) +
        " deserialize_ms=" + std::to_string(whole_ms(checksum_done, decode_done)) +
        " build_ms=" + std::to_string(whole_ms(decode_done, build_done)) +
        " wal_replay_ms=" + std::to_string(replay_ms) +
        " total_ms=" + std::to_string(whole_ms(start, end));
    std::fprintf(stderr, "%s\n", line.c_str());
    utils::log_record(utils::LogLevel::Info, "snapshot", line);
  }
  return segment;
}

std::unique_ptr<vector::hnsw::HNSWIndex> Segment::take_index(std::unique_ptr<Segment> segment) {
  return std::move(segment->index_);
}

}  // namespace dovadure::segment
