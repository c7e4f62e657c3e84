// vivudu.Index: dovadure.Index's loading and searches (the same code), plus
// the segment's payloads, an index of them over node numbers, and filtered
// search. Immutable after construction, so every method runs without a lock.
#include "index_type.hpp"

#include <bit>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "argument_conversion.hpp"
#include "error_conversion.hpp"
#include "filter_conversion.hpp"
#include "index_engine.hpp"
#include "payload_storage/filter_index.hpp"
#include "vector/hnsw/filter_plan.hpp"

namespace vivudu::native {

using dovadure::payload_storage::Filter;
using dovadure::payload_storage::FilterIndex;
using dovadure::python::FilterStep;
using dovadure::utils::Payload;
using dovadure::utils::PayloadKind;
using dovadure::utils::PayloadValue;
using dovadure::vector::hnsw::HNSWIndex;
using dovadure::vector::hnsw::LayerFilter;
using dovadure::vector::hnsw::NodeIdx;

namespace {

struct IndexState {
  std::unique_ptr<HNSWIndex> index;
  bool has_payloads = false;
  dovadure::segment::PayloadMap payloads;  // by point id
  FilterIndex filters;                     // over node numbers
  std::vector<uint64_t> live;              // bit per node: not deleted
};

struct IndexObject {
  PyObject_HEAD
  IndexState* state;
};

IndexState& state_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->state; }

void build_payload_side(IndexState& s) {
  const HNSWIndex& index = *s.index;
  const size_t n = index.len();
  s.live.assign((n + 63) / 64, 0);
  for (size_t i = 0; i < n; ++i) {
    if (!index.is_deleted(static_cast<NodeIdx>(i))) s.live[i >> 6] |= uint64_t{1} << (i & 63);
  }
  s.filters = FilterIndex::build(n, [&](uint32_t node) -> const Payload* {
    auto it = s.payloads.find(index.point_id(node));
    return it == s.payloads.end() ? nullptr : &it->second;
  });
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "quantize", "payloads", nullptr};
  PyObject* path_obj = nullptr;
  PyObject* quantize_obj = Py_False;
  PyObject* payloads_obj = Py_True;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$O:Index", const_cast<char**>(keywords),
                                   &path_obj, &quantize_obj, &payloads_obj)) {
    return nullptr;
  }
  std::string path;
  bool quantize = false;
  bool payloads = true;
  // Any os.PathLike, like the write side.
  PyObject* fs_path = PyOS_FSPath(path_obj);
  if (fs_path == nullptr) return nullptr;
  const bool path_ok = dovadure::python::convert_path(fs_path, "Index", "path", &path);
  Py_DECREF(fs_path);
  if (!path_ok) return nullptr;
  if (!dovadure::python::convert_bool(quantize_obj, "Index", "quantize", &quantize)) return nullptr;
  if (!dovadure::python::convert_bool(payloads_obj, "Index", "payloads", &payloads)) return nullptr;

  auto state = std::make_unique<IndexState>();
  dovadure::python::LoadedIndex loaded;
  if (!dovadure::python::load_index(path, quantize, payloads, loaded)) return nullptr;
  state->index = std::move(loaded.index);
  state->payloads = std::move(loaded.payloads);
  state->has_payloads = payloads;
  if (payloads) {
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
      build_payload_side(*state);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) return PyErr_NoMemory();
  }
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

// The filter of one call: compiled from the Python value with the
// interpreter lock, evaluated into a bitmap of live allowed nodes and
// planned without it (by the search, through step()).
class CallFilter {
 public:
  // False with an exception set for a bad filter.
  bool compile(const IndexState& s, PyObject* obj) {
    state_ = &s;
    if (obj == nullptr || obj == Py_None) return true;
    if (!s.has_payloads) {
      PyErr_SetString(PyExc_ValueError, "filter needs the payloads; open the Index with payloads=True");
      return false;
    }
    if (!convert_filter(obj, filter_)) return false;
    active_ = true;
    step_ = [this]() -> const LayerFilter* { return evaluate(); };
    return true;
  }
  const FilterStep* step() const { return active_ ? &step_ : nullptr; }

