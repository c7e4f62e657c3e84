#include "segment/collection_writer.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <unordered_set>

#include "utils/atomic_file.hpp"

namespace dovadure::segment {

using utils::DBError;

namespace {

using Kind = WriteError::Kind;

WriteError make_error(Kind kind, std::string message) {
  WriteError e;
  e.kind = kind;
  e.message = std::move(message);
  return e;
}

WriteError failed(const std::string& what, const DBError& error) {
  return make_error(Kind::Failed, what + ": " + error.to_string());
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

uint64_t file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

std::optional<WriteError> check_settings(const CollectionSettings& s, size_t segment_max_points) {
  auto invalid = [](std::string text) { return make_error(Kind::Invalid, std::move(text)); };
  if (segment_max_points == 0) return invalid("segment_max_points must be at least 1");
  if (s.dim == 0) return invalid("dimension must be at least 1");
  if (s.m < kMinBuildM || s.m > kMaxBuildM) return invalid("m must be in [2, 4096]");
  if (s.ef_construction == 0 || s.ef_construction > kMaxEfConstruction) {
    return invalid("ef_construction must be in [1, " + std::to_string(kMaxEfConstruction) + "]");
  }
  if (s.max_level > kMaxBuildLevel) return invalid("max_level must be at most 255");
  return std::nullopt;
}

Manifest empty_manifest(const CollectionSettings& s) {
  Manifest m;
  m.dim = s.dim;
  m.metric = s.metric;
  m.m = s.m;
  m.ef_construction = s.ef_construction;
  m.max_level = s.max_level;
  return m;
}

BuildSettings segment_settings(const Manifest& m, std::string path, size_t threads, bool overwrite,
                               std::chrono::milliseconds wait) {
  BuildSettings b;
  b.path = std::move(path);
  b.metric = m.metric;
  b.m = static_cast<size_t>(m.m);
  b.ef_construction = static_cast<size_t>(m.ef_construction);
  b.max_level = static_cast<size_t>(m.max_level);
  b.threads = threads;
  b.overwrite = overwrite;
  b.wait = wait;
  return b;
}

std::optional<WriteError> make_directory(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0777) == 0) return std::nullopt;
  const int err = errno;
  struct stat st {};
  if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::nullopt;
  return make_error(Kind::Failed, dir + ": " + utils::os_error_text(err));
}

std::optional<WriteError> lock_collection(const std::string& dir, std::chrono::milliseconds wait,
                                          std::unique_ptr<SegmentLock>& out) {
  // The manifest's "lock" sibling is the collection's lock file.
  auto lock = SegmentLock::acquire(dir + "/" + kManifestName, wait);
  if (!lock.ok()) return make_error(Kind::Locked, "collection " + dir + ": " + lock.error().to_string());
  out = std::move(lock.value());
  return std::nullopt;
}

// The stem of a name a segment's files take ("segment-000001" for
// "segment-000001.wal"), when it is one of the extensions a segment leaves.
std::optional<std::string> segment_stem(std::string_view name) {
  constexpr std::string_view kPrefix = "segment-";
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size(), dot - kPrefix.size());
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const std::string_view ext = name.substr(dot + 1);
  if (ext != "snap" && ext != "wal" && ext != "tmp" && ext != "lock") return std::nullopt;
  return std::string(name.substr(0, dot));
}

