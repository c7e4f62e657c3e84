#include "vector/hnsw/config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "segment/filter_key_config.hpp"
#include "utils/log.hpp"

extern char** environ;

#include "child_process.hpp"
namespace dovadure::vector::hnsw {
namespace {

// The cached knobs keep their first value for the life of the process, so
// every case that reads one runs in a forked child with a clean environment.
// The parent never touches a cell.

void clear_knob_environment() {
  std::vector<std::string> names;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "DOROVOZU_", 9) == 0) {
      const char* eq = std::strchr(*e, '=');
      names.emplace_back(*e, eq ? static_cast<size_t>(eq - *e) : std::strlen(*e));
    }
  }
  for (const auto& n : names) unsetenv(n.c_str());
}

template <typename Body>
void run_in_child(Body body) {
  testing_util::expect_child_passes(clear_knob_environment, body);
}

constexpr size_t kNoCap = std::numeric_limits<size_t>::max();

TEST(KnobDefaultsTest, EveryKnobUnset) {
  run_in_child([] {
    CHILD_EXPECT(!sq8_screen_enabled());
    CHILD_EXPECT(!sq8_score_only_default());
    CHILD_EXPECT(!sq8_rerank_factor_default());
    CHILD_EXPECT(!disable_early_exit());
    CHILD_EXPECT(early_exit_patience() == 3);
    CHILD_EXPECT(!ti_skip_enabled());
    CHILD_EXPECT(!neighbor_scan_cap());
    CHILD_EXPECT(!neighbor_scan_patience());
    CHILD_EXPECT(!neighbor_scan_rotate_enabled());
    CHILD_EXPECT(!neighbor_scan_stride_enabled());
    CHILD_EXPECT(search_expansion_multiplier() == 2);
    CHILD_EXPECT(!search_expansion_cap_override());
    CHILD_EXPECT(!num_entry_seeds_default());
    CHILD_EXPECT(!adaptive_ef_high_default());
    CHILD_EXPECT(!adaptive_ef_score_threshold_default());
    CHILD_EXPECT(!exact_fallback_enabled_override());
    CHILD_EXPECT(!exact_fallback_threshold_override());
    CHILD_EXPECT(diversity_alpha_for_level(0) == 1.0f);
    CHILD_EXPECT(diversity_alpha_for_level(3) == 1.0f);
    CHILD_EXPECT(!diversity_prune_floor());
    CHILD_EXPECT(!enforce_neighbor_caps());
    CHILD_EXPECT(!log_unfiltered_enabled());
    CHILD_EXPECT(unfiltered_log_chunk() == 1000);
    CHILD_EXPECT(trace_every() == 100);
    CHILD_EXPECT(!max_rss_bytes());
    CHILD_EXPECT(!oom_snapshot_path());
  });
}

TEST(KnobCachingTest, FirstReadWinsForTheProcess) {
  run_in_child([] {
    setenv("DOROVOZU_EARLY_EXIT_PATIENCE", "7", 1);
    setenv("DOROVOZU_SQ8_SCREEN", "1", 1);
    setenv("DOROVOZU_OOM_SNAPSHOT_PATH", "/tmp/a", 1);
    CHILD_EXPECT(early_exit_patience() == 7);
    CHILD_EXPECT(sq8_screen_enabled());
    CHILD_EXPECT(oom_snapshot_path() == std::optional<std::string>("/tmp/a"));
    CHILD_EXPECT(!neighbor_scan_cap());  // read while unset
    setenv("DOROVOZU_EARLY_EXIT_PATIENCE", "9", 1);
    setenv("DOROVOZU_SQ8_SCREEN", "0", 1);
    setenv("DOROVOZU_OOM_SNAPSHOT_PATH", "/tmp/b", 1);
    setenv("DOROVOZU_NEIGHBOR_SCAN_CAP_LEVEL0", "4", 1);
    CHILD_EXPECT(early_exit_patience() == 7);
    CHILD_EXPECT(sq8_screen_enabled());
    CHILD_EXPECT(oom_snapshot_path() == std::optional<std::string>("/tmp/a"));
    CHILD_EXPECT(!neighbor_scan_cap());
  });
}