 private:
  const LayerFilter* evaluate() {
    state_->filters.evaluate(filter_, bits_);
    size_t count = 0;
    const std::vector<uint64_t>& live = state_->live;
    for (size_t w = 0; w < bits_.size(); ++w) {
      bits_[w] &= w < live.size() ? live[w] : 0;
      count += static_cast<size_t>(std::popcount(bits_[w]));
    }
    plan_ = dovadure::vector::hnsw::plan_filter(*state_->index, bits_.data(), state_->filters.size(), count);
    return &plan_;
  }

  const IndexState* state_ = nullptr;
  Filter filter_;
  bool active_ = false;
  std::vector<uint64_t> bits_;
  LayerFilter plan_;
  FilterStep step_;
};

PyObject* index_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"query", "k", "ef", "sq8_screen", "scan_cap", "patience", "filter",
                                   nullptr};
  PyObject* query = nullptr;
  PyObject* k = nullptr;
  PyObject* ef = nullptr;
  PyObject* sq8 = nullptr;
  PyObject* scan_cap = nullptr;
  PyObject* patience = nullptr;
  PyObject* filter = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOO:search", const_cast<char**>(keywords), &query,
                                   &k, &ef, &sq8, &scan_cap, &patience, &filter)) {
    return nullptr;
  }
  const IndexState& s = state_of(self);
  CallFilter call;
  if (!call.compile(s, filter)) return nullptr;
  return dovadure::python::search_one(*s.index, query, k, ef, sq8, scan_cap, patience, call.step());
}

PyObject* index_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"queries",  "k",       "ef",     "sq8_screen", "scan_cap",
                                   "patience", "threads", "filter", nullptr};
  PyObject* queries = nullptr;
  PyObject* k = nullptr;
  PyObject* ef = nullptr;
  PyObject* sq8 = nullptr;
  PyObject* scan_cap = nullptr;
  PyObject* patience = nullptr;
  PyObject* threads = nullptr;
  PyObject* filter = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOOO:search_batch", const_cast<char**>(keywords),
                                   &queries, &k, &ef, &sq8, &scan_cap, &patience, &threads, &filter)) {
    return nullptr;
  }
  const IndexState& s = state_of(self);
  CallFilter call;
  if (!call.compile(s, filter)) return nullptr;
  return dovadure::python::search_rows(*s.index, queries, k, ef, sq8, scan_cap, patience, threads,
                                       call.step());
}

PyObject* value_object(const PayloadValue& v) {
  const auto list = [](const auto& items, auto&& one) -> PyObject* {
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (out == nullptr) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
      PyObject* item = one(items[i]);
      if (item == nullptr) {
        Py_DECREF(out);
        return nullptr;
      }
      PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
    }
    return out;
  };
  const auto str = [](const std::string& t) {
    return PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "surrogateescape");
  };
  switch (v.kind()) {
    case PayloadKind::Int: return PyLong_FromLongLong(v.as_int());
    case PayloadKind::Float: return PyFloat_FromDouble(v.as_float());
    case PayloadKind::Str: return str(v.as_str());
    case PayloadKind::Bool: return PyBool_FromLong(v.as_bool());
    case PayloadKind::ListInt: return list(v.as_list_int(), [](int64_t x) { return PyLong_FromLongLong(x); });
    case PayloadKind::ListFloat: return list(v.as_list_float(), [](double x) { return PyFloat_FromDouble(x); });
    case PayloadKind::ListStr: return list(v.as_list_str(), str);
    case PayloadKind::ListBool: return list(v.as_list_bool(), [](bool x) { return PyBool_FromLong(x); });
  }
  Py_RETURN_NONE;
}

PyObject* payload_object(const Payload& payload) {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const auto& [name, value] : payload.fields) {
    PyObject* v = value_object(value);
    if (v == nullptr) {
      Py_DECREF(dict);
      return nullptr;
    }
    PyObject* key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
    const int rc = key == nullptr ? -1 : PyDict_SetItem(dict, key, v);
    Py_XDECREF(key);
    Py_DECREF(v);
    if (rc != 0) {
      Py_DECREF(dict);
      return nullptr;
    }
  }
  return dict;
}

