#include "loaded_segment.hpp"

#include <bit>
#include <new>

#include "argument_conversion.hpp"
#include "filter_conversion.hpp"
#include "search_methods.hpp"
#include "index_engine.hpp"
#include "vector/hnsw/filter_plan.hpp"

namespace vivudu::native {

using dovadure::payload_storage::Filter;
using dovadure::payload_storage::FilterIndex;
using dovadure::utils::Payload;
using dovadure::utils::PayloadKind;
using dovadure::utils::PayloadValue;
using dovadure::vector::hnsw::HNSWIndex;
using dovadure::vector::hnsw::NodeIdx;

namespace {

void build_payload_side(LoadedSegment& s) {
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

PyObject* dict_of(const Payload& payload) {
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

}  // namespace

bool LoadedSegment::load(const std::string& path, const OpenArgs& args, LoadedSegment& out) {
  const bool payloads = args.payloads;
  const auto reading =
      args.mapped ? dovadure::segment::SnapshotReading::Map : dovadure::segment::SnapshotReading::Copy;
  dovadure::python::LoadedIndex loaded;
  if (!dovadure::python::load_index(path, args.quantize, payloads, reading, loaded)) return false;
  out.index = std::move(loaded.index);
  out.payloads = std::move(loaded.payloads);
  out.has_payloads = payloads;
  if (!payloads) return true;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    build_payload_side(out);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

bool LoadedSegment::holds(uint64_t id) const {
  const auto node = index->idx_of(id);
  return node && !index->is_deleted(*node);
}

PyObject* LoadedSegment::payload_object(uint64_t id) const {
  auto it = payloads.find(id);
  if (it == payloads.end() || it->second.fields.empty()) Py_RETURN_NONE;
  return dict_of(it->second);
}

void SegmentSearcher::prepare() {
  if (filter_ == nullptr) return;
  segment_.filters.evaluate(*filter_, bits_);
  size_t count = 0;
  const std::vector<uint64_t>& live = segment_.live;
  for (size_t w = 0; w < bits_.size(); ++w) {
    bits_[w] &= w < live.size() ? live[w] : 0;
    count += static_cast<size_t>(std::popcount(bits_[w]));
  }
  plan_ = dovadure::vector::hnsw::plan_filter(*segment_.index, bits_.data(), segment_.filters.size(), count);
}

dovadure::utils::Result<std::vector<dovadure::utils::ScoredPoint>> SegmentSearcher::search(
    std::span<const float> query, size_t k, const dovadure::vector::hnsw::SearchOptions& options) const {
  if (filter_ == nullptr) return segment_.index->search_with_options(query, k, options);
  if (plan_.allowed_count == 0) return std::vector<dovadure::utils::ScoredPoint>{};
  dovadure::vector::hnsw::SearchOptions filtered = options;
  filtered.filter = &plan_;
  return segment_.index->search_with_options(query, k, filtered);
}

bool compile_call_filter(bool has_payloads, PyObject* obj, Filter& out, bool& active) {
  active = false;
  if (obj == nullptr || obj == Py_None) return true;
  if (!has_payloads) {
    PyErr_SetString(PyExc_ValueError, "filter needs the payloads; open the Index with payloads=True");
    return false;
  }
  if (!convert_filter(obj, out)) return false;
  active = true;
  return true;
}

bool parse_open_args(PyObject* args, PyObject* kwargs, const char* type_name, OpenArgs& out) {
  static const char* keywords[] = {"path", "quantize", "payloads", "mapped", nullptr};
  PyObject* path_obj = nullptr;
  PyObject* quantize_obj = Py_False;
  PyObject* payloads_obj = Py_True;
  PyObject* mapped_obj = Py_False;
  const std::string format = std::string("O|O$OO:") + type_name;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(keywords), &path_obj,
                                   &quantize_obj, &payloads_obj, &mapped_obj)) {
    return false;
  }
  // Any os.PathLike, like the write side.
  PyObject* fs_path = PyOS_FSPath(path_obj);
  if (fs_path == nullptr) return false;
  const bool path_ok = dovadure::python::convert_path(fs_path, type_name, "path", &out.path);
  Py_DECREF(fs_path);
  return path_ok && dovadure::python::convert_bool(quantize_obj, type_name, "quantize", &out.quantize) &&
         dovadure::python::convert_bool(payloads_obj, type_name, "payloads", &out.payloads) &&
         dovadure::python::convert_bool(mapped_obj, type_name, "mapped", &out.mapped);
}

PyObject* raise_unknown_id(uint64_t id) {
  PyObject* key = PyLong_FromUnsignedLongLong(id);
  if (key != nullptr) {
    PyErr_SetObject(PyExc_KeyError, key);
    Py_DECREF(key);
  }
  return nullptr;
}

bool convert_id_list(PyObject* obj, std::vector<uint64_t>& out) {
  PyObject* seq = PySequence_Fast(obj, "ids must be a sequence of ints");
  if (seq == nullptr) return false;
  out.resize(static_cast<size_t>(PySequence_Fast_GET_SIZE(seq)));
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(i)));
    if (out[i] == static_cast<uint64_t>(-1) && PyErr_Occurred()) {
      Py_DECREF(seq);
      PyErr_Format(PyExc_TypeError, "ids[%zu] must be an int from 0 to 2**64-1", i);
      return false;
    }
  }
  Py_DECREF(seq);
  return true;
}

}  // namespace vivudu::native
