// Feeds arbitrary bytes to the snapshot envelope and the payload decoders.
// Anything that decodes must re-encode to bytes that decode to an equal value.
#include <cstdio>
#include <cstdlib>

#include "payload_storage/stores.hpp"
#include "utils/encoding.hpp"
#include "utils/envelope.hpp"
#include "utils/payload.hpp"

using namespace dovadure;

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "round trip broke: %s\n", what);
    std::abort();
  }
}

template <typename T>
void round_trip(const T& value) {
  std::vector<uint8_t> bytes;
  utils::Encoder enc(bytes);
  value.encode(enc);
  check(enc.finish().ok(), "encode");
  utils::Decoder dec(bytes);
  T again;
  check(T::decode(dec, again).ok(), "re-decode");
  check(dec.remaining() == 0, "length");
  check(again == value, "equality");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> file(data, size);
  utils::Payload metadata;
  auto env = utils::open_snapshot_envelope(file, [&](std::span<const uint8_t> bytes) {
    utils::Decoder dec(bytes);
    return utils::Payload::decode(dec, metadata);
  });
  if (!env.ok()) return 0;
  if (env.value().has_metadata) round_trip(metadata);

  // The body is read as a payload index followed by a run of payloads.
  utils::Decoder dec(env.value().body);
  payload_storage::PayloadIndex index;
  if (!payload_storage::PayloadIndex::decode(dec, index).ok()) return 0;
  for (const auto& [field, values] : index.fields()) {
    for (const auto& [value, ids] : values) {
      check(value.is_scalar() && !ids.empty(), "index invariant");
      const auto* found = index.query_exact(field, value);
      check(found == &ids, "query_exact");
    }
  }
  round_trip(index);
  for (int i = 0; i < 64 && dec.remaining() > 0; ++i) {
    utils::Payload p;
    if (!utils::Payload::decode(dec, p).ok()) break;
    round_trip(p);
    for (const auto& [name, value] : p.fields) {
      const utils::PayloadValue copy(value);
      check(copy == value && copy.hash() == value.hash(), "hash agrees with equality");
    }
    index.insert(7, p);
    index.remove(7, p);
  }
  return 0;
}
