#include "payload_conversion.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vivudu::native {

using dovadure::utils::Payload;
using dovadure::utils::PayloadValue;

namespace {

constexpr const char* kExpected = "expected int, float, str, bool or a flat list of one of those kinds";

enum class Scalar { Int, Float, Str, Bool, Other };

std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// NumPy scalars arrive from arrays and DataFrames; they count as the Python
// kind they stand for. np.float64 already is a float; np.bool_ is no int.
Scalar scalar_kind(PyObject* v) {
  if (PyBool_Check(v)) return Scalar::Bool;
  if (PyLong_Check(v)) return Scalar::Int;
  if (PyFloat_Check(v)) return Scalar::Float;
  if (PyUnicode_Check(v)) return Scalar::Str;
  const char* name = Py_TYPE(v)->tp_name;
  if (starts_with(name, "numpy.")) {
    if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) return Scalar::Bool;
    if (starts_with(name, "numpy.float")) return Scalar::Float;
    if (PyIndex_Check(v)) return Scalar::Int;
  }
  return Scalar::Other;
}

bool fail(PyObject* type, const std::string& where, const std::string& text) {
  PyErr_SetString(type, (where + ": " + text).c_str());
  return false;
}

bool utf8(PyObject* str, const std::string& where, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return fail(PyExc_ValueError, where, "string is not valid UTF-8 (it holds a lone surrogate)");
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool to_int(PyObject* v, const std::string& where, int64_t& out) {
  PyObject* index = PyNumber_Index(v);
  if (index == nullptr) return false;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (overflow != 0) return fail(PyExc_ValueError, where, "integer out of the 64-bit range");
  if (x == -1 && PyErr_Occurred()) return false;
  out = x;
  return true;
}

bool to_float(PyObject* v, const std::string& where, double& out) {
  out = PyFloat_AsDouble(v);
  if (out == -1.0 && PyErr_Occurred()) return false;
  if (!std::isfinite(out)) return fail(PyExc_ValueError, where, "non-finite floats are not payload values");
  return true;
}

bool to_bool(PyObject* v, bool& out) {
  const int t = PyObject_IsTrue(v);
  if (t < 0) return false;
  out = t != 0;
  return true;
}

bool unsupported(PyObject* v, const std::string& where) {
  if (v == Py_None) return fail(PyExc_ValueError, where, "None is not a payload value");
  if (PyDict_Check(v)) return fail(PyExc_ValueError, where, "nested dicts are not payload values");
  return fail(PyExc_TypeError, where, "a value of type '" + type_name(v) + "' is not a payload value (" +
                                          kExpected + ")");
}

bool convert_list(PyObject* seq, const std::string& where, PayloadValue& out) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  // The list's kind: ints widen to floats, every other mix is refused.
  Scalar kind = Scalar::Int;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    const std::string at = where + "[" + std::to_string(i) + "]";
    Scalar k = scalar_kind(item);
    if (k == Scalar::Other) {
      if (PyList_Check(item) || PyTuple_Check(item)) {
        return fail(PyExc_ValueError, at, "nested lists are not payload values");
      }
      return unsupported(item, at);
    }
    if (i == 0) {
      kind = k;
    } else if (k != kind) {
      const bool numbers = (k == Scalar::Int || k == Scalar::Float) &&
                           (kind == Scalar::Int || kind == Scalar::Float);
      if (!numbers) return fail(PyExc_ValueError, at, "list elements must all be of one kind");
      kind = Scalar::Float;
    }
  }
  switch (kind) {
    case Scalar::Int: {
      std::vector<int64_t> values(static_cast<size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (!to_int(items[i], where + "[" + std::to_string(i) + "]", values[i])) return false;
      }
      out = PayloadValue::of_list_int(std::move(values));
      return true;
    }
    case Scalar::Float: {
      std::vector<double> values(static_cast<size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        const std::string at = where + "[" + std::to_string(i) + "]";
        if (scalar_kind(items[i]) == Scalar::Int) {
          int64_t x = 0;
          if (!to_int(items[i], at, x)) return false;
          values[i] = static_cast<double>(x);
        } else if (!to_float(items[i], at, values[i])) {
          return false;
        }
      }
      out = PayloadValue::of_list_float(std::move(values));
      return true;
    }
    case Scalar::Str: {
      std::vector<std::string> values(static_cast<size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        if (!utf8(items[i], where + "[" + std::to_string(i) + "]", values[i])) return false;
      }
      out = PayloadValue::of_list_str(std::move(values));
      return true;
    }
    case Scalar::Bool: {
      std::vector<bool> values(static_cast<size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) {
        bool b = false;
        if (!to_bool(items[i], b)) return false;
        values[i] = b;
      }
      out = PayloadValue::of_list_bool(std::move(values));
      return true;
    }
    case Scalar::Other: break;
  }
  return unsupported(seq, where);
}