TEST(KnobCachingTest, FilterKeyConfigIsReadOnce) {
  run_in_child([] {
    setenv("DOROVOZU_FILTER_KEYS", "a,b", 1);
    setenv("DOROVOZU_FILTER_MAX_KEYS", "2", 1);
    const segment::FilterKeyConfig& first = segment::filter_key_config();
    CHILD_EXPECT(first.allowed_keys == std::set<std::string>({"a", "b"}));
    CHILD_EXPECT(first.max_keys == 2u);
    setenv("DOROVOZU_FILTER_KEYS", "c", 1);
    unsetenv("DOROVOZU_FILTER_MAX_KEYS");
    const segment::FilterKeyConfig& second = segment::filter_key_config();
    CHILD_EXPECT(&first == &second);
    CHILD_EXPECT(second.allowed_keys == std::set<std::string>({"a", "b"}));
    CHILD_EXPECT(second.max_keys == 2u);
  });
}

TEST(KnobValuesTest, EarlyExitPatienceZeroIsKept) {
  run_in_child([] {
    setenv("DOROVOZU_EARLY_EXIT_PATIENCE", "0", 1);
    CHILD_EXPECT(early_exit_patience() == 0);
  });
  run_in_child([] {
    setenv("DOROVOZU_EARLY_EXIT_PATIENCE", "three", 1);
    CHILD_EXPECT(early_exit_patience() == 3);
  });
}

TEST(KnobValuesTest, ExpansionMultiplierZeroMeansDefault) {
  run_in_child([] {
    setenv("DOROVOZU_SEARCH_EXPANSION_MULT", "0", 1);
    setenv("DOROVOZU_SEARCH_EXPANSION_CAP", "0", 1);
    CHILD_EXPECT(search_expansion_multiplier() == 2);
    CHILD_EXPECT(!search_expansion_cap_override());
  });
  run_in_child([] {
    setenv("DOROVOZU_SEARCH_EXPANSION_MULT", "5", 1);
    setenv("DOROVOZU_SEARCH_EXPANSION_CAP", "+400", 1);
    CHILD_EXPECT(search_expansion_multiplier() == 5);
    CHILD_EXPECT(search_expansion_cap_override() == 400u);
  });
}

TEST(KnobValuesTest, NeighborScanCapZeroMeansUncapped) {
  run_in_child([] {
    setenv("DOROVOZU_NEIGHBOR_SCAN_CAP_LEVEL0", "0", 1);
    setenv("DOROVOZU_NEIGHBOR_SCAN_PATIENCE", "0", 1);
    CHILD_EXPECT(neighbor_scan_cap() == kNoCap);
    CHILD_EXPECT(!neighbor_scan_patience());
  });
  run_in_child([] {
    setenv("DOROVOZU_NEIGHBOR_SCAN_CAP_LEVEL0", "12", 1);
    setenv("DOROVOZU_NEIGHBOR_SCAN_PATIENCE", "4", 1);
    setenv("DOROVOZU_NEIGHBOR_SCAN_ROTATE", "", 1);
    setenv("DOROVOZU_NEIGHBOR_SCAN_STRIDE", "false", 1);
    CHILD_EXPECT(neighbor_scan_cap() == 12u);
    CHILD_EXPECT(neighbor_scan_patience() == 4u);
    CHILD_EXPECT(neighbor_scan_rotate_enabled());
    CHILD_EXPECT(!neighbor_scan_stride_enabled());
  });
}

TEST(KnobValuesTest, EntrySeedsUnderscoresAndSpaces) {
  run_in_child([] {
    setenv("DOROVOZU_NUM_ENTRY_SEEDS", "1_000", 1);
    CHILD_EXPECT(num_entry_seeds_default() == 1000u);
  });
  run_in_child([] {
    setenv("DOROVOZU_NUM_ENTRY_SEEDS", " 5", 1);
    CHILD_EXPECT(!num_entry_seeds_default());
  });
  run_in_child([] {
    setenv("DOROVOZU_NUM_ENTRY_SEEDS", "0", 1);
    setenv("DOROVOZU_ADAPTIVE_EF_HIGH", "0", 1);
    setenv("DOROVOZU_SQ8_RERANK_FACTOR", "0", 1);
    CHILD_EXPECT(!num_entry_seeds_default());
    CHILD_EXPECT(!adaptive_ef_high_default());
    CHILD_EXPECT(!sq8_rerank_factor_default());
  });
}

