// Layer beam search: heaps, scratch, stopping rules and filters, on graphs
// built by hand so that every counter has a known value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <vector>

#include "vector/hnsw/core.hpp"
#include "vector/hnsw/scratch.hpp"
#include "vector/hnsw/search_layer_detail.hpp"

namespace dovadure::vector::hnsw {
namespace {

using utils::DistanceMetric;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---------------------------------------------------------------------------
// Heaps

template <class Heap, class T>
std::vector<float> drain(Heap& heap) {
  std::vector<float> keys;
  while (!heap.empty()) keys.push_back(heap.pop().sort_key);
  return keys;
}

TEST(BinaryHeapTest, CandidatesYieldClosestFirstResultsWorstFirst) {
  CandidateHeap candidates;
  ResultHeap results;
  for (float k : {0.5f, 0.1f, 0.9f}) {
    candidates.push({0, k, k});
    results.push({0, k, k});
  }
  EXPECT_EQ((drain<CandidateHeap, NodeCandidate>(candidates)), (std::vector<float>{0.1f, 0.5f, 0.9f}));
  EXPECT_EQ((drain<ResultHeap, NodeResult>(results)), (std::vector<float>{0.9f, 0.5f, 0.1f}));
}

TEST(BinaryHeapTest, MatchesSortedOrderOnRandomKeysAndSortsInPlace) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-5.0f, 5.0f);
  for (int round = 0; round < 50; ++round) {
    ResultHeap heap;
    std::vector<float> keys;
    const int n = 1 + round * 3;
    for (int i = 0; i < n; ++i) {
      const float k = i % 5 == 0 ? 1.0f : dist(rng);  // some ties
      keys.push_back(k);
      heap.push({static_cast<NodeIdx>(i), k, k});
      if (i % 4 == 3) {  // interleave pops of the maximum
        const float top = heap.pop().sort_key;
        auto it = std::max_element(keys.begin(), keys.end());
        EXPECT_EQ(top, *it);
        keys.erase(it);
      }
    }
    heap.sort_ascending();
    std::vector<float> sorted;
    for (const auto& r : heap.items()) sorted.push_back(r.sort_key);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(sorted, keys);
  }
}

// push_pop must leave the very arrangement a push and a pop leave: equal
// keys then come out of the heap in the same order, and graphs built on it
// stay the same.
template <class Heap>
void expect_push_pop_arranges_as_push_then_pop(uint32_t seed) {
  std::mt19937 rng(seed);
  Heap fast;
  Heap slow;
  for (NodeIdx i = 0; i < 3000; ++i) {
    // Few distinct keys (many ties), now and then a NaN.
    const float k = i % 97 == 0 ? kNaN : static_cast<float>(rng() % 20);
    if (fast.size() < 40) {
      fast.push({i, k, k});
      slow.push({i, k, k});
    } else {
      fast.push_pop({i, k, k});
      slow.push({i, k, k});
      slow.pop();
    }
    ASSERT_EQ(fast.size(), slow.size());
    for (size_t j = 0; j < fast.size(); ++j) {
      ASSERT_EQ(fast.items()[j].idx, slow.items()[j].idx) << "step " << i << " slot " << j;
    }
  }
  Heap empty;
  empty.push_pop({1, 0.5f, 0.5f});
  EXPECT_TRUE(empty.empty());
}

TEST(BinaryHeapTest, PushPopArrangesAsAPushThenAPop) {
  expect_push_pop_arranges_as_push_then_pop<ResultHeap>(5);
  expect_push_pop_arranges_as_push_then_pop<CandidateHeap>(6);
}

