#include "utils/envelope.hpp"

#include <cstring>

#include "utils/adler32.hpp"
#include "utils/atomic_file.hpp"

namespace dovadure::utils {
namespace {

constexpr uint8_t kHeaderMagic[4] = {'V', 'D', 'B', 'S'};
constexpr uint8_t kTrailerMagic[4] = {'V', 'D', 'B', 'M'};
constexpr uint8_t kFooterMagic[4] = {'V', 'D', 'B', 'F'};

uint32_t u32_at(std::span<const uint8_t> bytes, size_t offset) {
  uint32_t v;
  std::memcpy(&v, bytes.data() + offset, 4);
  return to_little_endian(v);
}

bool magic_at(std::span<const uint8_t> bytes, size_t offset, const uint8_t (&magic)[4]) {
  return std::memcmp(bytes.data() + offset, magic, 4) == 0;
}

std::span<const uint8_t> u32_bytes(uint32_t v, uint8_t (&buf)[4]) {
  v = to_little_endian(v);
  std::memcpy(buf, &v, 4);
  return buf;
}

}  // namespace

Status write_snapshot_envelope(ChecksumWriter& out, const BodyEncoder& encode_body,
                               std::optional<std::span<const uint8_t>> metadata) {
  uint8_t word[4];
  DOVADURE_TRY(out.write_all(kHeaderMagic));
  DOVADURE_TRY(out.write_all(u32_bytes(kSnapshotVersion, word)));
  {
    Encoder body(out);
    encode_body(body);
    DOVADURE_TRY(body.finish());
  }
  if (metadata) {
    if (metadata->size() > UINT32_MAX) {
      return DBError::serialization("metadata record of " + std::to_string(metadata->size()) +
                                    " bytes does not fit its u32 length");
    }
    DOVADURE_TRY(out.write_all(*metadata));
    DOVADURE_TRY(out.write_all(u32_bytes(static_cast<uint32_t>(metadata->size()), word)));
    DOVADURE_TRY(out.write_all(u32_bytes(kSnapshotTrailerVersion, word)));
    DOVADURE_TRY(out.write_all(kTrailerMagic));
  }
  return Status();
}

Status write_snapshot_file(const std::string& path, const BodyEncoder& encode_body,
                           std::optional<std::span<const uint8_t>> metadata) {
  return write_atomic_with_checksum(path, kSnapshotFooterMagic, [&](ChecksumWriter& out) {
    return write_snapshot_envelope(out, encode_body, metadata);
  });
}

MetadataSplit parse_snapshot_metadata(std::span<const uint8_t> region,
                                      const MetadataDecoder& decode_metadata) {
  const size_t n = region.size();
  MetadataSplit whole{region, false};
  if (!decode_metadata || n < 12 || !magic_at(region, n - 4, kTrailerMagic)) return whole;
  if (u32_at(region, n - 8) != kSnapshotTrailerVersion) return whole;
  const uint64_t m = u32_at(region, n - 12);
  if (m + 12 > n) return whole;
  const size_t body_len = n - 12 - static_cast<size_t>(m);
  if (!decode_metadata(region.subspan(body_len, static_cast<size_t>(m))).ok()) return whole;
  return MetadataSplit{region.first(body_len), true};
}

Result<SnapshotEnvelope> open_snapshot_envelope(std::span<const uint8_t> file,
                                                const MetadataDecoder& decode_metadata,
                                                std::optional<uint32_t> content_adler) {
  SnapshotEnvelope env;
  std::span<const uint8_t> content = file;
  const size_t len = file.size();
  if (len >= 8 && magic_at(file, len - 8, kFooterMagic)) {
    content = file.first(len - 8);
    const uint32_t sum = content_adler ? *content_adler : adler32(content);
    if (sum != u32_at(file, len - 4)) {
      return DBError::serialization("segment snapshot checksum mismatch");
    }
    env.checksummed = true;
  }
  if (content.size() < 8 || !magic_at(content, 0, kHeaderMagic)) {
    env.body = content;
    return env;
  }
  env.version = u32_at(content, 4);
  if (env.version == 2) {
    env.body = content.subspan(8);
  } else if (env.version == 3) {
    MetadataSplit split = parse_snapshot_metadata(content.subspan(8), decode_metadata);
    env.body = split.body;
    env.has_metadata = split.has_metadata;
  } else {
    return DBError::serialization("unsupported segment snapshot version " +
                                  std::to_string(env.version));
  }
  return env;
}

}  // namespace dovadure::utils
