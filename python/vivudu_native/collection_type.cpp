// vivudu.Collection: every segment a collection's manifest lists, searched
// as one. Each query runs on every segment (its filter evaluated per
// segment) and the answers merge by sort key, ties by id; search_batch
// spreads its rows over the batch threads.
#include "collection_type.hpp"

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <thread>
#include <cmath>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "argument_conversion.hpp"
#include "error_conversion.hpp"
#include "index_engine.hpp"
#include "loaded_segment.hpp"
#include "search_methods.hpp"
#include "segment/manifest.hpp"
#include "segment/writer.hpp"

namespace vivudu::native {

using dovadure::payload_storage::Filter;
using dovadure::utils::ScoredPoint;

namespace {

// Points from which a single query runs its segments on several threads.
constexpr size_t kParallelSegmentPoints = 50000;

struct CollectionState {
  std::vector<std::unique_ptr<LoadedSegment>> segments;
  size_t dim = 0;
  dovadure::utils::DistanceMetric metric = dovadure::utils::DistanceMetric::Euclidean;
  bool has_payloads = false;
};

struct CollectionObject {
  PyObject_HEAD
  CollectionState* state;
};

const CollectionState& state_of(PyObject* self) {
  return *reinterpret_cast<CollectionObject*>(self)->state;
}

// Ascending key, equal keys by id, NaN keys last: the order of one index's
// answers, so that merged answers read the same.
bool result_before(const ScoredPoint& a, const ScoredPoint& b) {
  const bool a_nan = std::isnan(a.sort_key);
  const bool b_nan = std::isnan(b.sort_key);
  if (a_nan || b_nan) return a_nan == b_nan ? a.id < b.id : b_nan;
  if (a.sort_key != b.sort_key) return a.sort_key < b.sort_key;
  return a.id < b.id;
}

class CollectionSearcher : public dovadure::python::Searcher {
 public:
  CollectionSearcher(const CollectionState& state, const Filter* filter) : dim_(state.dim) {
    parts_.reserve(state.segments.size());
    for (const auto& segment : state.segments) {
      parts_.emplace_back(*segment, filter);
      len_ += segment->index->len();
    }
  }
  size_t dim() const override { return dim_; }
  size_t len() const override { return len_; }
  void prepare() override {
    for (SegmentSearcher& part : parts_) part.prepare();
  }
  // A single query may run its segments on several threads; a batch
  // spreads its rows instead.
  void spread_segments(size_t threads) { threads_ = std::max<size_t>(1, std::min(threads, parts_.size())); }

  dovadure::utils::Result<std::vector<ScoredPoint>> search(
      std::span<const float> query, size_t k,
      const dovadure::vector::hnsw::SearchOptions& options) const override {
    std::vector<std::optional<dovadure::utils::Result<std::vector<ScoredPoint>>>> found(parts_.size());
    std::atomic<size_t> next{0};
    const auto work = [&]() {
      for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < parts_.size();) {
        found[i].emplace(parts_[i].search(query, k, options));
      }
    };
    if (threads_ > 1) {
      // Exceptions (out of memory) on a helper thread would end the process;
      // they are caught there and the part reported as failed instead.
      std::vector<std::thread> helpers;
      std::atomic<bool> helper_failed{false};
      try {
        for (size_t t = 1; t < threads_; ++t) {
          helpers.emplace_back([&]() {
            try {
              work();
            } catch (...) {
              helper_failed.store(true);
            }
          });
        }
      } catch (const std::system_error&) {
        // No thread to be had: the ones started and this one do the rest.
      }
      work();
      for (std::thread& h : helpers) h.join();
      if (helper_failed.load()) throw std::bad_alloc();
    } else {
      work();
    }
    std::vector<ScoredPoint> merged;
    for (auto& part : found) {
      if (!part->ok()) return part->take_error();
      merged.insert(merged.end(), part->value().begin(), part->value().end());
    }
    const size_t keep = std::min(k, merged.size());
    std::partial_sort(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(keep), merged.end(),
                      result_before);
    merged.resize(keep);
    return merged;
  }

 private:
  std::vector<SegmentSearcher> parts_;
  size_t dim_;
  size_t len_ = 0;
  size_t threads_ = 1;
};

PyObject* collection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  OpenArgs open;
  if (!parse_open_args(args, kwargs, "Collection", open)) return nullptr;
  const std::string& path = open.path;

  std::optional<dovadure::utils::Result<dovadure::segment::Manifest>> manifest;
  Py_BEGIN_ALLOW_THREADS
  manifest.emplace(dovadure::segment::read_manifest(path));
  Py_END_ALLOW_THREADS
  if (!manifest->ok()) return dovadure::python::raise_db_error(manifest->error());