// Removes segment files no manifest entry owns: leftovers of a rotation or
// build that stopped before its manifest replace, and temporaries of saves
// that stopped before their rename. Only names this code itself creates are
// touched.
std::optional<WriteError> remove_orphans(const std::string& dir, const Manifest& manifest) {
  std::unordered_set<std::string> listed;
  for (const ManifestEntry& e : manifest.segments) listed.insert(e.snapshot);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return make_error(Kind::Failed, dir + ": " + utils::os_error_text(errno));
  std::vector<std::string> doomed;
  while (dirent* ent = ::readdir(d)) {
    const std::string name = ent->d_name;
    if (name == utils::sibling_path(kManifestName, "tmp")) {
      doomed.push_back(name);
      continue;
    }
    auto stem = segment_stem(name);
    if (!stem) continue;
    const bool is_tmp = name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    if (is_tmp || !listed.contains(*stem + ".snap")) doomed.push_back(name);
  }
  ::closedir(d);
  for (const std::string& name : doomed) {
    const std::string path = dir + "/" + name;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return make_error(Kind::Failed, path + ": " + utils::os_error_text(errno));
    }
  }
  return std::nullopt;
}

// Copies the rows at `which` into a batch of their own (payloads move).
PointRows select_rows(PointRows& rows, std::span<const size_t> which) {
  PointRows out;
  out.rows = which.size();
  out.dim = rows.dim;
  out.vectors.reserve(which.size() * rows.dim);
  out.ids.emplace();
  out.ids->reserve(which.size());
  if (!rows.payloads.empty()) out.payloads.reserve(which.size());
  for (size_t i : which) {
    const auto row = rows.row(i);
    out.vectors.insert(out.vectors.end(), row.begin(), row.end());
    out.ids->push_back((*rows.ids)[i]);
    if (!rows.payloads.empty()) out.payloads.push_back(std::move(rows.payloads[i]));
  }
  return out;
}

std::vector<size_t> index_range(size_t from, size_t to) {
  std::vector<size_t> out(to - from);
  for (size_t i = from; i < to; ++i) out[i - from] = i;
  return out;
}

void add_counts(SegmentWriter::UpsertCounts& total, const SegmentWriter::UpsertCounts& part) {
  total.inserted += part.inserted;
  total.updated += part.updated;
  total.unchanged += part.unchanged;
}

}  // namespace

CollectionWriter::~CollectionWriter() = default;

std::optional<WriteError> CollectionWriter::load_ids(size_t s, const Segment& seg) {
  const auto& index = seg.index();
  if (index.dim() != manifest_.dim) {
    WriteError e = make_error(Kind::Failed, path_of(s) + " holds vectors of dimension " +
                                                std::to_string(index.dim()) + ", the collection " +
                                                std::to_string(manifest_.dim));
    return e;
  }
  size_t held = 0;
  auto hold = [&](uint64_t id) -> std::optional<WriteError> {
    auto [it, fresh] = owner_.emplace(id, static_cast<uint32_t>(s));
    held += fresh ? 1 : 0;
    if (!fresh && it->second != s) {
      return make_error(Kind::Failed, "id " + std::to_string(id) + " is held by both " +
                                          manifest_.segments[it->second].snapshot + " and " +
                                          manifest_.segments[s].snapshot);
    }
    return std::nullopt;
  };
  size_t live = 0;
  for (size_t i = 0; i < index.len(); ++i) {
    const uint64_t id = index.point_id(static_cast<vector::hnsw::NodeIdx>(i));
    if (auto e = hold(id)) return e;
    if (seg.is_live(id)) ++live;
  }
  for (uint64_t id : seg.deleted()) {
    if (auto e = hold(id)) return e;
  }
  live_[s] = live;
  deleted_[s] = held - live;
  live_total_ += live;
  next_id_ = std::max(next_id_, seg.next_id());
  return std::nullopt;
}

