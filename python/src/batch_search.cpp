#include "batch_search.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <exception>
#include <mutex>
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

// Threads kept between batches. Starting a thread costs tens of
// microseconds, and a fresh thread also starts with empty search scratch
// (visited marks sized to the index, heaps, row buffer) that it must
// allocate and fault in: for a batch of a few rows that was more than the
// searches themselves. Pool threads keep theirs.
//
// One batch uses the pool at a time; a batch that finds it busy starts its
// own threads as before. Workers sleep on a condition variable between
// batches and are never joined: the pool lives until the process ends.
class WorkerPool {
 public:
  struct Job {
    const BatchRequest* req = nullptr;
    RowBlock block{};
    BatchFailure* outcome = nullptr;
  };

  // The pool of this process. A child made by fork() has none of its
  // parent's threads and may have copied the pool's locks in any state, so
  // it gets a fresh pool; the copied one is left alone.
  static WorkerPool& instance() {
    static std::mutex instance_mutex;
    static WorkerPool* pool = nullptr;
    static pid_t owner = 0;
    std::lock_guard<std::mutex> guard(instance_mutex);
    if (pool == nullptr || owner != ::getpid()) {
      pool = new WorkerPool();
      owner = ::getpid();
    }
    return *pool;
  }

  std::unique_lock<std::mutex> try_use() { return std::unique_lock<std::mutex>(use_mutex_, std::try_to_lock); }

  // Starts workers until there are `count`; returns how many there are
  // (fewer when the system refuses a thread). Caller holds the use lock.
  size_t grow_to(size_t count) noexcept {
    uint64_t generation;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      generation = generation_;
    }
    while (threads_started_ < count) {
      try {
        std::thread(&WorkerPool::worker_loop, this, threads_started_, generation).detach();
      } catch (...) {
        break;
      }
      ++threads_started_;
    }
    return threads_started_;
  }

  // Hands jobs[i] to worker i, runs `own` on the calling thread, and
  // returns when every job has ended. Caller holds the use lock and has
  // grown the pool to jobs.size() workers.
  void run(const std::vector<Job>& jobs, const Job& own) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      jobs_ = &jobs;
      pending_ = jobs.size();
      ++generation_;
    }
    start_cv_.notify_all();
    worker_main(*own.req, own.block, *own.outcome);
    std::unique_lock<std::mutex> lock(mutex_);
    done_cv_.wait(lock, [this] { return pending_ == 0; });
    jobs_ = nullptr;
  }

 private:
  WorkerPool() = default;

  // `seen`: the generation when the thread was started. The batch that
  // started it bumps the generation only later, perhaps before this thread
  // first runs, so reading it here could miss that batch.
  void worker_loop(size_t index, uint64_t seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      start_cv_.wait(lock, [&] { return generation_ != seen; });
      seen = generation_;
      if (jobs_ == nullptr || index >= jobs_->size()) continue;
      const Job job = (*jobs_)[index];
      lock.unlock();
      worker_main(*job.req, job.block, *job.outcome);
      lock.lock();
      if (--pending_ == 0) done_cv_.notify_one();
    }
  }

  std::mutex use_mutex_;
  size_t threads_started_ = 0;  // under use_mutex_

  std::mutex mutex_;
  std::condition_variable start_cv_;
  std::condition_variable done_cv_;
  uint64_t generation_ = 0;
  const std::vector<Job>* jobs_ = nullptr;
  size_t pending_ = 0;
};

// One thread per block, started for this batch and joined at its end. A
// block whose thread cannot be started runs here instead, after the others
// are under way: the result is the same, only slower.
void spawn_and_join(const BatchRequest& req, std::vector<BatchFailure>& outcomes) {
  std::vector<std::thread> threads;
  std::vector<size_t> inline_blocks;
  threads.reserve(req.workers);
  inline_blocks.reserve(req.workers);
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
}

// Runs the batch on the pool: block 0 on the calling thread, block j on
// pool worker j - 1; blocks whose worker could not be started run on the
// caller afterwards. Returns false, having run nothing, when the pool is
// busy with another batch.
bool run_on_pool(const BatchRequest& req, std::vector<BatchFailure>& outcomes) {
  WorkerPool& pool = WorkerPool::instance();
  std::unique_lock<std::mutex> use = pool.try_use();
  if (!use.owns_lock()) return false;
  const size_t available = pool.grow_to(req.workers - 1);
  std::vector<WorkerPool::Job> jobs;
  jobs.reserve(std::min(available, req.workers - 1));
  for (size_t j = 1; j < req.workers && j - 1 < available; ++j) {
    jobs.push_back({&req, batch_row_block(j, req.rows, req.workers), &outcomes[j]});
  }
  pool.run(jobs, {&req, batch_row_block(0, req.rows, req.workers), &outcomes[0]});
  for (size_t j = jobs.size() + 1; j < req.workers; ++j) {
    const RowBlock block = batch_row_block(j, req.rows, req.workers);
    outcomes[j] = run_rows_on_caller(req, block.begin, block.end);
  }
  return true;
}

}  // namespace

BatchFailure run_batch_search(const BatchRequest& req) noexcept {
  if (req.workers <= 1) return run_rows_on_caller(req, 0, req.rows);

  std::vector<BatchFailure> outcomes;
  try {
    outcomes.resize(req.workers);
    if (!run_on_pool(req, outcomes)) spawn_and_join(req, outcomes);
  } catch (const std::bad_alloc&) {
    return BatchFailure{BatchFailureKind::OutOfMemory, {}};
  } catch (const std::exception& e) {
    return BatchFailure{BatchFailureKind::Internal, e.what()};
  }
  // Blocks are reported in worker order, whatever order they ended in.
  for (BatchFailure& outcome : outcomes) {
    if (!outcome.ok()) return std::move(outcome);
  }
  return {};
}

}  // namespace dovadure::python