TEST(BinaryHeapTest, NanNeverStopsSiftUpAndKeepsEveryRecord) {
  ResultHeap results;
  results.push({1, 0.5f, 0.5f});
  results.push({2, kNaN, kNaN});
  EXPECT_EQ(results.top().idx, 2u);  // climbed past 0.5
  CandidateHeap candidates;
  candidates.push({1, 0.5f, 0.5f});
  candidates.push({2, kNaN, kNaN});
  candidates.push({3, 0.1f, 0.1f});
  EXPECT_EQ(candidates.top().idx, 3u);  // climbed past the NaN root

  // Mixed NaN keys: nothing is lost or duplicated, whatever the order.
  std::mt19937 rng(3);
  ResultHeap heap;
  std::multiset<NodeIdx> expected;
  for (NodeIdx i = 0; i < 200; ++i) {
    const float k = i % 7 == 0 ? kNaN : static_cast<float>(rng() % 50);
    heap.push({i, k, k});
    expected.insert(i);
    if (i % 3 == 0) expected.erase(expected.find(heap.pop().idx));
  }
  heap.sort_ascending();
  std::multiset<NodeIdx> got;
  for (const auto& r : heap.items()) got.insert(r.idx);
  EXPECT_EQ(got, expected);
}

// The in-place heap sort of a max-heap by key, IEEE comparisons throughout:
// where keys repeat or one is NaN, sort_ascending must place every record as
// it does (its order among equal keys is the one graphs were built with).
std::vector<NodeIdx> heap_sorted(std::vector<QueuedNode> d) {
  const auto at_most = [](const QueuedNode& a, const QueuedNode& b) {
    return a.sort_key <= b.sort_key;
  };
  for (size_t end = d.size(); end > 1;) {
    --end;
    std::swap(d[0], d[end]);
    size_t pos = 0;
    const QueuedNode item = d[0];
    size_t child = 1;
    while (child + 1 < end) {
      if (at_most(d[child], d[child + 1])) ++child;
      if (at_most(d[child], item)) break;
      d[pos] = d[child];
      pos = child;
      child = 2 * pos + 1;
    }
    if (child + 1 == end && item.sort_key < d[child].sort_key) {
      d[pos] = d[child];
      pos = child;
    }
    d[pos] = item;
  }
  std::vector<NodeIdx> order;
  for (const QueuedNode& r : d) order.push_back(r.idx);
  return order;
}

TEST(BinaryHeapTest, SortAscendingPlacesRepeatedAndNanKeysAsTheHeapSort) {
  struct Case {
    const char* what;
    uint32_t distinct;   // keys drawn from this many values
    uint32_t nan_every;  // every so many records a NaN key (0: none)
    uint32_t nan_from;   // the first NaN's record
  };
  for (const Case& c : {Case{"distinct keys", 1u << 30, 0, 0}, Case{"repeated keys", 6, 0, 0},
                        Case{"one NaN", 1u << 30, 1000, 20}, Case{"NaN and repeats", 9, 11, 3}}) {
    std::mt19937 rng(11);
    ResultHeap heap;
    for (NodeIdx i = 0; i < 150; ++i) {
      const bool nan = c.nan_every != 0 && i >= c.nan_from && (i - c.nan_from) % c.nan_every == 0;
      const float k = nan ? kNaN : static_cast<float>(rng() % c.distinct) / 7.0f;
      heap.push({i, k, k});
    }
    const std::vector<NodeIdx> expected = heap_sorted(heap.items());
    heap.sort_ascending();
    std::vector<NodeIdx> got;
    for (const QueuedNode& r : heap.items()) got.push_back(r.idx);
    EXPECT_EQ(got, expected) << c.what;
  }
}

// ---------------------------------------------------------------------------
// Scratch

TEST(SearchScratchTest, MarksClearAtEpochWrap) {
  VisitedMarks marks;
  marks.begin(4);
  EXPECT_EQ(marks.epoch, 1);
  marks.epoch = 254;
  marks.begin(4);
  EXPECT_EQ(marks.epoch, 255);
  marks.set(2);
  EXPECT_TRUE(marks.test(2));
  marks.begin(6);  // grows and wraps
  EXPECT_EQ(marks.epoch, 1);
  EXPECT_EQ(marks.marks, std::vector<uint8_t>(6, 0));
  EXPECT_FALSE(marks.test(2));
}

