// Feeds arbitrary bytes to the segment snapshot body decoders (current layout,
// then the oldest one, as the loader does for headerless files) and builds an
// index from whatever decodes. A built index must give back a record that
// encodes and decodes again, and must answer a search without crashing.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "segment/segment_snapshot.hpp"
#include "utils/encoding.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/snapshot.hpp"

namespace {

using namespace dovadure;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "segment body fuzz: %s\n", what);
    std::abort();
  }
}

void exercise(vector::hnsw::HnswSnapshot hnsw) {
  auto built = vector::hnsw::HNSWIndex::from_snapshot(std::move(hnsw));
  if (!built.ok()) return;
  const vector::hnsw::HNSWIndex& index = *built.value();
  const vector::hnsw::HnswSnapshot back = index.to_snapshot();
  check(back.vectors.size() == index.len(), "to_snapshot lost vectors");
  std::vector<uint8_t> bytes;
  {
    utils::Encoder enc(bytes);
    vector::hnsw::encode(enc, back);
  }
  check(bytes.size() == vector::hnsw::encoded_size(back), "encoded_size");
  vector::hnsw::HnswSnapshot again;
  utils::Decoder dec(bytes);
  check(vector::hnsw::decode(dec, again).ok(), "re-decode");
  check(again.vectors.keys == back.vectors.keys, "re-decoded ids");

  // An empty index may claim any dimension; a non-empty one holds vectors of
  // that length, so a query of it is no larger than the input.
  if (index.len() == 0) return;
  const std::vector<float> query(index.dim(), 0.5f);
  vector::hnsw::SearchOptions options;
  options.ef = 8;
  (void)index.search_with_options(query, 3, options);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  segment::SegmentSnapshot current;
  utils::Decoder dec(input);
  if (segment::decode(dec, current).ok()) {
    exercise(std::move(current.hnsw));
    return 0;
  }
  segment::SegmentSnapshotV1 older;
  utils::Decoder dec_old(input);
  if (segment::decode(dec_old, older).ok()) {
    exercise(segment::upgrade(std::move(older)).hnsw);
  }
  return 0;
}