TEST(KnobValuesTest, DiversityAlphaMustBePositiveAndFinite) {
  for (const char* bad : {"-1", "0", "inf", "nan", "-0", "x"}) {
    std::string value = bad;
    run_in_child([value] {
      setenv("DOROVOZU_DIVERSITY_ALPHA", value.c_str(), 1);
      setenv("DOROVOZU_DIVERSITY_ALPHA_LOW", "0.5", 1);
      setenv("DOROVOZU_DIVERSITY_ALPHA_HIGH", "2", 1);
      CHILD_EXPECT(diversity_alpha_for_level(0) == 0.5f);
      CHILD_EXPECT(diversity_alpha_for_level(1) == 2.0f);
      CHILD_EXPECT(diversity_alpha_for_level(9) == 2.0f);
    });
  }
  run_in_child([] {
    setenv("DOROVOZU_DIVERSITY_ALPHA", "1.2", 1);
    setenv("DOROVOZU_DIVERSITY_ALPHA_LOW", "0.5", 1);
    setenv("DOROVOZU_DIVERSITY_ALPHA_HIGH", "2", 1);
    CHILD_EXPECT(diversity_alpha_for_level(0) == 1.2f);
    CHILD_EXPECT(diversity_alpha_for_level(1) == 1.2f);
  });
  run_in_child([] {
    setenv("DOROVOZU_DIVERSITY_ALPHA", "1e-40", 1);  // subnormal still counts
    CHILD_EXPECT(diversity_alpha_for_level(0) > 0.0f);
    CHILD_EXPECT(diversity_alpha_for_level(0) < 1e-39f);
  });
  run_in_child([] {
    setenv("DOROVOZU_DIVERSITY_ALPHA_HIGH", "inf", 1);
    CHILD_EXPECT(diversity_alpha_for_level(2) == 1.0f);
  });
}

TEST(KnobValuesTest, AdaptiveThresholdIsAPositiveFloat) {
  run_in_child([] {
    setenv("DOROVOZU_ADAPTIVE_EF_SCORE_THRESHOLD", "0_.25", 1);
    CHILD_EXPECT(adaptive_ef_score_threshold_default() == 0.25f);
  });
  run_in_child([] {
    setenv("DOROVOZU_ADAPTIVE_EF_SCORE_THRESHOLD", "-0.25", 1);
    CHILD_EXPECT(!adaptive_ef_score_threshold_default());
  });
}

TEST(KnobValuesTest, Sq8ScreenFalseSpellings) {
  run_in_child([] {
    setenv("DOROVOZU_SQ8_SCREEN", "FALSE", 1);
    CHILD_EXPECT(!sq8_screen_enabled());
  });
  run_in_child([] {
    setenv("DOROVOZU_SQ8_SCREEN", "no", 1);
    CHILD_EXPECT(sq8_screen_enabled());
  });
  run_in_child([] {
    setenv("DOROVOZU_SQ8_SCREEN", "", 1);
    CHILD_EXPECT(sq8_screen_enabled());
  });
  run_in_child([] {
    setenv("DOROVOZU_SQ8_SCREEN", "\xff", 1);  // not UTF-8: absent, so off
    CHILD_EXPECT(!sq8_screen_enabled());
  });
}

TEST(KnobValuesTest, OptionalBoolsStayAbsentWhenUnset) {
  run_in_child([] {
    setenv("DOROVOZU_ENFORCE_NEIGHBOR_CAPS", "0", 1);
    setenv("DOROVOZU_EXACT_FALLBACK_ENABLED", "yes", 1);
    setenv("DOROVOZU_EXACT_FALLBACK_THRESHOLD", "0", 1);
    setenv("DOROVOZU_DIVERSITY_PRUNE_FLOOR", "0", 1);
    CHILD_EXPECT(enforce_neighbor_caps() == false);
    CHILD_EXPECT(exact_fallback_enabled_override() == true);
    CHILD_EXPECT(exact_fallback_threshold_override() == 0u);
    CHILD_EXPECT(diversity_prune_floor() == 0u);
  });
  run_in_child([] {
    setenv("DOROVOZU_ENFORCE_NEIGHBOR_CAPS", "false", 1);
    setenv("DOROVOZU_EXACT_FALLBACK_ENABLED", "False", 1);
    CHILD_EXPECT(enforce_neighbor_caps() == false);
    CHILD_EXPECT(exact_fallback_enabled_override() == false);
  });
}

