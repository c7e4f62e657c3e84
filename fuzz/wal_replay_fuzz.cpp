// Replays arbitrary bytes as a log file. Whenever replay succeeds, a writer
// opened with its outcome must be able to append a record that the next
// replay returns after exactly the records seen before.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "segment/wal.hpp"

using namespace dovadure;

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broke: %s\n", what);
    std::abort();
  }
}

const std::string& scratch_path() {
  static const std::string path = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/dovadure_wal_fuzz_" + std::to_string(getpid()) + ".wal";
  }();
  static const bool cleanup_registered = [] {
    std::atexit([] { ::unlink(path.c_str()); });
    return true;
  }();
  (void)cleanup_registered;
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = scratch_path();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);

  std::vector<segment::WalRecord> seen;
  auto collect = [&](segment::WalRecord&& r) {
    seen.push_back(std::move(r));
    return utils::Status();
  };
  auto first = segment::WalReader::replay(path, collect);
  if (first.ok()) {
    segment::WalWriterConfig config;
    config.path = path;
    config.fsync = false;
    auto writer = segment::WalWriter::open(config, first.value());
    check(writer.ok(), "open");
    utils::Payload p;
    p.fields.emplace("k", utils::PayloadValue::of_str("v"));
    const auto extra = segment::WalRecord::update_payload(42, p);
    check(writer.value().append(extra).ok(), "append");
    std::vector<segment::WalRecord> before = std::move(seen);
    seen.clear();
    auto second = segment::WalReader::replay(path, collect);
    check(second.ok(), "replay after append");
    check(!second.value().torn, "clean tail after append");
    check(seen.size() == before.size() + 1, "record count");
    for (size_t i = 0; i < before.size(); ++i) check(seen[i] == before[i], "earlier record");
    check(seen.back() == extra, "appended record");
  }
  return 0;
}
