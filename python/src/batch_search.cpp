#include "batch_search.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
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

// Searches one row and fills its cells. Exceptions propagate.
BatchFailure search_row(const BatchRequest& req, size_t row) {
  const float padding_score = std::bit_cast<float>(kPaddingScoreBits);
  const float* src = req.queries + row * req.dim;
  t_row_buffer.assign(src, src + req.dim);
  auto found = req.searcher->search(std::span<const float>(t_row_buffer), req.k_search, *req.options);
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
  return {};
}

// What one thread met: its failure, and the row it failed on.
struct Outcome {
  BatchFailure failure;
  size_t row = RowQueue::kNone;
};

// Searches rows from the queue until none is left; stops at this thread's
// first failure. On the calling thread an exception is reported for what it
// is, on a worker as a worker that ended abnormally.
void run_rows(const BatchRequest& req, RowQueue& queue, Outcome& out, bool on_caller) noexcept {
  size_t row = RowQueue::kNone;
  const auto failed = [&](BatchFailure failure) {
    out = Outcome{std::move(failure), row};
    queue.fail(row);
  };
  try {
    while ((row = queue.claim()) != RowQueue::kNone) {
      BatchFailure failure = search_row(req, row);
      if (!failure.ok()) return failed(std::move(failure));
    }
  } catch (const std::bad_alloc&) {
    failed(on_caller ? BatchFailure{BatchFailureKind::OutOfMemory, {}}
                     : BatchFailure{BatchFailureKind::WorkerPanicked, kWorkerPanickedText});
  } catch (const std::exception& e) {
    failed(on_caller ? BatchFailure{BatchFailureKind::Internal, e.what()}
                     : BatchFailure{BatchFailureKind::WorkerPanicked, kWorkerPanickedText});
  } catch (...) {
    failed(on_caller ? BatchFailure{BatchFailureKind::Internal, "unknown exception in batch search"}
                     : BatchFailure{BatchFailureKind::WorkerPanicked, kWorkerPanickedText});
  }
}

// Waits, spinning, up to about `budget` for done() to hold; false when it
// did not. A sleeping thread takes tens of microseconds to wake (more in a
// virtual machine), as much as searching a row at a small ef.
template <class Done>
bool spin_until(Done done, std::chrono::microseconds budget) {
  const auto until = std::chrono::steady_clock::now() + budget;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    if (std::chrono::steady_clock::now() >= until) return done();
  }
}

// How long a worker that finished a batch stays awake for the next one, and
// how long a caller with no rows left waits awake for the workers: a caller
// looping over small batches comes back within microseconds.
constexpr std::chrono::microseconds kWorkerSpin{200};
constexpr std::chrono::microseconds kCallerSpin{200};

// Threads kept between batches. Starting a thread costs tens of
// microseconds, and a fresh thread also starts with empty search scratch
// (visited marks sized to the index, heaps, row buffer) that it must
// allocate and fault in: for a batch of a few rows that was more than the
// searches themselves. Pool threads keep theirs.
//
// One batch uses the pool at a time; a batch that finds it busy starts its
// own threads as before. Workers spin briefly and then sleep on a condition
// variable between batches and are never joined: the pool lives until the
// process ends.
class WorkerPool {
 public:
  struct Job {
    const BatchRequest* req = nullptr;
    RowQueue* queue = nullptr;
    Outcome* outcome = nullptr;
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
    const uint64_t generation = generation_.load(std::memory_order_acquire);
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
      pending_.store(jobs.size(), std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    start_cv_.notify_all();
    run_rows(*own.req, *own.queue, *own.outcome, true);
    if (!spin_until([this] { return pending_.load(std::memory_order_acquire) == 0; }, kCallerSpin)) {
      std::unique_lock<std::mutex> lock(mutex_);
      done_cv_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
    }
    std::lock_guard<std::mutex> guard(mutex_);
    jobs_ = nullptr;
  }

 private:
  WorkerPool() = default;

  // `seen`: the generation when the thread was started. The batch that
  // started it bumps the generation only later, perhaps before this thread
  // first runs, so reading it here could miss that batch.
  void worker_loop(size_t index, uint64_t seen) {
    for (;;) {
      const auto started = [&] { return generation_.load(std::memory_order_acquire) != seen; };
      spin_until(started, kWorkerSpin);
      std::unique_lock<std::mutex> lock(mutex_);
      start_cv_.wait(lock, started);
      seen = generation_.load(std::memory_order_relaxed);
      if (jobs_ == nullptr || index >= jobs_->size()) continue;
      const Job job = (*jobs_)[index];
      lock.unlock();
      run_rows(*job.req, *job.queue, *job.outcome, false);
      lock.lock();
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) done_cv_.notify_one();
    }
  }

  std::mutex use_mutex_;
  size_t threads_started_ = 0;  // under use_mutex_

  std::mutex mutex_;
  std::condition_variable start_cv_;
  std::condition_variable done_cv_;
  // Changed under mutex_; read without it while spinning.
  std::atomic<uint64_t> generation_{0};
  std::atomic<size_t> pending_{0};
  const std::vector<Job>* jobs_ = nullptr;  // under mutex_
};

// Threads started for this batch and joined at its end, the calling thread
// searching beside them; a thread that cannot be started leaves its rows to
// the others: the result is the same, only slower.
void spawn_and_join(const BatchRequest& req, RowQueue& queue, std::vector<Outcome>& outcomes) {
  std::vector<std::thread> threads;
  threads.reserve(req.workers - 1);
  for (size_t j = 1; j < req.workers; ++j) {
    try {
      threads.emplace_back(run_rows, std::cref(req), std::ref(queue), std::ref(outcomes[j]), false);
    } catch (...) {
      break;
    }
  }
  run_rows(req, queue, outcomes[0], true);
  for (std::thread& t : threads) t.join();
}

// Runs the batch on the pool, the calling thread searching beside the pool
// workers. Returns false, having run nothing, when the pool is busy with
// another batch.
bool run_on_pool(const BatchRequest& req, RowQueue& queue, std::vector<Outcome>& outcomes) {
  WorkerPool& pool = WorkerPool::instance();
  std::unique_lock<std::mutex> use = pool.try_use();
  if (!use.owns_lock()) return false;
  const size_t available = std::min(pool.grow_to(req.workers - 1), req.workers - 1);
  std::vector<WorkerPool::Job> jobs;
  jobs.reserve(available);
  for (size_t j = 1; j <= available; ++j) jobs.push_back({&req, &queue, &outcomes[j]});
  pool.run(jobs, {&req, &queue, &outcomes[0]});
  return true;
}

}  // namespace

BatchFailure run_batch_search(const BatchRequest& req) noexcept {
  RowQueue queue(req.rows);
  std::vector<Outcome> outcomes;
  try {
    outcomes.resize(std::max<size_t>(req.workers, 1));
    if (req.workers <= 1) {
      run_rows(req, queue, outcomes[0], true);
    } else if (!run_on_pool(req, queue, outcomes)) {
      spawn_and_join(req, queue, outcomes);
    }
  } catch (const std::bad_alloc&) {
    return BatchFailure{BatchFailureKind::OutOfMemory, {}};
  } catch (const std::exception& e) {
    return BatchFailure{BatchFailureKind::Internal, e.what()};
  }
  // The lowest failing row decides, whichever thread met it and whenever.
  Outcome* first = nullptr;
  for (Outcome& outcome : outcomes) {
    if (!outcome.failure.ok() && (first == nullptr || outcome.row < first->row)) first = &outcome;
  }
  return first == nullptr ? BatchFailure{} : std::move(first->failure);
}

}  // namespace dovadure::python
