#include "index_type.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "argument_conversion.hpp"
#include "available_parallelism.hpp"
#include "batch_plan.hpp"
#include "batch_search.hpp"
#include "error_conversion.hpp"
#include "result_arrays.hpp"
#include "segment/segment.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/snapshot.hpp"

namespace dovadure::python {
namespace {

using vector::hnsw::HNSWIndex;
using vector::hnsw::SearchOptions;
using vector::hnsw::Tristate;

constexpr const char* kNotContiguousText = "The given array is not contiguous or is misaligned.";

// The object owns its index and nothing else; the index is never mutated
// after construction, so every method shares it without a lock of its own.
struct IndexObject {
  PyObject_HEAD
  HNSWIndex* index;
};

HNSWIndex& index_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->index; }

PyObject* raise_dimension_mismatch(size_t expected, size_t got) {
  PyErr_Format(PyExc_ValueError, "query dimension mismatch: expected %zu, got %zu", expected, got);
  return nullptr;
}

PyObject* raise_non_finite(const char* name, size_t flat_index) {
  PyErr_Format(PyExc_ValueError, "%s contains a non-finite value at flat index %zu", name,
               flat_index);
  return nullptr;
}

// Every search of the module sets the same options: its own clamped beam
// width, scan cap (0 = uncapped, still set) and patience, and an explicit
// SQ8 switch so that the environment's default does not apply.
SearchOptions module_search_options(size_t ef, uint64_t scan_cap, uint64_t patience,
                                    bool sq8_screen) {
  SearchOptions options;
  options.ef = ef;
  options.scan_cap = static_cast<size_t>(scan_cap);
  options.early_exit_patience = static_cast<size_t>(patience);
  options.sq8_screen = sq8_screen ? Tristate::True : Tristate::False;
  return options;
}

// ---- constructor and destructor ----

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "quantize", nullptr};
  PyObject* path_obj = nullptr;
  PyObject* quantize_obj = Py_False;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:Index", const_cast<char**>(keywords),
                                   &path_obj, &quantize_obj)) {
    return nullptr;
  }
  std::string path;
  bool quantize = false;
  if (!convert_path(path_obj, "Index", "path", &path)) return nullptr;
  if (!convert_bool(quantize_obj, "Index", "quantize", &quantize)) return nullptr;

  // Loading reads and decodes the whole file and may replay a log; other
  // Python threads run meanwhile. The object does not exist yet, so nothing
  // else can see the partial state.
  std::unique_ptr<HNSWIndex> built;
  std::optional<utils::DBError> error;
  bool zero_dimensions = false;
  CaughtException caught;
  Py_BEGIN_ALLOW_THREADS
  try {
    // Covers the freeze and the quantisation too, which allocate and touch
    // memory of their own.
    const segment::LoadScope loading;
    {
      auto segment = segment::Segment::load_from_path(path, segment::SegmentAccess::ReadOnly);
      if (!segment.ok()) {
        error = segment.take_error();
      } else {
        // The object owns a plain index; the segment with its payloads and
        // log state goes. A segment that replayed no log record holds the
        // index exactly as a rebuild from its own record would give it, so
        // it is taken over instead of copied (half the time, half the peak
        // memory). After a replay the copy through the record is kept: it
        // renumbers nodes by id and drops the insertion-time score caches.
        std::unique_ptr<segment::Segment> loaded = std::move(segment).value();
        if (loaded->replayed_records() == 0 &&
            vector::hnsw::rebuilds_identically(loaded->index())) {
          built = segment::Segment::take_index(std::move(loaded));
        } else {
          // The record is detached, so the segment can go before the copy
          // is built: the two indexes never stand in memory together.
          vector::hnsw::HnswSnapshot record = loaded->index().to_snapshot();
          loaded.reset();
          auto copy = HNSWIndex::from_snapshot(std::move(record));
          if (!copy.ok()) {
            error = copy.take_error();
          } else {
            built = std::move(copy).value();
          }
        }
      }
    }
    if (built && built->dim() == 0) {
      zero_dimensions = true;
    } else if (built && quantize) {
      built->quantize_all();
    }
    // The object never changes its index, so searches may skip list locks.
    if (built) built->freeze();
  } catch (...) {
    caught.capture_current();
  }
  Py_END_ALLOW_THREADS

  if (caught.any()) return caught.raise();
  if (error) return raise_db_error(*error);
  if (zero_dimensions) {
    PyErr_SetString(PyExc_ValueError, "the loaded index has zero dimensions");
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<IndexObject*>(self)->index = built.release();
  return self;
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<IndexObject*>(self)->index;
  reinterpret_cast<IndexObject*>(self)->index = nullptr;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types hold their type
}

