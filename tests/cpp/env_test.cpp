#include "utils/env.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace dovadure::utils {
namespace {

// Sets (or with nullptr unsets) a variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char* name_;
};

constexpr const char* kVar = "DOROVOZU_ENV_TEST_VALUE";

TEST(EnvBoolTest, ZeroAndFalseInAnyCaseAreFalseEverythingElseTrue) {
  EXPECT_EQ(parse_bool("0"), false);
  EXPECT_EQ(parse_bool("false"), false);
  EXPECT_EQ(parse_bool("FALSE"), false);
  EXPECT_EQ(parse_bool("FaLsE"), false);
  EXPECT_EQ(parse_bool(""), true);
  EXPECT_EQ(parse_bool("no"), true);
  EXPECT_EQ(parse_bool("off"), true);
  EXPECT_EQ(parse_bool("00"), true);
  EXPECT_EQ(parse_bool(" 0"), true);
  EXPECT_EQ(parse_bool("false "), true);
  EXPECT_EQ(parse_bool("falsey"), true);
  EXPECT_EQ(parse_bool("1"), true);
}

TEST(EnvBoolTest, ReadsTheEnvironment) {
  {
    ScopedEnv e(kVar, nullptr);
    EXPECT_EQ(env_bool(kVar), std::nullopt);
    EXPECT_FALSE(env_flag_lowercase_rule(kVar));
  }
  {
    ScopedEnv e(kVar, "\xff\xfe");
    EXPECT_EQ(env_bool(kVar), std::nullopt);
    EXPECT_FALSE(env_flag_lowercase_rule(kVar));
  }
  {
    ScopedEnv e(kVar, "");
    EXPECT_EQ(env_bool(kVar), true);
    EXPECT_TRUE(env_flag_lowercase_rule(kVar));
  }
  {
    ScopedEnv e(kVar, "False");
    EXPECT_EQ(env_bool(kVar), false);
    EXPECT_FALSE(env_flag_lowercase_rule(kVar));
  }
  {
    ScopedEnv e(kVar, "off");
    EXPECT_TRUE(env_flag_lowercase_rule(kVar));
  }
  {
    ScopedEnv e(kVar, "0");
    EXPECT_FALSE(env_flag_lowercase_rule(kVar));
  }
}

TEST(EnvU64Test, DigitsWithUnderscoresAndOnePlus) {
  EXPECT_EQ(parse_u64("0"), 0u);
  EXPECT_EQ(parse_u64("1_000"), 1000u);
  EXPECT_EQ(parse_u64("_1__0_"), 10u);
  EXPECT_EQ(parse_u64("+42"), 42u);
  EXPECT_EQ(parse_u64("+_4"), 4u);
  EXPECT_EQ(parse_u64("007"), 7u);
  EXPECT_EQ(parse_u64("18446744073709551615"), std::numeric_limits<uint64_t>::max());
}

