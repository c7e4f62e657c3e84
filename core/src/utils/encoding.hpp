// The record encoding shared by every stored record: snapshots, their
// metadata, log records and payloads.
//
//   u8            1 byte
//   u32           4 bytes little-endian
//   u64 / sizes   8 bytes little-endian (every count and length is widened)
//   i64           8 bytes little-endian two's complement
//   f32 / f64     IEEE-754 bit pattern, little-endian, NaN/inf unchanged
//   bool          1 byte, 0 or 1
//   option        1 tag byte: 0 absent, 1 present followed by the value
//   string        u64 byte length, then UTF-8 bytes, no terminator
//   sequence/set  u64 count, then the elements
//   map           u64 count, then key, value, key, value, ...
//   struct        fields in order, no padding, no names
//   enum          u32 variant index, then the variant's content
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "utils/errors.hpp"

namespace dovadure::utils {

// Identity on little-endian hosts; the stored form is always little-endian.
template <typename T>
constexpr T to_little_endian(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof(T) == 8) return __builtin_bswap64(v);
    if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
    if constexpr (sizeof(T) == 2) return __builtin_bswap16(v);
  }
  return v;
}

// Where a streaming Encoder sends its bytes. write_all either takes every
// byte or returns a DBError of kind Io.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual Status write_all(std::span<const uint8_t> bytes) = 0;
};

// Appends encoded fields either to a caller's byte vector or, staged in a
// 64 KiB buffer, to a ByteSink. Field writers cannot fail; a sink failure is
// kept and reported once by finish(), so record encoders stay free of error
// plumbing.
class Encoder {
 public:
  // Appends to `out` (existing content is kept).
  explicit Encoder(std::vector<uint8_t>& out) : out_(&out) {}
  // Streams to `sink`; call finish() and check it before trusting the sink.
  explicit Encoder(ByteSink& sink);
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  void put_u8(uint8_t v) { put_raw(&v, 1); }
  void put_u32(uint32_t v) { put_le(v); }
  void put_u64(uint64_t v) { put_le(v); }
  void put_i64(int64_t v) { put_le(static_cast<uint64_t>(v)); }
  void put_f32(float v) { put_le(std::bit_cast<uint32_t>(v)); }
  void put_f64(double v) { put_le(std::bit_cast<uint64_t>(v)); }
  void put_bool(bool v) { put_u8(v ? 1 : 0); }
  void put_len(size_t n) { put_u64(static_cast<uint64_t>(n)); }
  void put_option_tag(bool present) { put_u8(present ? 1 : 0); }
  void put_variant(uint32_t index) { put_u32(index); }
  void put_str(std::string_view s) {
    put_len(s.size());
    put_raw(s.data(), s.size());
  }
  // Sequences of fixed-width numbers: count, then the elements.
  void put_f32_seq(std::span<const float> v);
  void put_f64_seq(std::span<const double> v);
  void put_u64_seq(std::span<const uint64_t> v);
  void put_i64_seq(std::span<const int64_t> v);

  // Raw bytes with no length prefix.
  void put_raw(const void* data, size_t n) {
    if (n == 0) return;  // an empty span may carry a null pointer, which memcpy must not get
    if (out_ != nullptr) {
      append_to_vector(data, n);
    } else if (n <= kStagingBytes - staged_) {
      std::memcpy(staging_.data() + staged_, data, n);
      staged_ += n;
    } else {
      put_raw_slow(data, n);
    }
  }

  // Bytes encoded so far (including bytes already handed to a sink).
  uint64_t bytes_written() const;

  // Hands staged bytes to the sink. A sink failure becomes
  // DBError::Serialization "io error: {io text}"; later calls repeat it.
  Status finish();

 private:
  static constexpr size_t kStagingBytes = 64 * 1024;

  template <typename T>
  void put_le(T v) {
    v = to_little_endian(v);
    put_raw(&v, sizeof v);
  }
  template <typename T>
  void put_array_le(const T* data, size_t n);
  void put_raw_slow(const void* data, size_t n);
  // Out of line: inlined vector growth trips false -Wstringop-overflow
  // reports in g++ 12 at the call sites.
  void append_to_vector(const void* data, size_t n);
  void flush_staging();

  std::vector<uint8_t>* out_ = nullptr;
  ByteSink* sink_ = nullptr;
  std::vector<uint8_t> staging_;
  size_t staged_ = 0;
  uint64_t flushed_ = 0;
  std::optional<DBError> error_;
};

// Reads fields from an in-memory byte span. Every failure is
// DBError::Serialization with the decode texts below; the position is then
// unspecified.
class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> data) : data_(data) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }

  Status read_u8(uint8_t& out);
  Status read_u32(uint32_t& out);
  Status read_u64(uint64_t& out);
  Status read_i64(int64_t& out);
  Status read_f32(float& out);
  Status read_f64(double& out);
  // "invalid u8 while decoding bool, expected 0 or 1, found {}"
  Status read_bool(bool& out);
  // "tag for enum is not valid, found {}"
  Status read_option_tag(bool& present);
  // "invalid value: integer `{}`, expected variant index 0 <= i < {count}"
  Status read_variant(uint32_t& out, uint32_t variant_count);
  // A u64 count or length.
  Status read_len(uint64_t& out) { return read_u64(out); }
  // Length-prefixed UTF-8; "string is not valid utf8: ..." otherwise.
  Status read_str(std::string& out);
  // Sequences of fixed-width numbers, sized exactly once (the count is
  // checked against the bytes left before anything is allocated).
  Status read_f32_seq(std::vector<float>& out);
  Status read_f64_seq(std::vector<double>& out);
  Status read_u64_seq(std::vector<uint64_t>& out);
  Status read_i64_seq(std::vector<int64_t>& out);
  // `n` raw bytes as a view into the input.
  Status read_raw(size_t n, std::span<const uint8_t>& out);

  // How many elements to reserve for a stored `count` of elements that each
  // take at least `min_encoded` input bytes and `mem_size` bytes in memory:
  // never more than the input could hold, never more than 1 MiB ahead.
  size_t reserve_hint(uint64_t count, size_t min_encoded, size_t mem_size) const;

  static DBError eof_error();

 private:
  template <typename T>
  Status read_le(T& out);
  template <typename T>
  Status read_array_le(std::vector<T>& out);

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// Checks UTF-8; on failure returns the text that follows
// "string is not valid utf8: ".
std::optional<std::string> utf8_error(std::span<const uint8_t> bytes);

inline constexpr size_t kMaxReserveBytes = size_t{1} << 20;

}  // namespace dovadure::utils
