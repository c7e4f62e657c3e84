#include "utils/env.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace dovadure::utils {
namespace {

std::string without_underscores(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '_') out.push_back(c);
  }
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != b[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal float grammar: [sign] (inf | infinity | nan | digits [. digits]
// [e [sign] digits]) with at least one mantissa digit. Rejects what
// std::from_chars would also take (hex, "nan(...)") so that the accepted
// language is exactly the decimal one.
bool is_decimal_float(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  std::string_view rest = s.substr(i);
  if (ascii_iequals(rest, "inf") || ascii_iequals(rest, "infinity") || ascii_iequals(rest, "nan")) {
    return true;
  }
  size_t digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

// For a finite decimal that from_chars rejected as out of range: true when its
// magnitude is at least 1 (so it overflowed), false when it underflowed.
bool magnitude_at_least_one(std::string_view s) {
  size_t i = 0;
  if (s[i] == '+' || s[i] == '-') ++i;
  int64_t position = 0;  // decimal exponent of the leading non-zero digit
  bool found = false;
  int64_t int_digits = 0;
  for (; i < s.size() && is_digit(s[i]); ++i) {
    if (!found && s[i] != '0') found = true;
    if (found) ++int_digits;
  }
  if (found) {
    position = int_digits - 1;
  } else if (i < s.size() && s[i] == '.') {
    ++i;
    int64_t zeros = 0;
    for (; i < s.size() && is_digit(s[i]); ++i) {
      if (s[i] != '0') {
        found = true;
        break;
      }
      ++zeros;
    }
    position = -zeros - 1;
  }
  if (!found) return false;  // zero never overflows
  size_t e = s.find_first_of("eE");
  int64_t exponent = 0;
  if (e != std::string_view::npos) {
    size_t j = e + 1;
    bool negative = false;
    if (s[j] == '+' || s[j] == '-') negative = s[j++] == '-';
    for (; j < s.size(); ++j) {
      // Saturate: only the sign of position + exponent matters.
      if (exponent < (int64_t{1} << 40)) exponent = exponent * 10 + (s[j] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return position + exponent >= 0;
}

template <typename F>
std::optional<F> parse_float_as(std::string_view raw) {
  std::string text = without_underscores(raw);
  if (!is_decimal_float(text)) return std::nullopt;
  std::string_view body = text;
  if (!body.empty() && body.front() == '+') body.remove_prefix(1);
  F value{};
  auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    bool negative = body.front() == '-';
    F magnitude = magnitude_at_least_one(body) ? std::numeric_limits<F>::infinity() : F{0};
    return negative ? -magnitude : magnitude;
  }
  if (ec != std::errc() || ptr != body.data() + body.size()) return std::nullopt;
  return value;
}

// Length of the UTF-8 sequence at s[i] when it is a Unicode White_Space
// character, else 0. The input is valid UTF-8.
size_t whitespace_len_at(std::string_view s, size_t i) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && i + 1 < s.size() && (b(i + 1) == 0x85 || b(i + 1) == 0xA0)) return 2;
  if (i + 2 < s.size()) {
    uint32_t cp = 0;
    if ((c & 0xF0) == 0xE0)
      cp = ((c & 0x0Fu) << 12) | ((b(i + 1) & 0x3Fu) << 6) | (b(i + 2) & 0x3Fu);
    if (cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
        cp == 0x202F || cp == 0x205F || cp == 0x3000) {
      return 3;
    }
  }
  return 0;
}

// Start of the UTF-8 character that ends at s[end - 1].
size_t char_start_before(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  auto cont = [&](size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
  while (i < n) {
    uint8_t c = byte(i);
    if (c < 0x80) {
      ++i;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(i + 1)) return false;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (!cont(i + 1) || !cont(i + 2)) return false;
      uint8_t c1 = byte(i + 1);
      if (c == 0xE0 && c1 < 0xA0) return false;  // overlong
      if (c == 0xED && c1 > 0x9F) return false;  // surrogates
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return false;
      uint8_t c1 = byte(i + 1);
      if (c == 0xF0 && c1 < 0x90) return false;  // overlong
      if (c == 0xF4 && c1 > 0x8F) return false;  // above U+10FFFF
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::optional<bool> parse_bool(std::string_view text) {
  if (text == "0") return false;
  if (ascii_iequals(text, "false")) return false;
  return true;
}

std::optional<uint64_t> parse_u64_plain(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (!is_digit(c)) return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<uint64_t> parse_u64(std::string_view text) {
  return parse_u64_plain(without_underscores(text));
}

std::optional<float> parse_f32(std::string_view text) { return parse_float_as<float>(text); }

std::optional<double> parse_f64(std::string_view text) { return parse_float_as<double>(text); }

std::string_view trim_whitespace(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t len = whitespace_len_at(text, begin);
    if (len == 0) break;
    begin += len;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = char_start_before(text, end);
    if (start < begin || whitespace_len_at(text, start) != end - start) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::optional<std::string> env_text(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return std::nullopt;
  std::string_view text(raw);
  if (!is_valid_utf8(text)) return std::nullopt;
  return std::string(text);
}

std::optional<bool> env_bool(const char* name) {
  auto text = env_text(name);
  if (!text) return std::nullopt;
  return parse_bool(*text);
}

std::optional<uint64_t> env_u64(const char* name) {
  auto text = env_text(name);
  if (!text) return std::nullopt;
  return parse_u64(*text);
}

std::optional<float> env_f32(const char* name) {
  auto text = env_text(name);
  if (!text) return std::nullopt;
  return parse_f32(*text);
}

std::optional<double> env_f64(const char* name) {
  auto text = env_text(name);
  if (!text) return std::nullopt;
  return parse_f64(*text);
}

bool env_flag_lowercase_rule(const char* name) {
  // No upper-case character outside ASCII lower-cases into "false", so ASCII
  // folding gives the same answer as full Unicode lower-casing.
  return env_bool(name).value_or(false);
}

WalSettings read_wal_settings() {
  WalSettings settings;
  settings.fsync = env_bool("DOROVOZU_WAL_FSYNC").value_or(true);
  uint64_t every = env_u64("DOROVOZU_WAL_FSYNC_EVERY").value_or(100);
  settings.fsync_every = every == 0 ? 1 : every;
  uint64_t ms = env_u64("DOROVOZU_WAL_FSYNC_MS").value_or(100);
  // A u64 count of milliseconds does not fit the clock's signed nanosecond
  // ticks; comparing against an interval beyond them would overflow, so
  // saturate at the largest interval the clock can represent (~292 years).
  constexpr uint64_t kMaxIntervalMs = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds::max())
          .count());
  settings.fsync_interval = std::chrono::milliseconds(
      static_cast<std::chrono::milliseconds::rep>(ms > kMaxIntervalMs ? kMaxIntervalMs : ms));
  return settings;
}

}  // namespace dovadure::utils
