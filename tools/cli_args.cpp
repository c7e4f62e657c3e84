#include "cli_args.hpp"

#include <algorithm>

namespace dovadure::tools {
namespace {

bool all_digits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::string> ParsedArgs::get(const std::string& name) const {
  auto it = values.find(name);
  if (it == values.end() || it->second.empty()) return std::nullopt;
  return it->second.back();
}

std::optional<uint64_t> parse_unsigned(const std::string& text) {
  if (!all_digits(text)) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

bool parse_args(const std::vector<std::string>& args, const std::vector<OptionSpec>& option_defs,
                ParsedArgs& out, std::string& error) {
  out = ParsedArgs{};
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      out.positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      out.help = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      error = "unknown option '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> inline_value;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto option_def = std::find_if(option_defs.begin(), option_defs.end(),
                             [&](const OptionSpec& s) { return s.name == name; });
    if (option_def == option_defs.end()) {
      error = "unknown option '--" + name + "'";
      return false;
    }
    auto& slot = out.values[name];
    switch (option_def->kind) {
      case OptionSpec::Kind::Flag:
        if (inline_value) {
          error = "option '--" + name + "' takes no value";
          return false;
        }
        break;
      case OptionSpec::Kind::Value:
        if (!slot.empty()) {
          error = "option '--" + name + "' given twice";
          return false;
        }
        if (inline_value) {
          slot.push_back(*inline_value);
        } else if (i + 1 < args.size()) {
          slot.push_back(args[++i]);
        } else {
          error = "option '--" + name + "' needs a value";
          return false;
        }
        break;
      case OptionSpec::Kind::Numbers: {
        size_t before = slot.size();
        if (inline_value) slot.push_back(*inline_value);
        while (i + 1 < args.size() && all_digits(args[i + 1])) slot.push_back(args[++i]);
        if (slot.size() == before) {
          error = "option '--" + name + "' needs at least one number";
          return false;
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace dovadure::tools
