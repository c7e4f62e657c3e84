// The part of a batch search that runs without the interpreter lock: the row
// loop and the worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "searcher.hpp"
#include "vector/hnsw/search_options.hpp"

namespace dovadure::python {

struct BatchRequest {
  const Searcher* searcher = nullptr;
  const float* queries = nullptr;  // rows * dim values, row-major, owned by the caller
  size_t rows = 0;
  size_t dim = 0;
  size_t k = 0;         // columns of the output: the caller's k
  size_t k_search = 0;  // k clamped to the point count
  const vector::hnsw::SearchOptions* options = nullptr;
  size_t workers = 1;
  // rows * k cells each; row i occupies [i * k, (i + 1) * k).
  uint64_t* ids = nullptr;
  float* scores = nullptr;
};

enum class BatchFailureKind : uint8_t {
  None,
  SearchError,     // a DBError; text is its display text
  WorkerPanicked,  // a worker ended by an escaping exception
  OutOfMemory,     // allocation failed on the calling thread
  Internal,        // any other exception on the calling thread; text is its what()
};

struct BatchFailure {
  BatchFailureKind kind = BatchFailureKind::None;
  std::string text;
  bool ok() const { return kind == BatchFailureKind::None; }
};

// Text of a worker that ended abnormally.
inline constexpr const char* kWorkerPanickedText = "Vivudu batch worker panicked";

// Runs every row and writes the output cells, padding short rows. With more
// than one worker the calling thread and long-lived pool threads (fresh
// threads when another batch holds the pool) take rows one at a time, in
// order. Every thread has finished when this returns. A failure reported is
// the one of the lowest failing row. On failure the output cells are
// unspecified and must be discarded. Never throws.
BatchFailure run_batch_search(const BatchRequest& request) noexcept;

}  // namespace dovadure::python
