// A collection: a directory of segments under one manifest, written by one
// writer at a time.
//
// Point ids are unique across the collection. A point stays in the segment
// that first took it; new points go to the one active segment, and when that
// is full it is sealed and a fresh one started. The order of a rotation is
// what keeps every acknowledged point present exactly once whatever moment a
// crash picks:
//
//   1. compact the full segment (its log folds into its snapshot);
//   2. create the next segment file, empty, with the collection's settings;
//   3. replace the manifest: the old segment sealed, the new one active;
//   4. only then write points into the new segment.
//
// A crash before 3 leaves the new file unlisted; the next open removes it.
// A crash after 3 leaves an empty active segment, which is a collection like
// any other.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "segment/manifest.hpp"
#include "segment/segment_lock.hpp"
#include "segment/writer.hpp"

namespace dovadure::segment {

// The settings every segment of a collection is built with.
struct CollectionSettings {
  utils::DistanceMetric metric = utils::DistanceMetric::Euclidean;
  size_t m = 16;
  size_t ef_construction = 200;
  size_t max_level = 16;
  size_t dim = 0;
  // Lean lists for the segments build_collection makes (BuildSettings); not
  // kept in the manifest, so later segments and compactions use full lists.
  bool lean_lists = false;
};

// Name of the collection's lock file inside its directory.
inline constexpr const char* kCollectionLockName = "collection.lock";

class CollectionWriter {
 public:
  // A new, empty collection in `dir` (created when missing; its parent must
  // exist). Exists when `dir` already holds a manifest or a file the first
  // segment would take.
  static std::unique_ptr<CollectionWriter> create(const std::string& dir, const CollectionSettings& settings,
                                                  size_t segment_max_points, std::chrono::milliseconds wait,
                                                  WriteError& error);
  // An existing collection: reads the manifest, loads every segment once to
  // learn which ids it holds, removes segment files the manifest does not
  // list, and opens a writer on the active segment.
  static std::unique_ptr<CollectionWriter> open(const std::string& dir, size_t segment_max_points,
                                                std::chrono::milliseconds wait, WriteError& error);
  ~CollectionWriter();
  CollectionWriter(const CollectionWriter&) = delete;
  CollectionWriter& operator=(const CollectionWriter&) = delete;

  using UpsertCounts = SegmentWriter::UpsertCounts;
  using DeleteCounts = SegmentWriter::DeleteCounts;

  // Rows whose id a segment holds go to that segment (a payload update, or
  // the segment writer's refusals); new ids, given or assigned above the
  // largest id the collection ever held, go to the active segment, rotating
  // it as it fills. Every row is checked against its segment before anything
  // is applied, so a refused batch changes no file.
  std::optional<WriteError> upsert(PointRows rows, UpsertCounts& counts);
  std::optional<WriteError> remove(std::span<const uint64_t> ids, DeleteCounts& counts);

  struct CompactCounts {
    size_t segments = 0;  // segments compacted
    size_t purged = 0;    // deleted ids dropped by purges
  };
  // Compacts every segment with deletions or a non-empty log.
  std::optional<WriteError> compact(bool purge, CompactCounts& counts);

  size_t live_points() const { return live_total_; }
  size_t dim() const { return static_cast<size_t>(manifest_.dim); }
  const Manifest& manifest() const { return manifest_; }
  const std::string& dir() const { return dir_; }

 private:
  CollectionWriter() = default;
  // Index of the active segment in manifest_.segments.
  size_t active_index() const { return manifest_.segments.size() - 1; }
  std::string path_of(size_t segment) const { return dir_ + "/" + manifest_.segments[segment].snapshot; }
  std::optional<WriteError> ensure_active();
  // Steps 1 to 3 of a rotation (or, with no active segment, 2 and 3).
  std::optional<WriteError> rotate();
  // A writer on segment `s`: the active one, or a fresh one on a sealed one.
  std::optional<WriteError> writer_for(size_t s, std::unique_ptr<SegmentWriter>& owned, SegmentWriter*& out);
  std::optional<WriteError> insert_new(PointRows rows, UpsertCounts& counts);
  std::optional<WriteError> load_ids(size_t s, const Segment& seg);

  std::string dir_;
  size_t segment_max_points_ = 0;
  std::chrono::milliseconds wait_{0};
  std::unique_ptr<SegmentLock> lock_;
  Manifest manifest_;
  std::unique_ptr<SegmentWriter> active_;
  // Every id a segment holds, live or deleted and not yet purged.
  std::unordered_map<uint64_t, uint32_t> owner_;
  std::vector<size_t> live_;     // per segment
  std::vector<size_t> deleted_;  // per segment, ids deleted and not purged
  size_t live_total_ = 0;
  uint64_t next_id_ = 0;  // above every id the collection ever held
};

// Builds a new collection from `rows` (ids default to 0..rows-1): segments of
// `segment_max_points` points, each built with `threads` threads, all sealed
// but the last; the manifest comes last, so a crash leaves no collection
// rather than part of one. With `overwrite`, an existing collection in `dir`
// is replaced: the new segments take numbers the old ones never used, and
// the old files go only after the new manifest is in place.
std::optional<WriteError> build_collection(const std::string& dir, const CollectionSettings& settings,
                                           PointRows rows, size_t segment_max_points, size_t threads,
                                           bool overwrite, std::chrono::milliseconds wait);

}  // namespace dovadure::segment
