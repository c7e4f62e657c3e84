#include "segment/segment.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "segment/filter_key_config.hpp"
#include "utils/env.hpp"
#include "utils/log.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/stats.hpp"

namespace dovadure::segment {

using utils::DBError;
using utils::Payload;
using utils::PayloadKind;
using utils::Status;
using vector::hnsw::HNSWIndex;

namespace {

constexpr const char* kUnloadedText = "segment unloaded after memory cap exceeded";

// Rank of a filter key by the kind of its value; lists never qualify.
int kind_rank(PayloadKind kind) {
  switch (kind) {
    case PayloadKind::Bool: return 0;
    case PayloadKind::Str: return 1;
    case PayloadKind::Int: return 2;
    case PayloadKind::Float: return 3;
    default: return -1;
  }
}

}  // namespace

// A record whose strings are not UTF-8 encodes fine but fails to decode, so
// it would make every later replay of the log fail; refuse it before it is
// appended.
Status Segment::check_payload_text(const Payload& payload) {
  for (const auto& [name, value] : payload.fields) {
    if (!utils::is_valid_utf8(name)) return DBError::invalid_payload("field name is not valid UTF-8");
    bool ok = true;
    if (value.kind() == PayloadKind::Str) {
      ok = utils::is_valid_utf8(value.as_str());
    } else if (value.kind() == PayloadKind::ListStr) {
      for (const std::string& s : value.as_list_str()) ok = ok && utils::is_valid_utf8(s);
    }
    if (!ok) return DBError::invalid_payload("value of field \"" + name + "\" is not valid UTF-8");
  }
  return {};
}

namespace {

// Clears the rebuild flag however the purge ends.
class RebuildGuard {
 public:
  explicit RebuildGuard(std::atomic<bool>& flag) : flag_(flag) {}
  ~RebuildGuard() { flag_.store(false, std::memory_order_release); }
  RebuildGuard(const RebuildGuard&) = delete;
  RebuildGuard& operator=(const RebuildGuard&) = delete;

 private:
  std::atomic<bool>& flag_;
};

std::unique_ptr<HNSWIndex> empty_index_like(const HNSWIndex& old) {
  return std::make_unique<HNSWIndex>(old.metric(), old.m(), old.ef_construction(), old.max_level(),
                                     old.dim());
}

}  // namespace

std::optional<uint64_t> peak_rss_bytes() {
  struct rusage usage {};
  if (::getrusage(RUSAGE_SELF, &usage) != 0) return std::nullopt;
  uint64_t kib = usage.ru_maxrss < 0 ? 0 : static_cast<uint64_t>(usage.ru_maxrss);
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(kib, uint64_t{1024}, &bytes)) return UINT64_MAX;
  return bytes;
}

Segment::Segment(utils::DistanceMetric metric, size_t m, size_t ef_construction, size_t max_level,
                 size_t dim)
    : index_(std::make_unique<HNSWIndex>(metric, m, ef_construction, max_level, dim)) {}

Segment::Segment(std::unique_ptr<HNSWIndex> index, payload_storage::PayloadIndex payload_index,
                 PayloadMap payloads, DeletedSet deleted, uint64_t next_id)
    : index_(std::move(index)),
      payload_index_(std::move(payload_index)),
      payloads_(std::move(payloads)),
      deleted_(std::move(deleted)),
      next_id_(next_id) {
  if (!index_) {
    std::fprintf(stderr, "Segment built without an index\n");
    std::abort();
  }
}

Segment::~Segment() = default;

bool Segment::is_live(uint64_t id) const { return index_->contains(id) && !deleted_.contains(id); }

void Segment::attach_wal_writer(WalWriter writer) {
  wal_writer_.reset();
  wal_writer_.emplace(std::move(writer));
}

bool Segment::filter_edges_enabled() {
  return utils::env_bool("DOROVOZU_FILTER_EDGES").value_or(false);
}