TEST(SearchScratchTest, StampsClearBeforeReachingU32Max) {
  VisitedStamps stamps;
  stamps.begin(3);
  EXPECT_EQ(stamps.epoch, 1u);
  stamps.epoch = UINT32_MAX - 2;
  stamps.begin(3);
  EXPECT_EQ(stamps.epoch, UINT32_MAX - 1);
  stamps.set(1);
  stamps.begin(2);  // incrementing would reach the maximum
  EXPECT_EQ(stamps.epoch, 1u);
  EXPECT_EQ(stamps.stamps, std::vector<uint32_t>(3, 0));
  EXPECT_TRUE(stamps.has_slot(2));
  EXPECT_FALSE(stamps.has_slot(3));
}

TEST(SearchScratchDeathTest, SecondBorrowOnOneThreadAborts) {
  EXPECT_DEATH(
      {
        ScratchBorrow first;
        ScratchBorrow second;
      },
      "search scratch already borrowed on this thread");
  // Sequential borrows are fine.
  { ScratchBorrow a; }
  { ScratchBorrow b; }
}

// ---------------------------------------------------------------------------
// Walk helpers

TEST(ScanWalkTest, NoCapScansEveryPositionFromZero) {
  const auto walk = search_detail::scan_walk(12345, 7, 10, SIZE_MAX, true, true);
  EXPECT_EQ(walk.start, 0u);
  EXPECT_EQ(walk.step, 1u);
  EXPECT_EQ(walk.count, 10u);
  const auto capped = search_detail::scan_walk(std::nullopt, 7, 10, 3, false, false);
  EXPECT_EQ(capped.start, 0u);
  EXPECT_EQ(capped.step, 1u);
  EXPECT_EQ(capped.count, 3u);
  // A cap equal to the length leaves the walk alone.
  const auto equal = search_detail::scan_walk(99, 7, 10, 10, true, true);
  EXPECT_EQ(equal.start, 0u);
  EXPECT_EQ(equal.step, 1u);
}

TEST(ScanWalkTest, StrideAdvancesUntilCoprime) {
  // (h >> 32) mod 5 = 1: 2, 3 and 4 share a factor with 6, 5 does not.
  EXPECT_EQ(search_detail::coprime_stride(uint64_t{1} << 32, 6), 5u);
  EXPECT_EQ(search_detail::coprime_stride(uint64_t{0}, 6), 1u);
  EXPECT_EQ(search_detail::coprime_stride(uint64_t{7} << 32, 2), 1u);
}

TEST(ScanWalkTest, RotationAndStrideFollowTheHash) {
  const uint64_t seed = 0xDEADBEEF;
  const NodeIdx u = 42;
  const uint64_t h = (seed + u) * 0x9E3779B97F4A7C15ull;
  const auto walk = search_detail::scan_walk(seed, u, 9, 4, true, true);
  EXPECT_EQ(walk.start, h % 9);
  EXPECT_EQ(walk.step, search_detail::coprime_stride(h, 9));
  EXPECT_EQ(walk.count, 4u);
  const auto no_seed = search_detail::scan_walk(std::nullopt, u, 9, 4, true, false);
  EXPECT_EQ(no_seed.start, (uint64_t{u} * 0x9E3779B97F4A7C15ull) % 9);
  EXPECT_EQ(no_seed.step, 1u);
}

TEST(ScanWalkTest, StrideWalkVisitsDistinctPositions) {
  std::mt19937_64 rng(11);
  for (size_t len = 2; len <= 70; ++len) {
    for (int r = 0; r < 20; ++r) {
      const auto walk = search_detail::scan_walk(rng(), static_cast<NodeIdx>(r), len, len - 1,
                                                 true, true);
      std::set<size_t> seen;
      size_t pos = walk.start;
      for (size_t k = 0; k < len; ++k) {
        seen.insert(pos);
        pos = (pos + walk.step) % len;
      }
      EXPECT_EQ(seen.size(), len) << "len " << len;
    }
  }
}

