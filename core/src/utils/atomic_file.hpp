// Whole-file writes that replace their destination atomically, with an
// Adler-32 footer.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "utils/checksum_writer.hpp"
#include "utils/errors.hpp"

namespace dovadure::utils {

// `path` with the extension of its final component replaced by `ext`, or
// `ext` added when there is none: "a/data.snap" and "a/data" both give
// "a/data.tmp". A leading dot does not start an extension (".snap" gives
// ".snap.tmp"); trailing slashes are dropped.
std::string sibling_path(std::string_view path, std::string_view ext);

// Unbuffered write of every byte: retries EINTR and short writes; a write of
// 0 bytes fails with "failed to write whole buffer".
Status write_fd_all(int fd, std::span<const uint8_t> bytes);

// Writes the file content through the ChecksumWriter it is given.
using BodyWriter = std::function<Status(ChecksumWriter&)>;

// Writes `body` to the "tmp" sibling of `path` through an 8 KiB buffer,
// appends the footer (u32 `footer_magic`, u32 Adler-32 of everything the
// body wrote), fsyncs, renames over `path` and fsyncs the directory.
// Failures of file operations are DBError::Io; the body's own error is
// returned unchanged. On any failure `path` still holds its previous
// content; the temporary file may be left behind.
Status write_atomic_with_checksum(const std::string& path, uint32_t footer_magic,
                                  const BodyWriter& body);

// "VDBF" read as a little-endian u32.
inline constexpr uint32_t kSnapshotFooterMagic = 0x46424456;

}  // namespace dovadure::utils
