#include "array_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "message_text.hpp"
#include "utils/errors.hpp"

namespace dovadure::tools {
namespace {

// A read-only file descriptor that closes itself.
class InputFile {
 public:
  ~InputFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(const std::string& path, std::string& error) {
    do {
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) {
      error = path + ": " + utils::os_error_text(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      error = path + ": " + utils::os_error_text(errno);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      error = path + ": not a regular file";
      return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
  }

  uint64_t size() const { return size_; }

  // Reads exactly n bytes at the current position.
  bool read_exact(void* dst, size_t n, const std::string& path, std::string& error) {
    auto* p = static_cast<char*>(dst);
    while (n > 0) {
      ssize_t got = ::read(fd_, p, n);
      if (got < 0) {
        if (errno == EINTR) continue;
        error = path + ": " + utils::os_error_text(errno);
        return false;
      }
      if (got == 0) {
        error = path + ": unexpected end of file";
        return false;
      }
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

bool has_suffix(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

uint16_t load_u16le(const char* p) {
  return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) | (static_cast<uint8_t>(p[1]) << 8));
}

uint32_t load_u32le(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

// The header dictionary is a Python literal such as
//   {'descr': '<f4', 'fortran_order': False, 'shape': (10, 128), }
// Only the three keys numpy writes are accepted.
class DictParser {
 public:
  explicit DictParser(std::string_view s) : s_(s) {}

  bool parse(NpyHeader& out, std::string& error) {
    bool have_descr = false, have_order = false, have_shape = false;
    skip_ws();
    if (!eat('{')) return fail(error, "header is not a dictionary");
    for (;;) {
      skip_ws();
      if (eat('}')) break;
      std::string key;
      if (!parse_quoted(key)) return fail(error, "malformed header key");
      skip_ws();
      if (!eat(':')) return fail(error, "malformed header");
      skip_ws();
      if (key == "descr") {
        if (!parse_quoted(out.descr)) return fail(error, "malformed 'descr'");
        have_descr = true;
      } else if (key == "fortran_order") {
        if (s_.substr(p_, 4) == "True") {
          out.fortran_order = true;
          p_ += 4;
        } else if (s_.substr(p_, 5) == "False") {
          out.fortran_order = false;
          p_ += 5;
        } else {
          return fail(error, "malformed 'fortran_order'");
        }
        have_order = true;
      } else if (key == "shape") {
        if (!parse_shape(out.shape)) return fail(error, "malformed 'shape'");
        have_shape = true;
      } else {
        return fail(error, "unknown header key '" + printable(key) + "'");
      }
      skip_ws();
      if (eat(',')) continue;
      skip_ws();
      if (eat('}')) break;
      return fail(error, "malformed header");
    }
    skip_ws();
    if (p_ != s_.size()) return fail(error, "malformed header");
    if (!have_descr || !have_order || !have_shape) return fail(error, "header lacks descr, fortran_order or shape");
    return true;
  }

 private:
  bool fail(std::string& error, std::string text) {
    error = std::move(text);
    return false;
  }

  void skip_ws() {
    while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\n' || s_[p_] == '\t' || s_[p_] == '\r')) ++p_;
  }

  bool eat(char c) {
    if (p_ < s_.size() && s_[p_] == c) {
      ++p_;
      return true;
    }
    return false;
  }

  bool parse_quoted(std::string& out) {
    if (p_ >= s_.size() || (s_[p_] != '\'' && s_[p_] != '"')) return false;
    char q = s_[p_++];
    size_t end = s_.find(q, p_);
    if (end == std::string_view::npos) return false;
    out.assign(s_.substr(p_, end - p_));
    p_ = end + 1;
    return true;
  }

  bool parse_shape(std::vector<uint64_t>& shape) {
    shape.clear();
    if (!eat('(')) return false;
    for (;;) {
      skip_ws();
      if (eat(')')) return true;
      if (p_ >= s_.size() || s_[p_] < '0' || s_[p_] > '9') return false;
      uint64_t v = 0;
      while (p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '9') {
        uint64_t d = static_cast<uint64_t>(s_[p_] - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
        ++p_;
      }
      if (p_ < s_.size() && s_[p_] == 'L') ++p_;  // written by Python 2
      if (shape.size() >= 32) return false;
      shape.push_back(v);
      skip_ws();
      if (eat(',')) continue;
      skip_ws();
      if (eat(')')) return true;
      return false;
    }
  }

  std::string_view s_;
  size_t p_ = 0;
};

// Opens a .npy file and parses its header; leaves the file positioned at the data.
bool open_npy(const std::string& path, InputFile& file, NpyHeader& header, std::string& error) {
  if (!file.open(path, error)) return false;
  constexpr size_t kPrefix = 12;
  char prefix[kPrefix] = {};
  size_t want = static_cast<size_t>(std::min<uint64_t>(kPrefix, file.size()));
  if (!file.read_exact(prefix, want, path, error)) return false;
  std::string head(prefix, want);
  // Version 1 keeps the header length in 2 bytes, versions 2 and 3 in 4.
  if (want >= 10 && std::memcmp(prefix, "\x93NUMPY", 6) == 0) {
    uint8_t major = static_cast<uint8_t>(prefix[6]);
    uint64_t header_len = 0;
    size_t prefix_len = 0;
    if (major == 1) {
      header_len = load_u16le(prefix + 8);
      prefix_len = 10;
    } else if ((major == 2 || major == 3) && want >= 12) {
      header_len = load_u32le(prefix + 8);
      prefix_len = 12;
    }
    if (prefix_len != 0 && header_len <= (1u << 20) && prefix_len + header_len <= file.size()) {
      size_t total = prefix_len + static_cast<size_t>(header_len);
      head.resize(total);
      if (total > want && !file.read_exact(head.data() + want, total - want, path, error)) return false;
    }
  }
  if (!parse_npy_header(head, file.size(), header, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool checked_mul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

// Confirms that the data region holds exactly `count` elements of `width` bytes.
bool check_data_size(const std::string& path, uint64_t file_size, uint64_t offset, uint64_t count,
                     uint64_t width, std::string& error) {
  uint64_t bytes = 0;
  if (!checked_mul(count, width, bytes) || bytes > file_size - offset) {
    error = path + ": file is shorter than its shape says (truncated?)";
    return false;
  }
  if (bytes != file_size - offset) {
    error = path + ": " + std::to_string(file_size - offset - bytes) + " unexpected bytes after the array data";
    return false;
  }
  return true;
}

std::string shape_text(const std::vector<uint64_t>& shape) {
  std::string s = "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

bool read_npy_vectors(const std::string& path, FloatMatrix& out, std::string& error) {
  InputFile file;
  NpyHeader h;
  if (!open_npy(path, file, h, error)) return false;
  bool swap = false;
  if (h.descr == ">f4") {
    swap = true;
  } else if (h.descr != "<f4") {
    error = path + ": dtype '" + printable(h.descr) + "' is not float32 (convert with .astype(numpy.float32))";
    return false;
  }
  if (h.shape.size() != 2) {
    error = path + ": expected a 2-D array (points, dimension), found shape " + shape_text(h.shape);
    return false;
  }
  if (h.fortran_order && h.shape[0] > 1 && h.shape[1] > 1) {
    error = path + ": array is in Fortran order; save it C-contiguous (numpy.ascontiguousarray)";
    return false;
  }
  if (h.shape[1] == 0) {
    error = path + ": vector dimension is 0";
    return false;
  }
  uint64_t count = 0;
  if (!checked_mul(h.shape[0], h.shape[1], count) ||
      !check_data_size(path, file.size(), h.data_offset, count, 4, error)) {
    if (error.empty()) error = path + ": shape " + shape_text(h.shape) + " is too large";
    return false;
  }
  out.rows = static_cast<size_t>(h.shape[0]);
  out.cols = static_cast<size_t>(h.shape[1]);
  out.values.resize(static_cast<size_t>(count));
  if (!file.read_exact(out.values.data(), static_cast<size_t>(count) * 4, path, error)) return false;
  if (swap || std::endian::native != std::endian::little) {
    for (float& v : out.values) {
      uint32_t bits = std::bit_cast<uint32_t>(v);
      if (swap == (std::endian::native == std::endian::little)) bits = __builtin_bswap32(bits);
      v = std::bit_cast<float>(bits);
    }
  }
  return true;
}

bool read_fvecs(const std::string& path, FloatMatrix& out, std::string& error) {
  InputFile file;
  if (!file.open(path, error)) return false;
  if (file.size() < 4) {
    error = path + ": too short for an .fvecs file (no vectors)";
    return false;
  }
  char dim_bytes[4];
  if (!file.read_exact(dim_bytes, 4, path, error)) return false;
  auto dim = static_cast<int32_t>(load_u32le(dim_bytes));
  if (dim <= 0) {
    error = path + ": vector 0 declares dimension " + std::to_string(dim);
    return false;
  }
  uint64_t record = 4 + 4 * static_cast<uint64_t>(dim);
  if (file.size() % record != 0) {
    error = path + ": file length " + std::to_string(file.size()) +
            " is not a whole number of records of dimension " + std::to_string(dim);
    return false;
  }
  out.rows = static_cast<size_t>(file.size() / record);
  out.cols = static_cast<size_t>(dim);
  out.values.resize(out.rows * out.cols);
  for (size_t r = 0; r < out.rows; ++r) {
    if (r > 0) {
      if (!file.read_exact(dim_bytes, 4, path, error)) return false;
      auto d = static_cast<int32_t>(load_u32le(dim_bytes));
      if (d != dim) {
        error = path + ": vector " + std::to_string(r) + " declares dimension " + std::to_string(d) +
                ", expected " + std::to_string(dim);
        return false;
      }
    }
    if (!file.read_exact(out.values.data() + r * out.cols, out.cols * 4, path, error)) return false;
  }
  if constexpr (std::endian::native != std::endian::little) {
    for (float& v : out.values) v = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(v)));
  }
  return true;
}

}  // namespace

bool parse_npy_header(std::string_view head, uint64_t file_size, NpyHeader& out, std::string& error) {
  if (head.size() < 10 || head.substr(0, 6) != std::string_view("\x93NUMPY", 6)) {
    error = "not a .npy file (bad magic)";
    return false;
  }
  auto major = static_cast<uint8_t>(head[6]);
  uint64_t header_len = 0;
  size_t prefix_len = 0;
  if (major == 1) {
    header_len = load_u16le(head.data() + 8);
    prefix_len = 10;
  } else if (major == 2 || major == 3) {
    if (head.size() < 12) {
      error = "truncated .npy header";
      return false;
    }
    header_len = load_u32le(head.data() + 8);
    prefix_len = 12;
  } else {
    error = "unsupported .npy version " + std::to_string(major);
    return false;
  }
  if (header_len > (1u << 20) || prefix_len + header_len > file_size ||
      prefix_len + header_len > head.size()) {
    error = "truncated .npy header";
    return false;
  }
  out = NpyHeader{};
  DictParser parser(head.substr(prefix_len, static_cast<size_t>(header_len)));
  if (!parser.parse(out, error)) return false;
  out.data_offset = prefix_len + static_cast<size_t>(header_len);
  return true;
}

bool read_vectors_file(const std::string& path, FloatMatrix& out, std::string& error) {
  out = FloatMatrix{};
  if (has_suffix(path, ".npy")) return read_npy_vectors(path, out, error);
  if (has_suffix(path, ".fvecs")) return read_fvecs(path, out, error);
  error = path + ": unknown vector file type (expected .npy or .fvecs)";
  return false;
}

bool read_ids_file(const std::string& path, std::vector<uint64_t>& out, std::string& error) {
  out.clear();
  if (!has_suffix(path, ".npy")) {
    error = path + ": ids must be a .npy file of uint64";
    return false;
  }
  InputFile file;
  NpyHeader h;
  if (!open_npy(path, file, h, error)) return false;
  bool is_signed = false;
  bool big = false;
  if (h.descr == "<u8" || h.descr == ">u8") {
    big = h.descr[0] == '>';
  } else if (h.descr == "<i8" || h.descr == ">i8") {
    is_signed = true;
    big = h.descr[0] == '>';
  } else {
    error = path + ": dtype '" + printable(h.descr) + "' is not uint64 (convert with .astype(numpy.uint64))";
    return false;
  }
  bool column = h.shape.size() == 2 && h.shape[1] == 1;
  if (h.shape.size() != 1 && !column) {
    error = path + ": expected a 1-D array of ids, found shape " + shape_text(h.shape);
    return false;
  }
  uint64_t count = h.shape[0];
  if (!check_data_size(path, file.size(), h.data_offset, count, 8, error)) return false;
  out.resize(static_cast<size_t>(count));
  if (!file.read_exact(out.data(), static_cast<size_t>(count) * 8, path, error)) return false;
  const bool swap = big == (std::endian::native == std::endian::little);
  for (size_t i = 0; i < out.size(); ++i) {
    if (swap) out[i] = __builtin_bswap64(out[i]);
    if (is_signed && static_cast<int64_t>(out[i]) < 0) {
      error = path + ": id at position " + std::to_string(i) + " is negative (" +
              std::to_string(static_cast<int64_t>(out[i])) + ")";
      return false;
    }
  }
  return true;
}

}  // namespace dovadure::tools
