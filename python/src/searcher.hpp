// What a search call runs on: one graph index, or several whose answers
// are merged. Calls arrive without the interpreter lock, from any number of
// threads at once; prepare() runs once per call, before the first search.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "utils/errors.hpp"
#include "utils/types.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/search_options.hpp"

namespace dovadure::python {

class Searcher {
 public:
  virtual ~Searcher() = default;
  virtual size_t dim() const = 0;
  // Nodes searched over (deleted ones included): bounds k and ef.
  virtual size_t len() const = 0;
  virtual void prepare() {}
  virtual utils::Result<std::vector<utils::ScoredPoint>> search(
      std::span<const float> query, size_t k, const vector::hnsw::SearchOptions& options) const = 0;
};

// One index, searched as it is; `filter` (may be null) restricts every
// search of the call once prepared.
class IndexSearcher : public Searcher {
 public:
  explicit IndexSearcher(const vector::hnsw::HNSWIndex& index) : index_(index) {}
  size_t dim() const override { return index_.dim(); }
  size_t len() const override { return index_.len(); }
  utils::Result<std::vector<utils::ScoredPoint>> search(
      std::span<const float> query, size_t k, const vector::hnsw::SearchOptions& options) const override {
    return index_.search_with_options(query, k, options);
  }

 private:
  const vector::hnsw::HNSWIndex& index_;
};

}  // namespace dovadure::python