std::unique_ptr<CollectionWriter> CollectionWriter::create(const std::string& dir,
                                                           const CollectionSettings& settings,
                                                           size_t segment_max_points,
                                                           std::chrono::milliseconds wait, WriteError& error) {
  if (auto bad = check_settings(settings, segment_max_points)) {
    error = *bad;
    return nullptr;
  }
  if (auto bad = make_directory(dir)) {
    error = *bad;
    return nullptr;
  }
  std::unique_ptr<CollectionWriter> w(new CollectionWriter());
  if (auto bad = lock_collection(dir, wait, w->lock_)) {
    error = *bad;
    return nullptr;
  }
  if (file_exists(dir + "/" + kManifestName)) {
    error = make_error(Kind::Exists, dir + " already holds a collection");
    return nullptr;
  }
  w->dir_ = dir;
  w->segment_max_points_ = segment_max_points;
  w->wait_ = wait;
  w->manifest_ = empty_manifest(settings);
  // With no active entry, a rotation is exactly "create the first segment,
  // then the manifest that lists it".
  if (auto bad = w->rotate()) {
    error = *bad;
    return nullptr;
  }
  return w;
}

std::unique_ptr<CollectionWriter> CollectionWriter::open(const std::string& dir, size_t segment_max_points,
                                                         std::chrono::milliseconds wait, WriteError& error) {
  if (segment_max_points == 0) {
    error = make_error(Kind::Invalid, "segment_max_points must be at least 1");
    return nullptr;
  }
  const std::string manifest_path = dir + "/" + kManifestName;
  if (!file_exists(manifest_path)) {
    error = make_error(Kind::NoSegment, manifest_path + ": " + utils::os_error_text(ENOENT));
    return nullptr;
  }
  std::unique_ptr<CollectionWriter> w(new CollectionWriter());
  if (auto bad = lock_collection(dir, wait, w->lock_)) {
    error = *bad;
    return nullptr;
  }
  auto manifest = read_manifest(dir);
  if (!manifest.ok()) {
    error = failed(manifest_path, manifest.error());
    return nullptr;
  }
  w->dir_ = dir;
  w->segment_max_points_ = segment_max_points;
  w->wait_ = wait;
  w->manifest_ = std::move(manifest.value());
  if (auto bad = remove_orphans(dir, w->manifest_)) {
    error = *bad;
    return nullptr;
  }
  const size_t n = w->manifest_.segments.size();
  w->live_.assign(n, 0);
  w->deleted_.assign(n, 0);
  for (size_t s = 0; s < n; ++s) {
    if (!file_exists(w->path_of(s))) {
      error = make_error(Kind::Failed, "the manifest lists " + w->path_of(s) + ", which is missing");
      return nullptr;
    }
  }
  // The active segment first: its writer refuses a load that skips the log,
  // before any sealed segment is read without its log.
  if (n > 0 && !w->manifest_.segments.back().sealed) {
    if (auto bad = w->ensure_active()) {
      error = *bad;
      return nullptr;
    }
    if (auto bad = w->load_ids(n - 1, w->active_->segment())) {
      error = *bad;
      return nullptr;
    }
  }
  for (size_t s = 0; s < n; ++s) {
    if (!w->manifest_.segments[s].sealed) continue;
    // Loaded once for its ids; the index is dropped with it.
    auto loaded = Segment::load_from_path(w->path_of(s), SegmentAccess::ReadOnly);
    if (!loaded.ok()) {
      error = failed(w->path_of(s), loaded.error());
      return nullptr;
    }
    if (auto bad = w->load_ids(s, *loaded.value())) {
      error = *bad;
      return nullptr;
    }
  }
  // A collection whose last segment is sealed (a build of exactly full
  // segments leaves none otherwise) gets its active segment now.
  if (auto bad = w->ensure_active()) {
    error = *bad;
    return nullptr;
  }
  return w;
}

std::optional<WriteError> CollectionWriter::ensure_active() {
  if (active_) return std::nullopt;
  if (manifest_.segments.empty() || manifest_.segments.back().sealed) return rotate();
  WriteError error;
  active_ = SegmentWriter::open(path_of(active_index()), wait_, error);
  if (!active_) return error;
  return std::nullopt;
}

