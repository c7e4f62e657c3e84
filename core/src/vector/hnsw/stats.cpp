#include "vector/hnsw/stats.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "utils/log.hpp"
#include "vector/hnsw/config.hpp"

namespace dovadure::vector::hnsw {
namespace {

using std::chrono::nanoseconds;

// Non-finite values read "NaN", "inf" and "-inf" in every statistics line.
bool append_non_finite(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "inf" : "-inf";
  } else {
    return false;
  }
  return true;
}

// Shortest round-trip form without an exponent ("12", "0.5").
void append_plain(std::string& out, double v) {
  if (append_non_finite(out, v)) return;
  char buf[400];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  (void)ec;
  out.append(buf, ptr);
}

void append_fixed(std::string& out, double v, int decimals) {
  if (append_non_finite(out, v)) return;
  char buf[400];
  auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  (void)ec;
  out.append(buf, ptr);
}

// NaN sorts after every number so that the order stays a strict weak order.
bool ascending_nan_last(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

// Appends "min/p50/p90/p99/max" of values (sorted here).
template <typename Append>
void append_summary(std::string& out, std::vector<double>& values, Append append_one) {
  std::sort(values.begin(), values.end(), ascending_nan_last);
  const double qs[] = {0.0, 0.5, 0.9, 0.99, 1.0};
  for (size_t i = 0; i < 5; ++i) {
    if (i > 0) out.push_back('/');
    append_one(out, quantile_of_sorted(values, qs[i]));
  }
}

double ms_of(nanoseconds d) { return static_cast<double>(d.count()) / 1e6; }

struct UnfilteredSearchAgg {
  std::vector<UnfilteredSample> samples;
};

struct FilterEdgeAgg {
  FilterEdgeTotals totals;
  uint64_t cumulative_passes = 0;  // FILTER_EDGE_TOTAL_KEYS
};

struct InsertTiming {
  uint64_t n = 0;
  nanoseconds hnsw{0};
  nanoseconds payload_idx{0};
  nanoseconds filter_edges{0};
  nanoseconds total{0};
  std::chrono::steady_clock::time_point chunk_start = std::chrono::steady_clock::now();
  uint64_t cumulative = 0;  // INSERT_TOTAL
};

thread_local UnfilteredSearchAgg t_unfiltered;
thread_local FilterEdgeAgg t_filter_edges;
thread_local InsertTiming t_insert_timing;

}  // namespace

double quantile_of_sorted(std::span<const double> sorted, double q) {
  if (sorted.empty()) return 0.0;
  double position = std::round(static_cast<double>(sorted.size() - 1) * q);
  size_t index = static_cast<size_t>(position);
  return sorted[std::min(index, sorted.size() - 1)];
}

std::string format_duration(nanoseconds d) {
  uint64_t ns = d.count() > 0 ? static_cast<uint64_t>(d.count()) : 0;
  uint64_t unit = 1;
  const char* suffix = "ns";
  int frac_digits = 0;
  if (ns >= 1'000'000'000) {
    unit = 1'000'000'000, suffix = "s", frac_digits = 9;
  } else if (ns >= 1'000'000) {
    unit = 1'000'000, suffix = "ms", frac_digits = 6;
  } else if (ns >= 1'000) {
    unit = 1'000, suffix = "\xC2\xB5s", frac_digits = 3;
  }
  std::string out = std::to_string(ns / unit);
  uint64_t frac = ns % unit;
  if (frac != 0) {
    std::string digits = std::to_string(frac);
    digits.insert(0, static_cast<size_t>(frac_digits) - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    out += '.';
    out += digits;
  }
  out += suffix;
  return out;
}

std::string format_unfiltered_enabled(size_t chunk) {
  return "[unfiltered_search_stats] enabled (chunk=" + std::to_string(chunk) +
         ", set DOROVOZU_LOG_UNFILTERED_EVERY to change)";
}

std::string format_unfiltered_stats(std::span<const UnfilteredSample> samples) {
  uint64_t ef_min = 0;
  uint64_t ef_max = 0;
  if (!samples.empty()) {
    ef_min = ef_max = samples.front().ef_search;
    for (const auto& s : samples) {
      ef_min = std::min(ef_min, s.ef_search);
      ef_max = std::max(ef_max, s.ef_search);
    }
  }
  std::vector<double> values(samples.size());
  auto column = [&](auto field) {
    for (size_t i = 0; i < samples.size(); ++i) values[i] = field(samples[i]);
  };
  auto plain = [](std::string& out, double v) { append_plain(out, v); };
  auto one_decimal = [](std::string& out, double v) { append_fixed(out, v, 1); };
  auto four_decimals = [](std::string& out, double v) { append_fixed(out, v, 4); };

  std::string line = "[unfiltered_search_stats] n=" + std::to_string(samples.size()) +
                     " ef_search=" + std::to_string(ef_min) + ".." + std::to_string(ef_max);
  line += " visited(min/p50/p90/p99/max)=";
  column([](const UnfilteredSample& s) { return static_cast<double>(s.visited); });
  append_summary(line, values, plain);
  line += " expanded=";
  column([](const UnfilteredSample& s) { return static_cast<double>(s.expanded); });
  append_summary(line, values, plain);
  line += " util%=";
  column([](const UnfilteredSample& s) {
    return static_cast<double>(s.expanded) * 100.0 /
           static_cast<double>(std::max<uint64_t>(s.ef_search, 1));
  });
  append_summary(line, values, one_decimal);
  line += " best_score=";
  column([](const UnfilteredSample& s) { return static_cast<double>(s.best_score); });
  append_summary(line, values, four_decimals);
  line += " worst_score=";
  column([](const UnfilteredSample& s) { return static_cast<double>(s.worst_score); });
  append_summary(line, values, four_decimals);
  return line;
}

std::string format_filter_edges_agg(const FilterEdgeTotals& t, uint64_t cumulative_passes) {
  nanoseconds sum = t.bucket[0] + t.bucket[1] + t.bucket[2] + t.bucket[3];
  std::string line = "[filter_edges_agg] n=" + std::to_string(t.passes) +
                     " cum_n=" + std::to_string(cumulative_passes) +
                     " samples=" + std::to_string(t.sampled) +
                     " scored=" + std::to_string(t.scored) + " added=" + std::to_string(t.added);
  const char* names[] = {" total_ms=", " bool_ms=", " str_ms=", " int_ms=", " float_ms="};
  const nanoseconds amounts[] = {sum, t.bucket[0], t.bucket[1], t.bucket[2], t.bucket[3]};
  for (size_t i = 0; i < 5; ++i) {
    line += names[i];
    append_fixed(line, ms_of(amounts[i]), 3);
  }
  return line;
}

std::string format_insert_timing_chunk(uint64_t n, uint64_t cumulative, nanoseconds hnsw_sum,
                                       nanoseconds payload_idx_sum, nanoseconds filter_edges_sum,
                                       nanoseconds total_sum, nanoseconds chunk_elapsed) {
  auto avg = [n](nanoseconds sum) {
    return n == 0 ? nanoseconds{0} : nanoseconds{sum.count() / static_cast<int64_t>(n)};
  };
  return "[insert_timing_chunk] n=" + std::to_string(n) + " cum_n=" + std::to_string(cumulative) +
         " avg_hnsw=" + format_duration(avg(hnsw_sum)) +
         " avg_payload_idx=" + format_duration(avg(payload_idx_sum)) +
         " avg_filter_edges=" + format_duration(avg(filter_edges_sum)) +
         " avg_total=" + format_duration(avg(total_sum)) +
         " chunk_elapsed=" + format_duration(chunk_elapsed);
}

void record_unfiltered_sample(const UnfilteredSample& sample) {
  UnfilteredSearchAgg& agg = t_unfiltered;
  agg.samples.push_back(sample);
  if (agg.samples.size() < unfiltered_log_chunk()) return;
  const bool emit = utils::log_enabled(utils::LogLevel::Info);
  std::string line = emit ? format_unfiltered_stats(agg.samples) : std::string();
  // Emptied before logging: a sink that searches re-enters this function.
  agg.samples.clear();
  if (emit) utils::log_record(utils::LogLevel::Info, "vector::hnsw", line);
}

void record_filter_edge_pass(FilterEdgeKind kind, uint64_t sampled, uint64_t scored, uint64_t added,
                             nanoseconds elapsed) {
  FilterEdgeAgg& agg = t_filter_edges;
  FilterEdgeTotals& t = agg.totals;
  t.passes += 1;
  t.sampled += sampled;
  t.scored += scored;
  t.added += added;
  t.bucket[static_cast<size_t>(kind)] += elapsed;
  if (t.passes < kFilterEdgePassesPerLine) return;
  agg.cumulative_passes += t.passes;
  const bool emit = utils::log_enabled(utils::LogLevel::Info);
  std::string line = emit ? format_filter_edges_agg(t, agg.cumulative_passes) : std::string();
  t = FilterEdgeTotals{};
  if (emit) utils::log_record(utils::LogLevel::Info, "hnsw", line);
}

void record_insert_timing(nanoseconds hnsw, nanoseconds payload_idx, nanoseconds filter_edges,
                          nanoseconds total) {
  InsertTiming& t = t_insert_timing;
  t.n += 1;
  t.hnsw += hnsw;
  t.payload_idx += payload_idx;
  t.filter_edges += filter_edges;
  t.total += total;
  if (t.n < kInsertsPerTimingLine) return;
  auto now = std::chrono::steady_clock::now();
  t.cumulative += t.n;
  const bool emit = utils::log_enabled(utils::LogLevel::Info);
  std::string line = emit ? format_insert_timing_chunk(
                                t.n, t.cumulative, t.hnsw, t.payload_idx, t.filter_edges, t.total,
                                std::chrono::duration_cast<nanoseconds>(now - t.chunk_start))
                          : std::string();
  uint64_t cumulative = t.cumulative;
  t = InsertTiming{};
  t.cumulative = cumulative;
  t.chunk_start = now;
  if (emit) utils::log_record(utils::LogLevel::Info, "segment", line);
}

}  // namespace dovadure::vector::hnsw