std::vector<std::string> Segment::filter_keys_for_payload(const Payload& payload) {
  const FilterKeyConfig& config = filter_key_config();
  std::vector<std::pair<int, const std::string*>> chosen;
  for (const auto& [name, value] : payload.fields) {
    int rank = kind_rank(value.kind());
    if (rank < 0) continue;
    if (config.allowed_keys && !config.allowed_keys->contains(name)) continue;
    chosen.emplace_back(rank, &name);
  }
  std::sort(chosen.begin(), chosen.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return *a.second < *b.second;  // std::string compares bytewise
  });
  if (config.max_keys && chosen.size() > *config.max_keys) chosen.resize(*config.max_keys);
  std::vector<std::string> keys;
  keys.reserve(chosen.size());
  for (const auto& entry : chosen) keys.push_back(*entry.second);
  return keys;
}

Status Segment::append_to_log(bool log, const WalRecord& record) {
  if (!log || !wal_writer_) return {};
  return wal_writer_->append(record);
}

utils::Result<uint64_t> Segment::insert_with_id_internal(uint64_t id, std::vector<float> vector,
                                                         std::optional<Payload> payload, bool log) {
  using Clock = std::chrono::steady_clock;
  if (log) {
    if (unloaded_) return DBError::memory_cap_exceeded(kUnloadedText);
    DOVADURE_TRY(check_memory_cap());
  }
  const bool timing = utils::env_bool("DOROVOZU_LOG_INSERT_TIMING").value_or(false);
  const Clock::time_point started = timing ? Clock::now() : Clock::time_point{};

  if (index_->contains(id) || payloads_.contains(id) || deleted_.contains(id)) {
    return DBError::already_exists(id);
  }
  if (log) {
    // Failures the index would only report after the record is in the log
    // are caught here, so that the log holds only records that replay. An
    // index of dimension 0 refuses every vector, one of no values too.
    if (vector.size() != index_->dim() || index_->dim() == 0) {
      return DBError::dimension_mismatch(index_->dim(), vector.size());
    }
    if (payload) DOVADURE_TRY(check_payload_text(*payload));
    DOVADURE_TRY(append_to_log(log, WalRecord::insert(id, vector, payload)));
  }

  // The index takes the vector by value; filter edges still need it.
  std::vector<float> for_edges;
  if (payload) for_edges = vector;
  DOVADURE_TRY(index_->insert(id, std::move(vector)));
  Clock::time_point mark = timing ? Clock::now() : Clock::time_point{};
  Clock::duration hnsw_time = mark - started;
  Clock::duration payload_time{0};
  Clock::duration edges_time{0};

  if (payload) {
    payload_index_.insert(id, *payload);
    const Payload& stored = payloads_.insert_or_assign(id, std::move(*payload)).first->second;
    if (timing) {
      Clock::time_point now = Clock::now();
      payload_time = now - mark;
      mark = now;
    }
    std::vector<std::string> keys = filter_keys_for_payload(stored);
    if (!keys.empty() && filter_edges_enabled()) {
      Status edges = index_->build_filter_aware_edges(id, for_edges, stored, payload_index_,
                                                      payloads_, keys);
      if (!edges.ok()) return edges.take_error();
    }
    if (timing) edges_time = Clock::now() - mark;
  }

  if (id >= next_id_) next_id_ = id == UINT64_MAX ? UINT64_MAX : id + 1;

  if (timing) {
    vector::hnsw::record_insert_timing(hnsw_time, payload_time, edges_time, Clock::now() - started);
  }
  return id;
}

