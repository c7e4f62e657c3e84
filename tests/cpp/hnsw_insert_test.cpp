#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "hnsw_test_util.hpp"
#include "utils/log.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DBErrorKind;
using dovadure::utils::DistanceMetric;
using hnsw_test::ScopedEnv;

std::vector<h::NodeIdx> list_of(const h::HNSWIndex& index, size_t layer, h::NodeIdx u) {
  std::vector<h::NodeIdx> out;
  index.copy_neighbors(layer, u, out);
  return out;
}

std::vector<float> scores_of(const h::HNSWIndex& index, h::NodeIdx u) {
  const h::ScoreList* list = index.l0_scores(u);
  std::shared_lock<dovadure::utils::SpinRwLock> read(list->lock);
  return std::vector<float>(list->begin(), list->end());
}

TEST(HnswInsert, FirstInsertBecomesTheEntryPoint) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 4, 3);
  ASSERT_TRUE(index.insert(42, {1, 2, 3}).ok());
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(index.entry_point_word(), h::make_entry_word(0, index.level_of(0)));
  EXPECT_EQ(index.state_of(0), h::kStateLive);
  for (size_t l = 0; l <= index.level_of(0); ++l) EXPECT_EQ(list_of(index, l, 0), std::vector<h::NodeIdx>{0});
}

TEST(HnswInsert, DuplicateIdAndWrongLength) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 4, 3);
  ASSERT_TRUE(index.insert(1, {1, 2, 3}).ok());
  ASSERT_TRUE(index.insert(1, {9, 9, 9}).ok());
  EXPECT_EQ(index.len(), 1u);
  EXPECT_EQ(std::vector<float>(index.get_vector(1)->begin(), index.get_vector(1)->end()),
            (std::vector<float>{1, 2, 3}));

  const auto bad = index.insert(2, {1, 2});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), DBErrorKind::DimensionMismatch);
  EXPECT_EQ(bad.error().to_string(), "Vector length mismatch: expected 3, got 2");
  EXPECT_EQ(index.len(), 1u);
  EXPECT_FALSE(index.contains(2));
}

TEST(HnswInsert, TwoNodesLinkEachOtherWithScores) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 0, 2);  // layer 0 only
  ASSERT_TRUE(index.insert(1, {0, 0}).ok());
  ASSERT_TRUE(index.insert(2, {3, 4}).ok());
  EXPECT_EQ(list_of(index, 0, 0), (std::vector<h::NodeIdx>{0, 1}));
  EXPECT_EQ(list_of(index, 0, 1), (std::vector<h::NodeIdx>{1, 0}));
  EXPECT_EQ(scores_of(index, 0), (std::vector<float>{0.0f, 25.0f}));
  EXPECT_EQ(scores_of(index, 1), (std::vector<float>{0.0f, 25.0f}));
}

TEST(HnswInsert, CosineStoresUnitVectors) {
  h::HNSWIndex index(DistanceMetric::Cosine, 4, 20, 2, 2);
  ASSERT_TRUE(index.insert(1, {3, 4}).ok());
  const auto v = index.get_vector(1);
  EXPECT_FLOAT_EQ((*v)[0], 0.6f);
  EXPECT_FLOAT_EQ((*v)[1], 0.8f);
}

// Checks every structural rule a built graph must keep.
void expect_well_formed(const h::HNSWIndex& index, size_t expected_nodes) {
  ASSERT_EQ(index.len(), expected_nodes);
  uint8_t highest = 0;
  for (h::NodeIdx u = 0; u < index.len(); ++u) {
    EXPECT_EQ(index.state_of(u), h::kStateLive);
    highest = std::max(highest, index.level_of(u));
    const auto l0 = list_of(index, 0, u);
    ASSERT_FALSE(l0.empty());
    EXPECT_LE(l0.size(), index.max_neighbors_l0() + 1);
    // Owner first, scores position by position.
    const auto uv = index.get_vector_by_idx(u);
    const auto scores = scores_of(index, u);
    ASSERT_EQ(scores.size(), l0.size());
    for (size_t j = 0; j < l0.size(); ++j) {
      ASSERT_LT(l0[j], index.len());
      if (l0[j] == u) {
        EXPECT_EQ(scores[j], 0.0f);
      } else {
        EXPECT_EQ(scores[j], index.fast_score(*uv, *index.get_vector_by_idx(l0[j])));
      }
    }
    for (size_t l = 1; l < index.num_layers(); ++l) {
      const auto list = list_of(index, l, u);
      EXPECT_LE(list.size(), index.m() + 1) << "layer " << l;
      if (l <= index.level_of(u)) {
        ASSERT_FALSE(list.empty());
      }
    }
  }
  const uint64_t word = index.entry_point_word();
  EXPECT_EQ(h::entry_word_level(word), highest);
  EXPECT_EQ(index.level_of(h::entry_word_idx(word)), highest);
}

