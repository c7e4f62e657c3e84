#include "write_arguments.hpp"

#include <cmath>
#include <cstring>
#include <new>

#include "payload_conversion.hpp"

namespace vivudu::native {

using dovadure::segment::PointRows;
using dovadure::segment::WriteError;

namespace {

// A buffer view released at end of scope.
class BufferView {
 public:
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* obj, const char* name, int ndim, size_t itemsize, const char* kinds) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
    held_ = true;
    const char* format = view_.format ? view_.format : "B";
    const char kind = format[std::strlen(format) - 1];
    if (view_.ndim != ndim || static_cast<size_t>(view_.itemsize) != itemsize ||
        std::strchr(kinds, kind) == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s: expected a C-contiguous %d-D array of %s", name, ndim,
                   itemsize == 4 ? "float32" : "uint64");
      return false;
    }
    return true;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

const char* subject_name(WriteError::Subject subject) {
  switch (subject) {
    case WriteError::Subject::Vectors: return "vectors";
    case WriteError::Subject::Ids: return "ids";
    case WriteError::Subject::Payloads: return "payloads";
    case WriteError::Subject::None: break;
  }
  return nullptr;
}

}  // namespace

bool convert_ids(PyObject* ids, const char* name, std::vector<uint64_t>& out) {
  BufferView view;
  if (!view.get(ids, name, 1, 8, "QL")) return false;
  const size_t n = static_cast<size_t>(view.view().shape[0]);
  try {
    out.resize(n);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  if (n > 0) std::memcpy(out.data(), view.view().buf, n * sizeof(uint64_t));
  return true;
}

bool convert_rows(PyObject* vectors, PyObject* ids, PyObject* payloads, PointRows& out) {
  {
    BufferView view;
    if (!view.get(vectors, "vectors", 2, 4, "f")) return false;
    out.rows = static_cast<size_t>(view.view().shape[0]);
    out.dim = static_cast<size_t>(view.view().shape[1]);
    const size_t count = out.rows * out.dim;
    try {
      out.vectors.resize(count);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    if (count > 0) std::memcpy(out.vectors.data(), view.view().buf, count * sizeof(float));
  }
  if (ids != Py_None) {
    std::vector<uint64_t> converted;
    if (!convert_ids(ids, "ids", converted)) return false;
    if (converted.size() != out.rows) {
      PyErr_Format(PyExc_ValueError, "ids holds %zu ids but vectors holds %zu rows", converted.size(),
                   out.rows);
      return false;
    }
    out.ids = std::move(converted);
  }
  return convert_payloads(payloads, out.rows, out.payloads);
}

bool convert_wait(PyObject* wait, std::chrono::milliseconds& out) {
  const double seconds = PyFloat_AsDouble(wait);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (!(seconds >= 0.0) || seconds > 86400.0) {
    PyErr_SetString(PyExc_ValueError, "wait must be a number of seconds from 0 to 86400");
    return false;
  }
  out = std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000.0)));
  return true;
}

bool parse_metric_name(const char* name, dovadure::utils::DistanceMetric& out) {
  const auto metric = dovadure::segment::parse_metric_keyword(name);
  if (!metric) {
    PyErr_Format(PyExc_ValueError, "metric must be 'cosine', 'dot' or 'euclidean', got '%s'", name);
    return false;
  }
  out = *metric;
  return true;
}

bool in_range(const char* name, unsigned long long value, unsigned long long min,
              unsigned long long max, size_t& out) {
  if (value < min || value > max) {
    PyErr_Format(PyExc_ValueError, "%s must be an integer from %llu to %llu, got %llu", name, min, max,
                 value);
    return false;
  }
  out = static_cast<size_t>(value);
  return true;
}

bool parse_build_settings(const char* metric, unsigned long long m, unsigned long long ef,
                          unsigned long long max_level, dovadure::utils::DistanceMetric& metric_out,
                          size_t& m_out, size_t& ef_out, size_t& max_level_out) {
  namespace seg = dovadure::segment;
  return parse_metric_name(metric, metric_out) && in_range("m", m, seg::kMinBuildM, seg::kMaxBuildM, m_out) &&
         in_range("ef_construction", ef, 1, seg::kMaxEfConstruction, ef_out) &&
         in_range("max_level", max_level, 0, seg::kMaxBuildLevel, max_level_out);
}

PyObject* raise_write_error(const WriteError& error) {
  using Kind = WriteError::Kind;
  switch (error.kind) {
    case Kind::Invalid: {
      const char* subject = subject_name(error.subject);
      const std::string text = subject ? std::string(subject) + ": " + error.message : error.message;
      PyErr_SetString(PyExc_ValueError, text.c_str());
      return nullptr;
    }
    case Kind::DimensionMismatch:
      PyErr_Format(PyExc_ValueError, "vectors have dimension %zu, the segment's dimension is %zu",
                   error.got, error.expected);
      return nullptr;
    case Kind::Refused:
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
      return nullptr;
    case Kind::Exists:
      PyErr_SetString(PyExc_FileExistsError,
                      (error.message + "; pass overwrite=True to replace the segment").c_str());
      return nullptr;
    case Kind::NotFound: {
      PyObject* id = PyLong_FromUnsignedLongLong(error.id);
      if (id != nullptr) {
        PyErr_SetObject(PyExc_KeyError, id);
        Py_DECREF(id);
      }
      return nullptr;
    }
    case Kind::NoSegment:
      PyErr_SetString(PyExc_FileNotFoundError, error.message.c_str());
      return nullptr;
    case Kind::Locked:
      PyErr_SetString(PyExc_TimeoutError, error.message.c_str());
      return nullptr;
    case Kind::Failed:
      break;
  }
  PyErr_SetString(PyExc_RuntimeError, error.message.c_str());
  return nullptr;
}

}  // namespace vivudu::native
