// The framing of a segment snapshot file.
//
//   offset     size  content
//   0          4     "VDBS"
//   4          4     u32 version (3; readers also take 2)
//   8          B     body
//   8+B        M     metadata record
//   8+B+M      4     u32 M
//   12+B+M     4     u32 trailer version, 1
//   16+B+M     4     "VDBM"
//   20+B+M     4     "VDBF"
//   24+B+M     4     u32 Adler-32 of bytes [0, 20+B+M)
//
// Version 2 has no metadata trailer (bytes 8+B.. are the footer). Files
// without the footer are read unverified, and files without the header are
// a bare body of the oldest layout.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "utils/checksum_writer.hpp"
#include "utils/encoding.hpp"
#include "utils/errors.hpp"

namespace dovadure::utils {

inline constexpr uint32_t kSnapshotVersion = 3;
inline constexpr uint32_t kSnapshotTrailerVersion = 1;

// Encodes the body record. Encoder failures are reported by the caller.
using BodyEncoder = std::function<void(Encoder&)>;

// Decodes a metadata record from exactly the bytes it is given (trailing
// bytes may be ignored), keeping the result in the caller's own variable.
// A failure only means "no metadata".
using MetadataDecoder = std::function<Status(std::span<const uint8_t>)>;

// Writes "VDBS", version 3, the body and, when `metadata` (the already
// encoded metadata record) is given, the metadata trailer. Direct writes
// fail with DBError::Io, body encoding with DBError::Serialization.
Status write_snapshot_envelope(ChecksumWriter& out, const BodyEncoder& encode_body,
                               std::optional<std::span<const uint8_t>> metadata);

// write_atomic_with_checksum with the envelope writer and the "VDBF" footer.
Status write_snapshot_file(const std::string& path, const BodyEncoder& encode_body,
                           std::optional<std::span<const uint8_t>> metadata);

struct MetadataSplit {
  std::span<const uint8_t> body;
  // Whether decode_metadata accepted a trailer (its result is then in the
  // caller's variable and `body` excludes the trailer).
  bool has_metadata = false;
};

// Splits a metadata trailer off the end of `region`. Never fails: a missing,
// foreign or undecodable trailer leaves the whole region as the body.
MetadataSplit parse_snapshot_metadata(std::span<const uint8_t> region,
                                      const MetadataDecoder& decode_metadata);

struct SnapshotEnvelope {
  // 2 or 3; 0 for a headerless bare body.
  uint32_t version = 0;
  // A view into the file contents given to open_snapshot_envelope.
  std::span<const uint8_t> body;
  bool has_metadata = false;
  // Whether a footer was present and verified.
  bool checksummed = false;
};

// Verifies the footer (when there is one) and splits header, body and
// trailer. Errors (DBError::Serialization): "segment snapshot checksum
// mismatch", "unsupported segment snapshot version {}".
// `content_adler`, when given, is the Adler-32 of all of `file` but its last
// 8 bytes, already computed by the caller (while reading the file, say).
Result<SnapshotEnvelope> open_snapshot_envelope(std::span<const uint8_t> file,
                                                const MetadataDecoder& decode_metadata,
                                                std::optional<uint32_t> content_adler = {});

}  // namespace dovadure::utils
