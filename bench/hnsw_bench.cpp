// Build time, memory per node and recall@10 / single-thread queries per
// second of the HNSW index on a seeded Gaussian-mixture dataset.
//
//   hnsw_bench [--n N] [--queries Q] [--dim D] [--metric cosine|euclidean|both]
//              [--ef LIST] [--no-sq8] [--profile-ef EF] [--profile-mode NAME]
//              [--freeze]
//
// Defaults: 100 000 base vectors of 128 floats, 1 000 queries drawn from the
// same mixture (not from the base set), m = 16, ef_construction = 200. Exact
// ground truth comes from a brute-force scan with the index's own scoring.
// --profile-ef runs only the searches at that ef (for a profiler), in the
// mode named by --profile-mode (float by default; see the mode column).
// --freeze repeats the float and sq8-rerank2 searches on the frozen index (with
// --profile-ef: profiles the frozen index only).
#include <malloc.h>
#include <sys/utsname.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "utils/types.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DistanceMetric;
using Clock = std::chrono::steady_clock;

struct Args {
  size_t n = 100'000;
  size_t queries = 1'000;
  size_t dim = 128;
  std::vector<DistanceMetric> metrics{DistanceMetric::Euclidean, DistanceMetric::Cosine};
  std::vector<size_t> efs{10, 20, 40, 80, 160, 320};
  bool sq8 = true;
  size_t profile_ef = 0;
  std::string profile_mode = "float";
  bool freeze = false;
};

std::vector<size_t> parse_list(const char* text) {
  std::vector<size_t> out;
  for (const char* p = text; *p != '\0';) {
    char* end = nullptr;
    out.push_back(std::strtoull(p, &end, 10));
    p = *end == ',' ? end + 1 : end;
    if (end == p && *p != '\0') break;
  }
  return out;
}

Args parse_args(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--n") {
      a.n = std::strtoull(next, nullptr, 10), ++i;
    } else if (arg == "--queries") {
      a.queries = std::strtoull(next, nullptr, 10), ++i;
    } else if (arg == "--dim") {
      a.dim = std::strtoull(next, nullptr, 10), ++i;
    } else if (arg == "--ef") {
      a.efs = parse_list(next), ++i;
    } else if (arg == "--freeze") {
      a.freeze = true;
    } else if (arg == "--no-sq8") {
      a.sq8 = false;
    } else if (arg == "--profile-ef") {
      a.profile_ef = std::strtoull(next, nullptr, 10), ++i;
    } else if (arg == "--profile-mode") {
      a.profile_mode = next, ++i;
    } else if (arg == "--metric") {
      const std::string m = next;
      ++i;
      if (m == "cosine") a.metrics = {DistanceMetric::Cosine};
      if (m == "euclidean") a.metrics = {DistanceMetric::Euclidean};
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      std::exit(2);
    }
  }
  if (a.n == 0 || a.queries == 0 || a.dim == 0) {
    std::fprintf(stderr, "--n, --queries and --dim must be positive\n");
    std::exit(2);
  }
  return a;
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// Mixture of 100 Gaussians: centres N(0, 1) per coordinate, members at
// sigma 0.35 around them, so clusters overlap a little as real embeddings do.
// Base and queries come from one stream, the queries after the base.
std::vector<float> mixture(size_t rows, size_t dim, std::mt19937_64& rng,
                           const std::vector<float>& centres, size_t clusters) {
  std::normal_distribution<float> noise(0.0f, 0.35f);
  std::vector<float> out(rows * dim);
  for (size_t r = 0; r < rows; ++r) {
    const float* c = &centres[(rng() % clusters) * dim];
    for (size_t d = 0; d < dim; ++d) out[r * dim + d] = c[d] + noise(rng);
  }
  return out;
}

size_t heap_bytes() {
  const struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}



