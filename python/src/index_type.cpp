#include "index_type.hpp"

#include <string>

#include "argument_conversion.hpp"
#include "index_engine.hpp"

namespace dovadure::python {
namespace {

using vector::hnsw::HNSWIndex;

// The object owns its index and nothing else; the index is never mutated
// after construction, so every method shares it without a lock of its own.
struct IndexObject {
  PyObject_HEAD
  HNSWIndex* index;
};

HNSWIndex& index_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->index; }

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

  LoadedIndex loaded;
  if (!load_index(path, quantize, false, segment::SnapshotReading::Copy, loaded)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<IndexObject*>(self)->index = loaded.index.release();
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
  IndexSearcher searcher(index_of(self));
  return search_one(searcher, query_obj, k_obj, ef_obj, sq8_obj, scan_cap_obj, patience_obj);
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
  IndexSearcher searcher(index_of(self));
  return search_rows(searcher, queries_obj, k_obj, ef_obj, sq8_obj, scan_cap_obj, patience_obj,
                     threads_obj);
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
