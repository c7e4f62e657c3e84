// Command-line parsing for the subcommands: one positional path and named
// options ("--name VALUE" or "--name=VALUE").
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dovadure::tools {

struct OptionSpec {
  std::string name;  // without the leading "--"
  enum class Kind { Flag, Value, Numbers } kind = Kind::Value;
};

struct ParsedArgs {
  std::vector<std::string> positionals;
  std::map<std::string, std::vector<std::string>> values;  // flags map to an empty list
  bool help = false;

  bool has(const std::string& name) const { return values.contains(name); }
  // The last value given for `name`.
  std::optional<std::string> get(const std::string& name) const;
};

// Parses args (without the program and subcommand names). A Numbers option
// takes one or more following arguments that consist of digits only. Returns
// false with `error` set on an unknown option, a missing value or a repeated
// single-value option.
bool parse_args(const std::vector<std::string>& args, const std::vector<OptionSpec>& option_defs,
                ParsedArgs& out, std::string& error);

// Unsigned decimal, digits only, no overflow.
std::optional<uint64_t> parse_unsigned(const std::string& text);

}  // namespace dovadure::tools