TEST(ScreenThresholdTest, ConvertsSaturating) {
  EXPECT_EQ(search_detail::screen_threshold(0.0f),
            static_cast<int32_t>(127.5f * 127.5f * 0.85f));
  EXPECT_EQ(search_detail::screen_threshold(kNaN), 0);
  EXPECT_EQ(search_detail::saturating_i32(2147483520.0f), 2147483520);
  EXPECT_EQ(search_detail::saturating_i32(3e9f), INT32_MAX);
  EXPECT_EQ(search_detail::saturating_i32(-3e9f), INT32_MIN);
  EXPECT_EQ(search_detail::saturating_i32(-7.9f), -7);
}

TEST(ExpansionCapTest, IsMaxOfEfAndProductSaturating) {
  EXPECT_EQ(search_detail::expansion_cap_for(10, 2), 20u);
  EXPECT_EQ(search_detail::expansion_cap_for(10, 1), 10u);
  EXPECT_EQ(search_detail::expansion_cap_for(SIZE_MAX / 2, 3), SIZE_MAX);
}

// ---------------------------------------------------------------------------
// Hand-built graphs

// Nodes with given vectors, every node live, lists set explicitly.
struct Graph {
  explicit Graph(DistanceMetric metric, size_t dim, size_t levels = 1)
      : index(metric, 4, 32, levels - 1, dim) {}

  NodeIdx add(std::vector<float> v, uint8_t level = 0) {
    const auto idx = index.allocate_node(next_id++, v, level);
    EXPECT_TRUE(idx.has_value());
    index.set_state(*idx, kStateLive);
    return *idx;
  }
  void link(NodeIdx u, std::vector<NodeIdx> neighbors, size_t layer = 0) {
    std::vector<NodeIdx> list{u};
    list.insert(list.end(), neighbors.begin(), neighbors.end());
    index.set_neighbors(layer, u, list);
  }

  HNSWIndex index;
  uint64_t next_id = 100;
};

struct SearchRun {
  std::vector<NodeCandidate> nodes;
  SearchCounters counters;
  StatsSink stats;
};

SearchRun search(const HNSWIndex& index, std::vector<float> q, std::vector<NodeIdx> entries, size_t ef,
           const SearchOptions& options, bool with_stats = true, size_t level = 0) {
  SearchRun run;
  const bool negate = index.metric() != DistanceMetric::Euclidean;
  auto r = index.search_layer_unfiltered(q, entries, level, ef, options, negate,
                                         with_stats ? &run.stats : nullptr, nullptr);
  EXPECT_TRUE(r.ok());
  if (r.ok()) {
    run.nodes = r.value().nodes;
    run.counters = r.value().counters;
  }
  return run;
}

std::vector<NodeIdx> ids_of(const std::vector<NodeCandidate>& nodes) {
  std::vector<NodeIdx> out;
  for (const auto& n : nodes) out.push_back(n.idx);
  return out;
}

// Entry 0 at x = 10, its neighbours closer and closer to the query at 0, so
// that every admission evicts and the early candidates end up beaten.
struct FunnelGraph : Graph {
  FunnelGraph() : Graph(DistanceMetric::Euclidean, 1) {
    for (float x : {10.0f, 9.0f, 8.0f, 7.0f, 6.0f, 1.0f, 0.5f}) add({x});
    link(0, {1, 2, 3, 4, 5, 6});
  }
};

SearchOptions with_mult(size_t mult) {
  SearchOptions o;
  o.expansion_mult = mult;
  return o;
}

TEST(LayerSearchTest, RejectsWrongQueryLength) {
  FunnelGraph g;
  const std::vector<float> q{1.0f, 2.0f};
  const std::vector<NodeIdx> entries{0};
  auto r = g.index.search_layer_unfiltered(q, entries, 0, 4, {}, false, nullptr, nullptr);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "Vector length mismatch: expected 1, got 2");
}

