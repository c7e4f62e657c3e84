// Python payloads to core payloads, with the rules of the tool's JSON lines:
// a dict of str names to int, float, str, bool, or a flat list of one of
// those kinds. A list mixing ints and floats is a float list, an empty list
// an int list; a bool is never a number. Needs the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "utils/payload.hpp"

namespace vivudu::native {

// One payload: a dict, or None (no payload; an empty dict is the same).
// `where` prefixes error texts, e.g. "payloads[500]". Returns false with a
// TypeError or ValueError set.
bool convert_payload(PyObject* obj, const std::string& where,
                     std::optional<dovadure::utils::Payload>& out);

// One scalar (int, float, str, bool, or the NumPy scalar of one), for filter
// operands. Sets `is_scalar` false, without an exception, for any other
// object; returns false with an exception for a scalar out of range.
bool convert_scalar(PyObject* obj, const std::string& where, dovadure::utils::PayloadValue& out,
                    bool& is_scalar);

// A sequence of `rows` payloads (None: no payloads at all, `out` left empty).
bool convert_payloads(PyObject* obj, size_t rows,
                      std::vector<std::optional<dovadure::utils::Payload>>& out);

}  // namespace vivudu::native
