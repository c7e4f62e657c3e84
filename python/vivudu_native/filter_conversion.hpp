// A Python filter value to the core's filter tree, needing the interpreter
// lock. The language:
//   {"field": value}                       equality; several keys are ANDed
//   {"field": {"$eq"|"$ne"|"$gt"|"$gte"|"$lt"|"$lte": v, ...}}
//   {"field": {"$in": [...]}}, {"$nin": [...]}, {"$exists": bool}
//   {"$and": [...]}, {"$or": [...]}, {"$not": {...}}
// Errors are ValueErrors naming the operator and its place in the filter
// (filter['year']['$gt']); a filter that is no dict is a TypeError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "payload_storage/filter.hpp"

namespace vivudu::native {

bool convert_filter(PyObject* obj, dovadure::payload_storage::Filter& out);

}  // namespace vivudu::native
