// What the searchable Index classes share: loading a segment into a frozen
// graph index, and the bodies of search and search_batch after argument
// parsing. dovadure.Index uses them as they are; vivudu.Index adds payloads
// and a filter that restricts what a search returns.
#pragma once

#include "numpy_api.hpp"

#include <memory>
#include <string>

#include "searcher.hpp"
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
bool load_index(const std::string& path, bool quantize, bool keep_payloads,
                segment::SnapshotReading reading, LoadedIndex& out);

// search(query, k, ef, sq8_screen, scan_cap, patience) and
// search_batch(queries, ..., threads) on `searcher`; a null argument object
// takes its default. rerank (vivudu only; null or None: the environment's
// default) sets the SQ8 re-rank factor of the call.
PyObject* search_one(Searcher& searcher, PyObject* query_obj, PyObject* k_obj, PyObject* ef_obj,
                     PyObject* sq8_obj, PyObject* scan_cap_obj, PyObject* patience_obj,
                     PyObject* rerank_obj = nullptr);
PyObject* search_rows(Searcher& searcher, PyObject* queries_obj, PyObject* k_obj, PyObject* ef_obj,
                      PyObject* sq8_obj, PyObject* scan_cap_obj, PyObject* patience_obj,
                      PyObject* threads_obj, PyObject* rerank_obj = nullptr);

}  // namespace dovadure::python
