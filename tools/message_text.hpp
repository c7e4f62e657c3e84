// Text copied from an input file into an error message.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace dovadure::tools {

// Keeps an error to one readable line whatever the file held: bytes outside
// printable ASCII become \xNN, and long text is cut.
inline std::string printable(std::string_view text, size_t max_len = 64) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (out.size() >= max_len) {
      out += "...";
      break;
    }
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace dovadure::tools
