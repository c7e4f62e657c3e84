// Readers for the array files the command-line tool takes: float32 vectors
// from .npy (C order, 2-D) or .fvecs, point ids from .npy (uint64, or int64
// without negative values). Every size read from a file is checked against
// the file's real length before it sizes an allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dovadure::tools {

struct FloatMatrix {
  size_t rows = 0;
  size_t cols = 0;
  std::vector<float> values;  // row-major, rows * cols

  const float* row(size_t i) const { return values.data() + i * cols; }
};

// The parsed header of a .npy file.
struct NpyHeader {
  std::string descr;           // e.g. "<f4"
  bool fortran_order = false;
  std::vector<uint64_t> shape;
  size_t data_offset = 0;      // bytes before the array data
};

// Parses the magic, version, header length and header dictionary from the
// first bytes of a .npy file (`file_size` bounds the header). Returns false
// with `error` set on malformed input.
bool parse_npy_header(std::string_view head, uint64_t file_size, NpyHeader& out, std::string& error);

// Chooses the format by extension (".npy" or ".fvecs"). Values are not
// checked here: the segment writer refuses non-finite ones, naming the row.
bool read_vectors_file(const std::string& path, FloatMatrix& out, std::string& error);
bool read_ids_file(const std::string& path, std::vector<uint64_t>& out, std::string& error);

}  // namespace dovadure::tools
