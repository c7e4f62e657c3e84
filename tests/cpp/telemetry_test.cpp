#include "utils/telemetry.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "utils/log.hpp"

#include "child_process.hpp"
namespace dovadure::utils {
namespace {

// Sinks, counters and the one-time line are process-wide, so cases that
// touch them run in a forked child.
template <typename Body>
void run_in_child(Body body) {
  testing_util::expect_child_passes(
      [] {
        unsetenv("DOROVOZU_SEARCH_TRACE_LOG");
        unsetenv("DOROVOZU_INSERT_TRACE_LOG");
      },
      body);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/dovadure_telemetry_XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const char* name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

SearchTraceEntry sample_search_entry() {
  SearchTraceEntry e{};
  e.search_id = 7;
  e.metric = DistanceMetric::Dot;
  e.ef_search = 64;
  e.exact_fallback_enabled = true;
  e.exact_fallback_threshold = 256;
  e.collection_size = 1000;
  e.exact_scan = false;
  e.top_id = 42;
  e.top_raw = 0.75f;
  e.top_sort_key = -0.75f;
  e.step = 3;
  e.level = 0;
  e.current_idx = 11;
  e.current_point = 12;
  e.current_sort_key = 0.1f;
  e.visited = 100;
  e.expanded = 20;
  e.candidate_len = 5;
  e.results_len = 10;
  e.worst_score = 1.5f;
  e.stop_reason = "early_exit_patience";
  e.elapsed_ms = 0.125;
  return e;
}

TEST(TraceFormatTest, SearchRecordKeyOrderAndValues) {
  EXPECT_EQ(format_search_trace(sample_search_entry()),
            "{\"search_id\":7,\"metric\":\"Dot\",\"ef_search\":64,"
            "\"exact_fallback_enabled\":true,\"exact_fallback_threshold\":256,"
            "\"collection_size\":1000,\"exact_scan\":false,\"top_id\":42,\"top_raw\":0.75,"
            "\"top_sort_key\":-0.75,\"step\":3,\"level\":0,\"current_idx\":11,"
            "\"current_point\":12,\"current_sort_key\":0.1,\"visited\":100,\"expanded\":20,"
            "\"candidate_len\":5,\"results_len\":10,\"worst_score\":1.5,"
            "\"stop_reason\":\"early_exit_patience\",\"elapsed_ms\":0.125}");
}

TEST(TraceFormatTest, ZeroedSearchRecordWritesNulls) {
  SearchTraceEntry e{};
  e.worst_score = std::numeric_limits<float>::infinity();
  e.current_sort_key = std::nanf("");
  e.elapsed_ms = std::numeric_limits<double>::quiet_NaN();
  e.top_raw = -std::numeric_limits<float>::infinity();
  e.search_id = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(format_search_trace(e),
            "{\"search_id\":18446744073709551615,\"metric\":\"Cosine\",\"ef_search\":0,"
            "\"exact_fallback_enabled\":false,\"exact_fallback_threshold\":0,"
            "\"collection_size\":0,\"exact_scan\":false,\"top_id\":null,\"top_raw\":null,"
            "\"top_sort_key\":null,\"step\":0,\"level\":0,\"current_idx\":0,"
            "\"current_point\":0,\"current_sort_key\":null,\"visited\":0,\"expanded\":0,"
            "\"candidate_len\":0,\"results_len\":0,\"worst_score\":null,"
            "\"stop_reason\":null,\"elapsed_ms\":null}");
}

TEST(TraceFormatTest, InsertRecordKeyOrder) {
  InsertTraceEntry e{};
  e.insert_id = 200;
  e.point_id = 9;
  e.level = 2;
  e.current_max_level = 3;
  e.layer = 1;
  e.entry_point = 4;
  e.current_entry = 5;
  e.candidates = 40;
  e.neighbors = 16;
  e.best_neighbor = std::nullopt;
  e.elapsed_ms = 2.5;
  EXPECT_EQ(format_insert_trace(e),
            "{\"insert_id\":200,\"point_id\":9,\"level\":2,\"current_max_level\":3,\"layer\":1,"
            "\"entry_point\":4,\"current_entry\":5,\"candidates\":40,\"neighbors\":16,"
            "\"best_neighbor\":null,\"elapsed_ms\":2.5}");
  e.entry_point = std::nullopt;
  e.best_neighbor = 0;
  e.elapsed_ms = 0.0;
  EXPECT_EQ(format_insert_trace(e),
            "{\"insert_id\":200,\"point_id\":9,\"level\":2,\"current_max_level\":3,\"layer\":1,"
            "\"entry_point\":null,\"current_entry\":5,\"candidates\":40,\"neighbors\":16,"
            "\"best_neighbor\":0,\"elapsed_ms\":0}");
}

TEST(TraceFormatTest, ShortestRoundTripFloats) {
  EXPECT_EQ(format_json_float(0.1f), "0.1");
  EXPECT_EQ(format_json_float(1.0f), "1");
  EXPECT_EQ(format_json_float(-0.0f), "-0");
  EXPECT_EQ(format_json_float(1e20f), "1e+20");
  EXPECT_EQ(format_json_float(1.17549435e-38f), "1.1754944e-38");
  EXPECT_EQ(format_json_float(std::numeric_limits<float>::denorm_min()), "1e-45");
  EXPECT_EQ(format_json_float(std::numeric_limits<float>::max()), "3.4028235e+38");
  EXPECT_EQ(format_json_float(std::nanf("")), "null");
  EXPECT_EQ(format_json_float(-std::numeric_limits<float>::infinity()), "null");
  // A float is written at float precision, not widened to double digits.
  EXPECT_EQ(format_json_float(0.3f), "0.3");
  EXPECT_EQ(format_json_double(0.3), "0.3");
  EXPECT_EQ(format_json_double(static_cast<double>(0.3f)), "0.30000001192092896");
  EXPECT_EQ(format_json_double(123456.789), "123456.789");
  EXPECT_EQ(format_json_double(std::numeric_limits<double>::infinity()), "null");
}

// Reference values computed independently (a separate SipHash-1-3 written in
// Python, cross-checked with CPython's own siphash13 under PYTHONHASHSEED=0).
TEST(HashQueryTest, MatchesReferenceSipHash13) {
  EXPECT_EQ(siphash13({}), 0xd1fba762150c532cull);
  std::vector<uint8_t> bytes(15);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(siphash13(bytes), 0xf30eb725bb91c9eaull);
  EXPECT_EQ(siphash13(std::span<const uint8_t>(bytes.data(), 8)), 0xead411e67ebe2eeaull);

  EXPECT_EQ(hash_query({}), 0xbd60acb658c79e45ull);
  const float one[] = {1.0f};
  EXPECT_EQ(hash_query(one), 0x5565f3056e6caff5ull);
  const float three[] = {1.0f, -2.5f, 0.0f};
  EXPECT_EQ(hash_query(three), 0x3a3b7f1f79d913ceull);
  std::vector<float> seven;
  for (int i = 0; i < 7; ++i) seven.push_back(static_cast<float>(0.1 * i));
  EXPECT_EQ(hash_query(seven), 0xb3f82ab6d39d3689ull);
  const float nan[] = {std::bit_cast<float>(0x7fc00000u)};
  EXPECT_EQ(hash_query(nan), 0x54b628d6da579e58ull);
}

TEST(HashQueryTest, BitPatternsNotValuesAreHashed) {
  const float pos[] = {0.0f};
  const float neg[] = {-0.0f};
  EXPECT_NE(hash_query(pos), hash_query(neg));
  // The length prefix separates a prefix from the whole.
  const float two[] = {1.0f, 0.0f};
  const float one[] = {1.0f};
  EXPECT_NE(hash_query(two), hash_query(one));
}

TEST(NeighborScanStateTest, LineFormat) {
  EXPECT_EQ(format_neighbor_scan_state(std::nullopt, false, false, 2, std::nullopt),
            "Neighbor scan cap L0=none rotation=off rotation_stride=off expansion_mult=2 "
            "expansion_cap=none");
  EXPECT_EQ(format_neighbor_scan_state(16, true, true, 3, 500),
            "Neighbor scan cap L0=16 rotation=on rotation_stride=enabled expansion_mult=3 "
            "expansion_cap=500");
  EXPECT_EQ(
      format_neighbor_scan_state(std::numeric_limits<size_t>::max(), true, false, 2, std::nullopt),
      "Neighbor scan cap L0=none rotation=on rotation_stride=off expansion_mult=2 "
      "expansion_cap=none");
}

TEST(NeighborScanStateTest, EmittedOncePerProcess) {
  run_in_child([] {
    static std::vector<std::string> lines;
    set_log_sink(
        [](LogLevel level, std::string_view target, std::string_view message) {
          lines.push_back(std::string(log_level_name(level)) + "|" + std::string(target) + "|" +
                          std::string(message));
        },
        LogLevel::Info);
    log_neighbor_scan_state(8, false, true, 2, std::nullopt);
    log_neighbor_scan_state(9, true, true, 4, 10);
    CHILD_EXPECT(lines.size() == 1);
    CHILD_EXPECT(lines[0] ==
                 "info|vector::hnsw|Neighbor scan cap L0=8 rotation=off "
                 "rotation_stride=enabled expansion_mult=2 expansion_cap=none");
  });
}

TEST(SnapshotLoadTimingTest, LineWithQuotedPath) {
  SnapshotLoadTiming t;
  t.path = "/data/seg 1.bin";
  t.bytes = 4096;
  t.read_ms = 1;
  t.checksum_ms = 0;
  t.deserialize_ms = 12;
  t.build_ms = 300;
  t.wal_replay_ms = 7;
  t.total_ms = 320;
  EXPECT_EQ(format_snapshot_load_timing(t),
            "snapshot_load path=\"/data/seg 1.bin\" bytes=4096 read_ms=1 checksum_ms=0 "
            "deserialize_ms=12 build_ms=300 wal_replay_ms=7 total_ms=320");
}

TEST(SnapshotLoadTimingTest, PathEscapes) {
  EXPECT_EQ(quote_debug(""), "\"\"");
  EXPECT_EQ(quote_debug("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote_debug("t\tr\rn\n"), "\"t\\tr\\rn\\n\"");
  EXPECT_EQ(quote_debug(std::string_view("z\0\x1b\x7f", 4)), "\"z\\0\\u{1b}\\u{7f}\"");
  EXPECT_EQ(quote_debug("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(quote_debug("x\xff\xc3"), "\"x\\xFF\\xC3\"");
}

TEST(SnapshotLoadTimingTest, GoesToStandardErrorAndTheFacade) {
  run_in_child([] {
    static std::vector<std::string> lines;
    set_log_sink(
        [](LogLevel level, std::string_view target, std::string_view message) {
          lines.push_back(std::string(log_level_name(level)) + "|" + std::string(target) + "|" +
                          std::string(message));
        },
        LogLevel::Info);
    SnapshotLoadTiming t;
    t.path = "p";
    emit_snapshot_load_timing(t);
    const std::string line =
        "snapshot_load path=\"p\" bytes=0 read_ms=0 checksum_ms=0 deserialize_ms=0 build_ms=0 "
        "wal_replay_ms=0 total_ms=0";
    CHILD_EXPECT(lines.size() == 1 && lines[0] == "info|snapshot|" + line);
  });
  // The child's standard error carries the line itself.
  EXPECT_EXIT(
      {
        SnapshotLoadTiming t;
        t.path = "q";
        emit_snapshot_load_timing(t);
        std::fflush(stderr);
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "snapshot_load path=\"q\" bytes=0 read_ms=0 checksum_ms=0 deserialize_ms=0 build_ms=0 "
      "wal_replay_ms=0 total_ms=0");
}

TEST(TraceSequenceTest, CountersStartAtOneAndAreIndependent) {
  run_in_child([] {
    CHILD_EXPECT(next_search_trace_seq() == 1);
    CHILD_EXPECT(next_search_trace_seq() == 2);
    CHILD_EXPECT(next_insert_trace_seq() == 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([] {
        for (int i = 0; i < 1000; ++i) next_insert_trace_seq();
      });
    }
    for (auto& t : threads) t.join();
    CHILD_EXPECT(next_insert_trace_seq() == 4002);
    CHILD_EXPECT(next_search_trace_seq() == 3);
  });
}

TEST(TraceSinkTest, UnsetVariablesMeanNoTracing) {
  run_in_child([] {
    CHILD_EXPECT(!search_trace_enabled());
    CHILD_EXPECT(!insert_trace_enabled());
    log_search_trace(sample_search_entry());  // dropped, no crash
  });
}

TEST(TraceSinkTest, FileIsTruncatedAndGetsOneLinePerRecord) {
  TempDir dir;
  std::string search_path = dir.file("search.jsonl");
  std::string insert_path = dir.file("insert.jsonl");
  {
    std::ofstream old(search_path);
    old << "left over from an earlier run\n";
  }
  run_in_child([&] {
    umask(0);
    setenv("DOROVOZU_SEARCH_TRACE_LOG", search_path.c_str(), 1);
    setenv("DOROVOZU_INSERT_TRACE_LOG", insert_path.c_str(), 1);
    CHILD_EXPECT(search_trace_enabled());
    CHILD_EXPECT(read_file(search_path).empty());
    SearchTraceEntry e = sample_search_entry();
    log_search_trace(e);
    e.stop_reason = nullptr;
    e.step = 4;
    log_search_trace(e);
    // Flushed per record: visible before the process ends.
    std::string content = read_file(search_path);
    CHILD_EXPECT(content ==
                 format_search_trace(sample_search_entry()) + "\n" + format_search_trace(e) + "\n");
    InsertTraceEntry ie{};
    ie.insert_id = 100;
    log_insert_trace(ie);
    CHILD_EXPECT(read_file(insert_path) == format_insert_trace(ie) + "\n");
    struct stat st;
    CHILD_EXPECT(stat(insert_path.c_str(), &st) == 0);
    CHILD_EXPECT((st.st_mode & 0777) == 0666);
  });
}

TEST(TraceSinkTest, FailedOpenDisablesTheSinkForGood) {
  TempDir dir;
  std::string missing_dir = dir.file("not_yet");
  std::string path = missing_dir + "/trace.jsonl";
  run_in_child([&] {
    setenv("DOROVOZU_SEARCH_TRACE_LOG", path.c_str(), 1);
    CHILD_EXPECT(!search_trace_enabled());
    CHILD_EXPECT(mkdir(missing_dir.c_str(), 0777) == 0);
    CHILD_EXPECT(!search_trace_enabled());
    log_search_trace(sample_search_entry());
    CHILD_EXPECT(access(path.c_str(), F_OK) != 0);
  });
}

TEST(TraceSinkTest, SinkPathIsReadOnce) {
  TempDir dir;
  std::string first = dir.file("first.jsonl");
  std::string second = dir.file("second.jsonl");
  run_in_child([&] {
    setenv("DOROVOZU_INSERT_TRACE_LOG", first.c_str(), 1);
    CHILD_EXPECT(insert_trace_enabled());
    setenv("DOROVOZU_INSERT_TRACE_LOG", second.c_str(), 1);
    InsertTraceEntry ie{};
    log_insert_trace(ie);
    CHILD_EXPECT(read_file(first) == format_insert_trace(ie) + "\n");
    CHILD_EXPECT(access(second.c_str(), F_OK) != 0);
  });
}

TEST(JsonlSinkTest, RecordAbandonedMidWritePoisonsTheSink) {
  TempDir dir;
  std::string path = dir.file("poison.jsonl");
  auto sink = JsonlSink::open(path);
  ASSERT_NE(sink, nullptr);
  sink->write_record([](std::string& out) { out += "{\"a\":1}"; });
  EXPECT_FALSE(sink->poisoned());
  EXPECT_THROW(sink->write_record([](std::string& out) {
    out += "{\"half\":";
    throw std::runtime_error("abandoned");
  }),
               std::runtime_error);
  EXPECT_TRUE(sink->poisoned());
  sink->write_record([](std::string& out) { out += "{\"b\":2}"; });
  EXPECT_EQ(read_file(path), "{\"a\":1}\n");
}

TEST(JsonlSinkTest, ConcurrentRecordsStayWhole) {
  TempDir dir;
  std::string path = dir.file("concurrent.jsonl");
  auto sink = JsonlSink::open(path);
  ASSERT_NE(sink, nullptr);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Longer than the 8 KiB buffer for some records.
      for (int i = 0; i < kPerThread; ++i) {
        sink->write_record([&](std::string& out) {
          out += "{\"t\":" + std::to_string(t) + ",\"pad\":\"" +
                 std::string(static_cast<size_t>(i % 7 == 0 ? 9000 : 10), 'x') + "\"}";
        });
      }
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream lines(read_file(path));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.rfind("{\"t\":", 0), 0u);
    ASSERT_EQ(line.substr(line.size() - 2), "\"}");
  }
  EXPECT_EQ(count, kThreads * kPerThread);
}

TEST(JsonlSinkTest, OpenFailsOnADirectory) {
  TempDir dir;
  EXPECT_EQ(JsonlSink::open(dir.path()), nullptr);
}

}  // namespace
}  // namespace dovadure::utils
