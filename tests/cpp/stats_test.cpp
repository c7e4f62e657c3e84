#include "vector/hnsw/stats.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "utils/log.hpp"

#include "child_process.hpp"
namespace dovadure::vector::hnsw {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// The log sink and the knob cells are process-wide: recording cases run in a
// forked child.
template <typename Body>
void run_in_child(Body body) {
  testing_util::expect_child_passes([] {}, body);
}

std::vector<std::string>& captured() {
  static std::vector<std::string> lines;
  return lines;
}

void capture_info_lines() {
  utils::set_log_sink(
      [](utils::LogLevel level, std::string_view target, std::string_view message) {
        captured().push_back(std::string(utils::log_level_name(level)) + "|" + std::string(target) +
                             "|" + std::string(message));
      },
      utils::LogLevel::Info);
}

TEST(QuantileTest, IndexIsRoundedHalfAwayFromZero) {
  const std::vector<double> one = {7.0};
  EXPECT_EQ(quantile_of_sorted(one, 0.5), 7.0);
  EXPECT_EQ(quantile_of_sorted(one, 0.99), 7.0);
  const std::vector<double> two = {1.0, 2.0};
  EXPECT_EQ(quantile_of_sorted(two, 0.5), 2.0);  // round(0.5) = 1, not 0
  const std::vector<double> ten = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(quantile_of_sorted(ten, 0.0), 0.0);
  EXPECT_EQ(quantile_of_sorted(ten, 0.5), 5.0);   // round(4.5) = 5
  EXPECT_EQ(quantile_of_sorted(ten, 0.9), 8.0);   // round(8.1) = 8
  EXPECT_EQ(quantile_of_sorted(ten, 0.99), 9.0);  // round(8.91) = 9
  EXPECT_EQ(quantile_of_sorted(ten, 1.0), 9.0);
  std::vector<double> hundred(100);
  for (size_t i = 0; i < hundred.size(); ++i) hundred[i] = static_cast<double>(i);
  EXPECT_EQ(quantile_of_sorted(hundred, 0.5), 50.0);   // round(49.5)
  EXPECT_EQ(quantile_of_sorted(hundred, 0.9), 89.0);   // round(89.1)
  EXPECT_EQ(quantile_of_sorted(hundred, 0.99), 98.0);  // round(98.01)
  EXPECT_EQ(quantile_of_sorted({}, 0.5), 0.0);
}

TEST(UnfilteredStatsFormatTest, FiveNumberSummaries) {
  const std::vector<UnfilteredSample> samples = {
      {10, 100, 5, 0.1f, 0.5f},
      {20, 50, 30, 0.2f, 0.25f},
      {0, 75, 2, -1.0f, 2.0f},  // ef 0 counts as 1 for utilisation
      {40, 200, 10, 0.05f, 0.125f},
  };
  EXPECT_EQ(format_unfiltered_stats(samples),
            "[unfiltered_search_stats] n=4 ef_search=0..40 "
            "visited(min/p50/p90/p99/max)=50/100/200/200/200 expanded=2/10/30/30/30 "
            "util%=25.0/150.0/200.0/200.0/200.0 "
            "best_score=-1.0000/0.1000/0.2000/0.2000/0.2000 "
            "worst_score=0.1250/0.5000/2.0000/2.0000/2.0000");
}

TEST(UnfilteredStatsFormatTest, NonFiniteScoresSortLast) {
  const std::vector<UnfilteredSample> samples = {
      {8, 1, 3, std::nanf(""), std::numeric_limits<float>::infinity()},
      {8, 2, 3, 1.0f, -std::numeric_limits<float>::infinity()},
      {8, 3, 3, 2.0f, 0.0f},
  };
  EXPECT_EQ(format_unfiltered_stats(samples),
            "[unfiltered_search_stats] n=3 ef_search=8..8 "
            "visited(min/p50/p90/p99/max)=1/2/3/3/3 expanded=3/3/3/3/3 "
            "util%=37.5/37.5/37.5/37.5/37.5 "
            "best_score=1.0000/2.0000/NaN/NaN/NaN "
            "worst_score=-inf/0.0000/inf/inf/inf");
}

TEST(UnfilteredStatsFormatTest, LargeCountsPrintWithoutExponent) {
  const std::vector<UnfilteredSample> samples = {
      {1, 123456789012ull, 0, 0.0f, 0.0f},
  };
  EXPECT_EQ(format_unfiltered_stats(samples),
            "[unfiltered_search_stats] n=1 ef_search=1..1 "
            "visited(min/p50/p90/p99/max)=123456789012/123456789012/123456789012/123456789012/"
            "123456789012 expanded=0/0/0/0/0 util%=0.0/0.0/0.0/0.0/0.0 "
            "best_score=0.0000/0.0000/0.0000/0.0000/0.0000 "
            "worst_score=0.0000/0.0000/0.0000/0.0000/0.0000");
}

TEST(UnfilteredStatsFormatTest, EnabledLine) {
  EXPECT_EQ(format_unfiltered_enabled(1000),
            "[unfiltered_search_stats] enabled (chunk=1000, set DOROVOZU_LOG_UNFILTERED_EVERY to "
            "change)");
}

TEST(DurationFormatTest, LargestUnitWithExactFraction) {
  EXPECT_EQ(format_duration(nanoseconds(0)), "0ns");
  EXPECT_EQ(format_duration(nanoseconds(999)), "999ns");
  EXPECT_EQ(format_duration(nanoseconds(1000)), "1\xC2\xB5s");
  EXPECT_EQ(format_duration(nanoseconds(1500)), "1.5\xC2\xB5s");
  EXPECT_EQ(format_duration(nanoseconds(1001)), "1.001\xC2\xB5s");
  EXPECT_EQ(format_duration(nanoseconds(999'999)), "999.999\xC2\xB5s");
  EXPECT_EQ(format_duration(milliseconds(250)), "250ms");
  EXPECT_EQ(format_duration(nanoseconds(1'000'500)), "1.0005ms");
  EXPECT_EQ(format_duration(nanoseconds(2'000'001'000)), "2.000001s");
  EXPECT_EQ(format_duration(nanoseconds(1'000'000'001)), "1.000000001s");
  EXPECT_EQ(format_duration(std::chrono::hours(1)), "3600s");
  EXPECT_EQ(format_duration(nanoseconds(-5)), "0ns");
}

TEST(FilterEdgeStatsFormatTest, BucketsInMilliseconds) {
  FilterEdgeTotals t;
  t.passes = 10000;
  t.sampled = 5;
  t.scored = 6;
  t.added = 7;
  t.bucket[static_cast<size_t>(FilterEdgeKind::Bool)] = nanoseconds(1'500'000);
  t.bucket[static_cast<size_t>(FilterEdgeKind::Str)] = nanoseconds(2'000'250);
  t.bucket[static_cast<size_t>(FilterEdgeKind::Int)] = nanoseconds(0);
  t.bucket[static_cast<size_t>(FilterEdgeKind::Float)] = nanoseconds(1'234'567);
  EXPECT_EQ(format_filter_edges_agg(t, 20000),
            "[filter_edges_agg] n=10000 cum_n=20000 samples=5 scored=6 added=7 total_ms=4.735 "
            "bool_ms=1.500 str_ms=2.000 int_ms=0.000 float_ms=1.235");
}

TEST(InsertTimingFormatTest, AveragesTruncateToWholeNanoseconds) {
  EXPECT_EQ(format_insert_timing_chunk(4, 8, nanoseconds(4000), nanoseconds(10), nanoseconds(0),
                                       nanoseconds(4'000'000'006), milliseconds(1500)),
            "[insert_timing_chunk] n=4 cum_n=8 avg_hnsw=1\xC2\xB5s avg_payload_idx=2ns "
            "avg_filter_edges=0ns avg_total=1.000000001s chunk_elapsed=1.5s");
}

UnfilteredSample sample_with_visited(uint64_t visited) {
  return UnfilteredSample{10, visited, 5, 0.5f, 1.0f};
}

TEST(UnfilteredStatsRecordTest, FlushesEveryChunkPerThread) {
  run_in_child([] {
    setenv("DOROVOZU_LOG_UNFILTERED_EVERY", "3", 1);
    // Without a sink a full list is still emptied.
    for (uint64_t v = 1; v <= 3; ++v) record_unfiltered_sample(sample_with_visited(v));
    capture_info_lines();
    record_unfiltered_sample(sample_with_visited(10));
    record_unfiltered_sample(sample_with_visited(30));
    CHILD_EXPECT(captured().empty());
    // Another thread has its own list.
    std::thread other([] {
      record_unfiltered_sample(sample_with_visited(99));
      record_unfiltered_sample(sample_with_visited(99));
    });
    other.join();
    CHILD_EXPECT(captured().empty());
    record_unfiltered_sample(sample_with_visited(20));
    CHILD_EXPECT(captured().size() == 1);
    CHILD_EXPECT(captured()[0] ==
                 "info|vector::hnsw|[unfiltered_search_stats] n=3 ef_search=10..10 "
                 "visited(min/p50/p90/p99/max)=10/20/30/30/30 expanded=5/5/5/5/5 "
                 "util%=50.0/50.0/50.0/50.0/50.0 best_score=0.5000/0.5000/0.5000/0.5000/0.5000 "
                 "worst_score=1.0000/1.0000/1.0000/1.0000/1.0000");
    for (uint64_t v = 1; v <= 3; ++v) record_unfiltered_sample(sample_with_visited(v));
    CHILD_EXPECT(captured().size() == 2);
    CHILD_EXPECT(captured()[1].find("visited(min/p50/p90/p99/max)=1/2/3/3/3") != std::string::npos);
  });
}

TEST(FilterEdgeStatsRecordTest, LineEveryTenThousandPassesWithRunningTotal) {
  run_in_child([] {
    capture_info_lines();
    for (uint64_t i = 0; i < kFilterEdgePassesPerLine - 1; ++i) {
      record_filter_edge_pass(FilterEdgeKind::Int, 2, 1, 1, nanoseconds(100));
    }
    CHILD_EXPECT(captured().empty());
    record_filter_edge_pass(FilterEdgeKind::Float, 2, 1, 0, nanoseconds(100));
    CHILD_EXPECT(captured().size() == 1);
    CHILD_EXPECT(captured()[0] ==
                 "info|hnsw|[filter_edges_agg] n=10000 cum_n=10000 samples=20000 scored=10000 "
                 "added=9999 total_ms=1.000 bool_ms=0.000 str_ms=0.000 int_ms=1.000 "
                 "float_ms=0.000");
    for (uint64_t i = 0; i < kFilterEdgePassesPerLine; ++i) {
      record_filter_edge_pass(FilterEdgeKind::Bool, 1, 1, 1, nanoseconds(50));
    }
    CHILD_EXPECT(captured().size() == 2);
    CHILD_EXPECT(captured()[1] ==
                 "info|hnsw|[filter_edges_agg] n=10000 cum_n=20000 samples=10000 scored=10000 "
                 "added=10000 total_ms=0.500 bool_ms=0.500 str_ms=0.000 int_ms=0.000 "
                 "float_ms=0.000");
  });
}

TEST(InsertTimingRecordTest, LineEveryFiveThousandInserts) {
  run_in_child([] {
    capture_info_lines();
    auto us = [](int64_t n) { return std::chrono::microseconds(n); };
    for (uint64_t i = 0; i < 2 * kInsertsPerTimingLine; ++i) {
      CHILD_EXPECT(captured().size() == i / kInsertsPerTimingLine);
      record_insert_timing(us(1), us(2), us(3), us(6));
    }
    CHILD_EXPECT(captured().size() == 2);
    const std::string first =
        "info|segment|[insert_timing_chunk] n=5000 cum_n=5000 avg_hnsw=1\xC2\xB5s "
        "avg_payload_idx=2\xC2\xB5s avg_filter_edges=3\xC2\xB5s avg_total=6\xC2\xB5s "
        "chunk_elapsed=";
    CHILD_EXPECT(captured()[0].rfind(first, 0) == 0);
    CHILD_EXPECT(captured()[1].rfind("info|segment|[insert_timing_chunk] n=5000 cum_n=10000 ", 0) ==
                 0);
  });
}

TEST(LogFacadeTest, LevelsAndLazyFormatting) {
  run_in_child([] {
    int formatted = 0;
    auto message = [&formatted] {
      ++formatted;
      return std::string("m");
    };
    CHILD_EXPECT(!utils::log_enabled(utils::LogLevel::Error));
    DOVADURE_LOG(utils::LogLevel::Error, "segment", message());
    CHILD_EXPECT(formatted == 0);
    capture_info_lines();
    CHILD_EXPECT(utils::log_enabled(utils::LogLevel::Error));
    CHILD_EXPECT(utils::log_enabled(utils::LogLevel::Info));
    CHILD_EXPECT(!utils::log_enabled(utils::LogLevel::Debug));
    DOVADURE_LOG(utils::LogLevel::Debug, "segment", message());
    CHILD_EXPECT(formatted == 0);
    DOVADURE_LOG(utils::LogLevel::Warn, "segment", message());
    CHILD_EXPECT(formatted == 1);
    CHILD_EXPECT(captured().size() == 1 && captured()[0] == "warn|segment|m");
    utils::clear_log_sink();
    CHILD_EXPECT(!utils::log_enabled(utils::LogLevel::Error));
    utils::log_record(utils::LogLevel::Error, "segment", "dropped");
    CHILD_EXPECT(captured().size() == 1);
  });
}

}  // namespace
}  // namespace dovadure::vector::hnsw
