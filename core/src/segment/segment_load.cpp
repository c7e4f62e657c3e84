// Segment::load_from_path: read, verify, decode, build, replay the log.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "segment/segment_snapshot.hpp"
#include "utils/adler32.hpp"
#include "utils/atomic_file.hpp"
#include "utils/env.hpp"
#include "utils/envelope.hpp"
#include "utils/log.hpp"

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

// Reads the whole file in one buffer sized from fstat (growing if the file
// grows meanwhile). Uninitialised storage: the bytes are overwritten at once.
Result<std::vector<uint8_t>> read_whole_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return DBError::io_errno(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return DBError::io_errno(err);
  }
  std::vector<uint8_t> out;
  size_t len = 0;
  size_t cap = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  out.resize(cap + 1);  // one spare byte detects growth without a second stat
  for (;;) {
    if (len == out.size()) out.resize(out.size() * 2);
    const ssize_t n = ::read(fd, out.data() + len, out.size() - len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return DBError::io_errno(err);
    }
    if (n == 0) break;
    len += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(len);
  return out;
}

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
  if (!prefix || utils::adler32(*prefix) != coverage->adler32) return 0;
  return coverage->records;
}

Result<SegmentSnapshot> decode_body(const utils::SnapshotEnvelope& env) {
  SegmentSnapshot snapshot;
  utils::Decoder dec(env.body);
  Status st = decode(dec, snapshot);
  if (st.ok()) return snapshot;
  if (env.version != 0) return st.take_error();
  // A headerless file may hold the oldest layout; its error is the one reported.
  SegmentSnapshotV1 older;
  utils::Decoder again(env.body);
  DOVADURE_TRY(decode(again, older));
  return upgrade(std::move(older));
}

}  // namespace

bool Segment::log_snapshot_load_timing() {
  return utils::env_flag_lowercase_rule("DOROVOZU_LOG_SNAPSHOT_LOAD_TIMING");
}

Result<std::unique_ptr<Segment>> Segment::load_from_path(const std::string& path,
                                                         SegmentAccess access) {
  const bool timing = log_snapshot_load_timing();
  const Clock::time_point start = Clock::now();

  auto file = read_whole_file(path);
  if (!file.ok()) return file.take_error();
  const size_t file_len = file.value().size();
  const Clock::time_point read_done = Clock::now();

  SnapshotMetadata metadata;
  bool metadata_decoded = false;
  auto envelope = utils::open_snapshot_envelope(
      file.value(), [&](std::span<const uint8_t> bytes) -> Status {
        utils::Decoder dec(bytes);
        SnapshotMetadata m;
        DOVADURE_TRY(decode(dec, m));
        metadata = m;
        metadata_decoded = true;
        return Status();
      });
  if (!envelope.ok()) return envelope.take_error();
  const Clock::time_point checksum_done = Clock::now();

  auto decoded = decode_body(envelope.value());
  if (!decoded.ok()) return decoded.take_error();
  // The raw bytes are not needed past decoding.
  file = std::vector<uint8_t>();
  const Clock::time_point decode_done = Clock::now();

  SegmentSnapshot& s = decoded.value();
  auto index = vector::hnsw::HNSWIndex::from_snapshot(std::move(s.hnsw));
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

}  // namespace dovadure::segment
