// Data generators and brute-force references shared by the HNSW tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "utils/types.hpp"
#include "vector/hnsw/distance.hpp"

namespace hnsw_test {

using dovadure::utils::DistanceMetric;
using dovadure::utils::ScoredPoint;

// Sets an environment variable for one scope, restoring the old state after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

inline std::vector<std::vector<float>> random_vectors(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (auto& v : out) {
    for (auto& x : v) x = gauss(rng);
  }
  return out;
}

// Gaussian mixture: `clusters` centres spread wide, points tight around them.
inline std::vector<std::vector<float>> clustered_vectors(size_t n, size_t dim, size_t clusters,
                                                         uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> wide(0.0f, 4.0f);
  std::normal_distribution<float> tight(0.0f, 1.0f);
  std::vector<std::vector<float>> centres(clusters, std::vector<float>(dim));
  for (auto& c : centres) {
    for (auto& x : c) x = wide(rng);
  }
  std::vector<std::vector<float>> out(n, std::vector<float>(dim));
  for (size_t i = 0; i < n; ++i) {
    const auto& c = centres[rng() % clusters];
    for (size_t d = 0; d < dim; ++d) out[i][d] = c[d] + tight(rng);
  }
  return out;
}

// Exact top k of (ids[i], vectors[i]) under the index's scoring, best first,
// equal keys by id.
inline std::vector<ScoredPoint> brute_force(DistanceMetric metric,
                                            const std::vector<std::vector<float>>& vectors,
                                            const std::vector<uint64_t>& ids,
                                            const std::vector<float>& query, size_t k) {
  namespace h = dovadure::vector::hnsw;
  const auto q = h::maybe_normalize(metric, query);
  std::vector<ScoredPoint> all;
  for (size_t i = 0; i < vectors.size(); ++i) {
    const auto v = h::maybe_normalize(metric, vectors[i]);
    const float s = h::fast_score(metric, q, v);
    all.push_back({ids[i], s, h::sort_key_of(metric, s)});
  }
  std::sort(all.begin(), all.end(), [](const ScoredPoint& a, const ScoredPoint& b) {
    return a.sort_key != b.sort_key ? a.sort_key < b.sort_key : a.id < b.id;
  });
  if (all.size() > k) all.resize(k);
  return all;
}

}  // namespace hnsw_test
