// JSON-lines trace files for individual searches and inserts, their
// sequence counters, and the query hash that correlates trace records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "utils/types.hpp"

namespace dovadure::utils {

// Every field is written; "zero" values stand for what an event does not know.
struct SearchTraceEntry {
  uint64_t search_id;
  DistanceMetric metric;
  uint64_t ef_search;
  bool exact_fallback_enabled;
  uint64_t exact_fallback_threshold;
  uint64_t collection_size;
  bool exact_scan;
  std::optional<uint64_t> top_id;
  std::optional<float> top_raw;
  std::optional<float> top_sort_key;
  uint64_t step;
  uint64_t level;
  uint64_t current_idx;
  uint64_t current_point;
  float current_sort_key;
  uint64_t visited;
  uint64_t expanded;
  uint64_t candidate_len;
  uint64_t results_len;
  float worst_score;
  const char* stop_reason /* nullptr = null */;
  double elapsed_ms;
};

struct InsertTraceEntry {
  uint64_t insert_id;
  uint64_t point_id;
  uint64_t level;
  uint64_t current_max_level;
  uint64_t layer;
  std::optional<uint64_t> entry_point;
  uint64_t current_entry;
  uint64_t candidates;
  uint64_t neighbors;
  std::optional<uint64_t> best_neighbor;
  double elapsed_ms;
};

// A trace file: truncated on open, one record per line, each record written
// whole under the mutex and flushed at once so a crash loses at most the
// record being written.
class JsonlSink {
 public:
  // nullptr when the file cannot be opened.
  static std::unique_ptr<JsonlSink> open(const std::string& path);
  ~JsonlSink();
  JsonlSink(const JsonlSink&) = delete;
  JsonlSink& operator=(const JsonlSink&) = delete;

  // Runs fill on the sink's buffer under the lock, appends "\n" and writes the
  // line. If fill throws, the exception propagates and the sink is poisoned:
  // every later record is dropped. Write errors drop the record silently.
  void write_record(const std::function<void(std::string&)>& fill);
  bool poisoned() const;

 private:
  explicit JsonlSink(int fd);
  int fd_;
  mutable std::mutex mu_;
  bool poisoned_ = false;
  std::string buffer_;
};

// The process-wide sinks, opened on first use from DOROVOZU_SEARCH_TRACE_LOG
// and DOROVOZU_INSERT_TRACE_LOG; nullptr (for good) when unset or unopenable.
JsonlSink* search_trace_logger();
JsonlSink* insert_trace_logger();

bool search_trace_enabled();
bool insert_trace_enabled();
void log_search_trace(const SearchTraceEntry& entry);
void log_insert_trace(const InsertTraceEntry& entry);

// Process-wide counters; the first value handed out is 1.
uint64_t next_search_trace_seq();
uint64_t next_insert_trace_seq();

// SipHash-1-3, all-zero key, over the component count (u64 LE) followed by
// each component's bit pattern (u32 LE).
uint64_t hash_query(std::span<const float> values);
// SipHash-1-3 with an all-zero key over raw bytes.
uint64_t siphash13(std::span<const uint8_t> bytes);

// Emits the "Neighbor scan cap L0=..." info line the first time it is called
// in the process; later calls do nothing.
void log_neighbor_scan_state(std::optional<size_t> cap, bool rotation, bool stride,
                             size_t expansion_mult, std::optional<size_t> expansion_cap);
std::string format_neighbor_scan_state(std::optional<size_t> cap, bool rotation, bool stride,
                                       size_t expansion_mult, std::optional<size_t> expansion_cap);

// Phases of one snapshot load, in whole milliseconds.
struct SnapshotLoadTiming {
  std::string path;
  uint64_t bytes = 0;
  uint64_t read_ms = 0;
  uint64_t checksum_ms = 0;
  uint64_t deserialize_ms = 0;
  uint64_t build_ms = 0;
  uint64_t wal_replay_ms = 0;
  uint64_t total_ms = 0;
};
// "snapshot_load path=\"...\" bytes=..." (path quoted and escaped).
std::string format_snapshot_load_timing(const SnapshotLoadTiming& timing);
// Writes the line to standard error and as an info record, target "snapshot".
void emit_snapshot_load_timing(const SnapshotLoadTiming& timing);
// Double-quoted text with \t \r \n \\ \" \0 escaped, other control characters
// as \u{..} and bytes that are not UTF-8 as \xNN.
std::string quote_debug(std::string_view text);

// The JSON objects, without the trailing "\n".
std::string format_search_trace(const SearchTraceEntry& entry);
std::string format_insert_trace(const InsertTraceEntry& entry);
// Shortest round-trip decimal form; "null" for NaN and infinities.
std::string format_json_float(float value);
std::string format_json_double(double value);

}  // namespace dovadure::utils
