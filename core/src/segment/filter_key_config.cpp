#include "segment/filter_key_config.hpp"

#include <string_view>

#include "utils/env.hpp"

namespace dovadure::segment {

FilterKeyConfig parse_filter_key_config(std::optional<std::string> keys,
                                        std::optional<std::string> max) {
  FilterKeyConfig config;
  if (keys && utils::is_valid_utf8(*keys)) {
    std::set<std::string> allowed;
    std::string_view rest = *keys;
    while (true) {
      size_t comma = rest.find(',');
      std::string_view piece = utils::trim_whitespace(rest.substr(0, comma));
      if (!piece.empty()) allowed.emplace(piece);
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    config.allowed_keys = std::move(allowed);
  }
  if (max && utils::is_valid_utf8(*max)) {
    // Unlike the other integer knobs: no underscore removal here.
    auto parsed = utils::parse_u64_plain(*max);
    if (parsed && *parsed != 0) config.max_keys = static_cast<size_t>(*parsed);
  }
  return config;
}

const FilterKeyConfig& filter_key_config() {
  static const FilterKeyConfig config = parse_filter_key_config(
      utils::env_text("DOROVOZU_FILTER_KEYS"), utils::env_text("DOROVOZU_FILTER_MAX_KEYS"));
  return config;
}

}  // namespace dovadure::segment