TEST(HnswInsert, CapsHoldOnEveryLayer) {
  ScopedEnv scale("DOROVOZU_LEVEL_SCALE", "1.5");  // many nodes above layer 0
  h::HNSWIndex index(DistanceMetric::Euclidean, 2, 16, 3, 4);
  const auto data = hnsw_test::random_vectors(400, 4, 1);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  expect_well_formed(index, data.size());
}

TEST(HnswInsert, ListsStartWithTheirOwnerUnderDistanceMetrics) {
  for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean}) {
    h::HNSWIndex index(metric, 6, 32, 4, 8);
    const auto data = hnsw_test::random_vectors(500, 8, 2);
    for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(index.insert(1000 + i, data[i]).ok());
    expect_well_formed(index, data.size());
    for (h::NodeIdx u = 0; u < index.len(); ++u) {
      for (size_t l = 0; l <= index.level_of(u); ++l) ASSERT_EQ(list_of(index, l, u).front(), u);
    }
  }
}

TEST(HnswInsert, DotGraphIsWellFormed) {
  h::HNSWIndex index(DistanceMetric::Dot, 6, 32, 4, 8);
  const auto data = hnsw_test::random_vectors(300, 8, 3);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  expect_well_formed(index, data.size());
}

TEST(HnswInsert, InsertAfterDeletingTheEntryPoint) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 4, 2);
  const auto data = hnsw_test::random_vectors(50, 2, 4);
  for (size_t i = 0; i < 40; ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  const h::NodeIdx entry = h::entry_word_idx(index.entry_point_word());
  index.mark_deleted(index.point_id(entry));
  EXPECT_NE(h::entry_word_idx(index.entry_point_word()), entry);
  for (size_t i = 40; i < 50; ++i) ASSERT_TRUE(index.insert(i, data[i]).ok());
  for (h::NodeIdx u = 40; u < 50; ++u) {
    EXPECT_EQ(index.state_of(u), h::kStateLive);
    EXPECT_GE(list_of(index, 0, u).size(), 2u);
  }
}

// A plain single-writer model of insertion, written step by step from the
// rules with every score computed afresh: no cached layer-0 scores, no
// shortcuts, the library's stable sort. It drives a second index through the
// public pieces (allocation, layer search, greedy walk, list replacement)
// with the levels the real insert drew, so the two graphs must match exactly.
class InsertModel {
 public:
  InsertModel(DistanceMetric metric, size_t m, size_t ef, size_t max_level, size_t dim)
      : index_(metric, m, ef, max_level, dim), negate_(metric != DistanceMetric::Euclidean) {}

  h::HNSWIndex& index() { return index_; }