bool convert_value(PyObject* v, const std::string& where, PayloadValue& out) {
  switch (scalar_kind(v)) {
    case Scalar::Int: {
      int64_t x = 0;
      if (!to_int(v, where, x)) return false;
      out = PayloadValue::of_int(x);
      return true;
    }
    case Scalar::Float: {
      double x = 0;
      if (!to_float(v, where, x)) return false;
      out = PayloadValue::of_float(x);
      return true;
    }
    case Scalar::Str: {
      std::string s;
      if (!utf8(v, where, s)) return false;
      out = PayloadValue::of_str(std::move(s));
      return true;
    }
    case Scalar::Bool: {
      bool b = false;
      if (!to_bool(v, b)) return false;
      out = PayloadValue::of_bool(b);
      return true;
    }
    case Scalar::Other: break;
  }
  if (PyList_Check(v) || PyTuple_Check(v)) {
    PyObject* seq = PySequence_Fast(v, "a list");
    if (seq == nullptr) return false;
    const bool ok = convert_list(seq, where, out);
    Py_DECREF(seq);
    return ok;
  }
  return unsupported(v, where);
}

}  // namespace

bool convert_scalar(PyObject* obj, const std::string& where, PayloadValue& out, bool& is_scalar) {
  is_scalar = scalar_kind(obj) != Scalar::Other;
  return !is_scalar || convert_value(obj, where, out);
}

bool convert_payload(PyObject* obj, const std::string& where, std::optional<Payload>& out) {
  out.reset();
  if (obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    return fail(PyExc_TypeError, where, "expected a dict or None, got '" + type_name(obj) + "'");
  }
  if (PyDict_GET_SIZE(obj) == 0) return true;
  Payload payload;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      return fail(PyExc_TypeError, where, "field names must be str, got '" + type_name(key) + "'");
    }
    std::string name;
    if (!utf8(key, where, name)) return false;
    PayloadValue converted;
    if (!convert_value(value, where + "['" + name + "']", converted)) return false;
    payload.fields.emplace(std::move(name), std::move(converted));
  }
  out = std::move(payload);
  return true;
}

bool convert_payloads(PyObject* obj, size_t rows, std::vector<std::optional<Payload>>& out) {
  out.clear();
  if (obj == Py_None) return true;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "payloads must be a sequence of dicts or None, one per row");
    return false;
  }
  PyObject* seq = PySequence_Fast(obj, "payloads must be a sequence of dicts or None, one per row");
  if (seq == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  if (static_cast<size_t>(n) != rows) {
    Py_DECREF(seq);
    PyErr_SetString(PyExc_ValueError, ("payloads holds " + std::to_string(n) + " entries but vectors holds " +
                                       std::to_string(rows) + " rows")
                                          .c_str());
    return false;
  }
  out.resize(rows);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!convert_payload(items[i], "payloads[" + std::to_string(i) + "]", out[static_cast<size_t>(i)])) {
      Py_DECREF(seq);
      out.clear();
      return false;
    }
  }
  Py_DECREF(seq);
  return true;
}

}  // namespace vivudu::native
