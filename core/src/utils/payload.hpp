// Typed per-point metadata: PayloadValue and the per-point field map Payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "utils/encoding.hpp"
#include "utils/errors.hpp"

namespace dovadure::utils {

// Variant indices are the stored u32 tags and must not be reordered.
enum class PayloadKind : uint32_t {
  Int = 0,
  Float = 1,
  Str = 2,
  Bool = 3,
  ListInt = 4,
  ListFloat = 5,
  ListStr = 6,
  ListBool = 7,
};

inline constexpr uint32_t kPayloadKinds = 8;

//   tag  variant    after the u32 tag                       total
//   0    Int        i64                                     12
//   1    Float      f64 bit pattern (NaN bits kept)         12
//   2    Str        u64 length + UTF-8 bytes                12 + len
//   3    Bool       1 byte                                  5
//   4    ListInt    u64 count + i64 each                    12 + 8n
//   5    ListFloat  u64 count + f64 each                    12 + 8n
//   6    ListStr    u64 count + (u64 length + bytes) each   12 + sum(8 + len)
//   7    ListBool   u64 count + 1 byte each                 12 + n
class PayloadValue {
 public:
  using Storage = std::variant<int64_t, double, std::string, bool, std::vector<int64_t>,
                               std::vector<double>, std::vector<std::string>, std::vector<bool>>;

  PayloadValue() : v_(std::in_place_index<0>, 0) {}
  static PayloadValue of_int(int64_t v) { return PayloadValue(std::in_place_index<0>, v); }
  static PayloadValue of_float(double v) { return PayloadValue(std::in_place_index<1>, v); }
  static PayloadValue of_str(std::string v) {
    return PayloadValue(std::in_place_index<2>, std::move(v));
  }
  static PayloadValue of_bool(bool v) { return PayloadValue(std::in_place_index<3>, v); }
  static PayloadValue of_list_int(std::vector<int64_t> v) {
    return PayloadValue(std::in_place_index<4>, std::move(v));
  }
  static PayloadValue of_list_float(std::vector<double> v) {
    return PayloadValue(std::in_place_index<5>, std::move(v));
  }
  static PayloadValue of_list_str(std::vector<std::string> v) {
    return PayloadValue(std::in_place_index<6>, std::move(v));
  }
  static PayloadValue of_list_bool(std::vector<bool> v) {
    return PayloadValue(std::in_place_index<7>, std::move(v));
  }

  PayloadKind kind() const { return static_cast<PayloadKind>(v_.index()); }
  // Only scalar values (Int, Float, Str, Bool) are ever indexed.
  bool is_scalar() const { return v_.index() <= 3; }
  const Storage& storage() const { return v_; }

  int64_t as_int() const { return std::get<0>(v_); }
  double as_float() const { return std::get<1>(v_); }
  const std::string& as_str() const { return std::get<2>(v_); }
  bool as_bool() const { return std::get<3>(v_); }
  const std::vector<int64_t>& as_list_int() const { return std::get<4>(v_); }
  const std::vector<double>& as_list_float() const { return std::get<5>(v_); }
  const std::vector<std::string>& as_list_str() const { return std::get<6>(v_); }
  const std::vector<bool>& as_list_bool() const { return std::get<7>(v_); }

  // Tags must match; floats compare with any NaN equal to any NaN and
  // -0.0 equal to +0.0, element by element in float lists.
  bool operator==(const PayloadValue& other) const;

  // Agrees with operator==; keyed per process, never stored.
  size_t hash() const;

  size_t encoded_len() const;
  void encode(Encoder& out) const;
  // Tag 8 or above: "invalid value: integer `{}`, expected variant index 0 <= i < 8".
  static Status decode(Decoder& in, PayloadValue& out);

 private:
  template <size_t I, typename T>
  PayloadValue(std::in_place_index_t<I> tag, T&& v) : v_(tag, std::forward<T>(v)) {}
  Storage v_;
};

struct PayloadValueHash {
  size_t operator()(const PayloadValue& v) const { return v.hash(); }
};

// Lets maps keyed by std::string be searched with a string_view.
struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// A point's fields: one value per name, no order. Stored exactly as its map.
struct Payload {
  using Fields = std::unordered_map<std::string, PayloadValue, StringHash, std::equal_to<>>;
  Fields fields;

  bool operator==(const Payload& other) const { return fields == other.fields; }

  size_t encoded_len() const;
  void encode(Encoder& out) const;
  // A repeated field name keeps the value read last.
  static Status decode(Decoder& in, Payload& out);
};

// A keyed 64-bit hasher for building hashes that agree with payload
// equality (also used by containers keyed on payload values elsewhere).
class PayloadHasher {
 public:
  PayloadHasher();
  void u64(uint64_t v);
  void u8(uint8_t v);
  void bytes(std::string_view s);
  uint64_t finish() const;

 private:
  uint64_t state_;
};

}  // namespace dovadure::utils
