// Conversion of method arguments with messages that name the function and
// the argument, in the wording CPython uses for its own functions. Each
// returns false with a Python exception set on failure.
#pragma once

#include "numpy_api.hpp"

#include <cstdint>
#include <string>

namespace dovadure::python {

// A Python int (or an object with __index__) as an unsigned 64-bit value:
// TypeError for other types, OverflowError for negative or too large values.
bool convert_u64(PyObject* obj, const char* func, const char* name, uint64_t* out);

// Exactly a Python bool: no truthiness of other objects.
bool convert_bool(PyObject* obj, const char* func, const char* name, bool* out);

// Exactly a Python str, as UTF-8 without embedded NUL characters.
bool convert_path(PyObject* obj, const char* func, const char* name, std::string* out);

// A NumPy array of native-order float32 with exactly `ndim` dimensions. The
// returned pointer is borrowed from `obj`.
bool convert_float32_array(PyObject* obj, const char* func, const char* name, int ndim,
                           PyArrayObject** out);

// Index of the first NaN or infinity among `count` values, or `count` when
// all are finite.
size_t first_non_finite(const float* values, size_t count);

}  // namespace dovadure::python