// ---- search ----

PyObject* index_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"query",    "k",        "ef", "sq8_screen",
                                   "scan_cap", "patience", nullptr};
  PyObject* query_obj = nullptr;
  PyObject* k_obj = nullptr;
  PyObject* ef_obj = nullptr;
  PyObject* sq8_obj = nullptr;
  PyObject* scan_cap_obj = nullptr;
  PyObject* patience_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOO:search", const_cast<char**>(keywords),
                                   &query_obj, &k_obj, &ef_obj, &sq8_obj, &scan_cap_obj,
                                   &patience_obj)) {
    return nullptr;
  }
  PyArrayObject* query = nullptr;
  uint64_t k = 20;
  uint64_t ef = 128;
  bool sq8_screen = false;
  uint64_t scan_cap = 0;
  uint64_t patience = 2;
  if (!convert_float32_array(query_obj, "search", "query", 1, &query)) return nullptr;
  if (k_obj && !convert_u64(k_obj, "search", "k", &k)) return nullptr;
  if (ef_obj && !convert_u64(ef_obj, "search", "ef", &ef)) return nullptr;
  if (sq8_obj && !convert_bool(sq8_obj, "search", "sq8_screen", &sq8_screen)) return nullptr;
  if (scan_cap_obj && !convert_u64(scan_cap_obj, "search", "scan_cap", &scan_cap)) return nullptr;
  if (patience_obj && !convert_u64(patience_obj, "search", "patience", &patience)) return nullptr;

  const HNSWIndex& index = index_of(self);
  const size_t length = static_cast<size_t>(PyArray_SIZE(query));
  if (length > 0 && !(PyArray_IS_C_CONTIGUOUS(query) && PyArray_ISALIGNED(query))) {
    PyErr_SetString(PyExc_TypeError, kNotContiguousText);
    return nullptr;
  }
  if (length != index.dim()) return raise_dimension_mismatch(index.dim(), length);
  const auto* values = static_cast<const float*>(PyArray_DATA(query));
  const size_t bad = first_non_finite(values, length);
  if (bad != length) return raise_non_finite("query", bad);

  // The native search must never alias storage that Python code can change
  // once the lock is released.
  std::vector<float> owned_query;
  try {
    owned_query.assign(values, values + length);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }

  if (k == 0) {
    npy_intp dims[1] = {0};
    return make_result_pair(empty_array(1, dims, NPY_UINT64), empty_array(1, dims, NPY_FLOAT32));
  }

  const SearchWidths widths = clamp_search_widths(k, ef, index.len());
  const SearchOptions options = module_search_options(widths.ef, scan_cap, patience, sq8_screen);

  std::optional<utils::Result<std::vector<utils::ScoredPoint>>> found;
  CaughtException caught;
  Py_BEGIN_ALLOW_THREADS
  try {
    found.emplace(index.search_with_options(owned_query, widths.k, options));
  } catch (...) {
    caught.capture_current();
  }
  Py_END_ALLOW_THREADS

  if (caught.any()) return caught.raise();
  if (!found->ok()) return raise_db_error(found->error());
  const std::vector<utils::ScoredPoint>& points = found->value();
  npy_intp dims[1] = {static_cast<npy_intp>(points.size())};
  if (points.empty()) {
    return make_result_pair(empty_array(1, dims, NPY_UINT64), empty_array(1, dims, NPY_FLOAT32));
  }
  OwnedBuffer ids = OwnedBuffer::allocate(points.size() * sizeof(uint64_t));
  if (ids.data() == nullptr) return nullptr;
  OwnedBuffer scores = OwnedBuffer::allocate(points.size() * sizeof(float));
  if (scores.data() == nullptr) return nullptr;
  auto* id_out = static_cast<uint64_t*>(ids.data());
  auto* score_out = static_cast<float*>(scores.data());
  for (size_t i = 0; i < points.size(); ++i) {
    id_out[i] = points[i].id;
    score_out[i] = points[i].score;
  }
  PyObject* id_array = adopt_buffer(std::move(ids), 1, dims, NPY_UINT64);
  PyObject* score_array = id_array ? adopt_buffer(std::move(scores), 1, dims, NPY_FLOAT32) : nullptr;
  return make_result_pair(id_array, score_array);
}

