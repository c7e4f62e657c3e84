// A segment: one collection in memory (graph index, payloads, payload index,
// deleted ids, id counter) with an optional write-ahead-log writer.
//
// Every mutation takes a `log` flag. A live mutation (log = true) checks the
// unloaded state (inserts also the memory cap) and appends its record to the
// log before it changes anything, so the log only ever holds records that
// replay. Replay passes log = false. The caller serialises all mutations.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "payload_storage/stores.hpp"
#include "segment/wal.hpp"
#include "utils/errors.hpp"
#include "utils/payload.hpp"
#include "utils/types.hpp"
#include "vector/hnsw/core.hpp"

namespace dovadure::segment {

struct SegmentSnapshot;  // segment_snapshot.hpp

// How a caller opens a segment. A reader (the Python module) replays the log
// but never opens a log writer and never changes the segment's files; a
// writer attaches a log writer after replay.
enum class SegmentAccess : uint8_t { ReadOnly, Writer };

// How a load takes in the snapshot file. Copy reads it into memory of the
// process's own. Map maps it privately instead: the vector rows the index
// keeps are then the page cache's pages, shared by every process that maps
// the same file, and nothing is cleared or copied to load them. A mapped
// file must not shrink or be rewritten in place while the index lives: a
// read of a page cut off by truncation kills the process (SIGBUS), and
// rows rewritten in place change under it. A file replaced by rename, as
// every writer here replaces snapshots, leaves the mapping as it was.
enum class SnapshotReading : uint8_t { Copy, Map };

// Marks, for as long as it lives, a load running in this process, or work
// that finishes one (freezing, quantising). Meanwhile the vector rows of
// loaded snapshots are not moved onto huge pages: a move copies and faults
// in memory on the second core, which the load's own reading and faulting
// wants, and swaps page tables under the process's memory map. load_from_path
// holds one; a caller with more to do on the loaded index holds its own
// across both.
class LoadScope {
 public:
  LoadScope() noexcept { running_.fetch_add(1, std::memory_order_relaxed); }
  ~LoadScope() { running_.fetch_sub(1, std::memory_order_relaxed); }
  LoadScope(const LoadScope&) = delete;
  LoadScope& operator=(const LoadScope&) = delete;
  static bool any() noexcept { return running_.load(std::memory_order_relaxed) > 0; }

 private:
  static inline std::atomic<int> running_{0};
};

using PayloadMap = std::unordered_map<uint64_t, utils::Payload>;
using DeletedSet = std::unordered_set<uint64_t>;

class Segment {
 public:
  // An empty segment around a new index.
  Segment(utils::DistanceMetric metric, size_t m, size_t ef_construction, size_t max_level,
          size_t dim);
  // A segment assembled from decoded parts, taken as given (the loader's
  // build step). `index` must not be null.
  Segment(std::unique_ptr<vector::hnsw::HNSWIndex> index, payload_storage::PayloadIndex payload_index,
          PayloadMap payloads, DeletedSet deleted, uint64_t next_id);
  ~Segment();
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  // Loads the snapshot at `path` and replays the log beside it (segment_load.cpp).
  static utils::Result<std::unique_ptr<Segment>> load_from_path(
      const std::string& path, SegmentAccess access = SegmentAccess::Writer,
      SnapshotReading reading = SnapshotReading::Copy);
  // The index of a segment that is dropped with it: a caller that keeps only
  // the graph (the Python module) takes it instead of copying it.
  static std::unique_ptr<vector::hnsw::HNSWIndex> take_index(std::unique_ptr<Segment> segment);
  // The payloads, moved out: a caller that keeps them past the segment's
  // life (a filtering reader) takes them before dropping it.
  PayloadMap release_payloads() { return std::move(payloads_); }
  // Whether the load timing line is reported (DOROVOZU_LOG_SNAPSHOT_LOAD_TIMING).
  static bool log_snapshot_load_timing();

  // ---- snapshot (segment_snapshot.cpp) ----
  SegmentSnapshot build_snapshot() const;
  utils::Status persist_snapshot(const std::string& path) const;

