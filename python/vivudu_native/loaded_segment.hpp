// One segment as vivudu holds it for searching: the frozen graph index,
// and, when asked for, the payloads with their filter index over node
// numbers and the bitmap of live nodes. Immutable once loaded.
#pragma once

#include "numpy_api.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "payload_storage/filter.hpp"
#include "payload_storage/filter_index.hpp"
#include "searcher.hpp"
#include "segment/segment.hpp"
#include "vector/hnsw/core.hpp"

namespace vivudu::native {

// What Index and Collection are opened with.
struct OpenArgs {
  std::string path;
  bool quantize = false;
  bool payloads = true;
  // Map the snapshot files rather than read them (SnapshotReading::Map).
  bool mapped = false;
};

struct LoadedSegment {
  std::unique_ptr<dovadure::vector::hnsw::HNSWIndex> index;
  bool has_payloads = false;
  dovadure::segment::PayloadMap payloads;               // by point id
  dovadure::payload_storage::FilterIndex filters;       // over node numbers
  std::vector<uint64_t> live;                           // bit per node: not deleted

  // With the interpreter lock held (released while loading). False with an
  // exception set.
  // `path` stands for args.path (a collection opens each segment's file).
  static bool load(const std::string& path, const OpenArgs& args, LoadedSegment& out);

  // Whether `id` is a live point here.
  bool holds(uint64_t id) const;
  // The payload of a live point as a new dict (None without one).
  PyObject* payload_object(uint64_t id) const;
};

// Searches one segment; with a filter, each call evaluates it into a bitmap
// of live allowed nodes and a plan (prepare(), without the interpreter
// lock), which every search of the call then shares.
class SegmentSearcher : public dovadure::python::Searcher {
 public:
  SegmentSearcher(const LoadedSegment& segment, const dovadure::payload_storage::Filter* filter)
      : segment_(segment), filter_(filter) {}
  size_t dim() const override { return segment_.index->dim(); }
  size_t len() const override { return segment_.index->len(); }
  void prepare() override;
  dovadure::utils::Result<std::vector<dovadure::utils::ScoredPoint>> search(
      std::span<const float> query, size_t k,
      const dovadure::vector::hnsw::SearchOptions& options) const override;

 private:
  const LoadedSegment& segment_;
  const dovadure::payload_storage::Filter* filter_;
  std::vector<uint64_t> bits_;
  dovadure::vector::hnsw::LayerFilter plan_;
};

// Compiles the call's filter argument (None or absent: no filter). Needs
// payloads; false with an exception set.
bool compile_call_filter(bool has_payloads, PyObject* obj, dovadure::payload_storage::Filter& out,
                         bool& active);

// Sets KeyError(id) and returns nullptr.
PyObject* raise_unknown_id(uint64_t id);

// A sequence of ints as point ids; false with an exception set.
bool convert_id_list(PyObject* obj, std::vector<uint64_t>& out);

}  // namespace vivudu::native