Status Segment::insert_many_parallel(std::span<const uint64_t> ids, std::span<const float> vectors,
                                     std::vector<std::optional<Payload>> payloads, size_t threads,
                                     const std::function<void(size_t)>& progress) {
  if (wal_writer_) {
    std::fprintf(stderr, "parallel insert into a segment with a log writer\n");
    std::abort();
  }
  const size_t n = ids.size();
  const size_t dim = index_->dim();
  if (n == 0) return {};
  if (vectors.size() / n != dim || vectors.size() % n != 0) {
    return DBError::dimension_mismatch(dim, vectors.size() / n);
  }
  if (!payloads.empty() && payloads.size() != n) {
    return DBError::invalid_payload("expected " + std::to_string(n) + " payloads, got " +
                                    std::to_string(payloads.size()));
  }
  {
    // The index itself skips a repeated id silently, so repeats are refused
    // here, before anything changes.
    std::unordered_set<uint64_t> seen;
    seen.reserve(n);
    for (uint64_t id : ids) {
      if (!seen.insert(id).second || index_->contains(id) || payloads_.contains(id) ||
          deleted_.contains(id)) {
        return DBError::already_exists(id);
      }
    }
  }
  if (unloaded_) return DBError::memory_cap_exceeded(kUnloadedText);

  if (threads == 0) threads = std::max<size_t>(std::thread::hardware_concurrency(), 1);
  threads = std::min(threads, n);
  // Small blocks handed out on demand keep the threads busy to the end
  // whatever each point costs; consecutive points stay together.
  constexpr size_t kBlock = 64;
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::optional<DBError> first_error;
  HNSWIndex& index = *index_;
  const auto work = [&] {
    while (!failed.load(std::memory_order_relaxed)) {
      const size_t begin = next.fetch_add(kBlock, std::memory_order_relaxed);
      if (begin >= n) return;
      const size_t end = std::min(n, begin + kBlock);
      for (size_t i = begin; i < end; ++i) {
        const float* row = vectors.data() + i * dim;
        Status inserted = index.insert(ids[i], std::vector<float>(row, row + dim));
        if (!inserted.ok()) {
          std::lock_guard<std::mutex> guard(error_mutex);
          if (!first_error) first_error = inserted.take_error();
          failed.store(true, std::memory_order_relaxed);
          return;
        }
        done.fetch_add(1, std::memory_order_relaxed);
      }
    }
  };
  {
    std::vector<std::jthread> workers;
    workers.reserve(threads);
    for (size_t t = 0; t < threads; ++t) workers.emplace_back(work);
    if (progress) {
      while (done.load(std::memory_order_relaxed) < n && !failed.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        progress(done.load(std::memory_order_relaxed));
      }
    }
  }  // joins the workers
  if (first_error) return std::move(*first_error);
  if (progress) progress(n);

  const bool edges = filter_edges_enabled();
  for (size_t i = 0; i < n; ++i) {
    const uint64_t id = ids[i];
    if (id >= next_id_) next_id_ = id == UINT64_MAX ? UINT64_MAX : id + 1;
    if (payloads.empty() || !payloads[i]) continue;
    payload_index_.insert(id, *payloads[i]);
    const Payload& stored = payloads_.insert_or_assign(id, std::move(*payloads[i])).first->second;
    std::vector<std::string> keys = filter_keys_for_payload(stored);
    if (!keys.empty() && edges) {
      const float* row = vectors.data() + i * dim;
      DOVADURE_TRY(index_->build_filter_aware_edges(id, std::span<const float>(row, dim), stored,
                                                    payload_index_, payloads_, keys));
    }
  }
  return {};
}

Status Segment::delete_internal(uint64_t id, bool log) {
  if (log && unloaded_) return DBError::memory_cap_exceeded(kUnloadedText);
  if (deleted_.contains(id) || !index_->contains(id)) return {};
  DOVADURE_TRY(append_to_log(log, WalRecord::remove(id)));

  if (auto it = payloads_.find(id); it != payloads_.end()) {
    payload_index_.remove(id, it->second);
    payloads_.erase(it);
  }
  deleted_.insert(id);
  index_->mark_deleted(id);

  if (utils::env_bool("DOROVOZU_PURGE_DELETIONS").value_or(false)) {
    const size_t d = deleted_.size();
    const size_t n = index_->len();
    if (d >= 100 && static_cast<float>(d) / static_cast<float>(n) >= 0.25f) {
      DOVADURE_LOG(utils::LogLevel::Info, "segment", [&] {
        char buf[128];
        std::snprintf(buf, sizeof buf, "[DELETE] Triggering purge: %zu/%zu (%.2f%%) deleted", d, n,
                      static_cast<double>(static_cast<float>(d) * 100.0f / static_cast<float>(n)));
        return std::string(buf);
      }());
      return purge();
    }
  }
  return {};
}

Status Segment::update_payload_internal(uint64_t id, Payload payload, bool log) {
  if (log && unloaded_) return DBError::memory_cap_exceeded(kUnloadedText);
  if (deleted_.contains(id) || !index_->contains(id)) return DBError::not_found(id);
  if (log) {
    DOVADURE_TRY(check_payload_text(payload));
    DOVADURE_TRY(append_to_log(log, WalRecord::update_payload(id, payload)));
  }
  if (auto it = payloads_.find(id); it != payloads_.end()) payload_index_.remove(id, it->second);
  payload_index_.insert(id, payload);
  payloads_.insert_or_assign(id, std::move(payload));
  return {};
}

