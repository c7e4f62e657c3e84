// vivudu.Index: dovadure.Index's loading and searches (the same code), plus
// the segment's payloads, an index of them over node numbers, and filtered
// search. Immutable after construction, so every method runs without a lock.
#include "index_type.hpp"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "argument_conversion.hpp"
#include "index_engine.hpp"
#include "loaded_segment.hpp"
#include "search_methods.hpp"
#include "segment/writer.hpp"

namespace vivudu::native {

using dovadure::payload_storage::Filter;

namespace {

struct IndexObject {
  PyObject_HEAD
  LoadedSegment* state;
};

const LoadedSegment& state_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->state; }

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  OpenArgs open;
  if (!parse_open_args(args, kwargs, "Index", open)) return nullptr;

  auto state = std::make_unique<LoadedSegment>();
  if (!LoadedSegment::load(open.path, open, *state)) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<IndexObject*>(self)->state = state.release();
  return self;
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<IndexObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* index_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  const LoadedSegment& s = state_of(self);
  return run_search(args, kwargs, s.has_payloads, [&s](const Filter* f) { return SegmentSearcher(s, f); });
}

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  const LoadedSegment& s = state_of(self);
  return run_search_batch(args, kwargs, s.has_payloads, [&s](const Filter* f) { return SegmentSearcher(s, f); });
}

// payloads(ids): a dict (or None) per id, in order; KeyError for an id that
// is not a live point.
PyObject* index_payloads(PyObject* self, PyObject* ids_obj) {
  const LoadedSegment& s = state_of(self);
  return payload_list(ids_obj, s.has_payloads, "Index",
                      [&s](uint64_t id) { return s.holds(id) ? &s : nullptr; });
}

PyObject* index_dim(PyObject* self, PyObject*) { return PyLong_FromSize_t(state_of(self).index->dim()); }

PyObject* index_metric(PyObject* self, PyObject*) {
  return PyUnicode_FromString(dovadure::segment::metric_keyword(state_of(self).index->metric()));
}

Py_ssize_t index_len(PyObject* self) {
  return static_cast<Py_ssize_t>(state_of(self).index->len());
}

// Bytes the payload side holds: the filter index and the live bitmap (the
// payload map itself is not counted: its size depends on the allocator).
PyObject* index_filter_bytes(PyObject* self, PyObject*) {
  const LoadedSegment& s = state_of(self);
  return PyLong_FromSize_t(s.filters.memory_bytes() + s.live.size() * sizeof(uint64_t));
}

PyDoc_STRVAR(index_doc,
             "Index(path, quantize=False, *, payloads=True, mapped=False)\n--\n\n"
             "An immutable searchable copy of a segment: dovadure.Index with payloads and filters.\n\n"
             "With `payloads` (the default) the segment's payloads are kept, indexed for filters,\n"
             "and returned by `payloads(ids)`; without them it takes what dovadure.Index takes.\n\n"
             "With `mapped` the snapshot file is mapped instead of read: the vectors stay in the\n"
             "page cache, shared by every process that maps the file, and loading copies nothing.\n"
             "The file must then not be truncated or rewritten in place while the index lives (a\n"
             "truncation kills the process with SIGBUS); replacing it by rename, as every writer\n"
             "here does, is safe.");
PyDoc_STRVAR(search_doc,
             "search($self, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, "
             "filter=None, rerank=None)\n--\n\n"
             "Search one query; with `filter`, only matching points are returned.\n\n"
             "Returns `(ids uint64[<=k], scores float32[<=k])`, best first; fewer than k\n"
             "only when fewer than k live points match.\n\n"
             "With `sq8_screen` on an index loaded with `quantize=True`, `rerank=r` (r >= 1)\n"
             "walks layer 0 on the 8-bit codes with a pool of r * ef and re-scores the pool\n"
             "exactly; `rerank=0` turns that walk off. None leaves it to\n"
             "`DOROVOZU_SQ8_RERANK_FACTOR`.");
PyDoc_STRVAR(search_batch_doc,
             "search_batch($self, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, "
             "patience=2, threads=1, filter=None, rerank=None)\n--\n\n"
             "Search float32 queries of shape `[n, dim]` with one filter for all rows.\n\n"
             "Returns `(ids uint64[n, k], scores float32[n, k])`, short rows padded with\n"
             "`uint64::MAX` and `NaN`.");
PyDoc_STRVAR(payloads_doc,
             "payloads($self, ids, /)\n--\n\n"
             "The payload (a dict, or None) of each id, in order; KeyError for an id\n"
             "that is not a live point.");
PyDoc_STRVAR(dim_doc, "dim($self, /)\n--\n\nThe vector dimension.");
PyDoc_STRVAR(metric_doc, "metric($self, /)\n--\n\nThe metric: 'cosine', 'dot' or 'euclidean'.");
PyDoc_STRVAR(filter_bytes_doc, "filter_bytes($self, /)\n--\n\nBytes of the payload filter index.");

PyMethodDef index_methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_search)),
     METH_VARARGS | METH_KEYWORDS, search_doc},
    {"search_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_search_batch)),
     METH_VARARGS | METH_KEYWORDS, search_batch_doc},
    {"payloads", index_payloads, METH_O, payloads_doc},
    {"dim", index_dim, METH_NOARGS, dim_doc},
    {"metric", index_metric, METH_NOARGS, metric_doc},
    {"filter_bytes", index_filter_bytes, METH_NOARGS, filter_bytes_doc},
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

PyType_Spec index_spec = {
    "vivudu.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, index_slots,
};

}  // namespace

PyObject* create_index_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &index_spec, nullptr);
}

}  // namespace vivudu::native
