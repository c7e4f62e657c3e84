// A small JSON-lines reader for point payloads: one JSON object per line,
// whose values are scalars or flat lists of one kind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace dovadure::tools {

// Alternatives in the order of the payload value tags (Int, Float, Str, Bool,
// and the four list kinds), so that conversion is one index-preserving step.
using JsonField = std::variant<int64_t, double, std::string, bool, std::vector<int64_t>,
                               std::vector<double>, std::vector<std::string>, std::vector<bool>>;

// Fields in file order; names are unique.
struct JsonObject {
  std::vector<std::pair<std::string, JsonField>> fields;
};

// Parses one line holding a JSON object (or `null`, meaning no payload:
// nullopt). Integers that fit i64 stay integers; a list mixing integers and
// floats becomes a float list; an empty list is an integer list. Nested
// objects, nested lists, null field values, duplicate names, invalid UTF-8
// and anything after the object are errors. On failure returns false and
// sets `error` to a description with the 1-based column.
bool parse_json_object_line(std::string_view line, std::optional<JsonObject>& out,
                            std::string& error);

// Splits a whole file into lines and parses each. A final newline does not
// start a new line; a trailing "\r" is dropped. Errors name the 1-based line.
bool parse_json_lines(std::string_view text, std::vector<std::optional<JsonObject>>& out,
                      std::string& error);

}  // namespace dovadure::tools