TEST(KnobValuesTest, MaxRssMegabytes) {
  run_in_child([] {
    setenv("DOROVOZU_MAX_RSS_MB", "1", 1);
    CHILD_EXPECT(max_rss_bytes() == uint64_t{1} << 20);
  });
  run_in_child([] {
    setenv("DOROVOZU_MAX_RSS_MB", "0", 1);
    CHILD_EXPECT(!max_rss_bytes());
  });
  run_in_child([] {
    setenv("DOROVOZU_MAX_RSS_MB", "17_592_186_044_415", 1);  // 2^44 - 1
    CHILD_EXPECT(max_rss_bytes() == ((uint64_t{1} << 44) - 1) << 20);
  });
  run_in_child([] {
    setenv("DOROVOZU_MAX_RSS_MB", "17592186044416", 1);  // 2^44
    CHILD_EXPECT(max_rss_bytes() == std::numeric_limits<uint64_t>::max());
  });
  run_in_child([] {
    setenv("DOROVOZU_MAX_RSS_MB", "1.5", 1);
    CHILD_EXPECT(!max_rss_bytes());
  });
}

TEST(KnobValuesTest, OomSnapshotPathIsTrimmed) {
  run_in_child([] {
    setenv("DOROVOZU_OOM_SNAPSHOT_PATH", " \t/tmp/oom snap.bin \n", 1);
    CHILD_EXPECT(oom_snapshot_path() == std::optional<std::string>("/tmp/oom snap.bin"));
  });
  run_in_child([] {
    setenv("DOROVOZU_OOM_SNAPSHOT_PATH", "  \t ", 1);
    CHILD_EXPECT(!oom_snapshot_path());
  });
}

TEST(KnobValuesTest, ChunkAndTraceEveryZeroMeanDefault) {
  run_in_child([] {
    setenv("DOROVOZU_LOG_UNFILTERED_EVERY", "0", 1);
    setenv("DOROVOZU_TRACE_EVERY", "0", 1);
    CHILD_EXPECT(unfiltered_log_chunk() == 1000);
    CHILD_EXPECT(trace_every() == 100);
  });
  run_in_child([] {
    setenv("DOROVOZU_LOG_UNFILTERED_EVERY", "25", 1);
    setenv("DOROVOZU_TRACE_EVERY", "1", 1);
    CHILD_EXPECT(unfiltered_log_chunk() == 25);
    CHILD_EXPECT(trace_every() == 1);
  });
}

struct CapturedLines {
  std::vector<std::string> lines;
};

TEST(KnobValuesTest, UnfilteredSwitchAnnouncesItselfOnce) {
  run_in_child([] {
    static CapturedLines captured;
    utils::set_log_sink(
        [](utils::LogLevel level, std::string_view target, std::string_view message) {
          captured.lines.push_back(std::string(utils::log_level_name(level)) + "|" +
                                   std::string(target) + "|" + std::string(message));
        },
        utils::LogLevel::Info);
    setenv("DOROVOZU_LOG_UNFILTERED_SEARCH", "1", 1);
    setenv("DOROVOZU_LOG_UNFILTERED_EVERY", "50", 1);
    CHILD_EXPECT(log_unfiltered_enabled());
    CHILD_EXPECT(log_unfiltered_enabled());
    CHILD_EXPECT(captured.lines.size() == 1);
    CHILD_EXPECT(captured.lines[0] ==
                 "info|vector::hnsw|[unfiltered_search_stats] enabled (chunk=50, set "
                 "DOROVOZU_LOG_UNFILTERED_EVERY to change)");
  });
  run_in_child([] {
    static CapturedLines captured;
    utils::set_log_sink([](utils::LogLevel, std::string_view,
                           std::string_view message) { captured.lines.emplace_back(message); },
                        utils::LogLevel::Trace);
    setenv("DOROVOZU_LOG_UNFILTERED_SEARCH", "false", 1);
    CHILD_EXPECT(!log_unfiltered_enabled());
    CHILD_EXPECT(captured.lines.empty());
  });
}

// ---- per-construction readers: not cached, so they run in this process ----

class ConstructionKnobsTest : public ::testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* n : {"DOROVOZU_LEVEL_SCALE", "DOROVOZU_LEVEL_SCALE_MULT",
                          "DOROVOZU_MAX_LEVEL_CAP", "DOROVOZU_MAX_LEVEL"}) {
      unsetenv(n);
    }
  }
};