Status Segment::purge() {
  if (rebuild_in_progress_.exchange(true, std::memory_order_acq_rel)) {
    return DBError::search_failed("Segment rebuild already in progress.");
  }
  RebuildGuard guard(rebuild_in_progress_);

  std::unique_ptr<HNSWIndex> fresh = empty_index_like(*index_);
  payload_storage::PayloadIndex fresh_payload_index;
  PayloadMap fresh_payloads;
  const bool edges = filter_edges_enabled();
  const size_t n = index_->len();
  for (size_t i = 0; i < n; ++i) {
    const uint64_t id = index_->point_id(static_cast<vector::hnsw::NodeIdx>(i));
    if (deleted_.contains(id)) continue;
    const auto stored = index_->get_vector_by_idx(i);
    if (!stored) continue;  // tombstoned in the index: nothing to carry over
    std::vector<float> copy(stored->begin(), stored->end());
    DOVADURE_TRY(fresh->insert(id, copy));
    auto it = payloads_.find(id);
    if (it == payloads_.end()) continue;
    fresh_payload_index.insert(id, it->second);
    const Payload& kept = fresh_payloads.insert_or_assign(id, it->second).first->second;
    std::vector<std::string> keys = filter_keys_for_payload(kept);
    if (edges && !keys.empty()) {
      DOVADURE_TRY(fresh->build_filter_aware_edges(id, copy, kept, fresh_payload_index,
                                                   fresh_payloads, keys));
    }
  }
  index_ = std::move(fresh);
  payload_index_ = std::move(fresh_payload_index);
  payloads_ = std::move(fresh_payloads);
  deleted_.clear();
  ++purge_count_;
  return {};
}

Status Segment::apply_wal_record(WalRecord record) {
  return std::visit(
      [this](auto&& r) -> Status {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, WalRecord::Insert>) {
          auto result = insert_with_id_internal(r.point_id, std::move(r.vector), std::move(r.payload),
                                                false);
          if (result.ok() || result.error().kind() == utils::DBErrorKind::AlreadyExists) return {};
          return result.take_error();
        } else if constexpr (std::is_same_v<T, WalRecord::Delete>) {
          return delete_internal(r.point_id, false);
        } else {
          return update_payload_internal(r.point_id, std::move(r.payload), false);
        }
      },
      std::move(record.value));
}

Status Segment::check_memory_cap() {
  const std::optional<uint64_t> cap = vector::hnsw::max_rss_bytes();
  if (!cap) return {};
  const std::optional<uint64_t> rss = peak_rss_bytes();
  if (!rss || *rss <= *cap) return {};

  if (const std::optional<std::string>& path = vector::hnsw::oom_snapshot_path()) {
    Status saved = persist_snapshot(*path);
    if (saved.ok() && wal_writer_) saved = wal_writer_->truncate();
    if (!saved.ok()) {
      DOVADURE_LOG(utils::LogLevel::Warn, "segment::memory",
                   "memory cap snapshot failed (" + *path + "): " + saved.error().to_string());
    }
  } else {
    DOVADURE_LOG(utils::LogLevel::Warn, "segment::memory",
                 "memory cap exceeded but DOROVOZU_OOM_SNAPSHOT_PATH is not set");
  }
  unload();
  return DBError::memory_cap_exceeded("rss_bytes=" + std::to_string(*rss) +
                                      " cap_bytes=" + std::to_string(*cap));
}

void Segment::unload() {
  const HNSWIndex& old = *index_;
  std::unique_ptr<HNSWIndex> fresh = empty_index_like(old);
  const size_t m0 = std::max<size_t>(old.m0(), 1);
  const size_t old_cap = old.max_neighbors_l0() != 0 ? old.max_neighbors_l0() : fresh->max_neighbors_l0();
  fresh->set_m0(m0);
  fresh->set_max_neighbors_l0(std::max(old_cap, m0));
  fresh->set_ef_insert(old.ef_insert());
  fresh->set_exact_fallback(old.exact_fallback_enabled(), old.exact_fallback_threshold());
  index_ = std::move(fresh);
  payload_index_ = payload_storage::PayloadIndex();
  payloads_.clear();
  deleted_.clear();
  wal_writer_.reset();
  unloaded_ = true;
}

}  // namespace dovadure::segment
