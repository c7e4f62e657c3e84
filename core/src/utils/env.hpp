// Readers for the DOROVOZU_* environment variables.
//
// Every reader degrades an unusable value (absent, not UTF-8, unparsable) to
// "absent"; no environment content can make an operation fail.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dovadure::utils {

// Raw value of a variable, or nullopt when it is unset or not valid UTF-8.
std::optional<std::string> env_text(const char* name);

// "0" and any five-letter spelling of "false" (ASCII case-insensitive) are
// false; every other value, the empty string included, is true.
std::optional<bool> env_bool(const char* name);
// Underscores are dropped, then an unsigned decimal with one optional "+".
std::optional<uint64_t> env_u64(const char* name);
// Underscores are dropped, then a decimal float (inf, infinity, nan allowed).
std::optional<float> env_f32(const char* name);
// As env_f32, at double precision.
std::optional<double> env_f64(const char* name);

// Switches that are off when unset, unusable, "0" or "false" in any case.
bool env_flag_lowercase_rule(const char* name);

// The text rules behind the readers above, exposed for callers holding text.
bool is_valid_utf8(std::string_view text);
std::optional<bool> parse_bool(std::string_view text);
// Plain decimal: one optional leading "+", digits only, no overflow.
std::optional<uint64_t> parse_u64_plain(std::string_view text);
// parse_u64_plain after every "_" is removed.
std::optional<uint64_t> parse_u64(std::string_view text);
std::optional<float> parse_f32(std::string_view text);
std::optional<double> parse_f64(std::string_view text);
// Strips leading and trailing Unicode white space from UTF-8 text.
std::string_view trim_whitespace(std::string_view text);

// Log writer settings, read afresh by every segment load.
struct WalSettings {
  bool fsync = true;
  uint64_t fsync_every = 100;
  std::chrono::milliseconds fsync_interval{100};
};

WalSettings read_wal_settings();

}  // namespace dovadure::utils