TEST_F(ConstructionKnobsTest, LevelScale) {
  EXPECT_DOUBLE_EQ(level_scale_for(16), 1.0 / std::log(16.0));
  EXPECT_NEAR(level_scale_for(16), 0.360674, 1e-6);
  EXPECT_TRUE(std::isinf(level_scale_for(1)));

  setenv("DOROVOZU_LEVEL_SCALE", "0.5", 1);
  setenv("DOROVOZU_LEVEL_SCALE_MULT", "10", 1);
  EXPECT_EQ(level_scale_for(16), 0.5);

  setenv("DOROVOZU_LEVEL_SCALE", "-1", 1);
  setenv("DOROVOZU_LEVEL_SCALE_MULT", "2", 1);
  EXPECT_DOUBLE_EQ(level_scale_for(16), 2.0 / std::log(16.0));

  setenv("DOROVOZU_LEVEL_SCALE", "1_2.5", 1);
  EXPECT_EQ(level_scale_for(16), 12.5);

  // Read afresh at every call.
  setenv("DOROVOZU_LEVEL_SCALE", "inf", 1);
  setenv("DOROVOZU_LEVEL_SCALE_MULT", "0", 1);
  EXPECT_DOUBLE_EQ(level_scale_for(16), 1.0 / std::log(16.0));
}

TEST_F(ConstructionKnobsTest, MaxLevel) {
  EXPECT_EQ(max_level_for(16), 16u);
  EXPECT_EQ(max_level_for(1000), 255u);

  setenv("DOROVOZU_MAX_LEVEL_CAP", "1_000", 1);
  EXPECT_EQ(max_level_for(16), 255u);

  setenv("DOROVOZU_MAX_LEVEL_CAP", "0", 1);
  setenv("DOROVOZU_MAX_LEVEL", "7", 1);
  EXPECT_EQ(max_level_for(16), 7u);

  setenv("DOROVOZU_MAX_LEVEL_CAP", "3", 1);
  EXPECT_EQ(max_level_for(16), 3u);

  setenv("DOROVOZU_MAX_LEVEL_CAP", "x", 1);
  setenv("DOROVOZU_MAX_LEVEL", "-4", 1);
  EXPECT_EQ(max_level_for(16), 16u);
}

// ---- filter key configuration ----

TEST(FilterKeyConfigTest, AllowedKeys) {
  using segment::parse_filter_key_config;
  EXPECT_FALSE(parse_filter_key_config(std::nullopt, std::nullopt).allowed_keys);
  EXPECT_EQ(parse_filter_key_config(" z , c ,,", std::nullopt).allowed_keys,
            std::set<std::string>({"z", "c"}));
  // Present but with no names left: no key is allowed.
  EXPECT_EQ(parse_filter_key_config(" , ,", std::nullopt).allowed_keys, std::set<std::string>());
  EXPECT_EQ(parse_filter_key_config("", std::nullopt).allowed_keys, std::set<std::string>());
  EXPECT_EQ(parse_filter_key_config("a b,a b", std::nullopt).allowed_keys,
            std::set<std::string>({"a b"}));
  EXPECT_FALSE(parse_filter_key_config("a,\xff", std::nullopt).allowed_keys);
}

TEST(FilterKeyConfigTest, MaxKeys) {
  using segment::parse_filter_key_config;
  EXPECT_EQ(parse_filter_key_config(std::nullopt, "+3").max_keys, 3u);
  EXPECT_EQ(parse_filter_key_config(std::nullopt, "2").max_keys, 2u);
  EXPECT_FALSE(parse_filter_key_config(std::nullopt, "1_0").max_keys);
  EXPECT_FALSE(parse_filter_key_config(std::nullopt, "0").max_keys);
  EXPECT_FALSE(parse_filter_key_config(std::nullopt, " 3").max_keys);
  EXPECT_FALSE(parse_filter_key_config(std::nullopt, "").max_keys);
  EXPECT_FALSE(parse_filter_key_config(std::nullopt, "-1").max_keys);
  EXPECT_FALSE(parse_filter_key_config(std::nullopt, std::nullopt).max_keys);
}

}  // namespace
}  // namespace dovadure::vector::hnsw