TEST(LayerSearchTest, EarlyExitPatienceZeroStopsAtFirstBeatenCandidate) {
  FunnelGraph g;
  SearchOptions o = with_mult(100);
  o.early_exit_patience = 0;
  const SearchRun run = search(g.index, {0.0f}, {0}, 2, o);
  // Expanded: 0, then 6 (x 0.5) and 5 (x 1); 4 (x 6) is beaten and stops.
  EXPECT_EQ(run.stats.expansions, 3u);
  EXPECT_EQ(ids_of(run.nodes), (std::vector<NodeIdx>{6, 5}));
  EXPECT_EQ(run.nodes[0].score, 0.25f);
  EXPECT_EQ(run.nodes[1].sort_key, 1.0f);
  EXPECT_EQ(run.stats.visited, 7u);
}

TEST(LayerSearchTest, EarlyExitPatienceThreeExpandsThreeBeatenThenStops) {
  FunnelGraph g;
  SearchOptions o = with_mult(100);
  o.early_exit_patience = 3;
  const SearchRun run = search(g.index, {0.0f}, {0}, 2, o);
  // 0, 6, 5, then the beaten 4, 3, 2; the fourth beaten (1) stops.
  EXPECT_EQ(run.stats.expansions, 6u);
  EXPECT_EQ(ids_of(run.nodes), (std::vector<NodeIdx>{6, 5}));
}

TEST(LayerSearchTest, ExpansionCapAppliesToEuclideanNotDot) {
  FunnelGraph g;
  SearchOptions o = with_mult(1);
  o.early_exit_patience = 100;
  EXPECT_EQ(search(g.index, {0.0f}, {0}, 2, o).stats.expansions, 2u);
  o.expansion_mult = 0;  // counts as 1
  EXPECT_EQ(search(g.index, {0.0f}, {0}, 2, o).stats.expansions, 2u);
  o.expansion_mult = 2;
  EXPECT_EQ(search(g.index, {0.0f}, {0}, 2, o).stats.expansions, 4u);

  // Same shape under Dot: the walk runs until the queue is empty.
  Graph d(DistanceMetric::Dot, 1);
  for (float x : {-10.0f, -9.0f, -8.0f, -7.0f, -6.0f, -1.0f, -0.5f}) d.add({x});
  d.link(0, {1, 2, 3, 4, 5, 6});
  o.expansion_mult = 1;
  const SearchRun run = search(d.index, {1.0f}, {0}, 2, o);
  EXPECT_EQ(run.stats.expansions, 7u);
  EXPECT_EQ(ids_of(run.nodes), (std::vector<NodeIdx>{6, 5}));
  EXPECT_EQ(run.nodes[0].score, -0.5f);
  EXPECT_EQ(run.nodes[0].sort_key, 0.5f);
}

// Node 0 at the query, ten neighbours at x = 1..10.
struct StarGraph : Graph {
  StarGraph() : Graph(DistanceMetric::Euclidean, 1) {
    add({0.0f});
    std::vector<NodeIdx> spokes;
    for (int i = 1; i <= 10; ++i) spokes.push_back(add({static_cast<float>(i)}));
    link(0, spokes);
  }
};

TEST(LayerSearchTest, ScanCapScansTheFirstPositionsOnly) {
  StarGraph g;
  SearchOptions o = with_mult(100);
  o.scan_cap = 3;
  const SearchRun run = search(g.index, {0.0f}, {0}, 20, o);
  // Positions 0, 1, 2 of [0, 1, ..., 10]: the node itself, then 1 and 2.
  EXPECT_EQ(ids_of(run.nodes), (std::vector<NodeIdx>{0, 1, 2}));
  // Lists: [0, 1..10] capped (3 scanned), [1] and [2] (1 each, not capped).
  EXPECT_EQ(run.stats.scanned, 5u);
  EXPECT_EQ(run.stats.scored, 2u);
  EXPECT_EQ(run.stats.cap_hits, 1u);
  EXPECT_EQ(run.counters.cap_hits, 1u);
  EXPECT_EQ(run.stats.visited, 3u);

  // Without stats (the search's fast scan) the cap holds the same way.
  const SearchRun fast = search(g.index, {0.0f}, {0}, 20, o, /*with_stats=*/false);
  EXPECT_EQ(ids_of(fast.nodes), ids_of(run.nodes));
  EXPECT_EQ(fast.counters.cap_hits, 1u);

  // Scan cap 0 means no cap; without stats the two counters stay 0.
  o.scan_cap = 0;
  const SearchRun all = search(g.index, {0.0f}, {0}, 20, o, /*with_stats=*/false);
  EXPECT_EQ(all.nodes.size(), 11u);
  EXPECT_EQ(all.counters.scanned, 0u);
  EXPECT_EQ(all.counters.scored, 0u);
  EXPECT_EQ(all.counters.cap_hits, 0u);
}