std::optional<WriteError> CollectionWriter::rotate() {
  const bool has_active = !manifest_.segments.empty() && !manifest_.segments.back().sealed;
  if (has_active) {
    if (auto bad = ensure_active()) return bad;
    SegmentWriter::CompactCounts compacted;
    if (auto bad = active_->compact(false, compacted)) return bad;
  }
  const uint64_t number = manifest_.next_segment;
  const std::string name = segment_file_name(number);
  const std::string path = dir_ + "/" + name;
  PointRows none;
  none.dim = static_cast<size_t>(manifest_.dim);
  if (auto bad = build_segment(segment_settings(manifest_, path, 1, false, wait_), std::move(none))) return bad;

  Manifest next = manifest_;
  if (has_active) next.segments.back().sealed = true;
  next.segments.push_back(ManifestEntry{name, false});
  next.next_segment = number + 1;
  next.generation = manifest_.generation + 1;
  utils::Status written = write_manifest(dir_, next);
  if (!written.ok()) {
    // Unlisted, the new file is an orphan either way; removing it now saves
    // the next open the work.
    ::unlink(path.c_str());
    return failed(dir_ + "/" + kManifestName, written.error());
  }
  manifest_ = std::move(next);
  live_.push_back(0);
  deleted_.push_back(0);
  active_.reset();  // the sealed segment's writer, with its lock
  return ensure_active();
}

std::optional<WriteError> CollectionWriter::writer_for(size_t s, std::unique_ptr<SegmentWriter>& owned,
                                                       SegmentWriter*& out) {
  if (s == active_index() && !manifest_.segments[s].sealed) {
    if (auto bad = ensure_active()) return bad;
    out = active_.get();
    return std::nullopt;
  }
  WriteError error;
  owned = SegmentWriter::open(path_of(s), wait_, error);
  if (!owned) return error;
  out = owned.get();
  return std::nullopt;
}

std::optional<WriteError> CollectionWriter::upsert(PointRows rows, UpsertCounts& counts) {
  counts = UpsertCounts();
  if (auto bad = ensure_active()) return bad;
  if (!rows.ids) {
    const uint64_t first = next_id_;
    if (rows.rows > 0 && UINT64_MAX - first < rows.rows - 1) {
      return make_error(Kind::Refused, "no room for new ids above " + std::to_string(first));
    }
    rows.ids.emplace(rows.rows);
    for (size_t i = 0; i < rows.rows; ++i) (*rows.ids)[i] = first + i;
  }
  if (auto bad = check_rows(rows)) return bad;
  if (rows.rows > 0 && rows.dim != manifest_.dim) {
    WriteError e = make_error(Kind::DimensionMismatch, "");
    e.subject = WriteError::Subject::Vectors;
    e.expected = static_cast<size_t>(manifest_.dim);
    e.got = rows.dim;
    return e;
  }
  const std::vector<uint64_t> ids = *rows.ids;

  // Rows by the segment holding their id; the rest are new points.
  std::map<size_t, std::vector<size_t>> held;
  std::vector<size_t> fresh;
  for (size_t i = 0; i < rows.rows; ++i) {
    auto it = owner_.find(ids[i]);
    if (it == owner_.end()) {
      fresh.push_back(i);
    } else {
      held[it->second].push_back(i);
    }
  }

  // Every held row is checked against its segment before any segment is
  // written: a refusal in the last one must not follow applied updates in
  // the first. Sealed segments are read, not opened for writing, here: a
  // writer would start a log beside a segment that has none.
  for (const auto& [s, which] : held) {
    std::unique_ptr<Segment> loaded;
    const Segment* seg = nullptr;
    if (s == active_index() && !manifest_.segments[s].sealed) {
      seg = &active_->segment();
    } else {
      auto r = Segment::load_from_path(path_of(s), SegmentAccess::ReadOnly);
      if (!r.ok()) return failed(path_of(s), r.error());
      loaded = std::move(r.value());
      seg = loaded.get();
    }
    for (size_t i : which) {
      if (auto refused = upsert_refusal(*seg, ids[i], rows.row(i))) return refused;
    }
  }

  size_t applied = 0;
  for (const auto& [s, which] : held) {
    std::unique_ptr<SegmentWriter> owned;
    SegmentWriter* w = nullptr;
    if (auto bad = writer_for(s, owned, w)) {
      if (applied > 0) bad->message += " (after " + std::to_string(applied) + " points of the batch were applied)";
      return bad;
    }
    UpsertCounts part;
    if (auto bad = w->upsert(select_rows(rows, which), part)) {
      if (applied > 0) bad->message += " (after " + std::to_string(applied) + " points of the batch were applied)";
      return bad;
    }
    add_counts(counts, part);
    applied += which.size();
    // Points the segment held as deleted never reach here (refused above),
    // so every insert is a new live point of this segment.
    live_[s] += part.inserted;
    live_total_ += part.inserted;
  }

  if (!fresh.empty()) {
    UpsertCounts part;
    if (auto bad = insert_new(select_rows(rows, fresh), part)) {
      if (applied > 0) bad->message += " (after " + std::to_string(applied) + " points of the batch were applied)";
      return bad;
    }
    add_counts(counts, part);
  }
  counts.ids = ids;
  return std::nullopt;
}

