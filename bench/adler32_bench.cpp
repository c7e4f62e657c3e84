// Adler-32 throughput in MB/s for each kernel and for the dispatched entry
// point, from log-frame sizes up to snapshot-sized buffers.
//
//   adler32_bench [milliseconds-per-cell]   (default 150)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "utils/adler32.hpp"

namespace {

namespace u = dovadure::utils;
using Clock = std::chrono::steady_clock;

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

volatile uint32_t g_sink;

// Best of three trials, so a neighbour's burst on the shared cores does not
// decide the figure.
template <class F>
double mb_per_s(std::span<const uint8_t> data, double budget_ms, F&& checksum) {
  double best = 0.0;
  for (int trial = 0; trial < 3; ++trial) {
    size_t bytes = 0;
    uint32_t acc = 0;
    const auto start = Clock::now();
    const auto stop = start + std::chrono::duration<double, std::milli>(budget_ms / 3);
    auto now = start;
    do {
      acc ^= checksum(data);
      bytes += data.size();
      now = Clock::now();
    } while (now < stop);
    g_sink = acc;
    const double secs = std::chrono::duration<double>(now - start).count();
    best = std::max(best, bytes / secs / 1e6);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double budget_ms = argc > 1 ? std::atof(argv[1]) : 150.0;
  std::printf("cpu: %s | avx2 kernel: %s | compiler: g++ %s\n\n", cpu_model().c_str(),
              u::detail::adler32_avx2_available() ? "yes" : "no", __VERSION__);

  std::mt19937 rng(42);
  std::vector<uint8_t> buffer(size_t{64} << 20);
  for (auto& x : buffer) x = static_cast<uint8_t>(rng());

  auto scalar = [](std::span<const uint8_t> d) {
    uint32_t a = 1, b = 0;
    u::detail::adler32_update_scalar(a, b, d.data(), d.size());
    return (b << 16) | a;
  };
  auto avx2 = [](std::span<const uint8_t> d) {
    uint32_t a = 1, b = 0;
    u::detail::adler32_update_avx2(a, b, d.data(), d.size());
    return (b << 16) | a;
  };
  auto dispatched = [](std::span<const uint8_t> d) { return u::adler32(d); };
  const bool have_avx2 = u::detail::adler32_avx2_available();

  std::printf("%10s %12s %12s %12s %8s\n", "bytes", "scalar MB/s", "avx2 MB/s", "adler32 MB/s",
              "speed-up");
  for (size_t n : {size_t{64}, size_t{1000}, size_t{4096}, size_t{65536}, size_t{1} << 20,
                   size_t{64} << 20}) {
    // Small buffers stay in L1/L2; the 64 MiB one streams from memory like a
    // snapshot load does.
    std::span<const uint8_t> data(buffer.data() + 1, n - 1);
    const double s = mb_per_s(data, budget_ms, scalar);
    const double v = have_avx2 ? mb_per_s(data, budget_ms, avx2) : 0.0;
    const double d = mb_per_s(data, budget_ms, dispatched);
    std::printf("%10zu %12.0f %12.0f %12.0f %7.1fx\n", data.size(), s, v, d, d / s);
  }
  return 0;
}
