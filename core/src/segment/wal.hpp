// The segment's write-ahead log: record format, appending writer, replay.
//
// File:   "VDBW" | u32 version 1 | frame*
// Frame:  u32 L | L bytes of encoded WalRecord | u32 Adler-32 of those L bytes
//
// No count, sequence number or end marker: the file ends after the last
// frame. A crash can only tear the last frame, which replay skips.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "utils/encoding.hpp"
#include "utils/errors.hpp"
#include "utils/payload.hpp"

namespace dovadure::segment {

//   index  variant        content                                   size
//   0      Insert         u64 id, f32 sequence, optional Payload    21 + 4n (+ 8 + entries)
//   1      Delete         u64 id                                    12
//   2      UpdatePayload  u64 id, Payload                           20 + entries
struct WalInsert {
  uint64_t point_id = 0;
  std::vector<float> vector;
  std::optional<utils::Payload> payload;
};
struct WalDelete {
  uint64_t point_id = 0;
};
struct WalUpdatePayload {
  uint64_t point_id = 0;
  utils::Payload payload;
};

struct WalRecord {
  using Insert = WalInsert;
  using Delete = WalDelete;
  using UpdatePayload = WalUpdatePayload;

  std::variant<Insert, Delete, UpdatePayload> value;

  static WalRecord insert(uint64_t id, std::vector<float> vector,
                          std::optional<utils::Payload> payload) {
    return WalRecord{Insert{id, std::move(vector), std::move(payload)}};
  }
  static WalRecord remove(uint64_t id) { return WalRecord{Delete{id}}; }
  static WalRecord update_payload(uint64_t id, utils::Payload payload) {
    return WalRecord{UpdatePayload{id, std::move(payload)}};
  }

  // Vectors compare bit for bit, payloads with payload equality.
  bool operator==(const WalRecord& other) const;

  size_t encoded_len() const;
  void encode(utils::Encoder& out) const;
  // Unknown index: "invalid value: integer `{}`, expected variant index 0 <= i < 3".
  static utils::Status decode(utils::Decoder& in, WalRecord& out);
};

inline constexpr uint32_t kWalVersion = 1;
inline constexpr uint64_t kWalHeaderBytes = 8;

// What a replay found; hand it to WalWriter::open so the writer can repair a
// torn tail before its first append.
struct ReplayOutcome {
  bool file_found = false;
  uint64_t records_applied = 0;
  // Offset just past the last complete frame (8 after a bare header, 0 when
  // even the header is incomplete or the file is missing).
  uint64_t valid_end = 0;
  // Bytes of an incomplete last frame (or header) follow valid_end.
  bool torn = false;
};

class WalReader {
 public:
  using Apply = std::function<utils::Status(WalRecord&&)>;

  // Applies every complete record in order. A missing file or one shorter
  // than the header applies nothing and succeeds. Errors:
  //   DBError::WalCorruption "missing WAL header", "unsupported WAL version {}",
  //     "checksum mismatch", and "incomplete frame at byte offset {} is
  //     followed by a complete frame at byte offset {}" when a damaged length
  //     field hides records behind what looks like a torn tail;
  //   DBError::Serialization for a record that does not decode;
  //   DBError::Io for read failures; and the first error `apply` returns.
  // Never modifies the file.
  static utils::Result<ReplayOutcome> replay(const std::string& path, const Apply& apply);
};

struct WalWriterConfig {
  std::string path;
  // Sync when this much time has passed since the last sync; zero: no time rule.
  std::chrono::nanoseconds fsync_interval{0};
  // Sync after this many appends.
  uint64_t fsync_every = 1;
  // Whether appends are made durable at all.
  bool fsync = true;
};

class WalWriter {
 public:
  // Opens (creating, mode 0666 before umask) for appending and writes the
  // header into an empty file. `replayed` is the outcome of replaying this
  // file just before; a torn tail it reports is cut off at the first append,
  // never here, so that opening changes nothing but an empty file.
  static utils::Result<WalWriter> open(const WalWriterConfig& config,
                                       const ReplayOutcome& replayed = ReplayOutcome());

  WalWriter(WalWriter&& other) noexcept;
  WalWriter& operator=(WalWriter&& other) noexcept;
  WalWriter(const WalWriter&) = delete;
  WalWriter& operator=(const WalWriter&) = delete;
  ~WalWriter();

  // Writes one frame and syncs as the policy says. If a write fails midway,
  // the partial frame is cut off before the next append.
  utils::Status append(const WalRecord& record);
  // Empties the log back to its header.
  utils::Status truncate();
  // Writes the header if the file is empty; an existing header is not checked.
  utils::Status ensure_header();

  const std::string& path() const { return path_; }
  uint64_t pending_appends() const { return pending_appends_; }
  // Syncs performed since open (header and truncate syncs included).
  uint64_t sync_count() const { return sync_count_; }

 private:
  WalWriter() = default;
  utils::Status sync();
  utils::Status cut_pending_tail();
  void close_file();

  std::string path_;
  bool fsync_ = true;
  uint64_t fsync_every_ = 1;
  std::chrono::nanoseconds fsync_interval_{0};
  std::chrono::steady_clock::time_point last_sync_;
  uint64_t pending_appends_ = 0;
  uint64_t sync_count_ = 0;
  int fd_ = -1;
  // File length as this writer knows it: where the next frame starts.
  uint64_t end_ = 0;
  // Length to cut the file back to before the next append.
  std::optional<uint64_t> cut_to_;
};

}  // namespace dovadure::segment