// payloads(ids): a dict (or None) per id, in order; KeyError for an id that
// is not a live point.
PyObject* index_payloads(PyObject* self, PyObject* ids_obj) {
  const IndexState& s = state_of(self);
  if (!s.has_payloads) {
    PyErr_SetString(PyExc_ValueError, "payloads were not loaded; open the Index with payloads=True");
    return nullptr;
  }
  std::vector<uint64_t> ids;
  PyObject* seq = PySequence_Fast(ids_obj, "ids must be a sequence of ints");
  if (seq == nullptr) return nullptr;
  ids.resize(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq)));
  for (size_t i = 0; i < ids.size(); ++i) {
    ids[i] = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(i)));
    if (ids[i] == static_cast<uint64_t>(-1) && PyErr_Occurred()) {
      Py_DECREF(seq);
      PyErr_Format(PyExc_TypeError, "ids[%zu] must be an int from 0 to 2**64-1", i);
      return nullptr;
    }
  }
  Py_DECREF(seq);
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    const auto node = s.index->idx_of(ids[i]);
    if (!node || s.index->is_deleted(*node)) {
      Py_DECREF(out);
      PyObject* key = PyLong_FromUnsignedLongLong(ids[i]);
      if (key != nullptr) {
        PyErr_SetObject(PyExc_KeyError, key);
        Py_DECREF(key);
      }
      return nullptr;
    }
    auto it = s.payloads.find(ids[i]);
    PyObject* item = nullptr;
    if (it == s.payloads.end() || it->second.fields.empty()) {
      Py_INCREF(Py_None);
      item = Py_None;
    } else {
      item = payload_object(it->second);
    }
    if (item == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

PyObject* index_dim(PyObject* self, PyObject*) { return PyLong_FromSize_t(state_of(self).index->dim()); }

Py_ssize_t index_len(PyObject* self) {
  return static_cast<Py_ssize_t>(state_of(self).index->len());
}

// Bytes the payload side holds: the filter index and the live bitmap (the
// payload map itself is not counted: its size depends on the allocator).
PyObject* index_filter_bytes(PyObject* self, PyObject*) {
  const IndexState& s = state_of(self);
  return PyLong_FromSize_t(s.filters.memory_bytes() + s.live.size() * sizeof(uint64_t));
}

PyDoc_STRVAR(index_doc,
             "Index(path, quantize=False, *, payloads=True)\n--\n\n"
             "An immutable searchable copy of a segment: dovadure.Index with payloads and filters.\n\n"
             "With `payloads` (the default) the segment's payloads are kept, indexed for filters,\n"
             "and returned by `payloads(ids)`; without them it takes what dovadure.Index takes.");
PyDoc_STRVAR(search_doc,
             "search($self, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, "
             "filter=None)\n--\n\n"
             "Search one query; with `filter`, only matching points are returned.\n\n"
             "Returns `(ids uint64[<=k], scores float32[<=k])`, best first; fewer than k\n"
             "only when fewer than k live points match.");
PyDoc_STRVAR(search_batch_doc,
             "search_batch($self, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, "
             "patience=2, threads=1, filter=None)\n--\n\n"
             "Search float32 queries of shape `[n, dim]` with one filter for all rows.\n\n"
             "Returns `(ids uint64[n, k], scores float32[n, k])`, short rows padded with\n"
             "`uint64::MAX` and `NaN`.");
PyDoc_STRVAR(payloads_doc,
             "payloads($self, ids, /)\n--\n\n"
             "The payload (a dict, or None) of each id, in order; KeyError for an id\n"
             "that is not a live point.");
PyDoc_STRVAR(dim_doc, "dim($self, /)\n--\n\nThe vector dimension.");
PyDoc_STRVAR(filter_bytes_doc, "filter_bytes($self, /)\n--\n\nBytes of the payload filter index.");

PyMethodDef index_methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_search)),
     METH_VARARGS | METH_KEYWORDS, search_doc},
    {"search_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_search_batch)),
     METH_VARARGS | METH_KEYWORDS, search_batch_doc},
    {"payloads", index_payloads, METH_O, payloads_doc},
    {"dim", index_dim, METH_NOARGS, dim_doc},
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
