// The argument handling that vivudu.Index and vivudu.Collection share: their
// constructors' (path, quantize=False, *, payloads=True) and the bodies of
// search and search_batch, which add filter= and rerank= to dovadure's
// parameters.
#pragma once

#include "numpy_api.hpp"

#include <string>

#include "index_engine.hpp"
#include "loaded_segment.hpp"
#include "payload_storage/filter.hpp"

namespace vivudu::native {

// False with an exception set. `type_name` names the class in errors.
bool parse_open_args(PyObject* args, PyObject* kwargs, const char* type_name, OpenArgs& out);

// `make(filter)` gives the Searcher for the call (filter null: none).
template <class MakeSearcher>
PyObject* run_search(PyObject* args, PyObject* kwargs, bool has_payloads, MakeSearcher make) {
  static const char* keywords[] = {"query",    "k",      "ef",     "sq8_screen", "scan_cap",
                                   "patience", "filter", "rerank", nullptr};
  PyObject* query = nullptr;
  PyObject* k = nullptr;
  PyObject* ef = nullptr;
  PyObject* sq8 = nullptr;
  PyObject* scan_cap = nullptr;
  PyObject* patience = nullptr;
  PyObject* filter = nullptr;
  PyObject* rerank = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOO:search", const_cast<char**>(keywords), &query,
                                   &k, &ef, &sq8, &scan_cap, &patience, &filter, &rerank)) {
    return nullptr;
  }
  dovadure::payload_storage::Filter compiled;
  bool active = false;
  if (!compile_call_filter(has_payloads, filter, compiled, active)) return nullptr;
  auto searcher = make(active ? &compiled : nullptr);
  return dovadure::python::search_one(searcher, query, k, ef, sq8, scan_cap, patience, rerank);
}

template <class MakeSearcher>
PyObject* run_search_batch(PyObject* args, PyObject* kwargs, bool has_payloads, MakeSearcher make) {
  static const char* keywords[] = {"queries",  "k",       "ef",     "sq8_screen", "scan_cap",
                                   "patience", "threads", "filter", "rerank",     nullptr};
  PyObject* queries = nullptr;
  PyObject* k = nullptr;
  PyObject* ef = nullptr;
  PyObject* sq8 = nullptr;
  PyObject* scan_cap = nullptr;
  PyObject* patience = nullptr;
  PyObject* threads = nullptr;
  PyObject* filter = nullptr;
  PyObject* rerank = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOOO:search_batch",
                                   const_cast<char**>(keywords), &queries, &k, &ef, &sq8, &scan_cap,
                                   &patience, &threads, &filter, &rerank)) {
    return nullptr;
  }
  dovadure::payload_storage::Filter compiled;
  bool active = false;
  if (!compile_call_filter(has_payloads, filter, compiled, active)) return nullptr;
  auto searcher = make(active ? &compiled : nullptr);
  return dovadure::python::search_rows(searcher, queries, k, ef, sq8, scan_cap, patience, threads,
                                       rerank);
}

// payloads(ids): a dict (or None) per id, in order, from the segment
// `find(id)` names (null: KeyError for an id that is not a live point).
template <class FindHolder>
PyObject* payload_list(PyObject* ids_obj, bool has_payloads, const char* type_name, FindHolder find) {
  if (!has_payloads) {
    PyErr_Format(PyExc_ValueError, "payloads were not loaded; open the %s with payloads=True", type_name);
    return nullptr;
  }
  std::vector<uint64_t> ids;
  if (!convert_id_list(ids_obj, ids)) return nullptr;
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    const LoadedSegment* holder = find(ids[i]);
    PyObject* item = holder ? holder->payload_object(ids[i]) : raise_unknown_id(ids[i]);
    if (item == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

}  // namespace vivudu::native