std::optional<WriteError> CollectionWriter::insert_new(PointRows rows, UpsertCounts& counts) {
  size_t done = 0;
  while (done < rows.rows) {
    if (auto bad = ensure_active()) return bad;
    const size_t a = active_index();
    if (live_[a] >= segment_max_points_) {
      if (auto bad = rotate()) {
        if (done > 0) bad->message += " (after " + std::to_string(done) + " new points were applied)";
        return bad;
      }
      continue;
    }
    const size_t take = std::min(segment_max_points_ - live_[a], rows.rows - done);
    const std::vector<size_t> which = index_range(done, done + take);
    UpsertCounts part;
    if (auto bad = active_->upsert(select_rows(rows, which), part)) {
      if (done > 0) bad->message += " (after " + std::to_string(done) + " new points were applied)";
      return bad;
    }
    add_counts(counts, part);
    for (size_t i : which) {
      const uint64_t id = (*rows.ids)[i];
      owner_.emplace(id, static_cast<uint32_t>(a));
      next_id_ = std::max(next_id_, id == UINT64_MAX ? UINT64_MAX : id + 1);
    }
    live_[a] += part.inserted;
    live_total_ += part.inserted;
    done += take;
  }
  return std::nullopt;
}

std::optional<WriteError> CollectionWriter::remove(std::span<const uint64_t> ids, DeleteCounts& counts) {
  counts = DeleteCounts();
  std::map<size_t, std::vector<uint64_t>> by_segment;
  for (uint64_t id : ids) {
    auto it = owner_.find(id);
    if (it == owner_.end()) {
      ++counts.absent;
    } else {
      by_segment[it->second].push_back(id);
    }
  }
  for (const auto& [s, group] : by_segment) {
    std::unique_ptr<SegmentWriter> owned;
    SegmentWriter* w = nullptr;
    if (auto bad = writer_for(s, owned, w)) return bad;
    DeleteCounts part;
    auto bad = w->remove(group, part);
    counts.deleted += part.deleted;
    counts.absent += part.absent;
    live_[s] -= part.deleted;
    deleted_[s] += part.deleted;
    live_total_ -= part.deleted;
    if (bad) return bad;
  }
  return std::nullopt;
}

