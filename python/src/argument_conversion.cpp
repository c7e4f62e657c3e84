#include "argument_conversion.hpp"

#include <cstring>

namespace dovadure::python {

bool convert_u64(PyObject* obj, const char* func, const char* name, uint64_t* out) {
  if (!PyLong_Check(obj) && !PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", func, name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyObject* value = PyNumber_Index(obj);
  if (value == nullptr) return false;
  PyObject* zero = PyLong_FromLong(0);
  const int negative = zero == nullptr ? -1 : PyObject_RichCompareBool(value, zero, Py_LT);
  Py_XDECREF(zero);
  if (negative < 0) {
    Py_DECREF(value);
    return false;
  }
  if (negative) {
    Py_DECREF(value);
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s': can't convert negative int to unsigned",
                 func, name);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value);
  Py_DECREF(value);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s() argument '%s': int too big to convert", func, name);
    return false;
  }
  *out = static_cast<uint64_t>(v);
  return true;
}

bool convert_bool(PyObject* obj, const char* func, const char* name, bool* out) {
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %.200s", func, name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  *out = obj == Py_True;
  return true;
}

bool convert_path(PyObject* obj, const char* func, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", func, name,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  // The operating system would silently cut the path at a NUL.
  if (std::memchr(utf8, '\0', static_cast<size_t>(size)) != nullptr) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s': embedded null character", func, name);
    return false;
  }
  out->assign(utf8, static_cast<size_t>(size));
  return true;
}

bool convert_float32_array(PyObject* obj, const char* func, const char* name, int ndim,
                           PyArrayObject** out) {
  const char* expected = ndim == 1 ? "1-dimensional" : "2-dimensional";
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a %s float32 numpy.ndarray, not %.200s",
                 func, name, expected, Py_TYPE(obj)->tp_name);
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* descr = PyArray_DESCR(array);
  const bool is_float32 = PyArray_TYPE(array) == NPY_FLOAT32;
  // A byte-swapped float32 array holds the right dtype but the wrong bits
  // for the native kernels.
  const bool native = PyArray_ISNOTSWAPPED(array);
  if (!is_float32 || !native || PyArray_NDIM(array) != ndim) {
    PyObject* dtype_text = PyObject_Str(reinterpret_cast<PyObject*>(descr));
    if (dtype_text == nullptr) return false;
    PyErr_Format(PyExc_TypeError,
                 "%s() argument '%s' must be a %s float32 numpy.ndarray, not a %d-dimensional "
                 "%U numpy.ndarray%s",
                 func, name, expected, PyArray_NDIM(array), dtype_text,
                 native ? "" : " in non-native byte order");
    Py_DECREF(dtype_text);
    return false;
  }
  *out = array;
  return true;
}

size_t first_non_finite(const float* values, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &values[i], sizeof bits);
    if ((bits & 0x7fffffffu) > 0x7f7fffffu) return i;
  }
  return count;
}

}  // namespace dovadure::python