// ---- search_batch ----

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"queries",  "k",        "ef",      "sq8_screen",
                                   "scan_cap", "patience", "threads", nullptr};
  PyObject* queries_obj = nullptr;
  PyObject* k_obj = nullptr;
  PyObject* ef_obj = nullptr;
  PyObject* sq8_obj = nullptr;
  PyObject* scan_cap_obj = nullptr;
  PyObject* patience_obj = nullptr;
  PyObject* threads_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOO:search_batch",
                                   const_cast<char**>(keywords), &queries_obj, &k_obj, &ef_obj,
                                   &sq8_obj, &scan_cap_obj, &patience_obj, &threads_obj)) {
    return nullptr;
  }
  const char* fn = "search_batch";
  PyArrayObject* queries = nullptr;
  uint64_t k = 20;
  uint64_t ef = 128;
  bool sq8_screen = false;
  uint64_t scan_cap = 0;
  uint64_t patience = 2;
  uint64_t threads = 1;
  if (!convert_float32_array(queries_obj, fn, "queries", 2, &queries)) return nullptr;
  if (k_obj && !convert_u64(k_obj, fn, "k", &k)) return nullptr;
  if (ef_obj && !convert_u64(ef_obj, fn, "ef", &ef)) return nullptr;
  if (sq8_obj && !convert_bool(sq8_obj, fn, "sq8_screen", &sq8_screen)) return nullptr;
  if (scan_cap_obj && !convert_u64(scan_cap_obj, fn, "scan_cap", &scan_cap)) return nullptr;
  if (patience_obj && !convert_u64(patience_obj, fn, "patience", &patience)) return nullptr;
  if (threads_obj && !convert_u64(threads_obj, fn, "threads", &threads)) return nullptr;

  const HNSWIndex& index = index_of(self);
  const size_t rows = static_cast<size_t>(PyArray_DIM(queries, 0));
  const size_t dim = static_cast<size_t>(PyArray_DIM(queries, 1));
  if (dim != index.dim()) return raise_dimension_mismatch(index.dim(), dim);
  if (!PyArray_IS_C_CONTIGUOUS(queries)) {
    PyErr_SetString(PyExc_ValueError, "queries must be C-contiguous (row-major)");
    return nullptr;
  }
  // rows * dim is the element count of an existing array: it cannot wrap.
  const size_t count = rows * dim;
  if (count > 0 && !PyArray_ISALIGNED(queries)) {
    PyErr_SetString(PyExc_TypeError, kNotContiguousText);
    return nullptr;
  }
  const auto* values = static_cast<const float*>(PyArray_DATA(queries));
  const size_t bad = first_non_finite(values, count);
  if (bad != count) return raise_non_finite("queries", bad);

  const BatchSizeCheck size = check_batch_output_size(rows, k);
  if (size.error != BatchSizeError::None) {
    PyErr_SetString(PyExc_OverflowError, batch_size_error_text(size).c_str());
    return nullptr;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(k)};
  if (k == 0 || rows == 0) {
    return make_result_pair(empty_array(2, dims, NPY_UINT64), empty_array(2, dims, NPY_FLOAT32));
  }

  OwnedBuffer owned_queries = OwnedBuffer::allocate(count * sizeof(float));
  if (owned_queries.data() == nullptr) return nullptr;
  std::memcpy(owned_queries.data(), values, count * sizeof(float));

  const SearchWidths widths = clamp_search_widths(k, ef, index.len());
  const SearchOptions options = module_search_options(widths.ef, scan_cap, patience, sq8_screen);
  const uint64_t processors = threads > 1 && rows > 1 ? available_processors() : 1;
  const size_t workers = batch_worker_count(threads, rows, processors);

  // The final matrices are filled in place: each row is written by the
  // thread that searched it, so nothing is joined or copied afterwards.
  OwnedBuffer ids = OwnedBuffer::allocate(size.cells * sizeof(uint64_t));
  if (ids.data() == nullptr) return nullptr;
  OwnedBuffer scores = OwnedBuffer::allocate(size.cells * sizeof(float));
  if (scores.data() == nullptr) return nullptr;

  BatchRequest request;
  request.index = &index;
  request.queries = static_cast<const float*>(owned_queries.data());
  request.rows = rows;
  request.dim = dim;
  request.k = static_cast<size_t>(k);
  request.k_search = widths.k;
  request.options = &options;
  request.workers = workers;
  request.ids = static_cast<uint64_t*>(ids.data());
  request.scores = static_cast<float*>(scores.data());

  BatchFailure failure;
  Py_BEGIN_ALLOW_THREADS
  failure = run_batch_search(request);
  Py_END_ALLOW_THREADS

  if (!failure.ok()) return raise_batch_failure(failure);
  PyObject* id_array = adopt_buffer(std::move(ids), 2, dims, NPY_UINT64);
  PyObject* score_array = id_array ? adopt_buffer(std::move(scores), 2, dims, NPY_FLOAT32) : nullptr;
  return make_result_pair(id_array, score_array);
}

