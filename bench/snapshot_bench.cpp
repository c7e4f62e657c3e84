// Index snapshot record and segment snapshot throughput.
//
//   snapshot_bench [--n 100000] [--dim 128] [--m 16] [--reps 3] [--dir /tmp]
//   snapshot_bench [--n ...] --write PATH      save the synthetic segment
//   snapshot_bench --read|--load|--load-copy PATH   one step, then peak RSS
//
// Times are medians of the repetitions (the machine is shared and noisy).
// Peak RSS is only meaningful from the single-step modes, one per process.
//
// The graph is synthetic: random vectors, levels drawn like the index draws
// them (scale 1/ln m), full neighbour lists (1 + 2m ids on layer 0, 1 + m
// above). Its bytes are those of a built index of the same size; the search
// quality of the graph does not matter here, and building a real 100 000-node
// graph would take minutes of this benchmark's time. Reads are from the page
// cache (the file was just written), the best case for the plain read too.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
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

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// One plain read of the whole file into an uninitialised buffer (what
// `open(path, "rb").read()` costs): the baseline a load is held against.
double plain_read_once(const std::string& path) {
  const auto t = Clock::now();
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return 0.0;
  struct stat st {};
  ::fstat(fd, &st);
  const size_t len = static_cast<size_t>(st.st_size);
  std::unique_ptr<uint8_t[]> buf(new uint8_t[len + 1]);
  size_t got = 0;
  while (got < len) {
    const ssize_t k = ::read(fd, buf.get() + got, len - got);
    if (k <= 0) break;
    got += static_cast<size_t>(k);
  }
  ::close(fd);
  return seconds_since(t);
}