std::optional<WriteError> CollectionWriter::compact(bool purge, CompactCounts& counts) {
  counts = CompactCounts();
  if (auto bad = ensure_active()) return bad;
  for (size_t s = 0; s < manifest_.segments.size(); ++s) {
    const bool log_has_records = file_size(utils::sibling_path(path_of(s), "wal")) > kWalHeaderBytes;
    if (deleted_[s] == 0 && !log_has_records) continue;
    std::unique_ptr<SegmentWriter> owned;
    SegmentWriter* w = nullptr;
    if (auto bad = writer_for(s, owned, w)) return bad;
    std::vector<uint64_t> dead;
    if (purge) dead.assign(w->segment().deleted().begin(), w->segment().deleted().end());
    SegmentWriter::CompactCounts part;
    if (auto bad = w->compact(purge, part)) return bad;
    ++counts.segments;
    counts.purged += part.purged;
    const Segment& seg = w->segment();
    for (uint64_t id : dead) {
      if (!seg.index().contains(id) && !seg.deleted().contains(id) && owner_.erase(id) == 1) --deleted_[s];
    }
  }
  return std::nullopt;
}

std::optional<WriteError> build_collection(const std::string& dir, const CollectionSettings& settings,
                                           PointRows rows, size_t segment_max_points, size_t threads,
                                           bool overwrite, std::chrono::milliseconds wait) {
  if (auto bad = check_settings(settings, segment_max_points)) return bad;
  if (!rows.ids) {
    rows.ids.emplace(rows.rows);
    for (size_t i = 0; i < rows.rows; ++i) (*rows.ids)[i] = i;
  }
  if (auto bad = check_rows(rows)) return bad;
  if (rows.rows > 0 && rows.dim != settings.dim) {
    WriteError e = make_error(Kind::DimensionMismatch, "");
    e.subject = WriteError::Subject::Vectors;
    e.expected = settings.dim;
    e.got = rows.dim;
    return e;
  }
  rows.dim = settings.dim;
  if (auto bad = make_directory(dir)) return bad;
  std::unique_ptr<SegmentLock> lock;
  if (auto bad = lock_collection(dir, wait, lock)) return bad;

  Manifest manifest = empty_manifest(settings);
  std::optional<Manifest> old;
  if (file_exists(dir + "/" + kManifestName)) {
    if (!overwrite) return make_error(Kind::Exists, dir + " already holds a collection");
    auto read = read_manifest(dir);
    // Without the old manifest the new segments' numbers could land on old
    // files still in use; a damaged collection is not replaced blindly.
    if (!read.ok()) return failed(dir + "/" + kManifestName, read.error());
    old = std::move(read.value());
    manifest.generation = old->generation;
    manifest.next_segment = old->next_segment;
  }

  const size_t chunks = rows.rows == 0 ? 1 : (rows.rows + segment_max_points - 1) / segment_max_points;
  std::vector<std::string> built;
  auto discard_built = [&] {
    for (const std::string& path : built) ::unlink(path.c_str());
  };
  for (size_t c = 0; c < chunks; ++c) {
    const std::string name = segment_file_name(manifest.next_segment + c);
    const std::string path = dir + "/" + name;
    const size_t from = c * segment_max_points;
    const size_t to = std::min(rows.rows, from + segment_max_points);
    const std::vector<size_t> which = index_range(from, to);
    BuildSettings build = segment_settings(manifest, path, threads, overwrite, wait);
    build.lean_lists = settings.lean_lists;
    if (auto bad = build_segment(build, select_rows(rows, which))) {
      discard_built();
      return bad;
    }
    built.push_back(path);
    manifest.segments.push_back(ManifestEntry{name, c + 1 < chunks});
  }
  manifest.next_segment += chunks;
  manifest.generation += 1;
  utils::Status written = write_manifest(dir, manifest);
  if (!written.ok()) {
    discard_built();
    return failed(dir + "/" + kManifestName, written.error());
  }
  if (old) {
    // The new manifest no longer names them; a failure here only leaves
    // orphans for the next open to remove.
    for (const ManifestEntry& e : old->segments) {
      const std::string path = dir + "/" + e.snapshot;
      ::unlink(path.c_str());
      ::unlink(utils::sibling_path(path, "wal").c_str());
      ::unlink(utils::sibling_path(path, "lock").c_str());
    }
  }
  return std::nullopt;
}

}  // namespace dovadure::segment