// Exact top 10 ids per query, equal keys by id (ids are row numbers).
std::vector<uint64_t> ground_truth(DistanceMetric metric, const std::vector<float>& base,
                                   const std::vector<float>& queries, size_t dim, size_t k) {
  const size_t n = base.size() / dim;
  const size_t nq = queries.size() / dim;
  std::vector<float> nb(base.size());
  for (size_t i = 0; i < n; ++i) {
    const auto v = h::maybe_normalize(metric, std::span<const float>(&base[i * dim], dim));
    std::copy(v.begin(), v.end(), nb.begin() + static_cast<std::ptrdiff_t>(i * dim));
  }
  std::vector<uint64_t> truth(nq * k);
  auto work = [&](size_t from, size_t to) {
    std::vector<std::pair<float, uint64_t>> all(n);
    for (size_t qi = from; qi < to; ++qi) {
      const auto q = h::maybe_normalize(metric, std::span<const float>(&queries[qi * dim], dim));
      for (size_t i = 0; i < n; ++i) {
        const float s = h::fast_score_n(metric, q.data(), &nb[i * dim], dim);
        all[i] = {h::sort_key_of(metric, s), i};
      }
      std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k), all.end());
      for (size_t j = 0; j < k; ++j) truth[qi * k + j] = all[j].second;
    }
  };
  const size_t threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (size_t t = 0; t < threads; ++t) pool.emplace_back(work, nq * t / threads, nq * (t + 1) / threads);
  for (auto& t : pool) t.join();
  return truth;
}

struct Mode {
  const char* name;
  h::SearchOptions options;
};