  void insert(uint64_t id, const std::vector<float>& v, uint8_t level) {
    const std::vector<float> q = index_.maybe_normalize(v);
    const h::NodeIdx u = *index_.allocate_node(id, q, level);
    vecs_.push_back(q);
    const uint64_t word = index_.entry_point_word();
    if (h::entry_word_idx(word) == h::kNoNode) {
      index_.set_state(u, h::kStateLive);
      index_.store_entry_point_word(h::make_entry_word(u, level));
      return;
    }
    h::NodeIdx current = h::entry_word_idx(word);
    const size_t top = h::entry_word_level(word);
    if (index_.is_deleted(current)) current = index_.find_highest_level_entry_point().value_or(u);
    for (size_t l = top; l > level; --l) {
      current = index_.greedy_search_layer_unfiltered(q, current, l);
    }

    dovadure::vector::hnsw::SearchOptions options;
    options.expansion_mult = 1;
    for (size_t l = level + 1; l-- > 0;) {
      auto found = index_.search_layer_unfiltered(q, std::span<const h::NodeIdx>(&current, 1), l,
                                                  index_.ef_insert(), options, negate_, nullptr,
                                                  nullptr);
      ASSERT_TRUE(found.ok());
      std::vector<h::NodeCandidate> w = found.value().nodes;
      sort(w);
      const size_t ml = l == 0 ? index_.m0() : index_.m();
      extend(w, u, l, ml);
      sort(w);
      const std::vector<h::NodeIdx> chosen = select(w, ml, negate_, l);
      std::vector<h::NodeIdx> own{u};
      for (h::NodeIdx s : chosen) {
        if (s != u) own.push_back(s);
      }
      index_.set_neighbors(l, u, own);
      cap(l, u);
      for (h::NodeIdx s : chosen) {
        if (index_.is_deleted(s)) continue;
        const float k = key(score(s, u));
        std::vector<h::NodeIdx> list = list_of(index_, l, s);
        // Halving bisection: the predicate need not partition the list.
        size_t first = 0;
        for (size_t len = list.size(); len > 0;) {
          const size_t half = len / 2;
          const h::NodeIdx x = list[first + half];
          if (index_.is_deleted(x) || key(score(s, x)) <= k) {
            first += half + 1;
            len -= half + 1;
          } else {
            len = half;
          }
        }
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(first), u);
        index_.set_neighbors(l, s, list);
        cap(l, s);
      }
      if (!chosen.empty()) current = chosen.front();
    }
    index_.set_state(u, h::kStateLive);
    if (level > top) index_.store_entry_point_word(h::make_entry_word(u, level));
  }

  const std::vector<float>& vector_of(h::NodeIdx x) const { return vecs_[x]; }

 private:
  float score(h::NodeIdx a, h::NodeIdx b) const { return index_.fast_score(vecs_[a], vecs_[b]); }
  float key(float score) const { return negate_ ? h::sort_key_of(index_.metric(), score) : score; }

  static void sort(std::vector<h::NodeCandidate>& w) {
    std::stable_sort(w.begin(), w.end(), [](const h::NodeCandidate& a, const h::NodeCandidate& b) {
      return !std::isnan(a.sort_key) && (std::isnan(b.sort_key) || a.sort_key < b.sort_key);
    });
  }

  void extend(std::vector<h::NodeCandidate>& w, h::NodeIdx u, size_t l, size_t ml) const {
    std::vector<h::NodeIdx> seen{u};
    for (const h::NodeCandidate& c : w) seen.push_back(c.idx);
    std::vector<h::NodeCandidate> extra;
    for (size_t g = 0; g < std::min(ml, w.size()); ++g) {
      for (h::NodeIdx x : list_of(index_, l, w[g].idx)) {
        if (index_.state_of(x) != h::kStateLive) continue;
        if (std::find(seen.begin(), seen.end(), x) != seen.end()) continue;
        seen.push_back(x);
        const float s = score(u, x);
        extra.push_back({x, s, key(s)});
      }
    }
    w.insert(w.end(), extra.begin(), extra.end());
  }

  std::vector<h::NodeIdx> select(const std::vector<h::NodeCandidate>& w, size_t target,
                                 bool negate, size_t l) const {
    const float alpha = h::diversity_alpha_for_level(l);
    const std::optional<size_t> floor = h::diversity_prune_floor();
    std::vector<h::NodeIdx> r;
    const auto in_r = [&r](h::NodeIdx x) { return std::find(r.begin(), r.end(), x) != r.end(); };
    for (const h::NodeCandidate& c : w) {
      if (r.size() >= target) break;
      if (in_r(c.idx) || index_.is_deleted(c.idx)) continue;
      bool rejected = false;
      if (!floor || r.size() >= std::min(target, *floor)) {
        for (h::NodeIdx x : r) {
          const float d = score(c.idx, x);
          rejected = (negate ? h::sort_key_of(index_.metric(), d) : d) < c.sort_key * alpha;
          if (rejected) break;
        }
      }
      if (!rejected) r.push_back(c.idx);
    }
    for (const h::NodeCandidate& c : w) {
      if (r.size() >= target) break;
      if (!in_r(c.idx)) r.push_back(c.idx);
    }
    return r;
  }

  void cap(size_t l, h::NodeIdx u) {
    const size_t limit = l == 0 ? index_.max_neighbors_l0() : index_.m();
    const std::vector<h::NodeIdx> list = list_of(index_, l, u);
    if (list.size() <= limit + 1) return;
    std::vector<h::NodeCandidate> candidates;
    for (h::NodeIdx x : list) {
      const float s = score(u, x);
      candidates.push_back({x, s, h::sort_key_of(index_.metric(), s)});
    }
    sort(candidates);
    index_.set_neighbors(l, u, select(candidates, limit + 1, true, l));
  }

  h::HNSWIndex index_;
  bool negate_;
  std::vector<std::vector<float>> vecs_;
};

