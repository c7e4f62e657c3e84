// What the searchable Index classes share: loading a segment into a frozen
// graph index, and the bodies of search and search_batch after argument
// parsing. dovadure.Index uses them as they are; vivudu.Index adds payloads
// and a filter that restricts what a search returns.
#pragma once

#include "numpy_api.hpp"

#include <functional>
#include <memory>
#include <string>

#include "segment/segment.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/search_options.hpp"

namespace dovadure::python {

struct LoadedIndex {
  std::unique_ptr<vector::hnsw::HNSWIndex> index;  // frozen, quantised when asked
  segment::PayloadMap payloads;                    // only when kept
};

// Loads the snapshot at `path` with its log replayed, releasing the
// interpreter lock meanwhile. Returns false with an exception set.
bool load_index(const std::string& path, bool quantize, bool keep_payloads, LoadedIndex& out);

// Run once per call without the interpreter lock, after the arguments have
// passed their checks: the filter the search applies (nullptr for none).
using FilterStep = std::function<const vector::hnsw::LayerFilter*()>;

// search(query, k, ef, sq8_screen, scan_cap, patience) and
// search_batch(queries, ..., threads) on `index`; a null argument object
// takes its default. `filter` may be null.
PyObject* search_one(const vector::hnsw::HNSWIndex& index, PyObject* query_obj, PyObject* k_obj,
                     PyObject* ef_obj, PyObject* sq8_obj, PyObject* scan_cap_obj,
                     PyObject* patience_obj, const FilterStep* filter);
PyObject* search_rows(const vector::hnsw::HNSWIndex& index, PyObject* queries_obj, PyObject* k_obj,
                      PyObject* ef_obj, PyObject* sq8_obj, PyObject* scan_cap_obj,
                      PyObject* patience_obj, PyObject* threads_obj, const FilterStep* filter);

}  // namespace dovadure::python