  // ---- state ----
  const vector::hnsw::HNSWIndex& index() const { return *index_; }
  // Insertions from here on keep lean lists (HNSWIndex::set_lean_lists).
  void set_lean_lists(bool on) { index_->set_lean_lists(on); }
  const payload_storage::PayloadIndex& payload_index() const { return payload_index_; }
  const PayloadMap& payloads() const { return payloads_; }
  const DeletedSet& deleted() const { return deleted_; }
  uint64_t next_id() const { return next_id_; }
  bool unloaded() const { return unloaded_; }
  // Live: allocated in the index and not deleted at segment level.
  bool is_live(uint64_t id) const;

  // The log writer, attached by a writing loader (a writer already attached
  // is closed first). Mutations with log = true append through it.
  void attach_wal_writer(WalWriter writer);
  bool has_wal_writer() const { return wal_writer_.has_value(); }
  WalWriter* wal_writer() { return wal_writer_ ? &*wal_writer_ : nullptr; }
  // Closes and drops the writer; later live mutations are not logged.
  void detach_wal_writer() { wal_writer_.reset(); }

  // ---- mutations (need exclusive access) ----
  utils::Result<uint64_t> insert_with_id_internal(uint64_t id, std::vector<float> vector,
                                                  std::optional<utils::Payload> payload, bool log);
  utils::Status delete_internal(uint64_t id, bool log);
  utils::Status update_payload_internal(uint64_t id, utils::Payload payload, bool log);
  // Builds points into a segment that has no log writer (a fresh build), the
  // graph insertions spread over `threads` threads (0: every available
  // processor); payload indexing, filter-aware edges and next_id follow
  // serially in the given order. Every id is checked first (AlreadyExists
  // for one already in the segment or repeated in `ids`; DimensionMismatch
  // when `vectors` is not ids.size() rows of dim floats), so a refused call
  // changes nothing. `payloads` is empty or holds one entry per id. Node
  // numbering depends on thread timing; everything keyed by point id does
  // not. `progress`, if set, is called on the calling thread with the
  // number of points inserted so far. Calling it on a segment with a log
  // writer is a programming error (the log would not match the order).
  utils::Status insert_many_parallel(std::span<const uint64_t> ids, std::span<const float> vectors,
                                     std::vector<std::optional<utils::Payload>> payloads,
                                     size_t threads,
                                     const std::function<void(size_t)>& progress = {});
  // Rebuilds the index without the deleted points. On failure the segment is
  // unchanged.
  utils::Status purge();
  // Replay of one log record (log = false); an insert that already exists is
  // not a failure.
  utils::Status apply_wal_record(WalRecord record);

  // Log records the load handed to apply_wal_record (0 when nothing was
  // replayed; records the snapshot already held are not counted).
  uint64_t replayed_records() const { return replayed_records_; }

  // Number of purges this segment ran (replay included).
  uint64_t purge_count() const { return purge_count_; }

  // Whether a payload's field names and strings are UTF-8: a record that
  // breaks this encodes but never decodes, so live mutations refuse it
  // (InvalidPayload) before it reaches the log.
  static utils::Status check_payload_text(const utils::Payload& payload);

  // ---- filter keys (read only the payload and the environment) ----
  // Scalar fields, allowed by DOROVOZU_FILTER_KEYS, ordered by (kind, name),
  // capped by DOROVOZU_FILTER_MAX_KEYS.
  static std::vector<std::string> filter_keys_for_payload(const utils::Payload& payload);
  // DOROVOZU_FILTER_EDGES, read at every call; absent is false.
  static bool filter_edges_enabled();

 private:
  // Memory cap check of a live insert. Fails (MemoryCapExceeded) after
  // saving, truncating and unloading when the peak resident set is above the cap.
  utils::Status check_memory_cap();
  void unload();
  // Appends to the log when `log` is set and a writer is attached.
  utils::Status append_to_log(bool log, const WalRecord& record);

  std::unique_ptr<vector::hnsw::HNSWIndex> index_;
  std::optional<WalWriter> wal_writer_;
  payload_storage::PayloadIndex payload_index_;
  PayloadMap payloads_;
  DeletedSet deleted_;
  uint64_t next_id_ = 0;
  bool unloaded_ = false;
  std::atomic<bool> rebuild_in_progress_{false};
  uint64_t purge_count_ = 0;
  uint64_t replayed_records_ = 0;
};

// Peak resident set size of this process in bytes (saturating), or nullopt
// when the operating system gives no report.
std::optional<uint64_t> peak_rss_bytes();

}  // namespace dovadure::segment