TEST(LayerSearchTest, ScanCapIsIgnoredAboveLayerZero) {
  Graph g(DistanceMetric::Euclidean, 1, 2);
  g.add({0.0f}, 1);
  for (int i = 1; i <= 5; ++i) g.add({static_cast<float>(i)}, 1);
  g.link(0, {1, 2, 3, 4, 5}, 1);
  SearchOptions o = with_mult(100);
  o.scan_cap = 2;
  const SearchRun run = search(g.index, {0.0f}, {0}, 10, o, true, 1);
  EXPECT_EQ(run.nodes.size(), 6u);
  EXPECT_EQ(run.stats.cap_hits, 0u);
}

TEST(LayerSearchTest, ScanPatienceEndsTheScanAndDropsTheGroup) {
  StarGraph g;
  SearchOptions o = with_mult(100);
  o.scan_patience = 3;
  // ef 1: node 0 fills the results, every neighbour is a miss.
  const SearchRun run = search(g.index, {0.0f}, {0}, 1, o);
  EXPECT_EQ(run.stats.scored, 3u);
  EXPECT_EQ(run.stats.patience_stops, 1u);
  EXPECT_EQ(run.counters.patience_stops, 1u);
  // All ten were gathered into one group and marked before scoring.
  EXPECT_EQ(run.stats.visited, 11u);
  EXPECT_EQ(ids_of(run.nodes), (std::vector<NodeIdx>{0}));

  // A cap hit that ends by patience counts only as a patience stop.
  o.scan_cap = 5;
  const SearchRun capped = search(g.index, {0.0f}, {0}, 1, o);
  EXPECT_EQ(capped.stats.patience_stops, 1u);
  EXPECT_EQ(capped.stats.cap_hits, 0u);

  // Patience never moves under Dot.
  Graph d(DistanceMetric::Dot, 1);
  d.add({10.0f});
  std::vector<NodeIdx> spokes;
  for (int i = 1; i <= 10; ++i) spokes.push_back(d.add({static_cast<float>(i)}));
  d.link(0, spokes);
  SearchOptions od = with_mult(100);
  od.scan_patience = 3;
  const SearchRun dot = search(d.index, {1.0f}, {0}, 1, od);
  EXPECT_EQ(dot.stats.scored, 10u);
  EXPECT_EQ(dot.stats.patience_stops, 0u);
}

TEST(LayerSearchTest, SeedsSkipDeadOrUnknownNodesAndAreNotLimitedByEf) {
  Graph g(DistanceMetric::Euclidean, 1);
  for (int i = 0; i < 6; ++i) g.add({static_cast<float>(i)});
  g.index.set_state(4, kStateDeleted);
  g.index.set_state(5, kStateAllocated);

  // Every entry unusable: empty result, nothing expanded.
  const SearchRun none = search(g.index, {0.0f}, {4, 5, 77}, 3, {});
  EXPECT_TRUE(none.nodes.empty());
  EXPECT_EQ(none.stats.expansions, 0u);
  EXPECT_EQ(none.stats.visited, 0u);

  // Four usable seeds (one repeated), ef 2: all stay until an admission.
  const SearchRun seeds = search(g.index, {0.0f}, {3, 1, 1, 4, 2, 0}, 2, {});
  EXPECT_EQ(ids_of(seeds.nodes), (std::vector<NodeIdx>{0, 1, 2, 3}));
  EXPECT_EQ(seeds.stats.visited, 4u);
}

