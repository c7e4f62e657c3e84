#include "segment/segment_snapshot.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "utils/atomic_file.hpp"
#include "utils/digest.hpp"
#include "utils/envelope.hpp"

namespace dovadure::segment {

using utils::Decoder;
using utils::Encoder;
using utils::Status;

namespace {

void put_rest(Encoder& enc, const payload_storage::PayloadIndex& payload_index,
              const PayloadMap& payloads, const DeletedSet& deleted, uint64_t next_id) {
  payload_index.encode(enc);
  enc.put_len(payloads.size());
  for (const auto& [id, payload] : payloads) {
    enc.put_u64(id);
    payload.encode(enc);
  }
  enc.put_len(deleted.size());
  for (uint64_t id : deleted) enc.put_u64(id);
  enc.put_u64(next_id);
}

Status read_rest(Decoder& dec, payload_storage::PayloadIndex& payload_index,
                 PayloadMap& payloads, DeletedSet& deleted, uint64_t& next_id) {
  DOVADURE_TRY(payload_storage::PayloadIndex::decode(dec, payload_index));
  uint64_t count = 0;
  DOVADURE_TRY(dec.read_len(count));
  payloads.clear();
  // An entry is at least an id and an empty field map.
  payloads.reserve(dec.reserve_hint(count, 16, 64));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t id = 0;
    DOVADURE_TRY(dec.read_u64(id));
    utils::Payload payload;
    DOVADURE_TRY(utils::Payload::decode(dec, payload));
    payloads.insert_or_assign(id, std::move(payload));
  }
  std::vector<uint64_t> ids;
  DOVADURE_TRY(dec.read_u64_seq(ids));
  deleted.clear();
  deleted.reserve(ids.size());
  deleted.insert(ids.begin(), ids.end());
  DOVADURE_TRY(dec.read_u64(next_id));
  return Status();
}

uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return utils::to_little_endian(v);
}

uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return utils::to_little_endian(v);
}

// The first byte of the log coverage extension. Tag 1 marked the earlier,
// Adler-32 form, which is not read.
constexpr uint8_t kCoverageTag = 2;

uint64_t now_unix_ms() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

// The whole file, or nullopt when it cannot be read.
std::optional<std::vector<uint8_t>> read_small_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::vector<uint8_t> out;
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return out;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

void encode(Encoder& enc, const SegmentSnapshot& s) {
  vector::hnsw::encode(enc, s.hnsw);
  put_rest(enc, s.payload_index, s.payloads, s.deleted, s.next_id);
}

void encode(Encoder& enc, const SegmentSnapshotV1& s) {
  vector::hnsw::encode(enc, s.hnsw);
  put_rest(enc, s.payload_index, s.payloads, s.deleted, s.next_id);
}

Status decode(Decoder& dec, SegmentSnapshot& out) {
  DOVADURE_TRY(vector::hnsw::decode(dec, out.hnsw));
  return read_rest(dec, out.payload_index, out.payloads, out.deleted, out.next_id);
}

Status decode(Decoder& dec, SegmentSnapshotV1& out) {
  DOVADURE_TRY(vector::hnsw::decode(dec, out.hnsw));
  return read_rest(dec, out.payload_index, out.payloads, out.deleted, out.next_id);
}

Status decode_view(Decoder& dec, vector::hnsw::RecordLayout layout, SegmentSnapshotView& out) {
  DOVADURE_TRY(vector::hnsw::decode_view(dec, layout, out.hnsw));
  return read_rest(dec, out.payload_index, out.payloads, out.deleted, out.next_id);
}

SegmentSnapshot upgrade(SegmentSnapshotV1 v1) {
  SegmentSnapshot s;
  s.hnsw = vector::hnsw::upgrade(std::move(v1.hnsw));
  s.payload_index = std::move(v1.payload_index);
  s.payloads = std::move(v1.payloads);
  s.deleted = std::move(v1.deleted);
  s.next_id = v1.next_id;
  return s;
}

void encode(Encoder& enc, const SnapshotMetadata& m) {
  enc.put_u64(m.created_at_ms);
  vector::hnsw::encode(enc, m.hnsw);
  enc.put_u64(m.points);
  enc.put_u64(m.payloads);
  if (m.wal_coverage) {
    enc.put_u8(kCoverageTag);
    enc.put_u64(m.wal_coverage->length);
    enc.put_u64(m.wal_coverage->digest);
    enc.put_u64(m.wal_coverage->records);
  }
}

