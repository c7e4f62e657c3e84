#include "batch_search.hpp"

#include <algorithm>
#include <bit>
#include <exception>
#include <new>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "batch_plan.hpp"

namespace dovadure::python {
namespace {

// Each thread keeps one row buffer for its whole life, so a long-lived
// calling thread pays for it once.
thread_local std::vector<float> t_row_buffer;

// Searches rows [begin, end) and fills their cells. Exceptions propagate.
BatchFailure run_rows(const BatchRequest& req, size_t begin, size_t end) {
  const float padding_score = std::bit_cast<float>(kPaddingScoreBits);
  for (size_t row = begin; row < end; ++row) {
    const float* src = req.queries + row * req.dim;
    t_row_buffer.assign(src, src + req.dim);
    auto found = req.index->search_with_options(std::span<const float>(t_row_buffer), req.k_search,
                                                *req.options);
    if (!found.ok()) return BatchFailure{BatchFailureKind::SearchError, found.error().to_string()};
    const auto& points = found.value();
    const size_t r = std::min(req.k, points.size());
    uint64_t* ids = req.ids + row * req.k;
    float* scores = req.scores + row * req.k;
    for (size_t i = 0; i < r; ++i) {
      ids[i] = points[i].id;
      scores[i] = points[i].score;
    }
    std::fill(ids + r, ids + req.k, kPaddingId);
    std::fill(scores + r, scores + req.k, padding_score);
  }
  return {};
}

BatchFailure run_rows_on_caller(const BatchRequest& req, size_t begin, size_t end) noexcept {
  try {
    return run_rows(req, begin, end);
  } catch (const std::bad_alloc&) {
    return BatchFailure{BatchFailureKind::OutOfMemory, {}};
  } catch (const std::exception& e) {
    return BatchFailure{BatchFailureKind::Internal, e.what()};
  } catch (...) {
    return BatchFailure{BatchFailureKind::Internal, "unknown exception in batch search"};
  }
}

void worker_main(const BatchRequest& req, RowBlock block, BatchFailure& outcome) noexcept {
  try {
    outcome = run_rows(req, block.begin, block.end);
  } catch (...) {
    outcome = BatchFailure{BatchFailureKind::WorkerPanicked, kWorkerPanickedText};
  }
}

}  // namespace

BatchFailure run_batch_search(const BatchRequest& req) noexcept {
  if (req.workers <= 1) return run_rows_on_caller(req, 0, req.rows);

  // A block whose thread cannot be started runs here instead, after the
  // others are under way: the result is the same, only slower.
  std::vector<BatchFailure> outcomes;
  std::vector<std::thread> threads;
  std::vector<size_t> inline_blocks;
  try {
    outcomes.resize(req.workers);
    threads.reserve(req.workers);
    inline_blocks.reserve(req.workers);
  } catch (const std::bad_alloc&) {
    return BatchFailure{BatchFailureKind::OutOfMemory, {}};
  }
  for (size_t j = 0; j < req.workers; ++j) {
    const RowBlock block = batch_row_block(j, req.rows, req.workers);
    try {
      threads.emplace_back(worker_main, std::cref(req), block, std::ref(outcomes[j]));
    } catch (...) {
      threads.emplace_back();  // keeps threads[j] aligned with block j
      inline_blocks.push_back(j);
    }
  }
  for (size_t j : inline_blocks) {
    const RowBlock block = batch_row_block(j, req.rows, req.workers);
    outcomes[j] = run_rows_on_caller(req, block.begin, block.end);
  }
  for (std::thread& t : threads) {
    if (t.joinable()) t.join();
  }
  // Blocks are reported in worker order, whatever order they ended in.
  for (BatchFailure& outcome : outcomes) {
    if (!outcome.ok()) return std::move(outcome);
  }
  return {};
}

}  // namespace dovadure::python
