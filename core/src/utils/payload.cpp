#include "utils/payload.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <random>

#include "utils/digest.hpp"

namespace dovadure::utils {
namespace {

bool float_eq(double a, double b) {
  if (std::isnan(a)) return std::isnan(b);
  return a == b;
}

// One word per float such that equal floats (under float_eq) give equal words.
uint64_t float_word(double v) {
  if (std::isnan(v)) return 0x7ff8000000000000ull;
  return std::bit_cast<uint64_t>(v + 0.0);  // -0.0 + 0.0 is +0.0
}

uint64_t process_hash_key() {
  static const uint64_t key = [] {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }();
  return key;
}

}  // namespace

PayloadHasher::PayloadHasher() : state_(process_hash_key()) {}

void PayloadHasher::u64(uint64_t v) { state_ = mix64(state_ ^ v) + 0x9e3779b97f4a7c15ull; }

void PayloadHasher::u8(uint8_t v) { u64(0x100u | v); }

void PayloadHasher::bytes(std::string_view s) {
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    u64(w);
  }
  // The tail word carries the 0xFF terminator, so "a" and "a\0" differ.
  uint64_t w = 0;
  std::memcpy(&w, s.data() + i, s.size() - i);
  w |= uint64_t{0xFF} << (8 * (s.size() - i));
  u64(w);
}

uint64_t PayloadHasher::finish() const { return mix64(state_); }

bool PayloadValue::operator==(const PayloadValue& other) const {
  if (v_.index() != other.v_.index()) return false;
  switch (kind()) {
    case PayloadKind::Float: return float_eq(as_float(), other.as_float());
    case PayloadKind::ListFloat: {
      const auto& a = as_list_float();
      const auto& b = other.as_list_float();
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i) {
        if (!float_eq(a[i], b[i])) return false;
      }
      return true;
    }
    default: return v_ == other.v_;
  }
}

size_t PayloadValue::hash() const {
  PayloadHasher h;
  h.u64(v_.index());
  switch (kind()) {
    case PayloadKind::Int: h.u64(static_cast<uint64_t>(as_int())); break;
    case PayloadKind::Float: h.u64(float_word(as_float())); break;
    case PayloadKind::Str: h.bytes(as_str()); break;
    case PayloadKind::Bool: h.u8(as_bool() ? 1 : 0); break;
    case PayloadKind::ListInt:
      h.u64(as_list_int().size());
      for (int64_t v : as_list_int()) h.u64(static_cast<uint64_t>(v));
      break;
    case PayloadKind::ListFloat:
      h.u64(as_list_float().size());
      for (double v : as_list_float()) h.u64(float_word(v));
      break;
    case PayloadKind::ListStr:
      h.u64(as_list_str().size());
      for (const std::string& s : as_list_str()) h.bytes(s);
      break;
    case PayloadKind::ListBool:
      h.u64(as_list_bool().size());
      for (bool b : as_list_bool()) h.u8(b ? 1 : 0);
      break;
  }
  return static_cast<size_t>(h.finish());
}

size_t PayloadValue::encoded_len() const {
  switch (kind()) {
    case PayloadKind::Int:
    case PayloadKind::Float: return 12;
    case PayloadKind::Str: return 12 + as_str().size();
    case PayloadKind::Bool: return 5;
    case PayloadKind::ListInt: return 12 + 8 * as_list_int().size();
    case PayloadKind::ListFloat: return 12 + 8 * as_list_float().size();
    case PayloadKind::ListStr: {
      size_t n = 12;
      for (const std::string& s : as_list_str()) n += 8 + s.size();
      return n;
    }
    case PayloadKind::ListBool: return 12 + as_list_bool().size();
  }
  return 0;
}

