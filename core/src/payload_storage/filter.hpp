// Payload filters: the expression tree, its shape check and its meaning on one payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/payload.hpp"

namespace dovadure::payload_storage {

// Meaning, per point:
// - A comparison on a list field holds when ANY element satisfies it (Eq, In,
//   Gt, Gte, Lt, Lte), each comparison on its own: [1.5, 9] matches Gt 5 and Lt 2.
// - Ne is exactly NOT Eq and Nin exactly NOT In: a point without the field
//   matches them, and [1, 2] does not match Ne 1.
// - Int and Float compare by exact value (3 == 3.0, 2^53 + 1 != 2^53 as a
//   double); -0.0 == 0. Bool is never a number (true != 1). Str compares by
//   exact bytes, for Eq and In only. Values of different kinds are never equal.
// - Ranges see numbers only (Int, Float and their list elements); a Str or
//   Bool stored value never satisfies one.
// - A stored NaN satisfies no comparison, so it matches Ne and Nin.
// - Exists true: the field is present, of any kind (an empty list counts);
//   Exists false: it is absent. Without the field, a point matches only Ne,
//   Nin and Exists false among the leaves.
// - And, Or and Not as in logic.
struct Filter {
  enum class Op : uint8_t { And, Or, Not, Eq, Ne, Gt, Gte, Lt, Lte, In, Nin, Exists };
  Op op = Op::And;
  std::string field;                          // comparisons and Exists
  std::vector<utils::PayloadValue> values;    // Eq..Lte: exactly one; In/Nin: zero or more
  bool exists = true;                         // Exists: whether the field must be present
  std::vector<Filter> children;               // And/Or: one or more; Not: exactly one
};

// Deeper trees are refused by filter_shape_error: evaluation recurses and
// keeps one scratch bitmap per level, so depth bounds both stack and memory.
inline constexpr size_t kMaxFilterDepth = 32;

// Whether a point's payload (nullptr: the point has none) matches. This is
// the definition FilterIndex must agree with; it expects a checked filter.
bool filter_matches(const Filter& filter, const utils::Payload* payload);

// Empty when `filter` is well formed, else a message naming the offending
// operator. Well formed: a known Op; And/Or with one or more children, Not
// with exactly one; Eq, Ne and the ranges with exactly one operand, In/Nin
// with any number; operands of scalar kinds (Int, Float, Str, Bool) only,
// a range operand Int or Float, no NaN operand; depth at most kMaxFilterDepth.
// Members an operator does not use are ignored.
std::string filter_shape_error(const Filter& filter);

// The name of an operator as it appears in messages ("Eq", "And", ...).
const char* filter_op_name(Filter::Op op);

// Sign of i - d (-1, 0 or 1) without rounding either side; d must not be NaN.
// Shared by the evaluator and the index so that both order numbers alike.
int compare_int_double(int64_t i, double d);

}  // namespace dovadure::payload_storage