// ---- dim and len ----

PyObject* index_dim(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(index_of(self).dim());
}

Py_ssize_t index_len(PyObject* self) {
  const size_t n = index_of(self).len();
  if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
    return -1;
  }
  return static_cast<Py_ssize_t>(n);
}

// ---- type definition ----

PyDoc_STRVAR(index_doc,
             "Index(path, quantize=False)\n--\n\n"
             "In-memory approximate-nearest-neighbour index loaded from a Vivudu segment "
             "snapshot.\n\n"
             "Search calls release the interpreter lock. Query data is copied into memory owned "
             "by the extension before the lock is released, so the native search never aliases "
             "Python-owned mutable storage.");

PyDoc_STRVAR(search_doc,
             "search($self, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2)\n--\n\n"
             "Search one query. Returns `(ids uint64[k], scores float32[k])`.\n\n"
             "`scores` are raw Vivudu scores; `scan_cap=0` means uncapped L0 scans.");

PyDoc_STRVAR(search_batch_doc,
             "search_batch($self, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, "
             "patience=2, threads=1)\n--\n\n"
             "Search contiguous float32 queries with shape `[n, dim]`.\n\n"
             "Returns `(ids uint64[n, k], scores float32[n, k])`, padding short rows\n"
             "with `uint64::MAX` and `NaN`. Native workers are capped to the machine's\n"
             "available parallelism; `threads=0` and `threads=1` run sequentially.");

PyDoc_STRVAR(dim_doc, "dim($self)\n--\n\n");

PyMethodDef index_methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_search)),
     METH_VARARGS | METH_KEYWORDS, search_doc},
    {"search_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_search_batch)),
     METH_VARARGS | METH_KEYWORDS, search_batch_doc},
    {"dim", index_dim, METH_NOARGS, dim_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>(index_doc)},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_sq_length, reinterpret_cast<void*>(index_len)},
    {0, nullptr},
};

#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned int kIndexFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned int kIndexFlags = Py_TPFLAGS_DEFAULT;
#endif

PyType_Spec index_spec = {
    "dovadure.Index", sizeof(IndexObject), 0, kIndexFlags, index_slots,
};

}  // namespace

PyObject* create_index_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &index_spec, nullptr);
}

}  // namespace dovadure::python
