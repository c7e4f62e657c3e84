#include "json_lines.hpp"

#include "message_text.hpp"

#include <charconv>
#include <cmath>
#include <system_error>
#include <unordered_set>

namespace dovadure::tools {
namespace {

// One element of a list before the list's kind is known.
using ListItem = std::variant<int64_t, double, std::string, bool>;

// Recursive descent over one line. Nesting is refused at the first inner
// container, so the depth is bounded by construction (object > list > scalar).
class LineParser {
 public:
  explicit LineParser(std::string_view text) : text_(text) {}

  bool parse(std::optional<JsonObject>& out, std::string& error) {
    skip_ws();
    if (text_.substr(pos_, 4) == "null") {
      pos_ += 4;
      out.reset();
    } else {
      JsonObject object;
      if (!parse_object(object)) return fail_out(error);
      out = std::move(object);
    }
    skip_ws();
    if (pos_ != text_.size()) {
      fail("unexpected text after the object");
      return fail_out(error);
    }
    return true;
  }

 private:
  bool fail_out(std::string& error) {
    error = error_ + " at column " + std::to_string(error_pos_ + 1);
    return false;
  }

  bool fail(std::string message) {
    if (error_.empty()) {
      error_ = std::move(message);
      error_pos_ = pos_;
    }
    return false;
  }

  void skip_ws() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n')) {
      ++pos_;
    }
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  bool expect(char c) {
    if (at_end() || peek() != c) return fail(std::string("expected '") + c + "'");
    ++pos_;
    return true;
  }

  bool parse_object(JsonObject& object) {
    if (at_end() || peek() != '{') return fail("expected a JSON object");
    ++pos_;
    // A set, not a scan of the fields so far: a line may hold very many.
    std::unordered_set<std::string> names;
    skip_ws();
    if (!at_end() && peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_ws();
      size_t name_pos = pos_;
      std::string name;
      if (at_end() || peek() != '"') return fail("expected a field name");
      if (!parse_string(name)) return false;
      if (!names.insert(name).second) {
        pos_ = name_pos;
        return fail("duplicate field \"" + printable(name) + "\"");
      }
      skip_ws();
      if (!expect(':')) return false;
      skip_ws();
      JsonField field;
      if (!parse_field(field)) return false;
      object.fields.emplace_back(std::move(name), std::move(field));
      skip_ws();
      if (at_end()) return fail("expected ',' or '}'");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      return fail("expected ',' or '}'");
    }
  }

  bool parse_field(JsonField& field) {
    if (at_end()) return fail("expected a value");
    if (peek() == '[') return parse_list(field);
    if (peek() == '{') return fail("nested objects are not payload values");
    ListItem item;
    if (!parse_scalar(item)) return false;
    std::visit([&field](auto&& v) { field = std::move(v); }, std::move(item));
    return true;
  }

  bool parse_list(JsonField& field) {
    ++pos_;  // '['
    std::vector<ListItem> items;
    skip_ws();
    if (!at_end() && peek() == ']') {
      ++pos_;
      field = std::vector<int64_t>{};
      return true;
    }
    for (;;) {
      skip_ws();
      if (at_end()) return fail("expected a value");
      if (peek() == '[' || peek() == '{') return fail("nested lists are not payload values");
      size_t item_pos = pos_;
      ListItem item;
      if (!parse_scalar(item)) return false;
      if (!items.empty() && !compatible(items.front(), item)) {
        pos_ = item_pos;
        return fail("list elements must all be of one kind");
      }
      items.push_back(std::move(item));
      skip_ws();
      if (at_end()) return fail("expected ',' or ']'");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') {
        ++pos_;
        break;
      }
      return fail("expected ',' or ']'");
    }
    field = make_list(std::move(items));
    return true;
  }

  static bool is_number(const ListItem& v) { return v.index() == 0 || v.index() == 1; }

  static bool compatible(const ListItem& a, const ListItem& b) {
    if (is_number(a) && is_number(b)) return true;
    return a.index() == b.index();
  }

  static JsonField make_list(std::vector<ListItem> items) {
    bool any_float = false;
    for (const auto& item : items) any_float = any_float || item.index() == 1;
    switch (items.front().index()) {
      case 0:
      case 1: {
        if (any_float) {
          std::vector<double> out;
          out.reserve(items.size());
          for (const auto& item : items) {
            out.push_back(item.index() == 1 ? std::get<double>(item)
                                            : static_cast<double>(std::get<int64_t>(item)));
          }
          return out;
        }
        std::vector<int64_t> out;
        out.reserve(items.size());
        for (const auto& item : items) out.push_back(std::get<int64_t>(item));
        return out;
      }
      case 2: {
        std::vector<std::string> out;
        out.reserve(items.size());
        for (auto& item : items) out.push_back(std::move(std::get<std::string>(item)));
        return out;
      }
      default: {
        std::vector<bool> out;
        out.reserve(items.size());
        for (const auto& item : items) out.push_back(std::get<bool>(item));
        return out;
      }
    }
  }

