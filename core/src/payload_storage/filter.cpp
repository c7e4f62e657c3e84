#include "payload_storage/filter.hpp"

#include <cmath>
#include <string_view>

namespace dovadure::payload_storage {

using utils::Payload;
using utils::PayloadKind;
using utils::PayloadValue;
using Op = Filter::Op;

namespace {

const char* kind_name(PayloadKind kind) {
  switch (kind) {
    case PayloadKind::Int: return "Int";
    case PayloadKind::Float: return "Float";
    case PayloadKind::Str: return "Str";
    case PayloadKind::Bool: return "Bool";
    case PayloadKind::ListInt: return "ListInt";
    case PayloadKind::ListFloat: return "ListFloat";
    case PayloadKind::ListStr: return "ListStr";
    case PayloadKind::ListBool: return "ListBool";
  }
  return "unknown";
}

bool is_range(Op op) { return op == Op::Gt || op == Op::Gte || op == Op::Lt || op == Op::Lte; }

// `sign` is the sign of stored - operand.
bool range_holds(Op op, int sign) {
  switch (op) {
    case Op::Gt: return sign > 0;
    case Op::Gte: return sign >= 0;
    case Op::Lt: return sign < 0;
    case Op::Lte: return sign <= 0;
    default: return false;
  }
}

template <typename T>
int sign_of(T a, T b) {
  return (a > b) - (a < b);
}

bool equals(int64_t stored, const PayloadValue& operand) {
  switch (operand.kind()) {
    case PayloadKind::Int: return stored == operand.as_int();
    case PayloadKind::Float:
      return !std::isnan(operand.as_float()) && compare_int_double(stored, operand.as_float()) == 0;
    default: return false;
  }
}

bool equals(double stored, const PayloadValue& operand) {
  switch (operand.kind()) {
    case PayloadKind::Int:
      return !std::isnan(stored) && compare_int_double(operand.as_int(), stored) == 0;
    case PayloadKind::Float: return stored == operand.as_float();  // false for NaN
    default: return false;
  }
}

bool equals(const std::string& stored, const PayloadValue& operand) {
  return operand.kind() == PayloadKind::Str && stored == operand.as_str();
}

bool equals(bool stored, const PayloadValue& operand) {
  return operand.kind() == PayloadKind::Bool && stored == operand.as_bool();
}

bool in_range(Op op, int64_t stored, const PayloadValue& operand) {
  switch (operand.kind()) {
    case PayloadKind::Int: return range_holds(op, sign_of(stored, operand.as_int()));
    case PayloadKind::Float:
      if (std::isnan(operand.as_float())) return false;
      return range_holds(op, compare_int_double(stored, operand.as_float()));
    default: return false;
  }
}

bool in_range(Op op, double stored, const PayloadValue& operand) {
  if (std::isnan(stored)) return false;
  switch (operand.kind()) {
    case PayloadKind::Int: return range_holds(op, -compare_int_double(operand.as_int(), stored));
    case PayloadKind::Float:
      if (std::isnan(operand.as_float())) return false;
      return range_holds(op, sign_of(stored, operand.as_float()));
    default: return false;
  }
}

bool in_range(Op, const std::string&, const PayloadValue&) { return false; }
bool in_range(Op, bool, const PayloadValue&) { return false; }

// Calls `pred` on a scalar value or on each element of a list value; true
// as soon as one call is.
template <typename Pred>
bool any_element(const PayloadValue& value, Pred&& pred) {
  switch (value.kind()) {
    case PayloadKind::Int: return pred(value.as_int());
    case PayloadKind::Float: return pred(value.as_float());
    case PayloadKind::Str: return pred(value.as_str());
    case PayloadKind::Bool: return pred(value.as_bool());
    case PayloadKind::ListInt:
      for (int64_t x : value.as_list_int()) {
        if (pred(x)) return true;
      }
      return false;
    case PayloadKind::ListFloat:
      for (double x : value.as_list_float()) {
        if (pred(x)) return true;
      }
      return false;
    case PayloadKind::ListStr:
      for (const std::string& x : value.as_list_str()) {
        if (pred(x)) return true;
      }
      return false;
    case PayloadKind::ListBool:
      for (bool x : value.as_list_bool()) {
        if (pred(x)) return true;
      }
      return false;
  }
  return false;
}

const PayloadValue* field_of(const Payload* payload, const std::string& field) {
  if (payload == nullptr) return nullptr;
  auto it = payload->fields.find(std::string_view(field));
  return it == payload->fields.end() ? nullptr : &it->second;
}

// Eq and In alike: an element equal to any operand.
bool matches_any_operand(const Filter& filter, const Payload* payload) {
  const PayloadValue* stored = field_of(payload, filter.field);
  if (stored == nullptr) return false;
  for (const PayloadValue& operand : filter.values) {
    if (any_element(*stored, [&](const auto& x) { return equals(x, operand); })) return true;
  }
  return false;
}

bool matches_range(const Filter& filter, const Payload* payload) {
  if (filter.values.size() != 1) return false;
  const PayloadValue* stored = field_of(payload, filter.field);
  if (stored == nullptr) return false;
  const PayloadValue& operand = filter.values.front();
  return any_element(*stored, [&](const auto& x) { return in_range(filter.op, x, operand); });
}

std::string leaf_error(const Filter& filter) {
  const std::string where =
      std::string(filter_op_name(filter.op)) + " on field `" + filter.field + "`";
  const bool single = filter.op != Op::In && filter.op != Op::Nin;
  if (single && filter.values.size() != 1) {
    return where + " needs exactly one operand, got " + std::to_string(filter.values.size());
  }
  for (const PayloadValue& v : filter.values) {
    if (!v.is_scalar()) return where + " takes scalar operands only, got " + kind_name(v.kind());
    if (is_range(filter.op) && v.kind() != PayloadKind::Int && v.kind() != PayloadKind::Float) {
      return where + " needs an Int or Float operand, got " + kind_name(v.kind());
    }
    if (v.kind() == PayloadKind::Float && std::isnan(v.as_float())) {
      return where + " has a NaN operand";
    }
  }
  return {};
}

std::string shape_error(const Filter& filter, size_t depth) {
  if (static_cast<uint8_t>(filter.op) > static_cast<uint8_t>(Op::Exists)) {
    return "unknown filter operator " + std::to_string(static_cast<unsigned>(filter.op));
  }
  if (depth > kMaxFilterDepth) {
    return std::string(filter_op_name(filter.op)) + " is nested deeper than " +
           std::to_string(kMaxFilterDepth) + " levels";
  }
  switch (filter.op) {
    case Op::And:
    case Op::Or:
      if (filter.children.empty()) {
        return std::string(filter_op_name(filter.op)) + " needs at least one child";
      }
      break;
    case Op::Not:
      if (filter.children.size() != 1) {
        return "Not needs exactly one child, got " + std::to_string(filter.children.size());
      }
      break;
    case Op::Exists: return {};
    default: return leaf_error(filter);
  }
  for (const Filter& child : filter.children) {
    std::string error = shape_error(child, depth + 1);
    if (!error.empty()) return error;
  }
  return {};
}

}  // namespace

int compare_int_double(int64_t i, double d) {
  // Every int64 lies in [-2^63, 2^63), both ends exact doubles. Inside that
  // range trunc(d) converts to int64 exactly, and when the integer parts tie
  // the fraction decides.
  if (d >= 0x1p63) return -1;
  if (d < -0x1p63) return 1;
  const int64_t whole = static_cast<int64_t>(d);
  if (i != whole) return i < whole ? -1 : 1;
  const double whole_d = static_cast<double>(whole);
  return d > whole_d ? -1 : (d < whole_d ? 1 : 0);
}

const char* filter_op_name(Op op) {
  switch (op) {
    case Op::And: return "And";
    case Op::Or: return "Or";
    case Op::Not: return "Not";
    case Op::Eq: return "Eq";
    case Op::Ne: return "Ne";
    case Op::Gt: return "Gt";
    case Op::Gte: return "Gte";
    case Op::Lt: return "Lt";
    case Op::Lte: return "Lte";
    case Op::In: return "In";
    case Op::Nin: return "Nin";
    case Op::Exists: return "Exists";
  }
  return "unknown";
}

bool filter_matches(const Filter& filter, const Payload* payload) {
  switch (filter.op) {
    case Op::And:
      for (const Filter& child : filter.children) {
        if (!filter_matches(child, payload)) return false;
      }
      return true;
    case Op::Or:
      for (const Filter& child : filter.children) {
        if (filter_matches(child, payload)) return true;
      }
      return false;
    case Op::Not:
      return filter.children.size() == 1 && !filter_matches(filter.children.front(), payload);
    case Op::Eq:
    case Op::In: return matches_any_operand(filter, payload);
    case Op::Ne:
    case Op::Nin: return !matches_any_operand(filter, payload);
    case Op::Gt:
    case Op::Gte:
    case Op::Lt:
    case Op::Lte: return matches_range(filter, payload);
    case Op::Exists: return (field_of(payload, filter.field) != nullptr) == filter.exists;
  }
  return false;
}

std::string filter_shape_error(const Filter& filter) { return shape_error(filter, 1); }

}  // namespace dovadure::payload_storage
