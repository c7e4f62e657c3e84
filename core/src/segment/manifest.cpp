#include "segment/manifest.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <unordered_set>

#include "segment/writer.hpp"
#include "utils/adler32.hpp"
#include "utils/atomic_file.hpp"
#include "utils/encoding.hpp"

namespace dovadure::segment {

using utils::DBError;

namespace {

constexpr uint8_t kManifestMagic[4] = {'V', 'D', 'C', 'M'};
// "VDCF" read as a little-endian u32: a footer of its own, so that a segment
// snapshot renamed into place of the manifest is not taken for one.
constexpr uint32_t kManifestFooterMagic = 0x46434456;
constexpr size_t kFooterBytes = 8;
// Larger than any manifest a collection can produce (a million segments),
// small enough to read whole.
constexpr uint64_t kMaxManifestBytes = uint64_t{64} << 20;
// No index is this wide; a larger stored value is damage, not a setting.
constexpr uint64_t kMaxManifestDim = uint64_t{1} << 24;
// Smallest encoded entry: an empty name's length plus the sealed byte.
constexpr uint64_t kMinEntryBytes = 8 + 1;

DBError damaged(const std::string& text) { return DBError::serialization("collection manifest: " + text); }

std::string manifest_path(const std::string& dir) { return dir + "/" + kManifestName; }

// The number of a name segment_file_name gives, digits of any width.
std::optional<uint64_t> segment_number(std::string_view name) {
  constexpr std::string_view kPrefix = "segment-";
  constexpr std::string_view kSuffix = ".snap";
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) || !name.ends_with(kSuffix)) {
    return std::nullopt;
  }
  const std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  uint64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return std::nullopt;
    n = n * 10 + d;
  }
  return n;
}

// Every rule a stored manifest must meet, shared by the reader and the
// writer so that nothing is written that would not read back.
utils::Status check_manifest(const Manifest& m) {
  if (m.dim == 0 || m.dim > kMaxManifestDim) return damaged("dimension " + std::to_string(m.dim) + " is out of range");
  if (m.m < kMinBuildM || m.m > kMaxBuildM) return damaged("m " + std::to_string(m.m) + " is out of range");
  if (m.ef_construction == 0 || m.ef_construction > kMaxEfConstruction) {
    return damaged("ef_construction " + std::to_string(m.ef_construction) + " is out of range");
  }
  if (m.max_level > kMaxBuildLevel) return damaged("max_level " + std::to_string(m.max_level) + " is out of range");
  std::unordered_set<std::string_view> names;
  for (size_t i = 0; i < m.segments.size(); ++i) {
    const ManifestEntry& e = m.segments[i];
    if (!is_plain_file_name(e.snapshot)) return damaged("entry " + std::to_string(i) + " has a bad file name");
    if (e.snapshot == kManifestName) return damaged("entry " + std::to_string(i) + " names the manifest itself");
    if (!names.insert(e.snapshot).second) return damaged("segment " + e.snapshot + " is listed twice");
    // A listed number at or past next_segment would be handed out again.
    if (auto number = segment_number(e.snapshot); number && *number >= m.next_segment) {
      return damaged("segment " + e.snapshot + " is not below next_segment " + std::to_string(m.next_segment));
    }
    if (!e.sealed && i + 1 != m.segments.size()) {
      return damaged("segment " + e.snapshot + " is active but not the last entry (more than one active segment)");
    }
  }
  return utils::Status();
}

// The whole file, or Io. The size is checked before the buffer is sized.
utils::Result<std::vector<uint8_t>> read_whole_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return DBError::io(path + ": " + utils::os_error_text(errno), errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return DBError::io(path + ": " + utils::os_error_text(err), err);
  }
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kMaxManifestBytes) {
    ::close(fd);
    return damaged("file of " + std::to_string(st.st_size) + " bytes is too large");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      return DBError::io(path + ": " + utils::os_error_text(err), err);
    }
    if (n == 0) break;  // shrank under us; the checks below report the short file
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(got);
  return bytes;
}

}  // namespace

bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxManifestNameBytes || name == "." || name == "..") return false;
  return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string segment_file_name(uint64_t number) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "segment-%06llu.snap", static_cast<unsigned long long>(number));
  return buf;
}

