// The id -> node table against a plain map, through its consecutive form,
// the switch to the hash table, and rehashes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "vector/hnsw/id_index.hpp"

namespace dovadure::vector::hnsw {
namespace {

TEST(IdIndex, FindsWhatAPlainMapFinds) {
  constexpr uint64_t kTop = ~uint64_t{0};
  struct Case {
    const char* name;
    std::vector<uint64_t> ids;  // node i gets ids[i]
    size_t reserve_at;          // reserve(ids.size()) before this insert
  };
  std::vector<Case> cases = {
      {"consecutive from 0", {}, 0},
      {"consecutive across 2^64", {kTop - 2, kTop - 1, kTop, 0, 1, 2}, 3},
      {"a break after a run", {}, 50},
      {"a break at the second id", {7, 9, 8, 10, 11}, 1},
      {"descending", {}, 0},
  };
  for (uint64_t i = 0; i < 300; ++i) cases[0].ids.push_back(i);
  for (uint64_t i = 0; i < 300; ++i) cases[2].ids.push_back(i < 100 ? 40 + i : 1000 + 7 * i);
  for (uint64_t i = 0; i < 300; ++i) cases[4].ids.push_back(900 - i);

  for (const Case& c : cases) {
    IdIndex index;
    std::vector<uint64_t> ids;
    std::unordered_map<uint64_t, NodeIdx> model;
    std::vector<uint64_t> probes = {0, 1, 39, 139, kTop, kTop - 3, 3};
    for (size_t i = 0; i < c.ids.size(); ++i) {
      if (i == c.reserve_at) index.reserve(c.ids.size(), ids);
      ids.push_back(c.ids[i]);
      index.insert(c.ids[i], static_cast<NodeIdx>(i), ids);
      model[c.ids[i]] = static_cast<NodeIdx>(i);
      probes.push_back(c.ids[i]);
      probes.push_back(c.ids[i] + 1);
      for (uint64_t p : probes) {
        const auto want = model.find(p);
        const auto got = index.find(p, ids);
        ASSERT_EQ(got.has_value(), want != model.end()) << c.name << " id " << p << " after " << i;
        if (got) {
          ASSERT_EQ(*got, want->second) << c.name << " id " << p;
        }
      }
    }
    EXPECT_EQ(index.size(), c.ids.size()) << c.name;
  }
}

}  // namespace
}  // namespace dovadure::vector::hnsw