void run_queries(const h::HNSWIndex& index, const std::vector<float>& queries, size_t dim,
                 const std::vector<uint64_t>& truth, size_t ef, const Mode& mode, bool print) {
  constexpr size_t k = 10;
  const size_t nq = queries.size() / dim;
  h::SearchOptions options = mode.options;
  options.ef = ef;
  size_t hits = 0;
  const auto start = Clock::now();
  for (size_t qi = 0; qi < nq; ++qi) {
    auto r = index.search_with_options(std::span<const float>(&queries[qi * dim], dim), k, options);
    if (!r.ok()) {
      std::fprintf(stderr, "search failed: %s\n", r.error().to_string().c_str());
      std::exit(1);
    }
    for (const auto& p : r.value()) {
      const uint64_t* t = &truth[qi * k];
      hits += std::find(t, t + k, p.id) != t + k;
    }
  }
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  if (print) {
    std::printf("  %-14s %5zu  %8.4f  %10.0f  %9.1f\n", mode.name, ef,
                static_cast<double>(hits) / static_cast<double>(nq * k), nq / secs,
                secs * 1e6 / nq);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Args args = parse_args(argc, argv);
  // Every block from the heap proper, so that mallinfo2 sees all of them.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  utsname un{};
  uname(&un);
  std::printf("hnsw_bench: n=%zu dim=%zu queries=%zu m=16 ef_construction=200 k=10\n", args.n,
              args.dim, args.queries);
  std::printf("machine: %s, %u logical CPUs, AVX2 %s, FMA %s; %s %s; g++ %s\n",
              cpu_model().c_str(), std::thread::hardware_concurrency(), h::has_avx2() ? "yes" : "no",
              h::has_avx2_fma() ? "yes" : "no", un.sysname, un.release, __VERSION__);
  std::printf("queries are single-threaded; build is single-threaded\n\n");

  constexpr size_t kClusters = 100;
  std::mt19937_64 rng(20240607);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::vector<float> centres(kClusters * args.dim);
  for (auto& x : centres) x = unit(rng);
  const std::vector<float> base = mixture(args.n, args.dim, rng, centres, kClusters);
  const std::vector<float> queries = mixture(args.queries, args.dim, rng, centres, kClusters);

  for (DistanceMetric metric : args.metrics) {
    const char* metric_name = dovadure::utils::metric_name(metric).data();
    const auto truth = ground_truth(metric, base, queries, args.dim, 10);

    malloc_trim(0);
    const size_t heap_before = heap_bytes();
    auto index = std::make_unique<h::HNSWIndex>(metric, 16, 200, 16, args.dim);
    index->set_exact_fallback(false, 0);
    const auto build_start = Clock::now();
    for (size_t i = 0; i < args.n; ++i) {
      std::vector<float> v(base.begin() + static_cast<std::ptrdiff_t>(i * args.dim),
                           base.begin() + static_cast<std::ptrdiff_t>((i + 1) * args.dim));
      const auto st = index->insert(i, std::move(v));
      if (!st.ok()) {
        std::fprintf(stderr, "insert failed: %s\n", st.error().to_string().c_str());
        return 1;
      }
    }
    const double build_s = std::chrono::duration<double>(Clock::now() - build_start).count();
    malloc_trim(0);
    const size_t heap_after = heap_bytes();

    // The vectors' share is measured, not computed: an arena holding the
    // same vectors, allocated the same way, is grown and counted alike.
    size_t vector_bytes = 0;
    {
      const size_t before = heap_bytes();
      h::VectorArena arena(args.dim, h::kChunkCapacity);
      for (size_t i = 0; i < args.n; ++i) arena.push(&base[i * args.dim]);
      vector_bytes = heap_bytes() - before;
    }
    const double per_node =
        (static_cast<double>(heap_after - heap_before) - static_cast<double>(vector_bytes)) /
        static_cast<double>(args.n);

    std::printf("%s: build %.1f s (%.0f inserts/s), %.1f bytes/node beyond the vector, entry level %u\n",
                metric_name, build_s, args.n / build_s, per_node,
                h::entry_word_level(index->entry_point_word()));

    std::vector<Mode> modes;
    modes.push_back({"float", {}});
    if (args.sq8) {
      index->quantize_all();
      h::SearchOptions screen;
      screen.sq8_screen = h::Tristate::True;
      modes.push_back({"sq8-screen", screen});
      h::SearchOptions rerank2;
      rerank2.sq8_rerank_factor = 2;
      modes.push_back({"sq8-rerank2", rerank2});
      h::SearchOptions rerank4;
      rerank4.sq8_rerank_factor = 4;
      modes.push_back({"sq8-rerank4", rerank4});
    }

    // As the Python module does with a loaded index.
    if (args.freeze && args.profile_ef != 0) index->freeze();
    if (args.profile_ef != 0) {
      const auto mode = std::find_if(modes.begin(), modes.end(), [&](const Mode& m) {
        return args.profile_mode == m.name;
      });
      if (mode == modes.end()) {
        std::fprintf(stderr, "unknown --profile-mode %s\n", args.profile_mode.c_str());
        return 2;
      }
      run_queries(*index, queries, args.dim, truth, args.profile_ef, *mode, true);
      continue;
    }
    std::printf("  %-14s %5s  %8s  %10s  %9s\n", "mode", "ef", "recall", "QPS", "us/query");
    for (const Mode& mode : modes) {
      run_queries(*index, queries, args.dim, truth, args.efs.front(), mode, false);  // warm-up
      for (size_t ef : args.efs) run_queries(*index, queries, args.dim, truth, ef, mode, true);
    }
    if (args.freeze) {
      // The same index again once frozen (flat layer 0, no list locks), as
      // the Python module searches a loaded one.
      index->freeze();
      const Mode frozen{"float/frozen", {}};
      run_queries(*index, queries, args.dim, truth, args.efs.front(), frozen, false);
      for (size_t ef : args.efs) run_queries(*index, queries, args.dim, truth, ef, frozen, true);
      if (args.sq8) {
        Mode sq8_frozen{"sq8-rerank2/fz", {}};
        sq8_frozen.options.sq8_rerank_factor = 2;
        run_queries(*index, queries, args.dim, truth, args.efs.front(), sq8_frozen, false);
        for (size_t ef : args.efs) {
          run_queries(*index, queries, args.dim, truth, ef, sq8_frozen, true);
        }
      }
    }
    std::printf("\n");
  }
  return 0;
}
