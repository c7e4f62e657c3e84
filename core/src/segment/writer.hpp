// Changing a segment on disk: building a new one, and a writer session that
// holds the segment's lock while it upserts, deletes, sets payloads and
// compacts. Every front end (the command-line tool, the Python package)
// goes through these, so the rules below exist once:
//
// - A batch is checked whole before anything is logged: sizes, finite
//   values, repeated ids, payload text, and the segment's own refusals (an
//   id that belongs to a deleted point, an existing id with a different
//   vector). A refused batch leaves the files untouched.
// - A mutation is appended to the log before it changes memory, and a call
//   reports success only once the log is synced (when the log policy syncs
//   at all).
// - Compaction saves the snapshot before it empties the log; the snapshot
//   records which log records it holds, so a crash between the two neither
//   loses nor repeats one.
// - Saves go through a temporary sibling and leave none behind on failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "segment/segment.hpp"
#include "segment/segment_lock.hpp"
#include "utils/payload.hpp"
#include "utils/types.hpp"

namespace dovadure::segment {

// Limits of the build settings, shared by every front end's argument checks.
inline constexpr uint64_t kMinBuildM = 2;
inline constexpr uint64_t kMaxBuildM = 4096;
inline constexpr uint64_t kMaxEfConstruction = uint64_t{1} << 20;
inline constexpr uint64_t kMaxBuildLevel = 255;
inline constexpr uint64_t kMaxBuildThreads = 4096;

// The metric keywords every front end takes and prints: "cosine", "dot",
// "euclidean".
std::optional<utils::DistanceMetric> parse_metric_keyword(std::string_view text);
const char* metric_keyword(utils::DistanceMetric metric);

struct WriteError {
  enum class Kind : uint8_t {
    Invalid,            // the input breaks a rule of its own; `subject` and `message` say which
    DimensionMismatch,  // rows of `got` values for a segment of dimension `expected`
    Refused,            // the input conflicts with the segment's state
    Exists,             // a build target that exists; `message` names it
    NotFound,           // no live point has id `id`
    NoSegment,          // the segment to open does not exist; `message` names it
    Locked,             // another writer holds the segment; `message` is the lock's text
    Failed,             // I/O or core failure; `message` carries the core's text
  };
  // The input a Kind::Invalid error is about.
  enum class Subject : uint8_t { None, Vectors, Ids, Payloads };

  Kind kind = Kind::Failed;
  Subject subject = Subject::None;
  std::string message;
  uint64_t id = 0;
  size_t expected = 0;
  size_t got = 0;
};

// The points of one batch, owned. `vectors` holds rows * dim floats, row
// after row; `ids`, when given, one id per row (otherwise new ids follow the
// largest id the segment ever held); `payloads` is empty or one per row
// (nullopt: no payload).
struct PointRows {
  size_t rows = 0;
  size_t dim = 0;
  std::vector<float> vectors;
  std::optional<std::vector<uint64_t>> ids;
  std::vector<std::optional<utils::Payload>> payloads;

  std::span<const float> row(size_t i) const { return {vectors.data() + i * dim, dim}; }
};

// Checks a batch on its own: the vector buffer's size, finite values (the
// first bad row is named), one id and at most one payload per row, no id
// twice, payload strings that are UTF-8. Does not look at any segment.
std::optional<WriteError> check_rows(const PointRows& rows);

// Why `row` may not be upserted under `id` into `seg`, or nullopt when it
// may: the id of a deleted point (free again after a purge), or an existing
// id with a different vector (compared after the metric's normalisation).
std::optional<WriteError> upsert_refusal(const Segment& seg, uint64_t id, std::span<const float> row);

struct BuildSettings {
  std::string path;
  utils::DistanceMetric metric = utils::DistanceMetric::Euclidean;
  size_t m = 16;
  size_t ef_construction = 200;
  size_t max_level = 16;
  // Insertion threads; 0 means every available processor. With more than
  // one, node numbering varies from run to run (the snapshot is keyed by
  // point id, so nothing observable by id does).
  size_t threads = 1;
  // Replace an existing segment and drop its log.
  bool overwrite = false;
  // Build with lean lists (HNSWIndex::set_lean_lists): faster to build and
  // to search at a given ef, less accurate per ef. Later upserts do not
  // keep the setting.
  bool lean_lists = false;
  std::chrono::milliseconds wait{30000};
};

// Points inserted so far, called on the calling thread.
using BuildProgress = std::function<void(size_t done)>;

// Builds a segment from `rows` (ids default to 0..rows-1) under the
// segment's lock and saves it atomically. The rows' width is the segment's
// dimension. Without `overwrite` an existing snapshot or log is an Exists
// error; with it, the old log goes before the new snapshot arrives, so no
// crash can pair the two.
std::optional<WriteError> build_segment(const BuildSettings& settings, PointRows rows,
                                        const BuildProgress& progress = {});

class SegmentWriter {
 public:
  // Takes the segment's lock (waiting up to `wait`), loads the snapshot with
  // its log replayed, and attaches a log writer (starting a log when there
  // is none). Refuses when log replay is switched off: a writer that skipped
  // the log would append behind records its state does not hold.
  static std::unique_ptr<SegmentWriter> open(const std::string& path,
                                             std::chrono::milliseconds wait, WriteError& error);
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  struct UpsertCounts {
    size_t inserted = 0;
    size_t updated = 0;    // existing point, same vector, new payload
    size_t unchanged = 0;  // existing point, same vector, same (or no) payload
    std::vector<uint64_t> ids;  // one per row, given or assigned
  };
  // Inserts new points; an existing id with the same vector takes the row's
  // payload (a row without one keeps the stored payload). Refuses the whole
  // batch for an id of a deleted point (free again after a purge) or an
  // existing id with a different vector.
  std::optional<WriteError> upsert(PointRows rows, UpsertCounts& counts,
                                   const BuildProgress& progress = {});

  struct DeleteCounts {
    size_t deleted = 0;
    size_t absent = 0;  // ids that were not live; skipped
  };
  std::optional<WriteError> remove(std::span<const uint64_t> ids, DeleteCounts& counts);

  // Replaces the payload of a live point (an empty one clears it);
  // NotFound otherwise.
  std::optional<WriteError> set_payload(uint64_t id, utils::Payload payload);

  struct CompactCounts {
    size_t points = 0;    // nodes in the saved index (deleted included unless purged)
    size_t payloads = 0;
    size_t purged = 0;    // deleted ids dropped by the purge
  };
  // Saves the snapshot and empties the log; with `purge`, first rebuilds the
  // index without the deleted points, which frees their ids.
  std::optional<WriteError> compact(bool purge, CompactCounts& counts);

  const Segment& segment() const { return *segment_; }
  const std::string& path() const { return path_; }
  // Points that are live: inserted and not deleted.
  size_t live_points() const { return live_points_; }

 private:
  SegmentWriter() = default;
  std::optional<WriteError> sync_log();
  // A failed mutation that stopped partway: reports what was applied and
  // syncs it, since it is in the log and the next load replays it.
  WriteError partial_failure(const std::string& what, const utils::DBError& error);

  std::unique_ptr<SegmentLock> lock_;
  std::unique_ptr<Segment> segment_;
  std::string path_;
  std::string wal_path_;
  bool fsync_ = true;
  size_t live_points_ = 0;
};

}  // namespace dovadure::segment