void PayloadValue::encode(Encoder& out) const {
  out.put_variant(static_cast<uint32_t>(v_.index()));
  switch (kind()) {
    case PayloadKind::Int: out.put_i64(as_int()); break;
    case PayloadKind::Float: out.put_f64(as_float()); break;
    case PayloadKind::Str: out.put_str(as_str()); break;
    case PayloadKind::Bool: out.put_bool(as_bool()); break;
    case PayloadKind::ListInt: out.put_i64_seq(as_list_int()); break;
    case PayloadKind::ListFloat: out.put_f64_seq(as_list_float()); break;
    case PayloadKind::ListStr:
      out.put_len(as_list_str().size());
      for (const std::string& s : as_list_str()) out.put_str(s);
      break;
    case PayloadKind::ListBool:
      out.put_len(as_list_bool().size());
      for (bool b : as_list_bool()) out.put_bool(b);
      break;
  }
}

Status PayloadValue::decode(Decoder& in, PayloadValue& out) {
  uint32_t tag = 0;
  DOVADURE_TRY(in.read_variant(tag, kPayloadKinds));
  switch (static_cast<PayloadKind>(tag)) {
    case PayloadKind::Int: {
      int64_t v = 0;
      DOVADURE_TRY(in.read_i64(v));
      out = of_int(v);
      break;
    }
    case PayloadKind::Float: {
      double v = 0;
      DOVADURE_TRY(in.read_f64(v));
      out = of_float(v);
      break;
    }
    case PayloadKind::Str: {
      std::string v;
      DOVADURE_TRY(in.read_str(v));
      out = of_str(std::move(v));
      break;
    }
    case PayloadKind::Bool: {
      bool v = false;
      DOVADURE_TRY(in.read_bool(v));
      out = of_bool(v);
      break;
    }
    case PayloadKind::ListInt: {
      std::vector<int64_t> v;
      DOVADURE_TRY(in.read_i64_seq(v));
      out = of_list_int(std::move(v));
      break;
    }
    case PayloadKind::ListFloat: {
      std::vector<double> v;
      DOVADURE_TRY(in.read_f64_seq(v));
      out = of_list_float(std::move(v));
      break;
    }
    case PayloadKind::ListStr: {
      uint64_t count = 0;
      DOVADURE_TRY(in.read_len(count));
      std::vector<std::string> v;
      v.reserve(in.reserve_hint(count, 8, sizeof(std::string)));
      for (uint64_t i = 0; i < count; ++i) {
        DOVADURE_TRY(in.read_str(v.emplace_back()));
      }
      out = of_list_str(std::move(v));
      break;
    }
    case PayloadKind::ListBool: {
      uint64_t count = 0;
      DOVADURE_TRY(in.read_len(count));
      std::vector<bool> v;
      v.reserve(in.reserve_hint(count, 1, 1));
      for (uint64_t i = 0; i < count; ++i) {
        bool b = false;
        DOVADURE_TRY(in.read_bool(b));
        v.push_back(b);
      }
      out = of_list_bool(std::move(v));
      break;
    }
  }
  return Status();
}

size_t Payload::encoded_len() const {
  size_t n = 8;
  for (const auto& [name, value] : fields) n += 8 + name.size() + value.encoded_len();
  return n;
}

void Payload::encode(Encoder& out) const {
  out.put_len(fields.size());
  for (const auto& [name, value] : fields) {
    out.put_str(name);
    value.encode(out);
  }
}

Status Payload::decode(Decoder& in, Payload& out) {
  uint64_t count = 0;
  DOVADURE_TRY(in.read_len(count));
  out.fields.clear();
  // An entry is at least a name length and the 5 bytes of a Bool.
  out.fields.reserve(in.reserve_hint(count, 13, 64));
  for (uint64_t i = 0; i < count; ++i) {
    std::string name;
    DOVADURE_TRY(in.read_str(name));
    PayloadValue value;
    DOVADURE_TRY(PayloadValue::decode(in, value));
    out.fields.insert_or_assign(std::move(name), std::move(value));
  }
  return Status();
}

}  // namespace dovadure::utils