  bool parse_scalar(ListItem& item) {
    char c = peek();
    if (c == '"') {
      std::string s;
      if (!parse_string(s)) return false;
      item = std::move(s);
      return true;
    }
    if (text_.substr(pos_, 4) == "true") {
      pos_ += 4;
      item = true;
      return true;
    }
    if (text_.substr(pos_, 5) == "false") {
      pos_ += 5;
      item = false;
      return true;
    }
    if (text_.substr(pos_, 4) == "null") return fail("null is not a payload value");
    if (c == '-' || (c >= '0' && c <= '9')) return parse_number(item);
    return fail("expected a value");
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  bool parse_number(ListItem& item) {
    const size_t start = pos_;
    size_t p = pos_;
    if (p < text_.size() && text_[p] == '-') ++p;
    if (p >= text_.size() || !is_digit(text_[p])) return fail("invalid number");
    if (text_[p] == '0') {
      ++p;
    } else {
      while (p < text_.size() && is_digit(text_[p])) ++p;
    }
    bool integral = true;
    if (p < text_.size() && text_[p] == '.') {
      integral = false;
      ++p;
      if (p >= text_.size() || !is_digit(text_[p])) return fail("invalid number");
      while (p < text_.size() && is_digit(text_[p])) ++p;
    }
    if (p < text_.size() && (text_[p] == 'e' || text_[p] == 'E')) {
      integral = false;
      ++p;
      if (p < text_.size() && (text_[p] == '+' || text_[p] == '-')) ++p;
      if (p >= text_.size() || !is_digit(text_[p])) return fail("invalid number");
      while (p < text_.size() && is_digit(text_[p])) ++p;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + p;
    if (integral) {
      int64_t v = 0;
      auto [ptr, ec] = std::from_chars(first, last, v);
      if (ec != std::errc() || ptr != last) return fail("integer out of the 64-bit range");
      item = v;
    } else {
      double v = 0.0;
      auto [ptr, ec] = std::from_chars(first, last, v);
      if (ec != std::errc() || ptr != last || !std::isfinite(v)) {
        return fail("number out of the 64-bit float range");
      }
      item = v;
    }
    pos_ = p;
    return true;
  }

  static void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool parse_hex4(uint32_t& cp) {
    if (pos_ + 4 > text_.size()) return fail("truncated \\u escape");
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_ + i];
      uint32_t d;
      if (c >= '0' && c <= '9') {
        d = static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        d = static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        d = static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return fail("invalid \\u escape");
      }
      cp = cp * 16 + d;
    }
    pos_ += 4;
    return true;
  }

  // Length of the well-formed UTF-8 sequence at pos_ (overlong forms,
  // surrogates and code points above U+10FFFF refused), or 0.
  size_t utf8_sequence_length() const {
    auto byte = [this](size_t i) { return static_cast<uint8_t>(text_[pos_ + i]); };
    const size_t left = text_.size() - pos_;
    uint8_t b0 = byte(0);
    auto cont = [&](size_t i) { return i < left && (byte(i) & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) return cont(1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
      if (!cont(1) || !cont(2)) return 0;
      if (b0 == 0xE0 && byte(1) < 0xA0) return 0;
      if (b0 == 0xED && byte(1) >= 0xA0) return 0;
      return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return 0;
      if (b0 == 0xF0 && byte(1) < 0x90) return 0;
      if (b0 == 0xF4 && byte(1) >= 0x90) return 0;
      return 4;
    }
    return 0;
  }

  bool parse_string(std::string& out) {
    ++pos_;  // opening quote
    for (;;) {
      if (at_end()) return fail("unterminated string");
      auto c = static_cast<uint8_t>(peek());
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return fail("control character in string");
      if (c == '\\') {
        ++pos_;
        if (at_end()) return fail("unterminated string");
        char e = peek();
        ++pos_;
        switch (e) {
          case '"': out.push_back('"'); break;
          case '\\': out.push_back('\\'); break;
          case '/': out.push_back('/'); break;
          case 'b': out.push_back('\b'); break;
          case 'f': out.push_back('\f'); break;
          case 'n': out.push_back('\n'); break;
          case 'r': out.push_back('\r'); break;
          case 't': out.push_back('\t'); break;
          case 'u': {
            uint32_t cp = 0;
            if (!parse_hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("unpaired surrogate in \\u escape");
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              uint32_t low = 0;
              if (text_.substr(pos_, 2) != "\\u") return fail("unpaired surrogate in \\u escape");
              pos_ += 2;
              if (!parse_hex4(low)) return false;
              if (low < 0xDC00 || low > 0xDFFF) return fail("unpaired surrogate in \\u escape");
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(out, cp);
            break;
          }
          default:
            --pos_;
            return fail("invalid escape");
        }
        continue;
      }
      if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        ++pos_;
        continue;
      }
      size_t n = utf8_sequence_length();
      if (n == 0) return fail("invalid UTF-8 in string");
      out.append(text_.substr(pos_, n));
      pos_ += n;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
  size_t error_pos_ = 0;
};

}  // namespace

bool parse_json_object_line(std::string_view line, std::optional<JsonObject>& out,
                            std::string& error) {
  LineParser parser(line);
  return parser.parse(out, error);
}

bool parse_json_lines(std::string_view text, std::vector<std::optional<JsonObject>>& out,
                      std::string& error) {
  out.clear();
  size_t start = 0;
  size_t line_no = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::optional<JsonObject> object;
    std::string line_error;
    if (line.find_first_not_of(" \t") == std::string_view::npos) {
      error = "line " + std::to_string(line_no) + ": empty line (one JSON object per vector)";
      return false;
    }
    if (!parse_json_object_line(line, object, line_error)) {
      error = "line " + std::to_string(line_no) + ": " + line_error;
      return false;
    }
    out.push_back(std::move(object));
    start = end + 1;
  }
  return true;
}

}  // namespace dovadure::tools
