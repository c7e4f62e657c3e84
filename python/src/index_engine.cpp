#include "index_engine.hpp"

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
#include "vector/hnsw/snapshot.hpp"

namespace dovadure::python {
namespace {

using vector::hnsw::HNSWIndex;
using vector::hnsw::SearchOptions;
using vector::hnsw::Tristate;

constexpr const char* kNotContiguousText = "The given array is not contiguous or is misaligned.";

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

// vivudu's rerank= (null or None: unset, the knob applies). False with an
// exception set.
bool convert_rerank(PyObject* rerank_obj, const char* fn, std::optional<size_t>& out) {
  if (rerank_obj == nullptr || rerank_obj == Py_None) return true;
  uint64_t factor = 0;
  if (!convert_u64(rerank_obj, fn, "rerank", &factor)) return false;
  out = static_cast<size_t>(factor);
  return true;
}

}  // namespace

bool load_index(const std::string& path, bool quantize, bool keep_payloads,
                segment::SnapshotReading reading, LoadedIndex& out) {
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
      auto segment = segment::Segment::load_from_path(path, segment::SegmentAccess::ReadOnly, reading);
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
        if (keep_payloads) out.payloads = loaded->release_payloads();
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

  if (caught.any()) {
    caught.raise();
    return false;
  }
  if (error) {
    raise_db_error(*error);
    return false;
  }
  if (zero_dimensions) {
    PyErr_SetString(PyExc_ValueError, "the loaded index has zero dimensions");
    return false;
  }
  out.index = std::move(built);
  return true;
}

PyObject* search_one(Searcher& index, PyObject* query_obj, PyObject* k_obj, PyObject* ef_obj,
                     PyObject* sq8_obj, PyObject* scan_cap_obj, PyObject* patience_obj,
                     PyObject* rerank_obj) {
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
  std::optional<size_t> rerank;
  if (!convert_rerank(rerank_obj, "search", rerank)) return nullptr;

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
  SearchOptions options = module_search_options(widths.ef, scan_cap, patience, sq8_screen);
  options.sq8_rerank_factor = rerank;

  std::optional<utils::Result<std::vector<utils::ScoredPoint>>> found;
  CaughtException caught;
  Py_BEGIN_ALLOW_THREADS
  try {
    index.prepare();
    found.emplace(index.search(owned_query, widths.k, options));
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

PyObject* search_rows(Searcher& index, PyObject* queries_obj, PyObject* k_obj, PyObject* ef_obj,
                      PyObject* sq8_obj, PyObject* scan_cap_obj, PyObject* patience_obj,
                      PyObject* threads_obj, PyObject* rerank_obj) {
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
  std::optional<size_t> rerank;
  if (!convert_rerank(rerank_obj, fn, rerank)) return nullptr;

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
  SearchOptions options = module_search_options(widths.ef, scan_cap, patience, sq8_screen);
  options.sq8_rerank_factor = rerank;
  const uint64_t processors = threads > 1 && rows > 1 ? available_processors() : 1;
  const size_t workers = batch_worker_count(threads, rows, processors);

  // The final matrices are filled in place: each row is written by the
  // thread that searched it, so nothing is joined or copied afterwards.
  OwnedBuffer ids = OwnedBuffer::allocate(size.cells * sizeof(uint64_t));
  if (ids.data() == nullptr) return nullptr;
  OwnedBuffer scores = OwnedBuffer::allocate(size.cells * sizeof(float));
  if (scores.data() == nullptr) return nullptr;

  BatchRequest request;
  request.searcher = &index;
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
  CaughtException caught;
  Py_BEGIN_ALLOW_THREADS
  try {
    index.prepare();
    failure = run_batch_search(request);
  } catch (...) {
    caught.capture_current();
  }
  Py_END_ALLOW_THREADS

  if (caught.any()) return caught.raise();
  if (!failure.ok()) return raise_batch_failure(failure);
  PyObject* id_array = adopt_buffer(std::move(ids), 2, dims, NPY_UINT64);
  PyObject* score_array = id_array ? adopt_buffer(std::move(scores), 2, dims, NPY_FLOAT32) : nullptr;
  return make_result_pair(id_array, score_array);
}

}  // namespace dovadure::python
