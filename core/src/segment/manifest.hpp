// The manifest of a collection: which segment snapshots in the collection's
// directory belong to it, which of them is still taking new points, and the
// build settings every segment of the collection shares.
//
// The manifest is the collection's single point of truth. A segment file the
// manifest does not list is a leftover of an interrupted change and belongs
// to nobody; a change that adds or seals a segment becomes real only when the
// manifest naming it replaces the previous one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/errors.hpp"
#include "utils/types.hpp"

namespace dovadure::segment {

inline constexpr const char* kManifestName = "collection.manifest";
inline constexpr uint32_t kManifestVersion = 1;
// Longest snapshot name the manifest takes; far above what segment_file_name
// produces, far below anything that could exhaust memory.
inline constexpr uint64_t kMaxManifestNameBytes = 255;

struct ManifestEntry {
  std::string snapshot;  // a plain file name inside the directory
  bool sealed = false;

  bool operator==(const ManifestEntry&) const = default;
};

struct Manifest {
  uint64_t generation = 0;    // increases by one with every replace
  uint64_t next_segment = 0;  // number of the next segment file to create
  // The collection's build settings, so that a new segment matches its siblings.
  uint64_t dim = 0;
  utils::DistanceMetric metric = utils::DistanceMetric::Euclidean;
  uint64_t m = 16;
  uint64_t ef_construction = 200;
  uint64_t max_level = 16;
  // At most one unsealed entry, and only as the last: the active segment.
  std::vector<ManifestEntry> segments;

  bool operator==(const Manifest&) const = default;
};

// Reads and verifies `dir`/collection.manifest. A missing or unreadable file
// is DBError::Io; a damaged one (bad magic, unsupported version, checksum
// mismatch, truncation, absurd counts or settings, bad or repeated names,
// an unsealed entry that is not the last) is DBError::Serialization.
utils::Result<Manifest> read_manifest(const std::string& dir);

// Replaces `dir`/collection.manifest atomically. Refuses (Serialization) a
// manifest that read_manifest would refuse, so a bad one never reaches disk.
utils::Status write_manifest(const std::string& dir, const Manifest& manifest);

// Whether `name` may stand in a manifest: non-empty, at most
// kMaxManifestNameBytes, no '/' or NUL, not "." or "..".
bool is_plain_file_name(std::string_view name);

// "segment-000001.snap" for 1; wider numbers keep all their digits.
std::string segment_file_name(uint64_t number);

}  // namespace dovadure::segment
