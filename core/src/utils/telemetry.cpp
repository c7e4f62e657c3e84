#include "utils/telemetry.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "utils/env.hpp"
#include "utils/log.hpp"

namespace dovadure::utils {
namespace {

constexpr size_t kSinkBufferBytes = 8 * 1024;

// ---- SipHash-1-3 (one compression round, three finalisation rounds) ----

class SipHasher13 {
 public:
  void write(const uint8_t* data, size_t len) {
    total_ += len;
    while (len > 0) {
      size_t take = std::min(len, size_t{8} - tail_len_);
      std::memcpy(tail_ + tail_len_, data, take);
      tail_len_ += take;
      data += take;
      len -= take;
      if (tail_len_ == 8) {
        compress(load_le(tail_, 8));
        tail_len_ = 0;
      }
    }
  }

  uint64_t finish() {
    uint64_t last = (static_cast<uint64_t>(total_) << 56) | load_le(tail_, tail_len_);
    compress(last);
    v2_ ^= 0xff;
    round();
    round();
    round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  static uint64_t load_le(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
  }

  void compress(uint64_t m) {
    v3_ ^= m;
    round();
    v0_ ^= m;
  }

  void round() {
    v0_ += v1_;
    v1_ = std::rotl(v1_, 13);
    v1_ ^= v0_;
    v0_ = std::rotl(v0_, 32);
    v2_ += v3_;
    v3_ = std::rotl(v3_, 16);
    v3_ ^= v2_;
    v0_ += v3_;
    v3_ = std::rotl(v3_, 21);
    v3_ ^= v0_;
    v2_ += v1_;
    v1_ = std::rotl(v1_, 17);
    v1_ ^= v2_;
    v2_ = std::rotl(v2_, 32);
  }

  // The all-zero key leaves the initialisation constants as they are.
  uint64_t v0_ = 0x736f6d6570736575ull;
  uint64_t v1_ = 0x646f72616e646f6dull;
  uint64_t v2_ = 0x6c7967656e657261ull;
  uint64_t v3_ = 0x7465646279746573ull;
  uint8_t tail_[8] = {};
  size_t tail_len_ = 0;
  size_t total_ = 0;
};

// ---- compact JSON writing ----

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  out.append(buf, ptr);
}

template <typename F>
void append_float(std::string& out, F v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[64];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  out.append(buf, ptr);
}

void append_string(std::string& out, std::string_view s) {
  out.push_back('"');
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

// Keys are written in the order the fields are added; the first key opens the
// object.
class JsonObject {
 public:
  explicit JsonObject(std::string& out) : out_(out) { out_.push_back('{'); }
  void u64(const char* key, uint64_t v) { append_u64(key_(key), v); }
  void boolean(const char* key, bool v) { key_(key) += v ? "true" : "false"; }
  void opt_u64(const char* key, std::optional<uint64_t> v) {
    if (v) {
      u64(key, *v);
    } else {
      key_(key) += "null";
    }
  }
  void f32(const char* key, float v) { append_float(key_(key), v); }
  void opt_f32(const char* key, std::optional<float> v) {
    if (v) {
      f32(key, *v);
    } else {
      key_(key) += "null";
    }
  }
  void f64(const char* key, double v) { append_float(key_(key), v); }
  void str(const char* key, std::string_view v) { append_string(key_(key), v); }
  void opt_str(const char* key, const char* v) {
    if (v != nullptr) {
      str(key, v);
    } else {
      key_(key) += "null";
    }
  }
  void close() { out_.push_back('}'); }

 private:
  std::string& key_(const char* key) {
    if (!first_) out_.push_back(',');
    first_ = false;
    out_.push_back('"');
    out_ += key;
    out_ += "\":";
    return out_;
  }
  std::string& out_;
  bool first_ = true;
};

void append_search_trace(std::string& out, const SearchTraceEntry& e) {
  JsonObject o(out);
  o.u64("search_id", e.search_id);
  o.str("metric", metric_name(e.metric));
  o.u64("ef_search", e.ef_search);
  o.boolean("exact_fallback_enabled", e.exact_fallback_enabled);
  o.u64("exact_fallback_threshold", e.exact_fallback_threshold);
  o.u64("collection_size", e.collection_size);
  o.boolean("exact_scan", e.exact_scan);
  o.opt_u64("top_id", e.top_id);
  o.opt_f32("top_raw", e.top_raw);
  o.opt_f32("top_sort_key", e.top_sort_key);
  o.u64("step", e.step);
  o.u64("level", e.level);
  o.u64("current_idx", e.current_idx);
  o.u64("current_point", e.current_point);
  o.f32("current_sort_key", e.current_sort_key);
  o.u64("visited", e.visited);
  o.u64("expanded", e.expanded);
  o.u64("candidate_len", e.candidate_len);
  o.u64("results_len", e.results_len);
  o.f32("worst_score", e.worst_score);
  o.opt_str("stop_reason", e.stop_reason);
  o.f64("elapsed_ms", e.elapsed_ms);
  o.close();
}

void append_insert_trace(std::string& out, const InsertTraceEntry& e) {
  JsonObject o(out);
  o.u64("insert_id", e.insert_id);
  o.u64("point_id", e.point_id);
  o.u64("level", e.level);
  o.u64("current_max_level", e.current_max_level);
  o.u64("layer", e.layer);
  o.opt_u64("entry_point", e.entry_point);
  o.u64("current_entry", e.current_entry);
  o.u64("candidates", e.candidates);
  o.u64("neighbors", e.neighbors);
  o.opt_u64("best_neighbor", e.best_neighbor);
  o.f64("elapsed_ms", e.elapsed_ms);
  o.close();
}

JsonlSink* open_sink_from(const char* variable) {
  auto path = env_text(variable);
  if (!path) return nullptr;
  // Released on purpose: the sink must outlive every thread that may still
  // trace during process exit, and each record is already on disk.
  return JsonlSink::open(*path).release();
}

std::atomic<uint64_t> g_search_trace_seq{0};
std::atomic<uint64_t> g_insert_trace_seq{0};
std::atomic<bool> g_neighbor_scan_state_logged{false};

}  // namespace

// ---- JsonlSink ----

std::unique_ptr<JsonlSink> JsonlSink::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  return std::unique_ptr<JsonlSink>(new JsonlSink(fd));
}

JsonlSink::JsonlSink(int fd) : fd_(fd) { buffer_.reserve(kSinkBufferBytes); }

JsonlSink::~JsonlSink() { ::close(fd_); }

bool JsonlSink::poisoned() const {
  std::lock_guard<std::mutex> lock(mu_);
  return poisoned_;
}

void JsonlSink::write_record(const std::function<void(std::string&)>& fill) {
  std::lock_guard<std::mutex> lock(mu_);
  if (poisoned_) return;
  // A record abandoned half-way may have left the buffer in any state, so the
  // sink refuses further records rather than risk writing a torn line.
  struct PoisonOnUnwind {
    bool& poisoned;
    int exceptions_at_entry = std::uncaught_exceptions();
    ~PoisonOnUnwind() {
      if (std::uncaught_exceptions() > exceptions_at_entry) poisoned = true;
    }
  } guard{poisoned_};
  buffer_.clear();
  fill(buffer_);
  buffer_.push_back('\n');
  const char* p = buffer_.data();
  size_t left = buffer_.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // the rest of the record is dropped
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  // Keep the buffer from growing without bound after one huge record.
  if (buffer_.capacity() > 4 * kSinkBufferBytes) {
    std::string().swap(buffer_);
    buffer_.reserve(kSinkBufferBytes);
  }
}

// ---- process-wide sinks and counters ----

JsonlSink* search_trace_logger() {
  static JsonlSink* const SEARCH_TRACE_LOG = open_sink_from("DOROVOZU_SEARCH_TRACE_LOG");
  return SEARCH_TRACE_LOG;
}

JsonlSink* insert_trace_logger() {
  static JsonlSink* const INSERT_TRACE_LOG = open_sink_from("DOROVOZU_INSERT_TRACE_LOG");
  return INSERT_TRACE_LOG;
}

bool search_trace_enabled() { return search_trace_logger() != nullptr; }
bool insert_trace_enabled() { return insert_trace_logger() != nullptr; }

void log_search_trace(const SearchTraceEntry& entry) {
  JsonlSink* sink = search_trace_logger();
  if (sink == nullptr) return;
  try {
    sink->write_record([&](std::string& out) { append_search_trace(out, entry); });
  } catch (...) {
    // Diagnostics never fail the search; the sink has poisoned itself.
  }
}

void log_insert_trace(const InsertTraceEntry& entry) {
  JsonlSink* sink = insert_trace_logger();
  if (sink == nullptr) return;
  try {
    sink->write_record([&](std::string& out) { append_insert_trace(out, entry); });
  } catch (...) {
    // Diagnostics never fail the insert; the sink has poisoned itself.
  }
}

uint64_t next_search_trace_seq() {
  return g_search_trace_seq.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint64_t next_insert_trace_seq() {
  return g_insert_trace_seq.fetch_add(1, std::memory_order_relaxed) + 1;
}

// ---- hashing ----

uint64_t siphash13(std::span<const uint8_t> bytes) {
  SipHasher13 h;
  h.write(bytes.data(), bytes.size());
  return h.finish();
}

uint64_t hash_query(std::span<const float> values) {
  SipHasher13 h;
  uint8_t word[8];
  uint64_t count = values.size();
  for (size_t i = 0; i < 8; ++i) word[i] = static_cast<uint8_t>(count >> (8 * i));
  h.write(word, 8);
  for (float v : values) {
    uint32_t bits = std::bit_cast<uint32_t>(v);
    for (size_t i = 0; i < 4; ++i) word[i] = static_cast<uint8_t>(bits >> (8 * i));
    h.write(word, 4);
  }
  return h.finish();
}

// ---- one-off lines ----

std::string format_neighbor_scan_state(std::optional<size_t> cap, bool rotation, bool stride,
                                       size_t expansion_mult, std::optional<size_t> expansion_cap) {
  // A parsed cap of 0 is stored as the largest size: that, too, is "no cap".
  bool capped = cap && *cap != SIZE_MAX;
  std::string line = "Neighbor scan cap L0=";
  line += capped ? std::to_string(*cap) : "none";
  line += " rotation=";
  line += rotation ? "on" : "off";
  line += " rotation_stride=";
  line += stride ? "enabled" : "off";
  line += " expansion_mult=";
  line += std::to_string(expansion_mult);
  line += " expansion_cap=";
  line += expansion_cap ? std::to_string(*expansion_cap) : "none";
  return line;
}

void log_neighbor_scan_state(std::optional<size_t> cap, bool rotation, bool stride,
                             size_t expansion_mult, std::optional<size_t> expansion_cap) {
  if (g_neighbor_scan_state_logged.exchange(true, std::memory_order_relaxed)) return;
  DOVADURE_LOG(LogLevel::Info, "vector::hnsw",
               format_neighbor_scan_state(cap, rotation, stride, expansion_mult, expansion_cap));
}

// ---- snapshot load timing ----

std::string quote_debug(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  static const char kHexUpper[] = "0123456789ABCDEF";
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      switch (c) {
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '"':
          out += "\\\"";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          if (c < 0x20 || c == 0x7F) {
            out += "\\u{";
            if (c >= 0x10) out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
            out.push_back('}');
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
      ++i;
      continue;
    }
    // Copy a whole valid multi-byte character; escape a stray byte.
    size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (len > 1 && i + len <= text.size() && is_valid_utf8(text.substr(i, len))) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      out += "\\x";
      out.push_back(kHexUpper[c >> 4]);
      out.push_back(kHexUpper[c & 0xF]);
      ++i;
    }
  }
  out.push_back('"');
  return out;
}

std::string format_snapshot_load_timing(const SnapshotLoadTiming& t) {
  return "snapshot_load path=" + quote_debug(t.path) + " bytes=" + std::to_string(t.bytes) +
         " read_ms=" + std::to_string(t.read_ms) + " checksum_ms=" + std::to_string(t.checksum_ms) +
         " deserialize_ms=" + std::to_string(t.deserialize_ms) +
         " build_ms=" + std::to_string(t.build_ms) +
         " wal_replay_ms=" + std::to_string(t.wal_replay_ms) +
         " total_ms=" + std::to_string(t.total_ms);
}

void emit_snapshot_load_timing(const SnapshotLoadTiming& timing) {
  std::string line = format_snapshot_load_timing(timing);
  std::fprintf(stderr, "%s\n", line.c_str());
  log_record(LogLevel::Info, "snapshot", line);
}

// ---- formatting entry points ----

std::string format_search_trace(const SearchTraceEntry& entry) {
  std::string out;
  append_search_trace(out, entry);
  return out;
}

std::string format_insert_trace(const InsertTraceEntry& entry) {
  std::string out;
  append_insert_trace(out, entry);
  return out;
}

std::string format_json_float(float value) {
  std::string out;
  append_float(out, value);
  return out;
}

std::string format_json_double(double value) {
  std::string out;
  append_float(out, value);
  return out;
}

}  // namespace dovadure::utils