  auto state = std::make_unique<CollectionState>();
  state->dim = static_cast<size_t>(manifest->value().dim);
  state->metric = manifest->value().metric;
  state->has_payloads = open.payloads;
  for (const dovadure::segment::ManifestEntry& entry : manifest->value().segments) {
    auto segment = std::make_unique<LoadedSegment>();
    if (!LoadedSegment::load(path + "/" + entry.snapshot, open, *segment)) return nullptr;
    if (segment->index->dim() != state->dim) {
      PyErr_Format(PyExc_ValueError, "segment %s has dimension %zu, the collection's is %zu",
                   entry.snapshot.c_str(), segment->index->dim(), state->dim);
      return nullptr;
    }
    state->segments.push_back(std::move(segment));
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<CollectionObject*>(self)->state = state.release();
  return self;
}

void collection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<CollectionObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* collection_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  const CollectionState& s = state_of(self);
  return run_search(args, kwargs, s.has_payloads, [&s](const Filter* f) {
    CollectionSearcher searcher(s, f);
    // Threads pay off once the segments are big enough to outlast starting them.
    if (searcher.len() >= kParallelSegmentPoints) searcher.spread_segments(std::thread::hardware_concurrency());
    return searcher;
  });
}

PyObject* collection_search_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  const CollectionState& s = state_of(self);
  return run_search_batch(args, kwargs, s.has_payloads, [&s](const Filter* f) { return CollectionSearcher(s, f); });
}

PyObject* collection_payloads(PyObject* self, PyObject* ids_obj) {
  const CollectionState& s = state_of(self);
  return payload_list(ids_obj, s.has_payloads, "Collection", [&s](uint64_t id) -> const LoadedSegment* {
    for (const auto& segment : s.segments) {
      if (segment->holds(id)) return segment.get();
    }
    return nullptr;
  });
}

PyObject* collection_dim(PyObject* self, PyObject*) { return PyLong_FromSize_t(state_of(self).dim); }

PyObject* collection_metric(PyObject* self, PyObject*) {
  return PyUnicode_FromString(dovadure::segment::metric_keyword(state_of(self).metric));
}

PyObject* collection_segments(PyObject* self, PyObject*) {
  return PyLong_FromSize_t(state_of(self).segments.size());
}

// Live points over all segments.
Py_ssize_t collection_len(PyObject* self) {
  size_t live = 0;
  for (const auto& segment : state_of(self).segments) {
    const auto& index = *segment->index;
    live += index.len() - std::min(index.len(), index.deleted_count());
  }
  return static_cast<Py_ssize_t>(live);
}

PyDoc_STRVAR(collection_doc,
             "Collection(path, quantize=False, *, payloads=True, mapped=False)\n--\n\n"
             "Every segment of the collection directory `path` (as its manifest lists them),\n"
             "searched as one index. Answers merge by score, ties by id. `mapped` as for\n"
             "`Index`: each segment's snapshot file is mapped instead of read.");
PyDoc_STRVAR(search_doc,
             "search($self, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, "
             "filter=None, rerank=None)\n--\n\n"
             "Search one query in every segment; the best k overall, best first.\n\n"
             "`rerank` as for `Index.search`.");
PyDoc_STRVAR(search_batch_doc,
             "search_batch($self, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, "
             "patience=2, threads=1, filter=None, rerank=None)\n--\n\n"
             "Search float32 queries `[n, dim]` in every segment, rows spread over `threads`.\n"
             "Short rows are padded with `uint64::MAX` and `NaN`.");
PyDoc_STRVAR(payloads_doc,
             "payloads($self, ids, /)\n--\n\n"
             "The payload (a dict, or None) of each id, from the segment holding it.");
PyDoc_STRVAR(dim_doc, "dim($self, /)\n--\n\nThe vector dimension.");
PyDoc_STRVAR(metric_doc, "metric($self, /)\n--\n\nThe metric: 'cosine', 'dot' or 'euclidean'.");
PyDoc_STRVAR(segments_doc, "segments($self, /)\n--\n\nThe number of segments.");

PyMethodDef collection_methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(collection_search)),
     METH_VARARGS | METH_KEYWORDS, search_doc},
    {"search_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(collection_search_batch)),
     METH_VARARGS | METH_KEYWORDS, search_batch_doc},
    {"payloads", collection_payloads, METH_O, payloads_doc},
    {"dim", collection_dim, METH_NOARGS, dim_doc},
    {"metric", collection_metric, METH_NOARGS, metric_doc},
    {"segments", collection_segments, METH_NOARGS, segments_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot collection_slots[] = {
    {Py_tp_doc, const_cast<char*>(collection_doc)},
    {Py_tp_new, reinterpret_cast<void*>(collection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(collection_dealloc)},
    {Py_tp_methods, collection_methods},
    {Py_sq_length, reinterpret_cast<void*>(collection_len)},
    {0, nullptr},
};

PyType_Spec collection_spec = {
    "vivudu.Collection", sizeof(CollectionObject), 0, Py_TPFLAGS_DEFAULT, collection_slots,
};

}  // namespace

PyObject* create_collection_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &collection_spec, nullptr);
}

}  // namespace vivudu::native