double peak_rss_mb() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Single-shot modes, one per process so that peak RSS belongs to one step:
//   --read PATH    plain read
//   --load PATH    what Index(path) does: load, then keep only the index
//   --load-copy PATH  the same with the index copied through its record
//   --write PATH   saves the synthetic segment there and exits
int single_shot(const std::string& mode, const std::string& path) {
  double s = 0.0;
  size_t nodes = 0;
  if (mode == "--read") {
    s = plain_read_once(path);
  } else {
    const auto t = Clock::now();
    auto loaded = segment::Segment::load_from_path(path, segment::SegmentAccess::ReadOnly);
    if (!loaded.ok()) {
      std::fprintf(stderr, "%s\n", loaded.error().to_string().c_str());
      return 1;
    }
    std::unique_ptr<vector::hnsw::HNSWIndex> index;
    if (mode == "--load") {
      index = segment::Segment::take_index(std::move(loaded).value());
    } else {
      vector::hnsw::HnswSnapshot record = loaded.value()->index().to_snapshot();
      loaded = utils::DBError::serialization("dropped");
      auto copy = vector::hnsw::HNSWIndex::from_snapshot(std::move(record));
      if (!copy.ok()) return 1;
      index = std::move(copy).value();
    }
    s = seconds_since(t);
    nodes = index->len();
  }
  std::printf("%s %s: %.1f ms, peak RSS %.1f MB, nodes %zu\n", mode.c_str(), path.c_str(), s * 1e3,
              peak_rss_mb(), nodes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = 100000, dim = 128, m = 16;
  int reps = 3;
  std::string dir = "/tmp";
  std::string write_path;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--n") n = std::strtoull(argv[i + 1], nullptr, 10);
    else if (k == "--dim") dim = std::strtoull(argv[i + 1], nullptr, 10);
    else if (k == "--m") m = std::strtoull(argv[i + 1], nullptr, 10);
    else if (k == "--reps") reps = std::atoi(argv[i + 1]);
    else if (k == "--dir") dir = argv[i + 1];
    else if (k == "--write") write_path = argv[i + 1];
    else if (k == "--read" || k == "--load" || k == "--load-copy") return single_shot(k, argv[i + 1]);
  }
  if (!write_path.empty()) {
    auto index = vector::hnsw::HNSWIndex::from_snapshot(synthetic(n, dim, m));
    if (!index.ok()) return 1;
    segment::Segment seg(std::move(index.value()), payload_storage::PayloadIndex(),
                         segment::PayloadMap(), segment::DeletedSet(), n);
    return seg.persist_snapshot(write_path).ok() ? 0 : 1;
  }
  std::printf("snapshot_bench: n=%zu dim=%zu m=%zu reps=%d (median of reps)\n", n, dim, m, reps);
  std::printf("machine: %s, %ld online cpus, compiler %s\n\n", cpu_model().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), __VERSION__);

  auto built = vector::hnsw::HNSWIndex::from_snapshot(synthetic(n, dim, m));
  if (!built.ok()) {
    std::fprintf(stderr, "%s\n", built.error().to_string().c_str());
    return 1;
  }
  std::unique_ptr<vector::hnsw::HNSWIndex> index = std::move(built.value());

  std::vector<double> to_snap, encode_s, decode_s, from_snap;
  size_t record_bytes = 0;
  for (int r = 0; r < reps; ++r) {
    auto t = Clock::now();
    vector::hnsw::HnswSnapshot s = index->to_snapshot();
    to_snap.push_back(seconds_since(t));
    std::vector<uint8_t> bytes;
    bytes.reserve(vector::hnsw::encoded_size(s));
    t = Clock::now();
    {
      utils::Encoder enc(bytes);
      vector::hnsw::encode(enc, s);
    }
    encode_s.push_back(seconds_since(t));
    record_bytes = bytes.size();
    vector::hnsw::HnswSnapshot back;
    t = Clock::now();
    utils::Decoder dec(bytes);
    if (!vector::hnsw::decode(dec, back).ok()) return 1;
    decode_s.push_back(seconds_since(t));
    t = Clock::now();
    auto again = vector::hnsw::HNSWIndex::from_snapshot(std::move(back));
    from_snap.push_back(seconds_since(t));
    if (!again.ok()) return 1;
  }
  const double mb = static_cast<double>(record_bytes) / 1e6;

  const std::string path = dir + "/dovadure_snapshot_bench.snap";
  segment::Segment seg(std::move(index), payload_storage::PayloadIndex(), segment::PayloadMap(),
                       segment::DeletedSet(), n);
  std::vector<double> persist_s;
  for (int r = 0; r < reps; ++r) {
    const auto t = Clock::now();
    if (!seg.persist_snapshot(path).ok()) return 1;
    persist_s.push_back(seconds_since(t));
  }
  struct stat st {};
  ::stat(path.c_str(), &st);
  const double file_mb = static_cast<double>(st.st_size) / 1e6;
  // Reads and loads alternate so that both see the same machine load.
  std::vector<double> read_s, load_s, module_s, copy_s;
  for (int r = 0; r < reps; ++r) {
    read_s.push_back(plain_read_once(path));
    auto t = Clock::now();
    auto loaded = segment::Segment::load_from_path(path, segment::SegmentAccess::ReadOnly);
    load_s.push_back(seconds_since(t));
    if (!loaded.ok()) return 1;
    t = Clock::now();
    auto copy = vector::hnsw::HNSWIndex::from_snapshot(loaded.value()->index().to_snapshot());
    copy_s.push_back(load_s.back() + seconds_since(t));
    if (!copy.ok()) return 1;
    t = Clock::now();
    const bool same = vector::hnsw::rebuilds_identically(loaded.value()->index());
    auto taken = segment::Segment::take_index(std::move(loaded).value());
    module_s.push_back(load_s.back() + seconds_since(t));
    if (!same || taken->len() != n) return 1;
  }
  ::unlink(path.c_str());

  std::printf("%-52s %10s %10s\n", "step", "ms", "MB/s");
  auto row = [](const char* name, const std::vector<double>& v, double megabytes) {
    const double s = median(v);
    std::printf("%-52s %10.1f %10.0f\n", name, s * 1e3, megabytes / s);
  };
  std::printf("index record: %.1f MB\n", mb);
  row("HNSWIndex::to_snapshot", to_snap, mb);
  row("encode HnswSnapshot (to memory)", encode_s, mb);
  row("decode HnswSnapshot (from memory)", decode_s, mb);
  row("HNSWIndex::from_snapshot", from_snap, mb);
  std::printf("segment file: %.1f MB\n", file_mb);
  row("Segment::persist_snapshot (fsync included)", persist_s, file_mb);
  row("plain read of the file (page cache)", read_s, file_mb);
  row("Segment::load_from_path (page cache)", load_s, file_mb);
  row("load + take_index (module, no log replayed)", module_s, file_mb);
  row("load + copy through the record (after a replay)", copy_s, file_mb);
  std::printf("load / plain read: %.2fx, module load / plain read: %.2fx\n",
              median(load_s) / median(read_s), median(module_s) / median(read_s));
  return 0;
}
