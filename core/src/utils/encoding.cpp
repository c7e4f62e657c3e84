#include "utils/encoding.hpp"

#include <algorithm>

namespace dovadure::utils {

Encoder::Encoder(ByteSink& sink) : sink_(&sink), staging_(kStagingBytes) {}

uint64_t Encoder::bytes_written() const {
  if (out_ != nullptr) return out_->size();
  return flushed_ + staged_;
}

void Encoder::flush_staging() {
  if (staged_ == 0) return;
  if (!error_) {
    Status s = sink_->write_all(std::span<const uint8_t>(staging_.data(), staged_));
    if (!s.ok()) error_ = DBError::serialization("io error: " + s.error().message());
  }
  flushed_ += staged_;
  staged_ = 0;
}

void Encoder::append_to_vector(const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  out_->insert(out_->end(), p, p + n);
}

void Encoder::put_raw_slow(const void* data, size_t n) {
  flush_staging();
  if (n < kStagingBytes) {
    std::memcpy(staging_.data(), data, n);
    staged_ = n;
    return;
  }
  // Large runs (whole vector arrays) go straight through without staging.
  if (!error_) {
    Status s = sink_->write_all(std::span<const uint8_t>(static_cast<const uint8_t*>(data), n));
    if (!s.ok()) error_ = DBError::serialization("io error: " + s.error().message());
  }
  flushed_ += n;
}

Status Encoder::finish() {
  if (sink_ != nullptr) flush_staging();
  if (error_) return *error_;
  return Status();
}

template <typename T>
void Encoder::put_array_le(const T* data, size_t n) {
  put_len(n);
  if constexpr (std::endian::native == std::endian::little) {
    put_raw(data, n * sizeof(T));
  } else {
    for (size_t i = 0; i < n; ++i) put_le(data[i]);
  }
}

void Encoder::put_f32_seq(std::span<const float> v) { put_array_le(v.data(), v.size()); }
void Encoder::put_f64_seq(std::span<const double> v) { put_array_le(v.data(), v.size()); }
void Encoder::put_u64_seq(std::span<const uint64_t> v) { put_array_le(v.data(), v.size()); }
void Encoder::put_i64_seq(std::span<const int64_t> v) { put_array_le(v.data(), v.size()); }

// ---------------------------------------------------------------------------

DBError Decoder::eof_error() { return DBError::serialization("io error: unexpected end of file"); }

template <typename T>
Status Decoder::read_le(T& out) {
  if (remaining() < sizeof(T)) return eof_error();
  std::memcpy(&out, data_.data() + pos_, sizeof(T));
  pos_ += sizeof(T);
  out = to_little_endian(out);
  return Status();
}

Status Decoder::read_u8(uint8_t& out) {
  if (remaining() < 1) return eof_error();
  out = data_[pos_++];
  return Status();
}

Status Decoder::read_u32(uint32_t& out) { return read_le(out); }
Status Decoder::read_u64(uint64_t& out) { return read_le(out); }

Status Decoder::read_i64(int64_t& out) {
  uint64_t bits = 0;
  DOVADURE_TRY(read_le(bits));
  out = static_cast<int64_t>(bits);
  return Status();
}

Status Decoder::read_f32(float& out) {
  uint32_t bits = 0;
  DOVADURE_TRY(read_le(bits));
  out = std::bit_cast<float>(bits);
  return Status();
}

Status Decoder::read_f64(double& out) {
  uint64_t bits = 0;
  DOVADURE_TRY(read_le(bits));
  out = std::bit_cast<double>(bits);
  return Status();
}

Status Decoder::read_bool(bool& out) {
  uint8_t b = 0;
  DOVADURE_TRY(read_u8(b));
  if (b > 1) {
    return DBError::serialization("invalid u8 while decoding bool, expected 0 or 1, found " +
                                  std::to_string(b));
  }
  out = b == 1;
  return Status();
}

Status Decoder::read_option_tag(bool& present) {
  uint8_t b = 0;
  DOVADURE_TRY(read_u8(b));
  if (b > 1) return DBError::serialization("tag for enum is not valid, found " + std::to_string(b));
  present = b == 1;
  return Status();
}

Status Decoder::read_variant(uint32_t& out, uint32_t variant_count) {
  DOVADURE_TRY(read_u32(out));
  if (out >= variant_count) {
    return DBError::serialization("invalid value: integer `" + std::to_string(out) +
                                  "`, expected variant index 0 <= i < " +
                                  std::to_string(variant_count));
  }
  return Status();
}

Status Decoder::read_raw(size_t n, std::span<const uint8_t>& out) {
  if (remaining() < n) return eof_error();
  out = data_.subspan(pos_, n);
  pos_ += n;
  return Status();
}

Status Decoder::read_str(std::string& out) {
  uint64_t len = 0;
  DOVADURE_TRY(read_len(len));
  if (len > remaining()) return eof_error();
  std::span<const uint8_t> bytes = data_.subspan(pos_, static_cast<size_t>(len));
  if (auto err = utf8_error(bytes)) {
    return DBError::serialization("string is not valid utf8: " + *err);
  }
  out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  pos_ += bytes.size();
  return Status();
}

template <typename T>
Status Decoder::read_array_le(std::vector<T>& out) {
  uint64_t count = 0;
  DOVADURE_TRY(read_len(count));
  // Fixed-width elements cannot fail on content, so a count the input cannot
  // hold is the same end-of-data failure the element reads would reach.
  if (count > remaining() / sizeof(T)) return eof_error();
  const size_t n = static_cast<size_t>(count);
  out.resize(n);
  if (n != 0) std::memcpy(out.data(), data_.data() + pos_, n * sizeof(T));
  pos_ += n * sizeof(T);
  if constexpr (std::endian::native == std::endian::big) {
    for (T& v : out) v = to_little_endian(v);
  }
  return Status();
}

Status Decoder::read_f32_seq(std::vector<float>& out) { return read_array_le(out); }
Status Decoder::read_f64_seq(std::vector<double>& out) { return read_array_le(out); }
Status Decoder::read_u64_seq(std::vector<uint64_t>& out) { return read_array_le(out); }
Status Decoder::read_i64_seq(std::vector<int64_t>& out) { return read_array_le(out); }

size_t Decoder::reserve_hint(uint64_t count, size_t min_encoded, size_t mem_size) const {
  uint64_t n = count;
  n = std::min<uint64_t>(n, remaining() / std::max<size_t>(min_encoded, 1));
  n = std::min<uint64_t>(n, kMaxReserveBytes / std::max<size_t>(mem_size, 1));
  return static_cast<size_t>(n);
}

// ---------------------------------------------------------------------------

std::optional<std::string> utf8_error(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // ASCII runs are the common case: skip them eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    const uint8_t b0 = bytes[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    // Width of the sequence and the allowed range of its second byte; the
    // narrowed ranges exclude overlong forms, surrogates and code points
    // above U+10FFFF.
    size_t width = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      width = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      width = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      width = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return "invalid utf-8 sequence of 1 bytes from index " + std::to_string(i);
    }
    for (size_t k = 1; k < width; ++k) {
      if (i + k >= n) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
      const uint8_t b = bytes[i + k];
      const uint8_t min = k == 1 ? lo : 0x80;
      const uint8_t max = k == 1 ? hi : 0xBF;
      if (b < min || b > max) {
        return "invalid utf-8 sequence of " + std::to_string(k) + " bytes from index " +
               std::to_string(i);
      }
    }
    i += width;
  }
  return std::nullopt;
}

}  // namespace dovadure::utils