// Builds the same points (with ties, a zero vector and deletions, the entry
// point among them) into the index and into the model, then compares every
// list on every layer, the entry point, and the cached layer-0 scores against
// a fresh scoring of each list.
// A beam of 2 leaves much to candidate extension, and many repeated vectors
// give it candidates that tie with searched ones.
// Caps replay their list's previous cap wherever they can; the model never
// does, so the comparison checks every replay.
void expect_same_graph_as_model(DistanceMetric metric, size_t ef_insert = 12,
                                size_t repeat_every = 41, size_t m = 3, size_t points = 500) {
  SCOPED_TRACE(static_cast<int>(metric));
  ScopedEnv scale("DOROVOZU_LEVEL_SCALE", "1.2");  // several upper layers
  const size_t kPoints = points;
  h::HNSWIndex index(metric, m, 12, 4, 6);
  InsertModel model(metric, m, 12, 4, 6);
  index.set_ef_insert(ef_insert);
  model.index().set_ef_insert(ef_insert);
  auto data = hnsw_test::clustered_vectors(kPoints, 6, 5, 17);
  for (size_t i = 7; i < kPoints; i += repeat_every) data[i] = data[i * 7919 % (i - 3)];  // ties
  data[100] = std::vector<float>(6, 0.0f);
  for (size_t i = 0; i < kPoints; ++i) {
    ASSERT_TRUE(index.insert(i + 10, data[i]).ok());
    model.insert(i + 10, data[i], index.level_of(static_cast<h::NodeIdx>(i)));
    if (i % 120 == 60) {
      // Delete the entry point once, other nodes afterwards.
      const uint64_t victim = i == 60 ? index.point_id(h::entry_word_idx(index.entry_point_word()))
                                      : i - 30 + 10;
      index.mark_deleted(victim);
      model.index().mark_deleted(victim);
    }
  }
  ASSERT_EQ(index.entry_point_word(), model.index().entry_point_word());
  ASSERT_EQ(index.num_layers(), model.index().num_layers());
  size_t linked = 0;
  for (h::NodeIdx u = 0; u < kPoints; ++u) {
    for (size_t l = 0; l < index.num_layers(); ++l) {
      const auto list = list_of(index, l, u);
      ASSERT_EQ(list, list_of(model.index(), l, u)) << "node " << u << " layer " << l;
      linked += list.size() > 1 ? 1 : 0;
    }
    const auto list = list_of(index, 0, u);
    const auto scores = scores_of(index, u);
    ASSERT_EQ(scores.size(), list.size()) << "node " << u;
    for (size_t j = 0; j < list.size(); ++j) {
      const float fresh =
          list[j] == u ? 0.0f : index.fast_score(model.vector_of(u), model.vector_of(list[j]));
      ASSERT_EQ(std::bit_cast<uint32_t>(scores[j]), std::bit_cast<uint32_t>(fresh))
          << "node " << u << " entry " << j;
    }
  }
  EXPECT_GT(linked, kPoints);  // upper layers were built too
  EXPECT_GT(index.prune_memo_reuses(), kPoints / 10);
}

TEST(HnswInsertModel, EuclideanGraphMatchesThePlainModel) {
  expect_same_graph_as_model(DistanceMetric::Euclidean);
}

TEST(HnswInsertModel, CosineGraphMatchesThePlainModel) {
  expect_same_graph_as_model(DistanceMetric::Cosine);
}

TEST(HnswInsertModel, DotGraphMatchesThePlainModel) {
  expect_same_graph_as_model(DistanceMetric::Dot);
}

TEST(HnswInsertModel, NarrowBeamWithManyTiesMatchesThePlainModel) {
  expect_same_graph_as_model(DistanceMetric::Euclidean, 2, 3);
  expect_same_graph_as_model(DistanceMetric::Dot, 2, 3);
}

// Layer-0 lists of 66 entries when capped: more than the short-list sort
// handles, so their two sorted runs and the back-link are merged.
TEST(HnswInsertModel, WideListsMatchThePlainModel) {
  expect_same_graph_as_model(DistanceMetric::Euclidean, 12, 41, 32, 1500);
}

