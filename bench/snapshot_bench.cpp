// Index snapshot record and segment snapshot throughput.
//
//   snapshot_bench [--n 100000] [--dim 128] [--m 16] [--reps 3] [--dir /tmp]
//
// The graph is synthetic: random vectors, levels drawn like the index draws
// them (scale 1/ln m), full neighbour lists (1 + 2m ids on layer 0, 1 + m
// above). Its bytes are those of a built index of the same size; the search
// quality of the graph does not matter here, and building a real 100 000-node
// graph would take minutes of this benchmark's time. Reads are from the page
// cache (the file was just written), the best case for the plain read too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "segment/segment_snapshot.hpp"
#include "utils/encoding.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/snapshot.hpp"

using namespace dovadure;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

std::string cpu_model() {
  std::ifstream f("/proc/cpuinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

vector::hnsw::HnswSnapshot synthetic(size_t n, size_t dim, size_t m) {
  std::mt19937_64 rng(42);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  std::uniform_int_distribution<uint64_t> pick(0, n - 1);
  vector::hnsw::HnswSnapshot s;
  s.metric = utils::DistanceMetric::Euclidean;
  s.m = m;
  s.m0 = 2 * m;
  s.max_neighbors_l0 = 2 * m;
  s.ef_construction = 200;
  s.ef_insert = 200;
  s.max_level = 16;
  s.level_scale = 1.0 / std::log(static_cast<double>(m));
  s.dim = dim;
  s.vectors.reserve(n, n * dim);
  std::vector<float> v(dim);
  std::vector<uint8_t> level(n);
  size_t top = 0;
  for (size_t i = 0; i < n; ++i) {
    for (float& x : v) x = gauss(rng);
    s.vectors.append(i, v);
    level[i] = static_cast<uint8_t>(
        std::min(16.0, std::floor(-std::log(1.0 - uni(rng)) * s.level_scale)));
    s.levels.push_back({i, level[i]});
    top = std::max<size_t>(top, level[i]);
  }
  for (size_t l = 0; l <= top; ++l) {
    vector::hnsw::SnapshotLayer layer;
    layer.layer = l;
    const size_t width = l == 0 ? 2 * m : m;
    std::vector<uint64_t> list;
    for (size_t i = 0; i < n; ++i) {
      if (level[i] < l) continue;
      list.assign(1, i);
      while (list.size() < width + 1) list.push_back(pick(rng));
      layer.lists.append(i, list);
    }
    s.layers.push_back(std::move(layer));
  }
  for (size_t i = 0; i < n; ++i) {
    if (level[i] == top) {
      s.entry_point_id = i;
      break;
    }
  }
  s.entry_level = top;
  return s;
}

// Best of `reps` plain reads of the whole file into one buffer.
double plain_read_seconds(const std::string& path, int reps) {
  double best = 1e9;
  for (int r = 0; r < reps; ++r) {
    const auto t = Clock::now();
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct stat st {};
    ::fstat(fd, &st);
    std::vector<uint8_t> buf(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < buf.size()) {
      const ssize_t k = ::read(fd, buf.data() + got, buf.size() - got);
      if (k <= 0) break;
      got += static_cast<size_t>(k);
    }
    ::close(fd);
    best = std::min(best, seconds_since(t));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = 100000, dim = 128, m = 16;
  int reps = 3;
  std::string dir = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--n") n = std::strtoull(argv[i + 1], nullptr, 10);
    else if (k == "--dim") dim = std::strtoull(argv[i + 1], nullptr, 10);
    else if (k == "--m") m = std::strtoull(argv[i + 1], nullptr, 10);
    else if (k == "--reps") reps = std::atoi(argv[i + 1]);
    else if (k == "--dir") dir = argv[i + 1];
  }
  std::printf("snapshot_bench: n=%zu dim=%zu m=%zu reps=%d (best of reps)\n", n, dim, m, reps);
  std::printf("machine: %s, %ld online cpus, compiler %s\n\n", cpu_model().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), __VERSION__);

  auto built = vector::hnsw::HNSWIndex::from_snapshot(synthetic(n, dim, m));
  if (!built.ok()) {
    std::fprintf(stderr, "%s\n", built.error().to_string().c_str());
    return 1;
  }
  std::unique_ptr<vector::hnsw::HNSWIndex> index = std::move(built.value());

  double to_snap = 1e9, encode_s = 1e9, decode_s = 1e9, from_snap = 1e9;
  size_t record_bytes = 0;
  for (int r = 0; r < reps; ++r) {
    auto t = Clock::now();
    vector::hnsw::HnswSnapshot s = index->to_snapshot();
    to_snap = std::min(to_snap, seconds_since(t));
    std::vector<uint8_t> bytes;
    bytes.reserve(vector::hnsw::encoded_size(s));
    t = Clock::now();
    {
      utils::Encoder enc(bytes);
      vector::hnsw::encode(enc, s);
    }
    encode_s = std::min(encode_s, seconds_since(t));
    record_bytes = bytes.size();
    vector::hnsw::HnswSnapshot back;
    t = Clock::now();
    utils::Decoder dec(bytes);
    if (!vector::hnsw::decode(dec, back).ok()) return 1;
    decode_s = std::min(decode_s, seconds_since(t));
    t = Clock::now();
    auto again = vector::hnsw::HNSWIndex::from_snapshot(std::move(back));
    from_snap = std::min(from_snap, seconds_since(t));
    if (!again.ok()) return 1;
  }
  const double mb = static_cast<double>(record_bytes) / 1e6;

  const std::string path = dir + "/dovadure_snapshot_bench.snap";
  segment::Segment seg(std::move(index), payload_storage::PayloadIndex(), segment::PayloadMap(),
                       segment::DeletedSet(), n);
  double persist_s = 1e9;
  for (int r = 0; r < reps; ++r) {
    const auto t = Clock::now();
    if (!seg.persist_snapshot(path).ok()) return 1;
    persist_s = std::min(persist_s, seconds_since(t));
  }
  struct stat st {};
  ::stat(path.c_str(), &st);
  const double file_mb = static_cast<double>(st.st_size) / 1e6;
  const double read_s = plain_read_seconds(path, reps);
  double load_s = 1e9;
  for (int r = 0; r < reps; ++r) {
    const auto t = Clock::now();
    auto loaded = segment::Segment::load_from_path(path, segment::SegmentAccess::ReadOnly);
    load_s = std::min(load_s, seconds_since(t));
    if (!loaded.ok()) return 1;
  }
  ::unlink(path.c_str());

  std::printf("%-44s %10s %10s\n", "step", "ms", "MB/s");
  auto row = [](const char* name, double s, double megabytes) {
    std::printf("%-44s %10.1f %10.0f\n", name, s * 1e3, megabytes / s);
  };
  std::printf("index record: %.1f MB\n", mb);
  row("HNSWIndex::to_snapshot", to_snap, mb);
  row("encode HnswSnapshot (to memory)", encode_s, mb);
  row("decode HnswSnapshot (from memory)", decode_s, mb);
  row("HNSWIndex::from_snapshot", from_snap, mb);
  row("decode + from_snapshot", decode_s + from_snap, mb);
  std::printf("segment file: %.1f MB\n", file_mb);
  row("Segment::persist_snapshot (fsync included)", persist_s, file_mb);
  row("plain read of the file (page cache)", read_s, file_mb);
  row("Segment::load_from_path (page cache)", load_s, file_mb);
  std::printf("load / plain read: %.2fx\n", load_s / read_s);
  return 0;
}
