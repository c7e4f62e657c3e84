// Build throughput of a segment: the work `dovadure build` does after reading
// its input (one insert per point, then an atomic snapshot save).
//
//   segment_build_bench [points=100000] [dim=128] [m=16] [ef_construction=200] [threads=1]
//
// threads = 1 inserts one point after another on the calling thread; more
// go through Segment::insert_many_parallel, as `dovadure build --threads N`.
// The data are seeded; node levels are not (the index seeds its level
// generator from the operating system), so graphs differ a little per run.
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "segment/segment.hpp"

namespace {

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

double load_average() {
  double loads[1] = {0.0};
  return ::getloadavg(loads, 1) == 1 ? loads[0] : -1.0;
}

size_t arg_or(int argc, char** argv, int i, size_t fallback) {
  return argc > i ? static_cast<size_t>(std::strtoull(argv[i], nullptr, 10)) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const size_t n = arg_or(argc, argv, 1, 100000);
  const size_t dim = arg_or(argc, argv, 2, 128);
  const size_t m = arg_or(argc, argv, 3, 16);
  const size_t ef = arg_or(argc, argv, 4, 200);
  const size_t threads = arg_or(argc, argv, 5, 1);
  if (n == 0 || dim == 0 || threads == 0) {
    std::fprintf(stderr, "points, dim and threads must be positive\n");
    return 2;
  }

  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<float> data(n * dim);
  for (float& x : data) x = normal(rng);

  utsname uts{};
  ::uname(&uts);
  std::printf("machine: %s, %ld online CPUs, %s %s, g++ %s, load average %.2f at start\n",
              cpu_model().c_str(), ::sysconf(_SC_NPROCESSORS_ONLN), uts.sysname, uts.release,
              __VERSION__, load_average());

  dovadure::segment::Segment seg(dovadure::utils::DistanceMetric::Euclidean, m, ef, 16, dim);
  const auto start = Clock::now();
  const std::clock_t cpu_start = std::clock();
  if (threads == 1) {
    for (size_t i = 0; i < n; ++i) {
      std::vector<float> v(data.begin() + static_cast<std::ptrdiff_t>(i * dim),
                           data.begin() + static_cast<std::ptrdiff_t>((i + 1) * dim));
      auto r = seg.insert_with_id_internal(i, std::move(v), std::nullopt, false);
      if (!r.ok()) {
        std::fprintf(stderr, "insert failed: %s\n", r.error().to_string().c_str());
        return 1;
      }
    }
  } else {
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = i;
    auto r = seg.insert_many_parallel(ids, data, {}, threads);
    if (!r.ok()) {
      std::fprintf(stderr, "insert failed: %s\n", r.error().to_string().c_str());
      return 1;
    }
  }
  const double insert_s = std::chrono::duration<double>(Clock::now() - start).count();
  // CPU time too: on a shared machine the wall clock mostly measures the others.
  const double insert_cpu_s = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;

  const std::string path = std::filesystem::temp_directory_path() / "segment_build_bench.snap";
  const auto save_start = Clock::now();
  auto saved = seg.persist_snapshot(path);
  const double save_s = std::chrono::duration<double>(Clock::now() - save_start).count();
  if (!saved.ok()) {
    std::fprintf(stderr, "save failed: %s\n", saved.error().to_string().c_str());
    return 1;
  }
  const double mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
  std::filesystem::remove(path);

  std::printf("\n%8s %5s %4s %6s %7s | %10s %12s %10s %14s | %8s %9s\n", "points", "dim", "m",
              "ef_c", "threads", "insert s", "points/s", "cpu s", "points/cpu-s", "save s",
              "file MB");
  std::printf("%8zu %5zu %4zu %6zu %7zu | %10.2f %12.0f %10.2f %14.0f | %8.2f %9.1f\n", n, dim, m,
              ef, threads, insert_s, static_cast<double>(n) / insert_s, insert_cpu_s,
              static_cast<double>(n) / insert_cpu_s, save_s, mb);
  std::printf("load average %.2f at end (other processes share the machine)\n", load_average());
  return 0;
}