Status decode(Decoder& dec, SnapshotMetadata& out) {
  DOVADURE_TRY(dec.read_u64(out.created_at_ms));
  DOVADURE_TRY(vector::hnsw::decode(dec, out.hnsw));
  DOVADURE_TRY(dec.read_u64(out.points));
  DOVADURE_TRY(dec.read_u64(out.payloads));
  out.wal_coverage.reset();
  std::span<const uint8_t> ext;
  if (dec.remaining() >= SnapshotMetadata::kCoverageSize &&
      dec.read_raw(SnapshotMetadata::kCoverageSize, ext).ok() && ext[0] == kCoverageTag) {
    WalCoverage c;
    c.length = load_u64(ext.data() + 1);
    c.digest = load_u64(ext.data() + 9);
    c.records = load_u64(ext.data() + 17);
    out.wal_coverage = c;
  }
  return Status();
}

std::optional<WalCoverage> wal_coverage_of(std::span<const uint8_t> log) {
  if (log.size() < kWalHeaderBytes || std::memcmp(log.data(), "VDBW", 4) != 0) {
    return std::nullopt;
  }
  uint64_t pos = kWalHeaderBytes;
  uint64_t records = 0;
  while (log.size() - pos >= 4) {
    const uint64_t len = load_u32(log.data() + pos);
    if (log.size() - pos - 4 < len + 4) break;
    pos += 8 + len;
    ++records;
  }
  WalCoverage c;
  c.length = pos;
  c.digest = utils::digest64(log.first(static_cast<size_t>(pos)));
  c.records = records;
  return c;
}

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  static const char* hex = "0123456789abcdef";
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
          if (c < 0x20 || c == 0x7f) {
            out += "\\u{";
            if (c >= 0x10) out += hex[c >> 4];
            out += hex[c & 0xf];
            out += "}";
          } else {
            out += static_cast<char>(c);
          }
      }
      ++i;
      continue;
    }
    // Valid multi-byte sequences are kept; stray bytes become \xNN.
    const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    const auto bytes = std::span<const uint8_t>(
        reinterpret_cast<const uint8_t*>(text.data()) + i, std::min(n, text.size() - i));
    if (n > 1 && bytes.size() == n && !utils::utf8_error(bytes)) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
      ++i;
    }
  }
  out += "\"";
  return out;
}

// ---------------------------------------------------------------------------

SegmentSnapshot Segment::build_snapshot() const {
  SegmentSnapshot s;
  s.hnsw = index_->to_snapshot();
  s.payload_index = payload_index_;
  s.payloads = payloads_;
  s.deleted = deleted_;
  s.next_id = next_id_;
  return s;
}

Status Segment::persist_snapshot(const std::string& path) const {
  SnapshotMetadata meta;
  meta.created_at_ms = now_unix_ms();
  meta.hnsw = vector::hnsw::HnswConfigSummary::of(*index_);
  meta.points = index_->len();
  meta.payloads = payloads_.size();
  // Every complete record of an attached log has been applied to this
  // segment (replayed or appended by it), so a snapshot saved beside that log
  // holds them all. Recording which bytes those were lets the next load skip
  // them if the log is not truncated after this save (a crash in between).
  if (wal_writer_ && same_file(wal_writer_->path(), utils::sibling_path(path, "wal"))) {
    if (auto log = read_small_file(wal_writer_->path())) meta.wal_coverage = wal_coverage_of(*log);
  }
  std::vector<uint8_t> meta_bytes;
  meta_bytes.reserve(SnapshotMetadata::kEncodedSize + SnapshotMetadata::kCoverageSize);
  {
    Encoder enc(meta_bytes);
    encode(enc, meta);
  }

  // The body is streamed straight from the segment; only the index needs a
  // detached record, since it is keyed by point id on disk.
  const vector::hnsw::HnswSnapshot hnsw = index_->to_snapshot();
  return utils::write_snapshot_file(
      path,
      [&](Encoder& enc) {
        vector::hnsw::encode(enc, hnsw);
        put_rest(enc, payload_index_, payloads_, deleted_, next_id_);
      },
      std::span<const uint8_t>(meta_bytes));
}

}  // namespace dovadure::segment
