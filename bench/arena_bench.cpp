// Read throughput of the chunked arenas against flat arrays, with the access
// pattern of a graph search: random node indices, one vector or state each.
//
//   arena_bench [vectors] [dim]   (defaults 100000 128)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "vector/hnsw/arena.hpp"
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

volatile float g_sink_f;
volatile uint64_t g_sink_u;

template <class F>
double ns_per_op(size_t ops, F&& body) {
  double best = 1e300;
  for (int trial = 0; trial < 3; ++trial) {
    const auto start = Clock::now();
    body();
    best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  return best / static_cast<double>(ops);
}

void row(const char* name, double ns) {
  std::printf("%-44s %10.2f ns %12.1f M/s\n", name, ns, 1e3 / ns);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const size_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const size_t reads = 2'000'000;
  std::printf("arena_bench: %zu vectors x %zu floats, chunk capacity 4096, %zu random reads "
              "(best of 3)\n",
              n, dim, reads);
  std::printf("cpu: %s | compiler: g++ %s\n\n", cpu_model().c_str(), __VERSION__);

  std::mt19937_64 rng(9);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> flat(n * dim);
  for (auto& x : flat) x = u(rng);
  std::vector<uint32_t> order(reads);
  for (auto& i : order) i = static_cast<uint32_t>(rng() % n);
  const std::vector<float> query(flat.begin(), flat.begin() + dim);

  h::VectorArena arena(dim, 4096);
  const auto push_start = Clock::now();
  for (size_t i = 0; i < n; ++i) arena.push(flat.data() + i * dim);
  const double push_each =
      std::chrono::duration<double, std::nano>(Clock::now() - push_start).count() / n;

  std::printf("%-44s %13s %15s\n", "operation", "per op", "throughput");
  row("VectorArena::push", push_each);

  // Touch: load the first float of each vector (pure access cost + miss).
  row("flat vector array: first float", ns_per_op(reads, [&] {
        float acc = 0;
        for (uint32_t i : order) acc += flat[size_t{i} * dim];
        g_sink_f = acc;
      }));
  row("VectorArena::View::ptr: first float", ns_per_op(reads, [&] {
        const auto v = arena.view();
        float acc = 0;
        for (uint32_t i : order) acc += *v.ptr(i);
        g_sink_f = acc;
      }));
  row("VectorArena::get_direct: first float", ns_per_op(reads, [&] {
        float acc = 0;
        for (uint32_t i : order) acc += arena.get_direct(i)[0];
        g_sink_f = acc;
      }));
  // Whole vector scored against a query, as the search loop does.
  row("flat vector array: fast_score_n(Dot)", ns_per_op(reads, [&] {
        float acc = 0;
        for (uint32_t i : order) {
          acc += h::fast_score_n(dovadure::utils::DistanceMetric::Dot, flat.data() + size_t{i} * dim,
                                 query.data(), dim);
        }
        g_sink_f = acc;
      }));
  row("VectorArena::View::ptr: fast_score_n(Dot)", ns_per_op(reads, [&] {
        const auto v = arena.view();
        float acc = 0;
        for (uint32_t i : order) {
          acc += h::fast_score_n(dovadure::utils::DistanceMetric::Dot, v.ptr(i), query.data(), dim);
        }
        g_sink_f = acc;
      }));

  std::vector<std::atomic<uint8_t>> flat_states(n);
  h::ChunkedArray<std::atomic<uint8_t>> states(4096);
  for (size_t i = 0; i < n; ++i) {
    states.push_default();
    flat_states[i].store(static_cast<uint8_t>(i & 1), std::memory_order_relaxed);
    states.view()[i].store(static_cast<uint8_t>(i & 1), std::memory_order_relaxed);
  }
  row("flat atomic<u8> array: acquire load", ns_per_op(reads, [&] {
        uint64_t acc = 0;
        for (uint32_t i : order) acc += flat_states[i].load(std::memory_order_acquire);
        g_sink_u = acc;
      }));
  row("ChunkedArray<atomic<u8>>::View: acquire load", ns_per_op(reads, [&] {
        const auto v = states.view();
        uint64_t acc = 0;
        for (uint32_t i : order) acc += v[i].load(std::memory_order_acquire);
        g_sink_u = acc;
      }));
  const size_t views = 200000;
  row("ChunkedArray::view() (snapshot)", ns_per_op(views, [&] {
        uint64_t acc = 0;
        for (size_t k = 0; k < views; ++k) acc += states.view().len;
        g_sink_u = acc;
      }));
  return 0;
}
