// Little-endian byte builder for golden records in tests, written
// independently of the library's Encoder so the two cannot share a mistake.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

namespace dovadure::testing_util {

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u8(uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Bytes& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& f32(float v) { return u32(std::bit_cast<uint32_t>(v)); }
  Bytes& f64(double v) { return u64(std::bit_cast<uint64_t>(v)); }
  Bytes& str(std::string_view s) {
    u64(s.size());
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& raw(std::string_view s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& append(const std::vector<uint8_t>& o) {
    b.insert(b.end(), o.begin(), o.end());
    return *this;
  }
};

}  // namespace dovadure::testing_util