TEST(HnswInsert, SearchedCandidateStaysBeforeAnEqualExtensionCandidate) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 0, 1);
  index.set_ef_insert(1);
  ASSERT_TRUE(index.insert(0, {0.0f}).ok());
  ASSERT_TRUE(index.insert(1, {2.0f}).ok());
  // q = 1 is exactly 1 from both nodes. The layer search with a beam of one
  // returns one of them; candidate extension adds the other with an equal
  // key, after it, and the stable order must keep it there.
  const std::vector<float> q{1.0f};
  const h::NodeIdx entry = h::entry_word_idx(index.entry_point_word());
  dovadure::vector::hnsw::SearchOptions options;
  options.expansion_mult = 1;
  auto found = index.search_layer_unfiltered(q, std::span<const h::NodeIdx>(&entry, 1), 0, 1,
                                             options, false, nullptr, nullptr);
  ASSERT_TRUE(found.ok());
  ASSERT_EQ(found.value().nodes.size(), 1u);
  const h::NodeIdx searched = found.value().nodes[0].idx;
  ASSERT_TRUE(index.insert(2, q).ok());
  EXPECT_EQ(list_of(index, 0, 2), (std::vector<h::NodeIdx>{2, searched, 1 - searched}));
  EXPECT_EQ(scores_of(index, 2), (std::vector<float>{0.0f, 1.0f, 1.0f}));
}

TEST(HnswSelect, DiversityRuleAndFillPass) {
  ScopedEnv env("DOROVOZU_DIVERSITY_ALPHA", nullptr);
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 0, 2);
  // Base at the origin; keys are squared distances from it.
  index.allocate_node(0, std::vector<float>{1, 0}, 0);    // a: key 1
  index.allocate_node(1, std::vector<float>{1, 1}, 0);    // b: key 2, 1 from a -> rejected
  index.allocate_node(2, std::vector<float>{0.5f, 1}, 0); // c: key 1.25, 1.25 from a -> kept (tie)
  index.allocate_node(3, std::vector<float>{-3, 0}, 0);   // d: key 9, tombstoned
  index.mark_deleted(3);
  const std::vector<h::NodeCandidate> w{{0, 1.0f, 1.0f}, {2, 1.25f, 1.25f}, {1, 2.0f, 2.0f},
                                        {3, 9.0f, 9.0f}, {0, 1.0f, 1.0f}};
  EXPECT_EQ(index.select_diverse_neighbors(w, 2, false, 0), (std::vector<h::NodeIdx>{0, 2}));
  // Not enough diverse ones: the fill pass adds the rejected and the
  // tombstoned candidates in their order, without duplicates.
  EXPECT_EQ(index.select_diverse_neighbors(w, 10, false, 0), (std::vector<h::NodeIdx>{0, 2, 1, 3}));
  EXPECT_TRUE(index.select_diverse_neighbors(w, 0, false, 0).empty());
}

TEST(HnswSelect, NanCandidatesNeitherRejectNorCrash) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 0, 2);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  index.allocate_node(0, std::vector<float>{nan, 0}, 0);
  index.allocate_node(1, std::vector<float>{1, 0}, 0);
  index.allocate_node(2, std::vector<float>{1.1f, 0}, 0);
  const std::vector<h::NodeCandidate> w{{1, 1.0f, 1.0f}, {0, nan, nan}, {2, 1.21f, 1.21f}};
  // The NaN candidate is never rejected (its comparisons are false).
  EXPECT_EQ(index.select_diverse_neighbors(w, 2, false, 0), (std::vector<h::NodeIdx>{1, 0}));
  // Node 2 is 0.01 from node 1 (key 1.21): rejected, then only the fill pass
  // brings it back at the end.
  const std::vector<h::NodeCandidate> w2{{1, 1.0f, 1.0f}, {2, 1.21f, 1.21f}, {0, nan, nan}};
  EXPECT_EQ(index.select_diverse_neighbors(w2, 3, false, 0), (std::vector<h::NodeIdx>{1, 0, 2}));
}

