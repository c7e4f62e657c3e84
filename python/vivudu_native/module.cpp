// vivudu._native: the native half of the vivudu package. Index is the
// searchable class itself; for writing, the package's Python layer checks
// and converts arguments and documents the API, and this module copies them
// into native memory and runs the core's segment writer without the
// interpreter lock.
#define DOVADURE_NUMPY_IMPORTER
#include "numpy_api.hpp"

#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "collection_type.hpp"
#include "index_type.hpp"
#include "argument_conversion.hpp"
#include "error_conversion.hpp"
#include "segment/collection_writer.hpp"
#include "segment/manifest.hpp"
#include "segment/writer.hpp"
#include "write_arguments.hpp"
#include "writer_type.hpp"

namespace vivudu::native {
namespace {

using dovadure::segment::BuildSettings;
using dovadure::segment::PointRows;
using dovadure::segment::WriteError;

// Calls the Python progress callable from the building thread, at most ten
// times a second and once at the end. The thread runs without the
// interpreter lock and takes it for the call only.
class ProgressRelay {
 public:
  ProgressRelay(PyObject* callable, size_t total) : callable_(callable), total_(total) {}

  void operator()(size_t done) {
    const auto now = std::chrono::steady_clock::now();
    if (done == reported_ || (done != total_ && now - last_ < std::chrono::milliseconds(100))) return;
    last_ = now;
    reported_ = done;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* r = PyObject_CallFunction(callable_, "n", static_cast<Py_ssize_t>(done));
    if (r == nullptr) {
      PyErr_WriteUnraisable(callable_);
    } else {
      Py_DECREF(r);
    }
    PyGILState_Release(gil);
  }

 private:
  PyObject* callable_;
  size_t total_;
  size_t reported_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

PyObject* build(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "vectors", "ids", "payloads", "metric", "m",
                                   "ef_construction", "max_level", "threads", "overwrite",
                                   "wait", "progress", "lean_lists", nullptr};
  const char* path = nullptr;
  PyObject* vectors = nullptr;
  PyObject* ids = nullptr;
  PyObject* payloads = nullptr;
  const char* metric = nullptr;
  unsigned long long m = 0, ef = 0, max_level = 0, threads = 0;
  int overwrite = 0;
  PyObject* wait_obj = nullptr;
  PyObject* progress = nullptr;
  int lean_lists = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOOOsKKKKpOO|p:build", const_cast<char**>(keywords),
                                   &path, &vectors, &ids, &payloads, &metric, &m, &ef, &max_level,
                                   &threads, &overwrite, &wait_obj, &progress, &lean_lists)) {
    return nullptr;
  }
  BuildSettings settings;
  settings.path = path;
  settings.overwrite = overwrite != 0;
  settings.lean_lists = lean_lists != 0;
  if (!parse_build_settings(metric, m, ef, max_level, settings.metric, settings.m, settings.ef_construction,
                            settings.max_level) ||
      !in_range("threads", threads, 0, dovadure::segment::kMaxBuildThreads, settings.threads) ||
      !convert_wait(wait_obj, settings.wait)) {
    return nullptr;
  }
  PointRows rows;
  if (!convert_rows(vectors, ids, payloads, rows)) return nullptr;
  const size_t points = rows.rows;

  ProgressRelay relay(progress, points);
  dovadure::segment::BuildProgress report;
  if (progress != Py_None) report = [&relay](size_t done) { relay(done); };
  std::optional<WriteError> error;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    error = dovadure::segment::build_segment(settings, std::move(rows), report);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) return PyErr_NoMemory();
  if (error) return raise_write_error(*error);
  return PyLong_FromSize_t(points);
}