TEST(EnvU64Test, RejectsSignsSpacesJunkAndOverflow) {
  EXPECT_EQ(parse_u64(""), std::nullopt);
  EXPECT_EQ(parse_u64("_"), std::nullopt);
  EXPECT_EQ(parse_u64("+"), std::nullopt);
  EXPECT_EQ(parse_u64("-"), std::nullopt);
  EXPECT_EQ(parse_u64("-0"), std::nullopt);
  EXPECT_EQ(parse_u64("++1"), std::nullopt);
  EXPECT_EQ(parse_u64(" 5"), std::nullopt);
  EXPECT_EQ(parse_u64("5 "), std::nullopt);
  EXPECT_EQ(parse_u64("5x"), std::nullopt);
  EXPECT_EQ(parse_u64("1e3"), std::nullopt);
  EXPECT_EQ(parse_u64("0x10"), std::nullopt);
  EXPECT_EQ(parse_u64("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parse_u64("99999999999999999999"), std::nullopt);
}

TEST(EnvU64Test, PlainFormKeepsUnderscoresAsJunk) {
  EXPECT_EQ(parse_u64_plain("1_0"), std::nullopt);
  EXPECT_EQ(parse_u64_plain("+3"), 3u);
  EXPECT_EQ(parse_u64_plain("+"), std::nullopt);
}

TEST(EnvU64Test, ReadsTheEnvironment) {
  {
    ScopedEnv e(kVar, "1_000");
    EXPECT_EQ(env_u64(kVar), 1000u);
  }
  {
    ScopedEnv e(kVar, " 5");
    EXPECT_EQ(env_u64(kVar), std::nullopt);
  }
  {
    ScopedEnv e(kVar, "5\xc3");  // truncated UTF-8 sequence
    EXPECT_EQ(env_u64(kVar), std::nullopt);
  }
}

TEST(EnvF32Test, DecimalSyntax) {
  EXPECT_EQ(parse_f32("1.5"), 1.5f);
  EXPECT_EQ(parse_f32("+1.5"), 1.5f);
  EXPECT_EQ(parse_f32("-2"), -2.0f);
  EXPECT_EQ(parse_f32("1."), 1.0f);
  EXPECT_EQ(parse_f32(".25"), 0.25f);
  EXPECT_EQ(parse_f32("1e3"), 1000.0f);
  EXPECT_EQ(parse_f32("2.5E-1"), 0.25f);
  EXPECT_EQ(parse_f32("1e+2"), 100.0f);
  EXPECT_EQ(parse_f32("1_000.5"), 1000.5f);
  EXPECT_EQ(parse_f32("0.1"), 0.1f);
}

TEST(EnvF32Test, WordsInAnyCase) {
  EXPECT_EQ(parse_f32("inf"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_f32("-Infinity"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_f32("+INF"), std::numeric_limits<float>::infinity());
  auto nan = parse_f32("NaN");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
}

TEST(EnvF32Test, RejectsWhatIsNotADecimal) {
  for (const char* bad : {"", "_", ".", "+", "-", "e3", "1e", "1e+", "1.2.3", " 1", "1 ", "0x10",
                          "nan(1)", "infin", "1f", "--1", "1,5"}) {
    EXPECT_EQ(parse_f32(bad), std::nullopt) << bad;
  }
}

TEST(EnvF32Test, OutOfRangeRoundsToInfinityOrZero) {
  EXPECT_EQ(parse_f32("1e50"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_f32("-1e50"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_f32("123456789e40"), std::numeric_limits<float>::infinity());
  auto tiny = parse_f32("1e-50");
  ASSERT_TRUE(tiny.has_value());
  EXPECT_EQ(*tiny, 0.0f);
  EXPECT_FALSE(std::signbit(*tiny));
  auto neg_tiny = parse_f32("-0.00001e-45");
  ASSERT_TRUE(neg_tiny.has_value());
  EXPECT_EQ(*neg_tiny, 0.0f);
  EXPECT_TRUE(std::signbit(*neg_tiny));
  EXPECT_EQ(parse_f32("0.000001e400"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_f32("1e999999999999999999999"), std::numeric_limits<float>::infinity());
  // Subnormals are ordinary values.
  auto sub = parse_f32("1e-40");
  ASSERT_TRUE(sub.has_value());
  EXPECT_GT(*sub, 0.0f);
  EXPECT_LT(*sub, std::numeric_limits<float>::min());
}

TEST(EnvF64Test, DoublePrecision) {
  EXPECT_EQ(parse_f64("0.1"), 0.1);
  EXPECT_EQ(parse_f64("1e300"), 1e300);
  EXPECT_EQ(parse_f64("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parse_f64("abc"), std::nullopt);
}

TEST(EnvTextTest, Utf8Validation) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain"));
  EXPECT_TRUE(is_valid_utf8("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
  EXPECT_FALSE(is_valid_utf8("\x80"));
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));          // overlong "/"
  EXPECT_FALSE(is_valid_utf8("\xe0\x80\xaf"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xe2\x82"));          // truncated
  EXPECT_FALSE(is_valid_utf8("\xff"));
  {
    ScopedEnv e(kVar, "caf\xc3\xa9");
    EXPECT_EQ(env_text(kVar), "caf\xc3\xa9");
  }
  {
    ScopedEnv e(kVar, "caf\xe9");
    EXPECT_EQ(env_text(kVar), std::nullopt);
  }
  {
    ScopedEnv e(kVar, nullptr);
    EXPECT_EQ(env_text(kVar), std::nullopt);
  }
}

TEST(EnvTextTest, TrimsUnicodeWhiteSpace) {
  EXPECT_EQ(trim_whitespace("  a b \t\n"), "a b");
  EXPECT_EQ(trim_whitespace("\xc2\xa0x\xe3\x80\x80"), "x");  // NBSP, ideographic space
  EXPECT_EQ(trim_whitespace("\xe2\x80\x83"), "");            // em space only
  EXPECT_EQ(trim_whitespace(""), "");
  EXPECT_EQ(trim_whitespace("   "), "");
  // "é" ends in a byte that is not white space on its own.
  EXPECT_EQ(trim_whitespace(" caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(WalSettingsTest, DefaultsAndRules) {
  {
    ScopedEnv a("DOROVOZU_WAL_FSYNC", nullptr);
    ScopedEnv b("DOROVOZU_WAL_FSYNC_EVERY", nullptr);
    ScopedEnv c("DOROVOZU_WAL_FSYNC_MS", nullptr);
    WalSettings s = read_wal_settings();
    EXPECT_TRUE(s.fsync);
    EXPECT_EQ(s.fsync_every, 100u);
    EXPECT_EQ(s.fsync_interval, std::chrono::milliseconds(100));
  }
  {
    ScopedEnv a("DOROVOZU_WAL_FSYNC", "false");
    ScopedEnv b("DOROVOZU_WAL_FSYNC_EVERY", "0");
    ScopedEnv c("DOROVOZU_WAL_FSYNC_MS", "2_500");
    WalSettings s = read_wal_settings();
    EXPECT_FALSE(s.fsync);
    EXPECT_EQ(s.fsync_every, 1u);
    EXPECT_EQ(s.fsync_interval, std::chrono::milliseconds(2500));
  }
  {
    ScopedEnv a("DOROVOZU_WAL_FSYNC", "no");
    ScopedEnv b("DOROVOZU_WAL_FSYNC_EVERY", "junk");
    ScopedEnv c("DOROVOZU_WAL_FSYNC_MS", "0");
    WalSettings s = read_wal_settings();
    EXPECT_TRUE(s.fsync);
    EXPECT_EQ(s.fsync_every, 100u);
    EXPECT_EQ(s.fsync_interval, std::chrono::milliseconds(0));
  }
}

TEST(WalSettingsTest, HugeIntervalSaturatesWithinTheClockRange) {
  ScopedEnv c("DOROVOZU_WAL_FSYNC_MS", "18446744073709551615");
  WalSettings s = read_wal_settings();
  auto max_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds::max());
  EXPECT_EQ(s.fsync_interval, max_ms);
  // Comparable with steady-clock durations without overflowing.
  EXPECT_LT(std::chrono::nanoseconds(1), s.fsync_interval);
}

}  // namespace
}  // namespace dovadure::utils
