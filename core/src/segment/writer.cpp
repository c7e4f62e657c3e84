#include "segment/writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <unordered_map>

#include "utils/atomic_file.hpp"
#include "utils/env.hpp"

namespace dovadure::segment {

using utils::DBError;
using utils::Payload;

namespace {

using Kind = WriteError::Kind;
using Subject = WriteError::Subject;

WriteError make_error(Kind kind, std::string message, Subject subject = Subject::None) {
  WriteError e;
  e.kind = kind;
  e.subject = subject;
  e.message = std::move(message);
  return e;
}

WriteError failed(const std::string& what, const DBError& error) {
  return make_error(Kind::Failed, what.empty() ? error.to_string() : what + ": " + error.to_string());
}

WriteError os_failure(const std::string& path, int err) {
  return make_error(Kind::Failed, path + ": " + utils::os_error_text(err));
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool replay_disabled() {
  auto v = utils::env_text("DOROVOZU_WAL_AUTO_REPLAY");
  if (!v) return false;
  std::string lower = *v;
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return *v == "0" || lower == "false";
}

// Saves atomically; a failed save leaves no temporary file behind.
utils::Status save_snapshot(const Segment& seg, const std::string& path) {
  utils::Status st = seg.persist_snapshot(path);
  if (!st.ok()) ::unlink(utils::sibling_path(path, "tmp").c_str());
  return st;
}

size_t count_live(const Segment& seg) {
  const auto& index = seg.index();
  size_t live = 0;
  for (size_t i = 0; i < index.len(); ++i) {
    const auto idx = static_cast<vector::hnsw::NodeIdx>(i);
    if (!index.is_deleted(idx) && !seg.deleted().contains(index.point_id(idx))) ++live;
  }
  return live;
}

std::optional<WriteError> lock_failure(const utils::DBError& error) {
  return make_error(Kind::Locked, error.to_string());
}

}  // namespace

std::optional<utils::DistanceMetric> parse_metric_keyword(std::string_view text) {
  if (text == "cosine") return utils::DistanceMetric::Cosine;
  if (text == "dot") return utils::DistanceMetric::Dot;
  if (text == "euclidean") return utils::DistanceMetric::Euclidean;
  return std::nullopt;
}

const char* metric_keyword(utils::DistanceMetric metric) {
  switch (metric) {
    case utils::DistanceMetric::Cosine: return "cosine";
    case utils::DistanceMetric::Dot: return "dot";
    case utils::DistanceMetric::Euclidean: return "euclidean";
  }
  return "?";
}

std::optional<WriteError> upsert_refusal(const Segment& seg, uint64_t id, std::span<const float> row) {
  if (seg.deleted().contains(id)) {
    WriteError e = make_error(Kind::Refused, "id " + std::to_string(id) +
                                                 " belongs to a deleted point; compact with purge before "
                                                 "reusing it");
    e.id = id;
    return e;
  }
  const auto& index = seg.index();
  if (!index.contains(id)) return std::nullopt;
  auto stored = index.get_vector(id);
  const std::vector<float> wanted = index.maybe_normalize(row);
  if (!stored || !std::equal(stored->begin(), stored->end(), wanted.begin(), wanted.end())) {
    WriteError e = make_error(Kind::Refused, "id " + std::to_string(id) +
                                                 " already exists with a different vector; delete it and "
                                                 "compact with purge first");
    e.id = id;
    return e;
  }
  return std::nullopt;
}

std::optional<WriteError> check_rows(const PointRows& rows) {
  if (rows.vectors.size() != rows.rows * rows.dim) {
    return make_error(Kind::Invalid,
                      "holds " + std::to_string(rows.vectors.size()) + " values, not " +
                          std::to_string(rows.rows) + " rows of " + std::to_string(rows.dim),
                      Subject::Vectors);
  }
  for (size_t r = 0; r < rows.rows; ++r) {
    for (float v : rows.row(r)) {
      if (!std::isfinite(v)) {
        return make_error(Kind::Invalid, "vector " + std::to_string(r) + " holds a non-finite value",
                          Subject::Vectors);
      }
    }
  }
  if (rows.ids) {
    const auto& ids = *rows.ids;
    if (ids.size() != rows.rows) {
      return make_error(Kind::Invalid,
                        "holds " + std::to_string(ids.size()) + " ids for " + std::to_string(rows.rows) +
                            " vectors",
                        Subject::Ids);
    }
    std::unordered_map<uint64_t, size_t> seen;
    seen.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      auto [it, fresh] = seen.emplace(ids[i], i);
      if (!fresh) {
        return make_error(Kind::Invalid,
                          "duplicate id " + std::to_string(ids[i]) + " at positions " +
                              std::to_string(it->second) + " and " + std::to_string(i),
                          Subject::Ids);
      }
    }
  }
  if (!rows.payloads.empty()) {
    if (rows.payloads.size() != rows.rows) {
      return make_error(Kind::Invalid,
                        "holds " + std::to_string(rows.payloads.size()) + " payloads for " +
                            std::to_string(rows.rows) + " vectors",
                        Subject::Payloads);
    }
    for (size_t i = 0; i < rows.payloads.size(); ++i) {
      if (!rows.payloads[i]) continue;
      utils::Status text = Segment::check_payload_text(*rows.payloads[i]);
      if (!text.ok()) {
        return make_error(Kind::Invalid, "payload " + std::to_string(i) + ": " + text.error().to_string(),
                          Subject::Payloads);
      }
    }
  }
  return std::nullopt;
}

// ------------------------------------------------------------------- build

std::optional<WriteError> build_segment(const BuildSettings& settings, PointRows rows,
                                        const BuildProgress& progress) {
  if (!rows.ids) {
    rows.ids.emplace(rows.rows);
    for (size_t i = 0; i < rows.rows; ++i) (*rows.ids)[i] = i;
  }
  if (auto bad = check_rows(rows)) return bad;

  auto lock = SegmentLock::acquire(settings.path, settings.wait);
  if (!lock.ok()) return lock_failure(lock.error());
  // Checked under the lock, so that two builders cannot both find the place free.
  const std::string wal_path = utils::sibling_path(settings.path, "wal");
  if (!settings.overwrite && (file_exists(settings.path) || file_exists(wal_path))) {
    return make_error(Kind::Exists, settings.path + " already exists (or its log " + wal_path + " does)");
  }

  Segment seg(settings.metric, settings.m, settings.ef_construction, settings.max_level, rows.dim);
  seg.set_lean_lists(settings.lean_lists);
  const std::vector<uint64_t>& ids = *rows.ids;
  if (settings.threads == 1) {
    for (size_t i = 0; i < rows.rows; ++i) {
      std::optional<Payload> payload = rows.payloads.empty() ? std::nullopt : std::move(rows.payloads[i]);
      const auto vec = rows.row(i);
      auto inserted = seg.insert_with_id_internal(ids[i], std::vector<float>(vec.begin(), vec.end()),
                                                  std::move(payload), false);
      if (!inserted.ok()) return failed("point " + std::to_string(ids[i]), inserted.error());
      if (progress) progress(i + 1);
    }
  } else {
    utils::Status inserted = seg.insert_many_parallel(ids, rows.vectors, std::move(rows.payloads),
                                                      settings.threads, progress);
    if (!inserted.ok()) return failed("", inserted.error());
  }

  // The old log belongs to the segment being replaced; replayed onto the new
  // one it would delete or alter points. It goes before the new snapshot
  // arrives, so no crash can pair the two.
  if (::unlink(wal_path.c_str()) != 0 && errno != ENOENT) return os_failure(wal_path, errno);
  utils::Status saved = save_snapshot(seg, settings.path);
  if (!saved.ok()) return failed(settings.path, saved.error());
  return std::nullopt;
}

// ------------------------------------------------------------------ writer

SegmentWriter::~SegmentWriter() = default;

std::unique_ptr<SegmentWriter> SegmentWriter::open(const std::string& path,
                                                   std::chrono::milliseconds wait, WriteError& error) {
  if (!file_exists(path)) {
    error = make_error(Kind::NoSegment, path + ": " + utils::os_error_text(ENOENT));
    return nullptr;
  }
  if (replay_disabled()) {
    error = make_error(Kind::Failed,
                       "DOROVOZU_WAL_AUTO_REPLAY turns log replay off; a writer must replay the log "
                       "first (unset it)");
    return nullptr;
  }
  std::unique_ptr<SegmentWriter> w(new SegmentWriter());
  auto lock = SegmentLock::acquire(path, wait);
  if (!lock.ok()) {
    error = *lock_failure(lock.error());
    return nullptr;
  }
  w->lock_ = std::move(lock.value());
  auto loaded = Segment::load_from_path(path, SegmentAccess::Writer);
  if (!loaded.ok()) {
    error = failed(path, loaded.error());
    return nullptr;
  }
  w->segment_ = std::move(loaded.value());
  w->path_ = path;
  w->wal_path_ = utils::sibling_path(path, "wal");
  const utils::WalSettings settings = utils::read_wal_settings();
  w->fsync_ = settings.fsync;
  if (!w->segment_->has_wal_writer()) {
    // A segment without a log yet: start one, so that this writer's
    // mutations are durable and replayed by the next load.
    WalWriterConfig config;
    config.path = w->wal_path_;
    config.fsync = settings.fsync;
    config.fsync_every = settings.fsync_every;
    config.fsync_interval = settings.fsync_interval;
    auto writer = WalWriter::open(config);
    if (!writer.ok()) {
      error = failed(w->wal_path_, writer.error());
      return nullptr;
    }
    w->segment_->attach_wal_writer(std::move(writer.value()));
  }
  w->live_points_ = count_live(*w->segment_);
  return w;
}

// The log policy may leave the last appends unsynced; a call reports
// success only once they are on the device.
std::optional<WriteError> SegmentWriter::sync_log() {
  if (!fsync_) return std::nullopt;
  int fd = ::open(wal_path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_failure(wal_path_, errno);
  int rc;
  do {
    rc = ::fdatasync(fd);
  } while (rc != 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  if (rc != 0) return os_failure(wal_path_, err);
  return std::nullopt;
}

WriteError SegmentWriter::partial_failure(const std::string& what, const DBError& error) {
  // What was applied is in the log either way; syncing it keeps the next
  // load's state equal to this one's. The first failure is the one reported.
  (void)sync_log();
  return failed(what, error);
}

std::optional<WriteError> SegmentWriter::upsert(PointRows rows, UpsertCounts& counts,
                                                const BuildProgress& progress) {
  counts = UpsertCounts();
  Segment& seg = *segment_;
  const auto& index = seg.index();
  if (!rows.ids) {
    const uint64_t first = seg.next_id();
    if (rows.rows > 0 && UINT64_MAX - first < rows.rows - 1) {
      return make_error(Kind::Refused, "no room for new ids above " + std::to_string(first));
    }
    rows.ids.emplace(rows.rows);
    for (size_t i = 0; i < rows.rows; ++i) (*rows.ids)[i] = first + i;
  }
  if (auto bad = check_rows(rows)) return bad;
  if (rows.rows > 0 && rows.dim != index.dim()) {
    WriteError e = make_error(Kind::DimensionMismatch, "", Subject::Vectors);
    e.expected = index.dim();
    e.got = rows.dim;
    return e;
  }

  // Plan every point first, so that a refused point leaves the segment untouched.
  enum class Action : uint8_t { Insert, UpdatePayload, Unchanged };
  const std::vector<uint64_t>& ids = *rows.ids;
  std::vector<Action> plan(rows.rows);
  for (size_t i = 0; i < rows.rows; ++i) {
    const uint64_t id = ids[i];
    if (auto refused = upsert_refusal(seg, id, rows.row(i))) return refused;
    if (!index.contains(id)) {
      plan[i] = Action::Insert;
      continue;
    }
    const std::optional<Payload>* payload = rows.payloads.empty() ? nullptr : &rows.payloads[i];
    auto current = seg.payloads().find(id);
    const bool same = !payload || !*payload ||
                      (current != seg.payloads().end() && current->second == **payload);
    plan[i] = same ? Action::Unchanged : Action::UpdatePayload;
  }

  for (size_t i = 0; i < rows.rows; ++i) {
    const uint64_t id = ids[i];
    utils::Status st;
    std::optional<Payload> payload = rows.payloads.empty() ? std::nullopt : std::move(rows.payloads[i]);
    switch (plan[i]) {
      case Action::Insert: {
        const auto vec = rows.row(i);
        auto r = seg.insert_with_id_internal(id, std::vector<float>(vec.begin(), vec.end()),
                                             std::move(payload), true);
        if (!r.ok()) {
          st = r.take_error();
        } else {
          ++counts.inserted;
          ++live_points_;
        }
        break;
      }
      case Action::UpdatePayload:
        st = seg.update_payload_internal(id, std::move(*payload), true);
        if (st.ok()) ++counts.updated;
        break;
      case Action::Unchanged:
        ++counts.unchanged;
        break;
    }
    if (!st.ok()) {
      return partial_failure("point " + std::to_string(id) + " (" + std::to_string(i) + " of " +
                                 std::to_string(rows.rows) + " points were applied before it)",
                             st.error());
    }
    if (progress) progress(i + 1);
  }
  if (auto bad = sync_log()) return bad;
  counts.ids = std::move(*rows.ids);
  return std::nullopt;
}

std::optional<WriteError> SegmentWriter::remove(std::span<const uint64_t> ids, DeleteCounts& counts) {
  counts = DeleteCounts();
  Segment& seg = *segment_;
  for (uint64_t id : ids) {
    if (!seg.is_live(id)) {
      ++counts.absent;
      continue;
    }
    utils::Status st = seg.delete_internal(id, true);
    if (!st.ok()) return partial_failure("id " + std::to_string(id), st.error());
    ++counts.deleted;
    --live_points_;
  }
  return sync_log();
}

std::optional<WriteError> SegmentWriter::set_payload(uint64_t id, Payload payload) {
  Segment& seg = *segment_;
  if (!seg.is_live(id)) {
    WriteError e = make_error(Kind::NotFound, "no live point has id " + std::to_string(id));
    e.id = id;
    return e;
  }
  utils::Status text = Segment::check_payload_text(payload);
  if (!text.ok()) return make_error(Kind::Invalid, text.error().to_string(), Subject::Payloads);
  utils::Status st = seg.update_payload_internal(id, std::move(payload), true);
  if (!st.ok()) return partial_failure("id " + std::to_string(id), st.error());
  return sync_log();
}

std::optional<WriteError> SegmentWriter::compact(bool purge, CompactCounts& counts) {
  counts = CompactCounts();
  Segment& seg = *segment_;
  if (purge && !seg.deleted().empty()) {
    counts.purged = seg.deleted().size();
    utils::Status st = seg.purge();
    if (!st.ok()) return failed("purge", st.error());
  }
  // Snapshot first, then the log: the snapshot records the log records it
  // holds, so a crash between the two replays none of them twice.
  utils::Status saved = save_snapshot(seg, path_);
  if (!saved.ok()) return failed(path_, saved.error());
  if (WalWriter* writer = seg.wal_writer()) {
    utils::Status cut = writer->truncate();
    if (!cut.ok()) return failed(wal_path_, cut.error());
  }
  counts.points = seg.index().len();
  counts.payloads = seg.payloads().size();
  return std::nullopt;
}

}  // namespace dovadure::segment