// The manifest file, all integers little-endian:
//
//   offset  size  content
//   0       4     "VDCM"
//   4       4     u32 version, 1
//   8       8     u64 generation
//   16      8     u64 next_segment
//   24      8     u64 dim
//   32      4     u32 metric tag (0 Cosine, 1 Dot, 2 Euclidean)
//   36      8     u64 m
//   44      8     u64 ef_construction
//   52      8     u64 max_level
//   60      8     u64 N, the number of entries
//   68      ...   N entries: u64 name length L, L bytes of name, u8 sealed (0/1)
//   E       4     "VDCF"
//   E+4     4     u32 Adler-32 of bytes [0, E)
//
// Nothing may follow the last entry but the footer.
utils::Status write_manifest(const std::string& dir, const Manifest& manifest) {
  DOVADURE_TRY(check_manifest(manifest));
  std::vector<uint8_t> body;
  utils::Encoder enc(body);
  enc.put_raw(kManifestMagic, 4);
  enc.put_u32(kManifestVersion);
  enc.put_u64(manifest.generation);
  enc.put_u64(manifest.next_segment);
  enc.put_u64(manifest.dim);
  enc.put_u32(utils::metric_tag(manifest.metric));
  enc.put_u64(manifest.m);
  enc.put_u64(manifest.ef_construction);
  enc.put_u64(manifest.max_level);
  enc.put_len(manifest.segments.size());
  for (const ManifestEntry& e : manifest.segments) {
    enc.put_str(e.snapshot);
    enc.put_bool(e.sealed);
  }
  DOVADURE_TRY(enc.finish());
  return utils::write_atomic_with_checksum(manifest_path(dir), kManifestFooterMagic,
                                           [&](utils::ChecksumWriter& out) { return out.write_all(body); });
}

utils::Result<Manifest> read_manifest(const std::string& dir) {
  auto read = read_whole_file(manifest_path(dir));
  if (!read.ok()) return read.take_error();
  const std::vector<uint8_t>& file = read.value();
  if (file.size() < 8) return damaged("truncated (" + std::to_string(file.size()) + " bytes)");
  if (std::memcmp(file.data(), kManifestMagic, 4) != 0) return damaged("bad magic, not a collection manifest");
  utils::Decoder head(std::span<const uint8_t>(file).subspan(4, 4));
  uint32_t version = 0;
  DOVADURE_TRY(head.read_u32(version));
  if (version != kManifestVersion) return damaged("unsupported version " + std::to_string(version));
  if (file.size() < 8 + kFooterBytes) return damaged("truncated, no footer");

  const std::span<const uint8_t> content(file.data(), file.size() - kFooterBytes);
  utils::Decoder foot(std::span<const uint8_t>(file).subspan(content.size()));
  uint32_t footer_magic = 0, stored_sum = 0;
  DOVADURE_TRY(foot.read_u32(footer_magic));
  DOVADURE_TRY(foot.read_u32(stored_sum));
  if (footer_magic != kManifestFooterMagic) return damaged("truncated or bad footer");
  if (utils::adler32(content) != stored_sum) return damaged("checksum mismatch");

  // The checksum matched, so a failure from here on is a writer's fault or
  // deliberate damage; every one is still a refusal, never a crash.
  utils::Decoder dec(content.subspan(8));
  auto truncated = [](const utils::Status&) { return damaged("truncated body"); };
  Manifest m;
  uint32_t tag = 0;
  uint64_t count = 0;
  utils::Status st;
  if (!(st = dec.read_u64(m.generation)).ok() || !(st = dec.read_u64(m.next_segment)).ok() ||
      !(st = dec.read_u64(m.dim)).ok() || !(st = dec.read_u32(tag)).ok() || !(st = dec.read_u64(m.m)).ok() ||
      !(st = dec.read_u64(m.ef_construction)).ok() || !(st = dec.read_u64(m.max_level)).ok() ||
      !(st = dec.read_len(count)).ok()) {
    return truncated(st);
  }
  auto metric = utils::metric_from_tag(tag);
  if (!metric) return damaged("unknown metric tag " + std::to_string(tag));
  m.metric = *metric;
  if (count > dec.remaining() / kMinEntryBytes) {
    return damaged("entry count " + std::to_string(count) + " exceeds the file");
  }
  m.segments.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t len = 0;
    if (!(st = dec.read_len(len)).ok()) return truncated(st);
    if (len > kMaxManifestNameBytes || len > dec.remaining()) {
      return damaged("entry " + std::to_string(i) + " has a name of " + std::to_string(len) + " bytes");
    }
    std::span<const uint8_t> name;
    if (!(st = dec.read_raw(static_cast<size_t>(len), name)).ok()) return truncated(st);
    ManifestEntry e;
    e.snapshot.assign(reinterpret_cast<const char*>(name.data()), name.size());
    uint8_t sealed = 0;
    if (!(st = dec.read_u8(sealed)).ok()) return truncated(st);
    if (sealed > 1) return damaged("entry " + std::to_string(i) + " has sealed flag " + std::to_string(sealed));
    e.sealed = sealed == 1;
    m.segments.push_back(std::move(e));
  }
  if (dec.remaining() != 0) return damaged(std::to_string(dec.remaining()) + " stray bytes after the entries");
  DOVADURE_TRY(check_manifest(m));
  return m;
}

}  // namespace dovadure::segment