TEST(LayerSearchTest, NeighboursOutOfRangeDeletedOrUnlinkedAreSkipped) {
  Graph g(DistanceMetric::Euclidean, 1);
  for (int i = 0; i < 5; ++i) g.add({static_cast<float>(i)});
  g.link(0, {999, 1, 2, 3, 4, kNoNode});
  g.index.mark_deleted(g.index.point_id(2));
  g.index.set_state(3, kStateAllocated);
  const SearchRun run = search(g.index, {0.0f}, {0}, 10, with_mult(10));
  EXPECT_EQ(ids_of(run.nodes), (std::vector<NodeIdx>{0, 1, 4}));
  EXPECT_EQ(run.stats.scanned, 7u + 1u + 1u);  // node 0's list, then [1] and [4]
}

TEST(LayerSearchTest, NanKeysNeitherCrashNorDisplaceFiniteResults) {
  Graph g(DistanceMetric::Euclidean, 2);
  g.add({0.0f, 0.0f});
  std::vector<NodeIdx> spokes;
  for (int i = 1; i <= 20; ++i) {
    const float x = static_cast<float>(i);
    spokes.push_back(g.add(i % 3 == 0 ? std::vector<float>{kNaN, 0.0f} : std::vector<float>{x, 0.0f}));
  }
  g.link(0, spokes);
  for (NodeIdx s : spokes) g.link(s, {0});
  // ef 25 > node count: NaN nodes enter while the results are not full.
  const SearchRun wide = search(g.index, {0.0f, 0.0f}, {0}, 25, with_mult(10));
  EXPECT_EQ(wide.nodes.size(), 21u);
  // ef 4: node 3's NaN key enters while the results are not full, then sits
  // on top as the worst; no later key compares below it, so nothing else
  // enters. Degraded, but bounded: four records, none lost or repeated.
  const SearchRun narrow = search(g.index, {0.0f, 0.0f}, {0}, 4, with_mult(10));
  auto ids = ids_of(narrow.nodes);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<NodeIdx>{0, 1, 2, 3}));
}

TEST(LayerSearchTest, ResultsStayCorrectAcrossManyEpochWraps) {
  StarGraph g;
  const SearchRun first = search(g.index, {3.2f}, {0}, 3, with_mult(10));
  ASSERT_EQ(ids_of(first.nodes), (std::vector<NodeIdx>{3, 4, 2}));
  for (int i = 0; i < 600; ++i) {
    const SearchRun again = search(g.index, {3.2f}, {0}, 3, with_mult(10));
    ASSERT_EQ(ids_of(again.nodes), ids_of(first.nodes)) << "search " << i;
    ASSERT_EQ(again.stats.visited, first.stats.visited) << "search " << i;
  }
}

// ---------------------------------------------------------------------------
// Filters (layer 0, Cosine)

std::vector<float> unit(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> dist;
  std::vector<float> v(dim);
  double sum = 0;
  for (auto& x : v) {
    x = dist(rng);
    sum += double{x} * x;
  }
  for (auto& x : v) x = static_cast<float>(x / std::sqrt(sum));
  return v;
}

// Random unit vectors, each node linked to its k nearest by brute force,
// with the layer-0 score lists filled in position by position.
struct KnnGraph : Graph {
  KnnGraph(DistanceMetric metric, size_t n, size_t dim, size_t k, uint32_t seed)
      : Graph(metric, dim) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i) vectors.push_back(unit(rng, dim));
    for (auto& v : vectors) add(v);
    for (size_t i = 0; i < n; ++i) {
      std::vector<std::pair<float, NodeIdx>> by_key;
      for (size_t j = 0; j < n; ++j) {
        if (j == i) continue;
        by_key.push_back({index.fast_score(vectors[i], vectors[j]), static_cast<NodeIdx>(j)});
      }
      std::sort(by_key.begin(), by_key.end());
      std::vector<NodeIdx> list;
      std::vector<float> scores{0.0f};
      for (size_t t = 0; t < k; ++t) {
        list.push_back(by_key[t].second);
        scores.push_back(by_key[t].first);
      }
      link(static_cast<NodeIdx>(i), list);
      ScoreList* s = const_cast<ScoreList*>(index.l0_scores(static_cast<NodeIdx>(i)));
      std::unique_lock<utils::SpinRwLock> lock(s->lock);
      s->assign(scores);
    }
  }

  std::vector<NodeIdx> exact_top(const std::vector<float>& q, size_t k) const {
    std::vector<std::pair<float, NodeIdx>> all;
    for (size_t j = 0; j < vectors.size(); ++j) {
      all.push_back({index.fast_score(q, vectors[j]), static_cast<NodeIdx>(j)});
    }
    std::sort(all.begin(), all.end());
    std::vector<NodeIdx> out;
    for (size_t t = 0; t < k; ++t) out.push_back(all[t].second);
    return out;
  }

  std::vector<std::vector<float>> vectors;
};

