#include "commands.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "array_file.hpp"
#include "cli_args.hpp"
#include "json_lines.hpp"
#include "progress_bar.hpp"
#include "segment/segment.hpp"
#include "segment/segment_snapshot.hpp"
#include "segment/wal.hpp"
#include "segment/collection_writer.hpp"
#include "segment/manifest.hpp"
#include "segment/writer.hpp"
#include "utils/atomic_file.hpp"
#include "utils/env.hpp"
#include "utils/envelope.hpp"
#include "vector/hnsw/snapshot.hpp"

namespace dovadure::tools {

using segment::Segment;
using utils::Payload;
using utils::PayloadValue;

namespace {

// ---------------------------------------------------------------- messages

int fail(const std::string& message) {
  std::fprintf(stderr, "dovadure: error: %s\n", message.c_str());
  return 1;
}

int usage_error(const std::string& command, const std::string& message) {
  std::fprintf(stderr, "dovadure %s: %s\nTry 'dovadure %s --help'.\n", command.c_str(),
               message.c_str(), command.c_str());
  return 2;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<uint64_t> file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

bool read_text_file(const std::string& path, std::string& out, std::string& error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = path + ": " + utils::os_error_text(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + ": not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": " + utils::os_error_text(errno);
    return false;
  }
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) {
    error = path + ": read failed";
    return false;
  }
  out = std::move(buf).str();
  return true;
}

// -------------------------------------------------------------- point input

PayloadValue to_payload_value(JsonField field) {
  return std::visit(
      [](auto&& v) -> PayloadValue {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, int64_t>) return PayloadValue::of_int(v);
        else if constexpr (std::is_same_v<T, double>) return PayloadValue::of_float(v);
        else if constexpr (std::is_same_v<T, std::string>) return PayloadValue::of_str(std::move(v));
        else if constexpr (std::is_same_v<T, bool>) return PayloadValue::of_bool(v);
        else if constexpr (std::is_same_v<T, std::vector<int64_t>>) return PayloadValue::of_list_int(std::move(v));
        else if constexpr (std::is_same_v<T, std::vector<double>>) return PayloadValue::of_list_float(std::move(v));
        else if constexpr (std::is_same_v<T, std::vector<std::string>>) return PayloadValue::of_list_str(std::move(v));
        else return PayloadValue::of_list_bool(std::move(v));
      },
      std::move(field));
}

// The files a batch came from, for naming them in errors.
struct PointFiles {
  std::string vectors;
  std::string ids;
  std::string payloads;
};

// Reads --vectors, --ids and --payloads and checks their lengths against
// each other; the writer checks the rest. Without --ids, rows.ids stays
// unset and the writer assigns them.
bool load_points(const ParsedArgs& args, segment::PointRows& rows, PointFiles& files,
                 std::string& error) {
  auto vectors_path = args.get("vectors");
  if (!vectors_path) {
    error = "--vectors FILE is required";
    return false;
  }
  files.vectors = *vectors_path;
  FloatMatrix matrix;
  if (!read_vectors_file(*vectors_path, matrix, error)) return false;
  rows.rows = matrix.rows;
  rows.dim = matrix.cols;
  rows.vectors = std::move(matrix.values);
  const size_t n = rows.rows;

  if (auto ids_path = args.get("ids")) {
    files.ids = *ids_path;
    std::vector<uint64_t> ids;
    if (!read_ids_file(*ids_path, ids, error)) return false;
    if (ids.size() != n) {
      error = *ids_path + " holds " + std::to_string(ids.size()) + " ids but " + *vectors_path +
              " holds " + std::to_string(n) + " vectors";
      return false;
    }
    rows.ids = std::move(ids);
  }

  if (auto payloads_path = args.get("payloads")) {
    files.payloads = *payloads_path;
    std::string text;
    if (!read_text_file(*payloads_path, text, error)) return false;
    std::vector<std::optional<JsonObject>> objects;
    if (!parse_json_lines(text, objects, error)) {
      error = *payloads_path + ": " + error;
      return false;
    }
    if (objects.size() != n) {
      error = *payloads_path + " holds " + std::to_string(objects.size()) + " lines but " +
              *vectors_path + " holds " + std::to_string(n) + " vectors";
      return false;
    }
    rows.payloads.reserve(n);
    for (auto& object : objects) {
      if (!object || object->fields.empty()) {
        rows.payloads.emplace_back();
        continue;
      }
      Payload payload;
      for (auto& [name, field] : object->fields) {
        payload.fields.emplace(std::move(name), to_payload_value(std::move(field)));
      }
      rows.payloads.emplace_back(std::move(payload));
    }
  }
  return true;
}

// The writer's error as this tool words it: input errors name their file.
std::string error_text(const segment::WriteError& e, const PointFiles& files = {}) {
  using Kind = segment::WriteError::Kind;
  using Subject = segment::WriteError::Subject;
  switch (e.kind) {
    case Kind::Invalid: {
      const std::string& file = e.subject == Subject::Vectors ? files.vectors
                                : e.subject == Subject::Ids   ? files.ids
                                : e.subject == Subject::Payloads ? files.payloads
                                                                 : std::string();
      return file.empty() ? e.message : file + ": " + e.message;
    }
    case Kind::DimensionMismatch:
      return "dimension mismatch: " + files.vectors + " holds vectors of dimension " +
             std::to_string(e.got) + ", the segment's dimension is " + std::to_string(e.expected);
    case Kind::Exists:
      return e.message + "; pass --overwrite to replace the segment";
    default:
      return e.message;
  }
}

std::optional<std::chrono::milliseconds> lock_wait(const ParsedArgs& args) {
  auto text = args.get("wait");
  if (!text) return std::chrono::seconds(30);
  auto v = parse_unsigned(*text);
  if (!v || *v > 86400) return std::nullopt;
  return std::chrono::seconds(*v);
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// ------------------------------------------------------------ JSON output

void append_json_string(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void append_json_number(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  out += buf;
}

// Fields in name order, so that equal payloads print equally.
std::string payload_json(const Payload& payload) {
  std::vector<const std::string*> names;
  for (const auto& [name, value] : payload.fields) names.push_back(&name);
  std::sort(names.begin(), names.end(), [](const auto* a, const auto* b) { return *a < *b; });
  std::string out = "{";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    append_json_string(out, *names[i]);
    out += ": ";
    const PayloadValue& v = payload.fields.find(*names[i])->second;
    auto list = [&out](const auto& items, auto&& one) {
      out += '[';
      for (size_t j = 0; j < items.size(); ++j) {
        if (j) out += ", ";
        one(items[j]);
      }
      out += ']';
    };
    switch (v.kind()) {
      case utils::PayloadKind::Int: out += std::to_string(v.as_int()); break;
      case utils::PayloadKind::Float: append_json_number(out, v.as_float()); break;
      case utils::PayloadKind::Str: append_json_string(out, v.as_str()); break;
      case utils::PayloadKind::Bool: out += v.as_bool() ? "true" : "false"; break;
      case utils::PayloadKind::ListInt:
        list(v.as_list_int(), [&](int64_t x) { out += std::to_string(x); });
        break;
      case utils::PayloadKind::ListFloat:
        list(v.as_list_float(), [&](double x) { append_json_number(out, x); });
        break;
      case utils::PayloadKind::ListStr:
        list(v.as_list_str(), [&](const std::string& x) { append_json_string(out, x); });
        break;
      case utils::PayloadKind::ListBool:
        list(v.as_list_bool(), [&](bool x) { out += x ? "true" : "false"; });
        break;
    }
  }
  return out + "}";
}

// ------------------------------------------------------------------- usage

constexpr const char* kBuildHelp =
    "usage: dovadure build OUT.snap --vectors FILE --metric cosine|dot|euclidean [options]\n"
    "\n"
    "Builds a new segment from vectors and saves it atomically to OUT.snap.\n"
    "\n"
    "  --vectors FILE          float32 vectors: .npy (2-D, C order) or .fvecs\n"
    "  --ids FILE              point ids: .npy of uint64 (default 0..n-1)\n"
    "  --payloads FILE.jsonl   one JSON object per vector (null or {} for none);\n"
    "                          ints, floats, strings, bools and flat lists of one kind\n"
    "  --metric NAME           cosine, dot or euclidean (required)\n"
    "  --m N                   neighbours per node above layer 0 (default 16)\n"
    "  --ef-construction N     construction beam width (default 200)\n"
    "  --max-level N           highest layer, at most 255 (default 16)\n"
    "  --threads N             insertion threads (default 1; 0 = every processor);\n"
    "                          with more than one, node numbering varies from run\n"
    "                          to run (the snapshot is keyed by point id)\n"
    "  --overwrite             replace an existing OUT.snap and drop its log\n"
    "  --lean-lists            keep only the neighbours the diversity rule accepts:\n"
    "                          a faster build and faster searches per ef, lower\n"
    "                          recall per ef (later upserts use full lists)\n"
    "  --wait SECONDS          how long to wait for another writer (default 30)\n"
    "  --segment-max-points N  build a collection instead: OUT is a directory of\n"
    "                          segments of at most N points and their manifest\n";

constexpr const char* kInfoHelp =
    "usage: dovadure info SEG.snap\n"
    "\n"
    "Shows the snapshot's metadata record, its size, whether its checksum\n"
    "verifies, and the log beside it. Reads only; exits 1 when the checksum\n"
    "or the log is damaged.\n";

constexpr const char* kListHelp =
    "usage: dovadure list SEG.snap|DIR [--payloads]\n"
    "\n"
    "Loads the segment (snapshot plus log, read only) and prints the ids of\n"
    "its live points in ascending order, one per line.\n"
    "\n"
    "  --payloads              follow each id with a tab and its payload as JSON\n";

constexpr const char* kUpsertHelp =
    "usage: dovadure upsert SEG.snap|DIR --vectors FILE [--ids FILE] [--payloads FILE.jsonl]\n"
    "\n"
    "Adds points to a segment through its log (SEG.wal, created when missing);\n"
    "the snapshot itself is not rewritten. Without --ids, new ids follow the\n"
    "largest id ever inserted. A point that already exists with the same vector\n"
    "gets the new payload; an existing point with a different vector, or a\n"
    "deleted id, is refused (ids of deleted points become free after\n"
    "'dovadure compact --purge'). Nothing is applied unless every point passes.\n"
    "\n"
    "  --vectors FILE          float32 vectors: .npy (2-D, C order) or .fvecs\n"
    "  --ids FILE              point ids: .npy of uint64\n"
    "  --payloads FILE.jsonl   one JSON object per vector\n"
    "  --wait SECONDS          how long to wait for another writer (default 30)\n"
    "  --segment-max-points N  for a collection DIR: points per segment before the\n"
    "                          active one is sealed (default 1000000)\n";

constexpr const char* kDeleteHelp =
    "usage: dovadure delete SEG.snap|DIR (--ids FILE | --id N [N ...])\n"
    "\n"
    "Deletes points through the segment's log (SEG.wal, created when missing).\n"
    "Ids that are not present are skipped.\n"
    "\n"
    "  --ids FILE              point ids: .npy of uint64\n"
    "  --id N [N ...]          point ids on the command line (repeatable)\n"
    "  --wait SECONDS          how long to wait for another writer (default 30)\n"
    "  --segment-max-points N  for a collection DIR: points per segment before the\n"
    "                          active one is sealed (default 1000000)\n";

constexpr const char* kCompactHelp =
    "usage: dovadure compact SEG.snap|DIR [--purge]\n"
    "\n"
    "Loads the segment with its log, saves the snapshot atomically, then empties\n"
    "the log. The saved snapshot records which log records it holds, so a crash\n"
    "between the two steps loses and repeats nothing.\n"
    "\n"
    "  --purge                 first rebuild the index without deleted points,\n"
    "                          which frees their ids for reuse\n"
    "  --wait SECONDS          how long to wait for another writer (default 30)\n"
    "  --segment-max-points N  for a collection DIR: points per segment before the\n"
    "                          active one is sealed (default 1000000)\n";

// Parses args for `command`, printing help or a usage error. Returns -1 to go on.
int parse_command(const std::string& command, const char* help,
                  const std::vector<std::string>& args, const std::vector<OptionSpec>& option_defs,
                  ParsedArgs& parsed) {
  std::string error;
  if (!parse_args(args, option_defs, parsed, error)) return usage_error(command, error);
  if (parsed.help) {
    std::fputs(help, stdout);
    return 0;
  }
  if (parsed.positionals.size() != 1) {
    return usage_error(command, parsed.positionals.empty()
                                    ? "missing the segment path"
                                    : "unexpected argument '" + parsed.positionals[1] + "'");
  }
  return -1;
}

bool option_number(const ParsedArgs& args, const std::string& name, uint64_t fallback,
                   uint64_t min, uint64_t max, uint64_t& out, std::string& error) {
  out = fallback;
  auto text = args.get(name);
  if (!text) return true;
  auto v = parse_unsigned(*text);
  if (!v || *v < min || *v > max) {
    error = "--" + name + " must be an integer from " + std::to_string(min) + " to " +
            std::to_string(max) + ", got '" + *text + "'";
    return false;
  }
  out = *v;
  return true;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The writer a path calls for: a collection's for a directory (whose
// active segment fills up to --segment-max-points), else the segment's.
// Runs `act` on it and returns its exit code.
template <class Act>
int with_writer(const std::string& command, const std::string& path, const ParsedArgs& parsed,
                std::chrono::milliseconds wait, const PointFiles& files, Act act) {
  segment::WriteError failure;
  if (!is_directory(path)) {
    auto writer = segment::SegmentWriter::open(path, wait, failure);
    if (!writer) return fail(error_text(failure, files));
    return act(*writer);
  }
  uint64_t max_points = 0;
  std::string error;
  if (!option_number(parsed, "segment-max-points", 1000000, 1, UINT32_MAX, max_points, error)) {
    return usage_error(command, error);
  }
  auto writer = segment::CollectionWriter::open(path, static_cast<size_t>(max_points), wait, failure);
  if (!writer) return fail(error_text(failure, files));
  return act(*writer);
}

std::optional<segment::WriteError> upsert_rows(segment::SegmentWriter& w, segment::PointRows rows,
                                               segment::SegmentWriter::UpsertCounts& counts,
                                               ProgressBar& progress) {
  return w.upsert(std::move(rows), counts, [&](size_t done) { progress.update(done); });
}
std::optional<segment::WriteError> upsert_rows(segment::CollectionWriter& w, segment::PointRows rows,
                                               segment::SegmentWriter::UpsertCounts& counts, ProgressBar&) {
  return w.upsert(std::move(rows), counts);
}

void print_compacted(const std::string& path, const segment::SegmentWriter::CompactCounts& c) {
  std::printf("compacted %s: %zu points, %zu payloads, %zu deleted ids purged\n", path.c_str(), c.points,
              c.payloads, c.purged);
}
void print_compacted(const std::string& path, const segment::CollectionWriter::CompactCounts& c) {
  std::printf("compacted %s: %zu segments, %zu deleted ids purged\n", path.c_str(), c.segments, c.purged);
}

// Appends the live points of `seg` as (id, output line) pairs.
void collect_live(const Segment& seg, bool with_payloads, std::vector<std::pair<uint64_t, std::string>>& out) {
  const auto& index = seg.index();
  for (size_t i = 0; i < index.len(); ++i) {
    const auto idx = static_cast<vector::hnsw::NodeIdx>(i);
    const uint64_t id = index.point_id(idx);
    if (index.is_deleted(idx) || seg.deleted().contains(id)) continue;
    std::string line = std::to_string(id);
    if (with_payloads) {
      auto it = seg.payloads().find(id);
      line += '\t';
      line += it == seg.payloads().end() ? "null" : payload_json(it->second);
    }
    out.emplace_back(id, std::move(line));
  }
}

}  // namespace

// ------------------------------------------------------------------- build

int run_build(const std::vector<std::string>& args) {
  using Kind = OptionSpec::Kind;
  ParsedArgs parsed;
  int early = parse_command("build", kBuildHelp, args,
                            {{"vectors", Kind::Value}, {"ids", Kind::Value},
                             {"payloads", Kind::Value}, {"metric", Kind::Value},
                             {"m", Kind::Value}, {"ef-construction", Kind::Value},
                             {"max-level", Kind::Value}, {"threads", Kind::Value},
                             {"overwrite", Kind::Flag}, {"wait", Kind::Value},
                             {"segment-max-points", Kind::Value}, {"lean-lists", Kind::Flag}},
                            parsed);
  if (early >= 0) return early;
  segment::BuildSettings settings;
  settings.path = parsed.positionals[0];

  std::string error;
  auto metric_name = parsed.get("metric");
  if (!metric_name) return usage_error("build", "--metric cosine|dot|euclidean is required");
  auto metric = segment::parse_metric_keyword(*metric_name);
  if (!metric) return usage_error("build", "unknown metric '" + *metric_name + "' (cosine, dot or euclidean)");
  settings.metric = *metric;
  uint64_t m = 0, ef = 0, max_level = 0, threads = 0;
  if (!option_number(parsed, "m", 16, segment::kMinBuildM, segment::kMaxBuildM, m, error) ||
      !option_number(parsed, "ef-construction", 200, 1, segment::kMaxEfConstruction, ef, error) ||
      !option_number(parsed, "max-level", 16, 0, segment::kMaxBuildLevel, max_level, error) ||
      !option_number(parsed, "threads", 1, 0, segment::kMaxBuildThreads, threads, error)) {
    return usage_error("build", error);
  }
  settings.m = m;
  settings.ef_construction = ef;
  settings.max_level = max_level;
  settings.threads = threads;
  settings.overwrite = parsed.has("overwrite");
  settings.lean_lists = parsed.has("lean-lists");
  auto wait = lock_wait(parsed);
  if (!wait) return usage_error("build", "--wait must be a number of seconds");
  settings.wait = *wait;

  segment::PointRows rows;
  PointFiles files;
  if (!load_points(parsed, rows, files, error)) return fail(error);
  const size_t points = rows.rows;
  const size_t dim = rows.dim;

  if (parsed.has("segment-max-points")) {
    uint64_t max_points = 0;
    if (!option_number(parsed, "segment-max-points", 1000000, 1, UINT32_MAX, max_points, error)) {
      return usage_error("build", error);
    }
    segment::CollectionSettings collection;
    collection.metric = settings.metric;
    collection.m = settings.m;
    collection.ef_construction = settings.ef_construction;
    collection.max_level = settings.max_level;
    collection.dim = dim;
    collection.lean_lists = settings.lean_lists;
    const auto started = std::chrono::steady_clock::now();
    auto failure = segment::build_collection(settings.path, collection, std::move(rows),
                                             static_cast<size_t>(max_points), settings.threads,
                                             settings.overwrite, settings.wait);
    if (failure) return fail(error_text(*failure, files));
    std::printf("built collection %s: %zu points, dim %zu, metric %s, at most %llu points a segment\n",
                settings.path.c_str(), points, dim, segment::metric_keyword(*metric),
                static_cast<unsigned long long>(max_points));
    std::printf("total %.2f s\n", seconds_since(started));
    return 0;
  }

  const auto started = std::chrono::steady_clock::now();
  // The insertions end with the last progress call; the save follows.
  double insert_seconds = 0.0;
  ProgressBar progress("build", points);
  auto failure = segment::build_segment(settings, std::move(rows), [&](size_t done) {
    progress.update(done);
    if (done == points) insert_seconds = seconds_since(started);
  });
  if (failure) return fail(error_text(*failure, files));
  progress.finish(points);

  const double rate = insert_seconds > 0 ? static_cast<double>(points) / insert_seconds : 0.0;
  std::printf("built %s: %zu points, dim %zu, metric %s, m %llu, ef_construction %llu\n",
              settings.path.c_str(), points, dim, segment::metric_keyword(*metric),
              static_cast<unsigned long long>(m), static_cast<unsigned long long>(ef));
  std::printf("insert time %.2f s (%.0f points/s), total %.2f s\n", insert_seconds, rate,
              seconds_since(started));
  return 0;
}

// -------------------------------------------------------------------- info

int run_info(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int early = parse_command("info", kInfoHelp, args, {}, parsed);
  if (early >= 0) return early;
  const std::string path = parsed.positionals[0];

  std::string bytes_text;
  std::string error;
  if (!read_text_file(path, bytes_text, error)) return fail(error);
  std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(bytes_text.data()), bytes_text.size());
  bool damaged = false;

  std::printf("snapshot:        %s\n", path.c_str());
  std::printf("file size:       %zu bytes\n", bytes.size());
  segment::SnapshotMetadata meta;
  auto envelope = utils::open_snapshot_envelope(bytes, [&](std::span<const uint8_t> region) {
    utils::Decoder dec(region);
    return segment::decode(dec, meta);
  });
  if (!envelope.ok()) {
    std::printf("checksum:        %s\n", envelope.error().message().c_str());
    damaged = true;
  } else {
    const auto& env = envelope.value();
    std::printf("checksum:        %s\n", env.checksummed ? "verified" : "no footer (not verified)");
    std::printf("format:          %s\n", env.version == 0 ? "headerless body"
                                         : ("version " + std::to_string(env.version)).c_str());
    if (!env.has_metadata) {
      std::printf("metadata:        none\n");
    } else {
      std::time_t secs = static_cast<std::time_t>(meta.created_at_ms / 1000);
      char when[64] = "?";
      std::tm tm {};
      if (::gmtime_r(&secs, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
      const auto& h = meta.hnsw;
      std::printf("created:         %s (%llu ms)\n", when, static_cast<unsigned long long>(meta.created_at_ms));
      std::printf("metric:          %s\n", segment::metric_keyword(h.metric));
      std::printf("dim:             %llu\n", static_cast<unsigned long long>(h.dim));
      std::printf("m / m0:          %llu / %llu (layer-0 cap %llu)\n", static_cast<unsigned long long>(h.m),
                  static_cast<unsigned long long>(h.m0), static_cast<unsigned long long>(h.max_neighbors_l0));
      std::printf("ef_construction: %llu (ef_insert %llu)\n", static_cast<unsigned long long>(h.ef_construction),
                  static_cast<unsigned long long>(h.ef_insert));
      std::printf("max_level:       %llu (entry level %llu, level scale %.6f)\n",
                  static_cast<unsigned long long>(h.max_level), static_cast<unsigned long long>(h.entry_level),
                  h.level_scale);
      std::printf("exact fallback:  %s (threshold %llu)\n", h.exact_fallback_enabled ? "on" : "off",
                  static_cast<unsigned long long>(h.exact_fallback_threshold));
      std::printf("points:          %llu (deleted included)\n", static_cast<unsigned long long>(meta.points));
      std::printf("payloads:        %llu\n", static_cast<unsigned long long>(meta.payloads));
      if (meta.wal_coverage) {
        std::printf("log coverage:    snapshot holds the first %llu log records (%llu bytes)\n",
                    static_cast<unsigned long long>(meta.wal_coverage->records),
                    static_cast<unsigned long long>(meta.wal_coverage->length));
      }
    }
  }

  const std::string wal_path = utils::sibling_path(path, "wal");
  if (!file_exists(wal_path)) {
    std::printf("log:             none (%s absent)\n", wal_path.c_str());
  } else {
    auto outcome = segment::WalReader::replay(wal_path, [](segment::WalRecord&&) { return utils::Status(); });
    uint64_t size = file_size(wal_path).value_or(0);
    if (!outcome.ok()) {
      std::printf("log:             %s (%llu bytes) damaged: %s\n", wal_path.c_str(),
                  static_cast<unsigned long long>(size), outcome.error().to_string().c_str());
      damaged = true;
    } else {
      std::printf("log:             %s (%llu bytes), %llu records%s\n", wal_path.c_str(),
                  static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(outcome.value().records_applied),
                  outcome.value().torn ? ", torn last frame (ignored)" : "");
    }
  }
  return damaged ? 1 : 0;
}

// -------------------------------------------------------------------- list

int run_list(const std::vector<std::string>& args) {
  ParsedArgs parsed;
  int early = parse_command("list", kListHelp, args, {{"payloads", OptionSpec::Kind::Flag}}, parsed);
  if (early >= 0) return early;
  const std::string path = parsed.positionals[0];
  const bool with_payloads = parsed.has("payloads");
  std::vector<std::string> snapshots = {path};
  if (is_directory(path)) {
    auto manifest = segment::read_manifest(path);
    if (!manifest.ok()) return fail(path + ": " + manifest.error().to_string());
    snapshots.clear();
    for (const auto& entry : manifest.value().segments) snapshots.push_back(path + "/" + entry.snapshot);
  }
  std::vector<std::pair<uint64_t, std::string>> lines;
  for (const std::string& snapshot : snapshots) {
    auto loaded = Segment::load_from_path(snapshot, segment::SegmentAccess::ReadOnly);
    if (!loaded.ok()) return fail(snapshot + ": " + loaded.error().to_string());
    collect_live(*loaded.value(), with_payloads, lines);
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& [id, line] : lines) {
    out += line;
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

// ------------------------------------------------------------------ upsert

int run_upsert(const std::vector<std::string>& args) {
  using Kind = OptionSpec::Kind;
  ParsedArgs parsed;
  int early = parse_command("upsert", kUpsertHelp, args,
                            {{"vectors", Kind::Value}, {"ids", Kind::Value},
                             {"payloads", Kind::Value}, {"wait", Kind::Value},
                             {"segment-max-points", Kind::Value}},
                            parsed);
  if (early >= 0) return early;
  const std::string path = parsed.positionals[0];
  if (!parsed.has("vectors")) return usage_error("upsert", "--vectors FILE is required");
  auto wait = lock_wait(parsed);
  if (!wait) return usage_error("upsert", "--wait must be a number of seconds");

  std::string error;
  // Input files are read before the segment is touched.
  segment::PointRows rows;
  PointFiles files;
  if (!load_points(parsed, rows, files, error)) return fail(error);

  return with_writer("upsert", path, parsed, *wait, files, [&](auto& writer) {
    const size_t points = rows.rows;
    ProgressBar progress("upsert", points);
    segment::SegmentWriter::UpsertCounts counts;
    if (auto bad = upsert_rows(writer, std::move(rows), counts, progress)) return fail(error_text(*bad, files));
    progress.finish(points);
    std::printf("upserted %zu points into %s: %zu inserted, %zu payloads updated, %zu unchanged\n",
                points, path.c_str(), counts.inserted, counts.updated, counts.unchanged);
    return 0;
  });
}

// ------------------------------------------------------------------ delete

int run_delete(const std::vector<std::string>& args) {
  using Kind = OptionSpec::Kind;
  ParsedArgs parsed;
  int early = parse_command("delete", kDeleteHelp, args,
                            {{"ids", Kind::Value}, {"id", Kind::Numbers}, {"wait", Kind::Value},
                             {"segment-max-points", Kind::Value}},
                            parsed);
  if (early >= 0) return early;
  const std::string path = parsed.positionals[0];
  auto wait = lock_wait(parsed);
  if (!wait) return usage_error("delete", "--wait must be a number of seconds");

  std::string error;
  std::vector<uint64_t> ids;
  if (auto ids_path = parsed.get("ids")) {
    if (!read_ids_file(*ids_path, ids, error)) return fail(error);
  }
  if (auto it = parsed.values.find("id"); it != parsed.values.end()) {
    for (const std::string& text : it->second) {
      auto v = parse_unsigned(text);
      if (!v) return usage_error("delete", "--id takes unsigned 64-bit integers, got '" + text + "'");
      ids.push_back(*v);
    }
  }
  if (!parsed.has("ids") && !parsed.has("id")) return usage_error("delete", "give --ids FILE or --id N");

  return with_writer("delete", path, parsed, *wait, {}, [&](auto& writer) {
    segment::SegmentWriter::DeleteCounts counts;
    if (auto bad = writer.remove(ids, counts)) return fail(error_text(*bad));
    std::printf("deleted %zu points from %s (%zu ids were not present)\n", counts.deleted, path.c_str(),
                counts.absent);
    return 0;
  });
}

// ----------------------------------------------------------------- compact

int run_compact(const std::vector<std::string>& args) {
  using Kind = OptionSpec::Kind;
  ParsedArgs parsed;
  int early = parse_command("compact", kCompactHelp, args,
                            {{"purge", Kind::Flag}, {"wait", Kind::Value},
                             {"segment-max-points", Kind::Value}},
                            parsed);
  if (early >= 0) return early;
  const std::string path = parsed.positionals[0];
  auto wait = lock_wait(parsed);
  if (!wait) return usage_error("compact", "--wait must be a number of seconds");

  return with_writer("compact", path, parsed, *wait, {}, [&](auto& writer) {
    typename std::decay_t<decltype(writer)>::CompactCounts counts;
    if (auto bad = writer.compact(parsed.has("purge"), counts)) return fail(error_text(*bad));
    print_compacted(path, counts);
    return 0;
  });
}

}  // namespace dovadure::tools
