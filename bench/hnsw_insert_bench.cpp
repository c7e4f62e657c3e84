// Reproducible single-threaded index construction, for instruction counts
// and graph comparisons: seeded data, seeded node levels, one insert after
// another, then the index's snapshot record written to a file.
//
//   hnsw_insert_bench [points=20000] [dim=128] [m=16] [ef_construction=200]
//                     [metric=euclidean|cosine|dot] [out=path] [lean=0|1]
//                     [data=path]
//
// data: raw float32 rows of `dim` values (the first `points` rows are used),
// for real sets with their ties and duplicates; without it, a seeded mixture.
// Two builds with the same arguments give byte-identical files, so a change
// to insertion that must keep the graph can be checked with cmp. Data are
// generated before the first insert: to count insertion alone under
// callgrind, collect inside HNSWIndex::insert (--toggle-collect).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "utils/encoding.hpp"
#include "utils/types.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/snapshot.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DistanceMetric;

size_t arg_or(int argc, char** argv, int i, size_t fallback) {
  return argc > i ? static_cast<size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
}

bool parse_metric(const std::string& text, DistanceMetric& out) {
  if (text == "euclidean") {
    out = DistanceMetric::Euclidean;
  } else if (text == "cosine") {
    out = DistanceMetric::Cosine;
  } else if (text == "dot") {
    out = DistanceMetric::Dot;
  } else {
    return false;
  }
  return true;
}

// Mixture of 100 Gaussians (centres N(0, 1), members at sigma 0.35), so that
// the graph sees clusters as it does with real embeddings.
std::vector<float> mixture(size_t rows, size_t dim) {
  constexpr size_t kClusters = 100;
  std::mt19937_64 rng(20240607);
  std::normal_distribution<float> unit(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.35f);
  std::vector<float> centres(kClusters * dim);
  for (float& x : centres) x = unit(rng);
  std::vector<float> out(rows * dim);
  for (size_t r = 0; r < rows; ++r) {
    const float* c = &centres[(rng() % kClusters) * dim];
    for (size_t d = 0; d < dim; ++d) out[r * dim + d] = c[d] + noise(rng);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = arg_or(argc, argv, 1, 20000);
  const size_t dim = arg_or(argc, argv, 2, 128);
  const size_t m = arg_or(argc, argv, 3, 16);
  const size_t ef = arg_or(argc, argv, 4, 200);
  DistanceMetric metric = DistanceMetric::Euclidean;
  if (argc > 5 && !parse_metric(argv[5], metric)) {
    std::fprintf(stderr, "metric must be euclidean, cosine or dot\n");
    return 2;
  }
  const std::string out = argc > 6 ? argv[6] : "";
  const bool lean = arg_or(argc, argv, 7, 0) != 0;
  if (n == 0 || dim == 0 || m == 0) {
    std::fprintf(stderr, "points, dim and m must be positive\n");
    return 2;
  }

  std::vector<float> data;
  if (argc > 8) {
    data.resize(n * dim);
    std::ifstream file(argv[8], std::ios::binary);
    file.read(reinterpret_cast<char*>(data.data()),
              static_cast<std::streamsize>(data.size() * sizeof(float)));
    if (!file) {
      std::fprintf(stderr, "cannot read %zu rows of %zu floats from %s\n", n, dim, argv[8]);
      return 2;
    }
  } else {
    data = mixture(n, dim);
  }
  h::seed_level_generator(7);
  h::HNSWIndex index(metric, m, ef, 16, dim);
  index.set_lean_lists(lean);
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  for (size_t i = 0; i < n; ++i) {
    std::vector<float> v(data.begin() + static_cast<std::ptrdiff_t>(i * dim),
                         data.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
    const auto st = index.insert(i, std::move(v));
    if (!st.ok()) {
      std::fprintf(stderr, "insert failed: %s\n", st.error().to_string().c_str());
      return 1;
    }
  }
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu_s = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  std::printf("%zu points, dim %zu, m %zu, ef_construction %zu, %s: insert %.2f s wall, %.2f s cpu, "
              "%llu replayed caps\n",
              n, dim, m, ef, std::string(dovadure::utils::metric_name(metric)).c_str(), wall_s,
              cpu_s, static_cast<unsigned long long>(index.prune_memo_reuses()));

  if (!out.empty()) {
    std::vector<uint8_t> bytes;
    dovadure::utils::Encoder enc(bytes);
    h::encode(enc, index.to_snapshot());
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
      std::fprintf(stderr, "cannot write %s\n", out.c_str());
      return 1;
    }
  }
  return 0;
}
