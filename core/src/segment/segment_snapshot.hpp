// The records inside a segment snapshot file: the body (current and oldest
// layouts) and the metadata record of the trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "payload_storage/stores.hpp"
#include "segment/segment.hpp"
#include "utils/encoding.hpp"
#include "utils/errors.hpp"
#include "vector/hnsw/snapshot.hpp"

namespace dovadure::segment {

// Body record, fields in stored order:
//   hnsw            HnswSnapshot (vector/hnsw/snapshot.hpp)
//   payload_index   map str -> map PayloadValue -> set u64
//   payloads        map u64 -> Payload
//   deleted         set u64
//   next_id         u64
// Bytes after next_id are ignored by the decoder.
struct SegmentSnapshot {
  vector::hnsw::HnswSnapshot hnsw;
  payload_storage::PayloadIndex payload_index;
  PayloadMap payloads;
  DeletedSet deleted;
  uint64_t next_id = 0;
};

// The oldest body: the same fields around the older index record. Found only
// in headerless files.
struct SegmentSnapshotV1 {
  vector::hnsw::HnswSnapshotV1 hnsw;
  payload_storage::PayloadIndex payload_index;
  PayloadMap payloads;
  DeletedSet deleted;
  uint64_t next_id = 0;
};

// The body as the loader decodes it: the index record left in the input
// buffer (HnswRecordView), the rest decoded as in SegmentSnapshot. Valid while
// that buffer lives.
struct SegmentSnapshotView {
  vector::hnsw::HnswRecordView hnsw;
  payload_storage::PayloadIndex payload_index;
  PayloadMap payloads;
  DeletedSet deleted;
  uint64_t next_id = 0;
};

// The prefix of the segment's log whose records the snapshot already holds:
// its first `length` bytes, their digest64 and the number of records in them.
// A load that finds these same bytes at the start of the log skips those
// records instead of replaying them over a state that already contains them
// (which could delete a point that was deleted, purged and inserted again).
// Once the log is truncated the coverage names bytes that are gone, and a
// refilled log must never pass for them: hence a digest, not a checksum.
struct WalCoverage {
  uint64_t length = 0;
  uint64_t digest = 0;
  uint64_t records = 0;
  bool operator==(const WalCoverage&) const = default;
};

// Metadata record, 109 bytes:
//   0 created_at_ms u64 | 8 hnsw HnswConfigSummary (85) | 93 points u64 |
//   101 payloads u64
// Optionally followed by the log coverage extension (25 bytes):
//   109 u8 2 | 110 length u64 | 118 digest u64 | 126 records u64
// Readers that know only the 109 bytes ignore the extension: bytes after the
// record inside the trailer's stated length are skipped. Snapshots of earlier
// versions may hold a 21-byte extension with tag 1 and the prefix's Adler-32
// in place of the digest; it is ignored (the whole log is replayed), since
// Adler-32 sums of short logs of similar records collide: a refilled log
// could pass for the truncated one and lose its records.
struct SnapshotMetadata {
  static constexpr size_t kEncodedSize = 109;
  static constexpr size_t kCoverageSize = 25;

  uint64_t created_at_ms = 0;
  vector::hnsw::HnswConfigSummary hnsw;
  uint64_t points = 0;
  uint64_t payloads = 0;
  std::optional<WalCoverage> wal_coverage;

  bool operator==(const SnapshotMetadata&) const = default;
};

void encode(utils::Encoder& enc, const SegmentSnapshot& s);
void encode(utils::Encoder& enc, const SegmentSnapshotV1& s);
void encode(utils::Encoder& enc, const SnapshotMetadata& m);
utils::Status decode(utils::Decoder& dec, SegmentSnapshot& out);
utils::Status decode(utils::Decoder& dec, SegmentSnapshotV1& out);
// Either body layout into the loader's shape; fails exactly where decoding
// into SegmentSnapshot / SegmentSnapshotV1 fails, with the same text.
utils::Status decode_view(utils::Decoder& dec, vector::hnsw::RecordLayout layout,
                          SegmentSnapshotView& out);
// An extension that does not decode is dropped; the 109 bytes must.
utils::Status decode(utils::Decoder& dec, SnapshotMetadata& out);

SegmentSnapshot upgrade(SegmentSnapshotV1 v1);

// Walks the complete frames of a log image and returns the coverage of all
// of them (nullopt when the header is missing or incomplete).
std::optional<WalCoverage> wal_coverage_of(std::span<const uint8_t> log);

// Rust-style debug quoting of a path for the load timing line.
std::string debug_quote(std::string_view text);

}  // namespace dovadure::segment
