// Which payload keys take part in filter-aware edges.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>

namespace dovadure::segment {

struct FilterKeyConfig {
  // Absent: every key is allowed. Present but empty: no key is.
  std::optional<std::set<std::string>> allowed_keys;
  // Absent: no limit. Never 0.
  std::optional<size_t> max_keys;
};

// The pure parsing rule over the raw values of DOROVOZU_FILTER_KEYS and
// DOROVOZU_FILTER_MAX_KEYS (nullopt = unset or not UTF-8).
FilterKeyConfig parse_filter_key_config(std::optional<std::string> keys,
                                        std::optional<std::string> max);

// Read from the environment once per process.
const FilterKeyConfig& filter_key_config();

}  // namespace dovadure::segment