double recall(const std::vector<NodeIdx>& got, const std::vector<NodeIdx>& truth) {
  size_t hit = 0;
  for (NodeIdx t : truth) hit += std::count(got.begin(), got.end(), t);
  return static_cast<double>(hit) / truth.size();
}

TEST(LayerSearchFilterTest, TriangleSkipAndScreenKeepRecallAndOnlyPrune) {
  KnnGraph g(DistanceMetric::Cosine, 400, 16, 12, 5);
  g.index.quantize_all();
  std::mt19937 rng(99);
  double plain_recall = 0, ti_recall = 0, screen_recall = 0;
  const int queries = 30;
  for (int i = 0; i < queries; ++i) {
    const auto q = unit(rng, 16);
    const auto truth = g.exact_top(q, 10);
    SearchOptions o = with_mult(4);
    o.ti_skip = Tristate::False;
    o.sq8_screen = Tristate::False;
    const SearchRun plain = search(g.index, q, {0}, 40, o, false);
    o.ti_skip = Tristate::True;
    const SearchRun ti = search(g.index, q, {0}, 40, o, false);
    o.ti_skip = Tristate::False;
    o.sq8_screen = Tristate::True;
    const SearchRun screen = search(g.index, q, {0}, 40, o, false);
    auto top10 = [](const SearchRun& r) {
      auto ids = ids_of(r.nodes);
      ids.resize(std::min<size_t>(ids.size(), 10));
      return ids;
    };
    plain_recall += recall(top10(plain), truth);
    ti_recall += recall(top10(ti), truth);
    screen_recall += recall(top10(screen), truth);
    // Every reported score is exact, whichever filter ran.
    for (const SearchRun* r : {&ti, &screen}) {
      for (const auto& n : r->nodes) {
        EXPECT_EQ(n.score, g.index.fast_score(q, g.vectors[n.idx]));
      }
    }
  }
  EXPECT_GT(plain_recall / queries, 0.9);
  EXPECT_GT(ti_recall / queries, 0.85);
  EXPECT_GT(screen_recall / queries, 0.85);
}

TEST(LayerSearchFilterTest, ScreenScoresNodesBeyondTheCodesExactly) {
  KnnGraph g(DistanceMetric::Cosine, 60, 8, 6, 8);
  g.index.quantize_all();
  // A node added after quantisation, identical to the query and linked from
  // node 0: it has no codes, so it must be scored exactly, not screened.
  std::mt19937 rng(4);
  const auto q = unit(rng, 8);
  const NodeIdx late = g.add(q);
  std::vector<NodeIdx> list;
  g.index.copy_neighbors(0, 0, list);
  list.push_back(late);
  g.index.set_neighbors(0, 0, list);
  SearchOptions o = with_mult(4);
  o.sq8_screen = Tristate::True;
  // ef 1: the results are full from the first seed, so every neighbour
  // meets the screen.
  const SearchRun run = search(g.index, q, {0}, 1, o, false);
  ASSERT_EQ(run.nodes.size(), 1u);
  EXPECT_EQ(run.nodes[0].idx, late);
  EXPECT_NEAR(run.nodes[0].score, 0.0f, 1e-6f);
}

}  // namespace
}  // namespace dovadure::vector::hnsw