TEST(HnswGreedy, SelfOnlyListsKeepTheStartAndCloserNeighboursAreFollowed) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 2, 1);
  for (uint64_t i = 0; i < 4; ++i) index.allocate_node(i, std::vector<float>{float(i)}, 1);
  for (h::NodeIdx u = 0; u < 4; ++u) index.set_state(u, h::kStateLive);
  const std::vector<float> q{3};
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 0u);
  // A chain 0 -> 1 -> 2 -> 3 at layer 1; node 2 is not live, so the walk
  // stops at 1 (first strictly closer live entry).
  index.set_neighbors(1, 0, std::vector<h::NodeIdx>{0, 1});
  index.set_neighbors(1, 1, std::vector<h::NodeIdx>{1, 2});
  index.set_neighbors(1, 2, std::vector<h::NodeIdx>{2, 3});
  index.set_state(2, h::kStateAllocated);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 1u);
  index.set_state(2, h::kStateLive);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 3u);
  // Layers that do not exist, or out-of-range starts, return the start.
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 3), 0u);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 9, 1), 9u);
}

TEST(HnswGreedy, WalkStopsAfterAThousandMovesAndWarns) {
  std::vector<std::string> warnings;
  std::mutex mu;
  dovadure::utils::set_log_sink(
      [&](dovadure::utils::LogLevel level, std::string_view, std::string_view message) {
        std::lock_guard<std::mutex> g(mu);
        if (level == dovadure::utils::LogLevel::Warn) warnings.emplace_back(message);
      },
      dovadure::utils::LogLevel::Warn);
  h::HNSWIndex index(DistanceMetric::Euclidean, 4, 20, 1, 1);
  constexpr h::NodeIdx kNodes = 1200;
  for (h::NodeIdx i = 0; i < kNodes; ++i) index.allocate_node(i, std::vector<float>{float(i)}, 1);
  for (h::NodeIdx i = 0; i < kNodes; ++i) {
    index.set_state(i, h::kStateLive);
    if (i + 1 < kNodes) index.set_neighbors(1, i, std::vector<h::NodeIdx>{i, i + 1});
  }
  const std::vector<float> q{float(kNodes)};
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 0, 1), 1000u);
  EXPECT_EQ(index.greedy_search_layer_unfiltered(q, 1000, 1), 1199u);
  dovadure::utils::clear_log_sink();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0], "[GREEDY] Reached max steps at level 1, current = 1000");
}

TEST(HnswCap, PrunesAnOverFullListBackToTheCap) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 2, 20, 1, 1);
  for (uint64_t i = 0; i < 6; ++i) index.allocate_node(i, std::vector<float>{float(i * i)}, 1);
  index.set_neighbors(1, 0, std::vector<h::NodeIdx>{0, 5, 4, 3, 2, 1});
  index.cap_layer_neighbors(1, 0);
  // Cap m = 2 plus the owner; sorted by distance, diversity keeps 0 and 1,
  // rejects 2..5 (each closer to 1 than to 0) and the fill pass adds 2.
  EXPECT_EQ(list_of(index, 1, 0), (std::vector<h::NodeIdx>{0, 1, 2}));
  // A list at its cap is left alone, order included.
  index.set_neighbors(1, 1, std::vector<h::NodeIdx>{1, 5, 0});
  index.cap_layer_neighbors(1, 1);
  EXPECT_EQ(list_of(index, 1, 1), (std::vector<h::NodeIdx>{1, 5, 0}));
}

TEST(HnswCap, NanEntriesSortLastWhateverTheirSignAndRepeatsCountOnce) {
  h::HNSWIndex index(DistanceMetric::Euclidean, 2, 20, 1, 1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> at{0, -nan, nan, 1, 10, 3};
  for (uint64_t i = 0; i < at.size(); ++i) index.allocate_node(i, std::vector<float>{at[i]}, 1);
  // Keys from node 0: 0, NaN, NaN, 1, 100, 9. Sorted: 0 3 5 4 then the NaNs
  // in list order; 5 and 4 are closer to 3 than to 0 and go, the first NaN
  // entry passes every test and fills the third place.
  index.set_neighbors(1, 0, std::vector<h::NodeIdx>{0, 1, 2, 3, 4, 5, 3});
  index.cap_layer_neighbors(1, 0);
  EXPECT_EQ(list_of(index, 1, 0), (std::vector<h::NodeIdx>{0, 3, 1}));
  index.set_neighbors(1, 0, std::vector<h::NodeIdx>{0, 2, 1, 4, 3, 3, 5});
  index.cap_layer_neighbors(1, 0);
  EXPECT_EQ(list_of(index, 1, 0), (std::vector<h::NodeIdx>{0, 3, 2}));
}

}  // namespace
