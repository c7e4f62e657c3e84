// Nanoseconds per distance for each float kernel flavour and for the
// dispatched entry points, at the dimensions the index meets in practice.
//
//   distance_bench [milliseconds-per-cell]   (default 60)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "utils/types.hpp"
#include "vector/hnsw/distance.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using Clock = std::chrono::steady_clock;

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

// A pool of stored vectors scored against one query, like a beam step. The
// pool stays in L2 so the figure is the kernel's, not the memory system's.
struct Workload {
  size_t dim;
  std::vector<float> pool;
  std::vector<float> query;
  size_t count;
};

Workload make_workload(size_t dim, std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  Workload w{dim, {}, std::vector<float>(dim), std::max<size_t>(16, (128 * 1024) / (dim * 4))};
  w.pool.resize(w.count * dim);
  for (auto& x : w.pool) x = u(rng);
  for (auto& x : w.query) x = u(rng);
  return w;
}

volatile float g_sink;

template <class F>
double ns_per_call(const Workload& w, double budget_ms, F&& score) {
  double best = 1e300;
  for (int trial = 0; trial < 3; ++trial) {
    size_t calls = 0;
    float acc = 0.0f;
    const auto start = Clock::now();
    const auto stop = start + std::chrono::duration<double, std::milli>(budget_ms / 3);
    auto now = start;
    while (now < stop) {
      for (size_t r = 0; r < 64; ++r) {
        for (size_t j = 0; j < w.count; ++j) acc += score(w.pool.data() + j * w.dim, w.query.data(), w.dim);
      }
      calls += 64 * w.count;
      now = Clock::now();
    }
    g_sink = acc;
    best = std::min(best, std::chrono::duration<double, std::nano>(now - start).count() / calls);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double budget_ms = argc > 1 ? std::atof(argv[1]) : 60.0;
  const bool avx2 = h::has_avx2(), fma = h::has_avx2_fma();
  std::printf("distance_bench: ns per distance (best of 3), pool of vectors resident in L2\n");
  std::printf("cpu: %s | features: avx2=%d fma=%d | compiler: g++ %s\n\n", cpu_model().c_str(),
              avx2, fma, __VERSION__);

  struct Row {
    const char* name;
    bool available;
    float (*fn)(const float*, const float*, size_t);
  };
  const Row rows[] = {
      {"dot_scalar", true, h::dot_scalar},
      {"dot_avx2", avx2, h::dot_avx2},
      {"dot_avx2_fma", fma, h::dot_avx2_fma},
      {"l2_scalar", true, h::l2_scalar},
      {"l2_avx2", avx2, h::l2_avx2},
      {"l2_avx2_fma", fma, h::l2_avx2_fma},
  };
  const size_t dims[] = {96, 128, 384, 768, 960};
  std::mt19937 rng(42);
  std::vector<Workload> work;
  for (size_t d : dims) work.push_back(make_workload(d, rng));

  std::printf("%-28s", "kernel \\ D");
  for (size_t d : dims) std::printf("%10zu", d);
  std::printf("\n");
  std::vector<std::vector<double>> table;
  for (const auto& row : rows) {
    std::printf("%-28s", row.name);
    std::vector<double> cells;
    for (const auto& w : work) {
      const double ns = row.available ? ns_per_call(w, budget_ms, row.fn) : 0.0;
      cells.push_back(ns);
      if (row.available) {
        std::printf("%10.2f", ns);
      } else {
        std::printf("%10s", "n/a");
      }
      std::fflush(stdout);
    }
    table.push_back(cells);
    std::printf("\n");
  }
  const struct {
    const char* name;
    dovadure::utils::DistanceMetric metric;
  } dispatched[] = {{"fast_score_n(Cosine)", dovadure::utils::DistanceMetric::Cosine},
                    {"fast_score_n(Dot)", dovadure::utils::DistanceMetric::Dot},
                    {"fast_score_n(Euclidean)", dovadure::utils::DistanceMetric::Euclidean}};
  for (const auto& d : dispatched) {
    std::printf("%-28s", d.name);
    for (const auto& w : work) {
      std::printf("%10.2f", ns_per_call(w, budget_ms, [&](const float* a, const float* b, size_t n) {
                    return h::fast_score_n(d.metric, a, b, n);
                  }));
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  std::printf("%-28s", "fast_score(span, Dot)");
  for (const auto& w : work) {
    std::printf("%10.2f", ns_per_call(w, budget_ms, [&](const float* a, const float* b, size_t n) {
                  return h::fast_score(dovadure::utils::DistanceMetric::Dot, {a, n}, {b, n});
                }));
    std::fflush(stdout);
  }
  std::printf("\n\n");
  if (fma) {
    std::printf("%-28s", "speed-up dot fma/scalar");
    for (size_t c = 0; c < work.size(); ++c) std::printf("%9.1fx", table[0][c] / table[2][c]);
    std::printf("\n%-28s", "speed-up l2 fma/scalar");
    for (size_t c = 0; c < work.size(); ++c) std::printf("%9.1fx", table[3][c] / table[5][c]);
    std::printf("\n");
  }
  return 0;
}