PyObject* build_collection(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"dir", "vectors", "ids", "payloads", "metric", "m", "ef_construction",
                                   "max_level", "threads", "segment_max_points", "overwrite", "wait",
                                   "lean_lists", nullptr};
  const char* dir = nullptr;
  PyObject* vectors = nullptr;
  PyObject* ids = nullptr;
  PyObject* payloads = nullptr;
  const char* metric = nullptr;
  unsigned long long m = 0, ef = 0, max_level = 0, threads = 0, max_points = 0;
  int overwrite = 0;
  PyObject* wait_obj = nullptr;
  int lean_lists = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sOOOsKKKKKpO|p:build_collection",
                                   const_cast<char**>(keywords), &dir, &vectors, &ids, &payloads, &metric,
                                   &m, &ef, &max_level, &threads, &max_points, &overwrite, &wait_obj,
                                   &lean_lists)) {
    return nullptr;
  }
  dovadure::segment::CollectionSettings settings;
  settings.lean_lists = lean_lists != 0;
  size_t thread_count = 0;
  size_t segment_max_points = 0;
  std::chrono::milliseconds wait{};
  if (!parse_build_settings(metric, m, ef, max_level, settings.metric, settings.m, settings.ef_construction,
                            settings.max_level) ||
      !in_range("threads", threads, 0, dovadure::segment::kMaxBuildThreads, thread_count) ||
      !in_range("segment_max_points", max_points, 1, UINT32_MAX, segment_max_points) ||
      !convert_wait(wait_obj, wait)) {
    return nullptr;
  }
  PointRows rows;
  if (!convert_rows(vectors, ids, payloads, rows)) return nullptr;
  settings.dim = rows.dim;
  const size_t points = rows.rows;
  const std::string path = dir;
  std::optional<WriteError> error;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    error = dovadure::segment::build_collection(path, settings, std::move(rows), segment_max_points,
                                                thread_count, overwrite != 0, wait);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) return PyErr_NoMemory();
  if (error) return raise_write_error(*error);
  return PyLong_FromSize_t(points);
}

// The snapshot paths a collection's manifest lists, in order.
PyObject* collection_segment_paths(PyObject*, PyObject* arg) {
  PyObject* fs_path = PyOS_FSPath(arg);
  if (fs_path == nullptr) return nullptr;
  std::string dir;
  const bool ok = dovadure::python::convert_path(fs_path, "collection_segment_paths", "dir", &dir);
  Py_DECREF(fs_path);
  if (!ok) return nullptr;
  auto manifest = dovadure::segment::read_manifest(dir);
  if (!manifest.ok()) return dovadure::python::raise_db_error(manifest.error());
  PyObject* out = PyList_New(0);
  if (out == nullptr) return nullptr;
  for (const auto& entry : manifest.value().segments) {
    const std::string path = dir + "/" + entry.snapshot;
    PyObject* item = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (item == nullptr || PyList_Append(out, item) != 0) {
      Py_XDECREF(item);
      Py_DECREF(out);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return out;
}

PyMethodDef module_methods[] = {
    {"collection_segment_paths", collection_segment_paths, METH_O,
     "collection_segment_paths(dir) -> [snapshot path]: the segments a collection's manifest lists."},
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build)),
     METH_VARARGS | METH_KEYWORDS, "build(...) -> points: the native half of vivudu.build."},
    {"build_collection", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_collection)),
     METH_VARARGS | METH_KEYWORDS,
     "build_collection(...) -> points: the native half of vivudu.CollectionWriter.build."},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, PyObject* type) {
  if (type == nullptr) return -1;
  const int rc = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
  Py_DECREF(type);
  return rc;
}

int module_exec(PyObject* module) {
  if (_import_array() < 0) return -1;
  if (add_type(module, create_writer_type(module)) < 0) return -1;
  if (add_type(module, create_collection_writer_type(module)) < 0) return -1;
  if (add_type(module, create_collection_type(module)) < 0) return -1;
  return add_type(module, create_index_type(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vivudu._native", "Native half of the vivudu package.", 0, module_methods,
    module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vivudu::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vivudu::native::module_def); }
