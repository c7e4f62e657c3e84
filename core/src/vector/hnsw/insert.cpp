// Insertion: greedy descent, per-layer candidate search and extension,
// diverse neighbour selection, back-links and list caps.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "utils/log.hpp"
#include "utils/telemetry.hpp"
#include "vector/hnsw/config.hpp"
#include "vector/hnsw/core.hpp"
#include "vector/hnsw/distance.hpp"
#include "vector/hnsw/node_views.hpp"
#include "vector/hnsw/prefetch.hpp"
#include "vector/hnsw/prune_memo.hpp"
#include "vector/hnsw/scratch.hpp"

namespace dovadure::vector::hnsw {

namespace {

using utils::DistanceMetric;

// Ascending sort key with NaN after every number and equal to another NaN:
// a strict weak ordering, so the sorts below keep their guarantees on the
// unchecked stored vectors.
bool key_less(const NodeCandidate& a, const NodeCandidate& b) {
  if (std::isnan(a.sort_key)) return false;
  return std::isnan(b.sort_key) || a.sort_key < b.sort_key;
}

void insertion_sort(uint64_t* words, size_t n) {
  for (size_t i = 1; i < n; ++i) {
    const uint64_t word = words[i];
    size_t j = i;
    for (; j > 0 && words[j - 1] > word; --j) words[j] = words[j - 1];
    words[j] = word;
  }
}

// The stable ascending order of candidates made of at most four ascending
// runs, as a capped list arrives (kept, then filled, each sorted, and a
// back-link that splits a run): their positions, merged run by run, the
// earlier run's member first on equal keys. False, order untouched, when
// there are more runs.
bool merge_runs(const NodeCandidate* first, size_t n, std::vector<uint32_t>& order) {
  size_t cuts[5] = {0, 0, 0, 0, 0};
  size_t runs = 1;
  for (size_t i = 1; i < n; ++i) {
    if (!key_less(first[i], first[i - 1])) continue;
    if (runs == 4) return false;
    cuts[runs++] = i;
  }
  cuts[runs] = n;
  order.resize(n);
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(i);
  thread_local std::vector<uint32_t> merged;
  const auto at = [&](size_t r) { return order.begin() + static_cast<std::ptrdiff_t>(cuts[r]); };
  const auto less = [first](uint32_t a, uint32_t b) { return key_less(first[a], first[b]); };
  for (size_t width = 1; width < runs; width *= 2) {
    for (size_t r = 0; r + width < runs; r += 2 * width) {
      const size_t end = std::min(r + 2 * width, runs);
      merged.resize(cuts[end] - cuts[r]);
      std::merge(at(r), at(r + width), at(r + width), at(end), merged.begin(), less);
      std::copy(merged.begin(), merged.end(), at(r));
    }
  }
  return true;
}

// Stable ascending sort by key_less. (order, position) words sort as plain
// integers with no allocation once the thread's buffers have grown, where
// std::stable_sort takes a fresh buffer on every call; the position breaks
// ties, which is what makes the result the stable one.
// With from, also where each sorted candidate stood before the sort.
void sort_candidates(NodeCandidate* first, size_t n, std::vector<uint32_t>* from = nullptr) {
  const auto identity = [&] {
    if (from == nullptr) return;
    from->resize(n);
    for (size_t i = 0; i < n; ++i) (*from)[i] = static_cast<uint32_t>(i);
  };
  if (n < 2 || std::is_sorted(first, first + n, key_less)) return identity();
  if (n > std::numeric_limits<uint32_t>::max()) {
    std::stable_sort(first, first + n, key_less);
    return;  // from is never asked for with so many
  }
  thread_local std::vector<NodeCandidate> copy;
  // A capped list arrives as a few sorted runs, which merge in linear time
  // where insertion would move every entry of one run past the other.
  thread_local std::vector<uint32_t> positions;
  if (merge_runs(first, n, positions)) {
    copy.assign(first, first + n);
    for (size_t i = 0; i < n; ++i) first[i] = copy[positions[i]];
    if (from != nullptr) from->assign(positions.begin(), positions.end());
    return;
  }
  thread_local std::vector<uint64_t> order;
  order.resize(n);
  for (size_t i = 0; i < n; ++i) order[i] = uint64_t{sort_key_order(first[i].sort_key)} << 32 | i;
  // The words are distinct (the position breaks ties), so every correct sort
  // gives the same, stable, order.
  if (n <= 64) {
    insertion_sort(order.data(), n);
  } else {
    std::sort(order.begin(), order.end());
  }
  copy.assign(first, first + n);
  for (size_t i = 0; i < n; ++i) first[i] = copy[static_cast<uint32_t>(order[i])];
  if (from != nullptr) {
    from->resize(n);
    for (size_t i = 0; i < n; ++i) (*from)[i] = static_cast<uint32_t>(order[i]);
  }
}

void sort_candidates(std::vector<NodeCandidate>& w) { sort_candidates(w.data(), w.size()); }

// The score fast_score_n gives, with the kernel it would dispatch to chosen
// once instead of on every call.
struct Scorer {
  Scorer(DistanceMetric metric, size_t dim) : metric(metric), dim(dim), kernel(pick(metric)) {}

  DistanceMetric metric;
  size_t dim;
  FloatKernel kernel;

  float score(const float* a, const float* b) const {
    float d = kernel(a, b, dim);
    if (metric != DistanceMetric::Cosine) return d;
    // As fast_score_n: comparisons are false for NaN, which passes through.
    if (d > 1.0f) {
      d = 1.0f;
    } else if (d < -1.0f) {
      d = -1.0f;
    }
    return 1.0f - d;
  }
  float key(float score, bool negate) const { return negate ? sort_key_of(metric, score) : score; }

 private:
  static FloatKernel pick(DistanceMetric metric) {
    return metric == DistanceMetric::Euclidean ? l2_kernel() : dot_kernel();
  }
};

// The halving bisection of std::partition_point, written out because the
// list need not be partitioned by pred (the owner's own entry under Dot, the
// unsorted tail a fill pass leaves) and the library leaves that case open.
// pred is called with positions into the list.
template <class Pred>
size_t bisect(size_t count, Pred pred) {
  size_t first = 0;
  size_t len = count;
  while (len > 0) {
    const size_t half = len >> 1;
    const size_t mid = first + half;
    if (pred(mid)) {
      first = mid + 1;
      len = len - half - 1;
    } else {
      len = half;
    }
  }
  return first;
}

// Node vectors through a snapshot taken once per step. A node appended after
// the snapshot by a concurrent insert is read from the arena itself, so a
// list entry newer than the snapshot still scores as what it is.
struct VectorLookup {
  const NodeViews& views;
  const NodeVectorArena& arena;

  // The node's vector whatever its state, or nullptr beyond the arena.
  const float* any(NodeIdx x) const {
    if (x < views.vectors.len) return views.vectors.ptr(x);
    return x < arena.len() ? arena.get_direct(x).data() : nullptr;
  }
  // Whether any() finds a vector for x.
  bool has(NodeIdx x) const { return x < views.vectors.len || x < arena.len(); }
  // As any(), but nullptr for a tombstoned node. Deletions are serialised
  // with inserts, so a node newer than the snapshot is never tombstoned.
  const float* live(NodeIdx x) const {
    if (x < views.vectors.len && x < views.deleted.len) return views.live_vector(x);
    return any(x);
  }
};

// Rewrites owner's layer-0 score list from its adjacency list: 0 for the
// owner, else the raw score from the owner's vector. An entry with no stored
// vector (never produced by this code) scores NaN rather than reading past
// the arena. Callers hold the owner's list lock, so the two lists change
// together.
void fill_l0_scores(ScoreList& scores, NodeIdx owner, const float* owner_vec,
                    std::span<const NodeIdx> list, const VectorLookup& vecs, const Scorer& scorer) {
  thread_local std::vector<float> buffer;
  buffer.clear();
  for (NodeIdx x : list) {
    if (x == owner) {
      buffer.push_back(0.0f);
      continue;
    }
    const float* xv = vecs.any(x);
    buffer.push_back(xv != nullptr && owner_vec != nullptr ? scorer.score(owner_vec, xv)
                                                           : std::numeric_limits<float>::quiet_NaN());
  }
  std::unique_lock<utils::SpinRwLock> write(scores.lock);
  scores.assign(buffer);
}

// Copies owner's cached layer-0 scores into out when they are in step with
// its list (same length; the caller holds the list's lock, under which every
// edit of both happens). A list whose scores were never cached (a node
// rebuilt from a record) leaves out empty.
void cached_scores(const ScoreList* scores, const NeighborList& list, std::vector<float>& out) {
  out.clear();
  if (scores == nullptr) return;
  std::shared_lock<utils::SpinRwLock> read(scores->lock);
  if (scores->size() == list.size()) out.assign(scores->begin(), scores->end());
}

// u's list at `layer`, write-locked and current. A list above layer 0 can be
// re-homed into a taller block between fetching it and locking it; an edit
// made to the old copy would be lost, so the pointer is checked again under
// the lock. With create, a missing list is made (empty); otherwise a missing
// list gives nullptr and no lock.
// Layer-0 lists never move, so one found through `adjacency` (when given and
// covering u) needs neither the lookup nor the check.
std::unique_lock<utils::SpinRwLock> lock_current_list(HNSWIndex& index, size_t layer, NodeIdx u,
                                                      bool create, NeighborList*& list,
                                                      const AdjacencyView* adjacency = nullptr) {
  if (layer == 0 && adjacency != nullptr && u < adjacency->len()) {
    list = const_cast<NeighborList*>(adjacency->list(0, u));
    return std::unique_lock<utils::SpinRwLock>(list->lock);
  }
  for (;;) {
    list = create ? index.ensure_neighbor_list(layer, u) : index.neighbor_list_mut(layer, u);
    if (list == nullptr) return {};
    std::unique_lock<utils::SpinRwLock> write(list->lock);
    if (layer == 0 || index.neighbor_list(layer, u) == list) return write;
  }
}

// The layer-0 lists and their cached scores, for select_diverse.
struct KnownScores {
  const AdjacencyView& adjacency;
  const NodeArray<ScoreList>::View& scores;
};

// The least sort key from any accepted member to a node, where a cached score
// gives one (select_diverse with known scores).
class NearestMember {
 public:
  void begin(size_t n) {
    marks_.begin(n);
    if (keys_.size() < n) keys_.resize(n);
  }
  // Notes the cached scores of member r (under its list's read lock).
  void note(NodeIdx r, const KnownScores& known, bool negate, const Scorer& scorer) {
    if (r >= known.scores.len) return;
    const NeighborList* list = known.adjacency.list(0, r);
    if (list == nullptr) return;
    const ScoreList& scores = known.scores.at(r);
    std::shared_lock<utils::SpinRwLock> read(list->lock);
    std::shared_lock<utils::SpinRwLock> read_scores(scores.lock);
    const size_t len = list->size();
    if (scores.size() != len) return;  // not in step: nothing to learn
    const NodeIdx* items = list->data();
    const float* values = scores.data();
    for (size_t j = 0; j < len; ++j) {
      const NodeIdx x = items[j];
      if (x == r || !marks_.has_slot(x)) continue;
      const float key = scorer.key(values[j], negate);
      if (std::isnan(key)) continue;
      if (!marks_.test(x)) {
        marks_.set(x);
        keys_[x] = key;
      } else if (key < keys_[x]) {
        keys_[x] = key;
      }
    }
  }
  // Whether a noted score already puts x strictly below threshold.
  bool rejects(NodeIdx x, float threshold) const {
    return marks_.has_slot(x) && marks_.test(x) && keys_[x] < threshold;
  }

 private:
  VisitedStamps marks_;
  std::vector<float> keys_;
};

// Diverse neighbour selection over candidates sorted by ascending sort key
// (see HNSWIndex::select_diverse_neighbors), with the vectors looked up
// through the caller's snapshot. Result in out; with positions, also the
// position in candidates each result came from.
// base: a node every candidate was scored from (score = score of base's
// vector against the candidate's), or kNoNode. Testing a candidate against
// base then needs no scoring: the score is symmetric, so it is the
// candidate's own.
// hints, when given, holds per candidate the outcome a previous selection
// over the same candidates reached (see prune_memo.hpp); they are followed
// for as long as this selection accepts exactly what that one did. They are
// ignored under a floor. After the selection departs from the record, a
// candidate the record accepted is still not tested against members the
// record accepted too: that selection tested it against every one of them
// (they came before it, in the same order) and none rejected it, and whether
// a candidate is rejected does not depend on the order of its tests.
// known, when given at layer 0, holds the cached scores: each accepted
// member's cached scores to its neighbours are noted, and a candidate one of
// them already rejects is rejected without its vector being read. Scores are
// symmetric bit for bit (the kernels' products and squared differences do
// not depend on the order of their inputs), so a cached score is the one the
// test would compute, and since any rejecting member rejects, the outcome is
// the same.
// Without fill, out holds only the accepted members (lean lists).
// Returns how many members of out the selection pass accepted (the rest are
// filled).
enum Hint : uint8_t { kHintUnknown = 0, kHintAccepted = 1, kHintRejected = 2 };
size_t select_diverse(std::span<const NodeCandidate> candidates, size_t target, bool negate,
                      size_t layer, const VectorLookup& vecs, const Scorer& scorer, NodeIdx base,
                      std::vector<NodeIdx>& out, std::vector<uint32_t>* positions = nullptr,
                      const uint8_t* hints = nullptr, const KnownScores* known = nullptr,
                      bool fill = true) {
  const float alpha = diversity_alpha_for_level(layer);
  // Without the knob there is no floor: every candidate is tested.
  const std::optional<size_t> prune_floor = diversity_prune_floor();
  const size_t floor = prune_floor ? std::min(target, *prune_floor) : 0;
  bool in_step = hints != nullptr && !prune_floor;
  struct Chosen {
    const float* vector;
    NodeIdx idx;
    bool was_accepted;  // the record accepted it
  };
  thread_local std::vector<Chosen> chosen;
  out.clear();
  chosen.clear();
  if (positions != nullptr) positions->clear();
  if (target == 0 || candidates.empty()) return 0;

  // Membership of out, as marks by node index; a list naming indices far
  // beyond the stored nodes (possible only through a hand-made candidate
  // list) is searched instead of sizing the marks to it.
  NodeIdx max_idx = 0;
  for (const NodeCandidate& c : candidates) max_idx = std::max(max_idx, c.idx);
  thread_local VisitedStamps marks;
  const bool marked = size_t{max_idx} < vecs.arena.len() + 4096;
  if (marked) marks.begin(size_t{max_idx} + 1);
  const auto already = [&](NodeIdx x) {
    return marked ? marks.test(x) : std::find(out.begin(), out.end(), x) != out.end();
  };
  const auto accept = [&](NodeIdx x, size_t at) {
    out.push_back(x);
    if (marked) marks.set(x);
    if (positions != nullptr) positions->push_back(static_cast<uint32_t>(at));
  };

  thread_local NearestMember nearest;
  const bool noting = known != nullptr && layer == 0 && !prune_floor;
  if (noting) nearest.begin(vecs.arena.len());
  // Whether the candidate at i is left to the kernel (not rejected by hint
  // or by a noted score): only then is its vector worth fetching early.
  const auto needs_vector = [&](size_t i) {
    if (in_step && hints[i] == kHintRejected) return false;
    return !(noting && nearest.rejects(candidates[i].idx, candidates[i].sort_key * alpha));
  };

  const size_t n = candidates.size();
  for (size_t i = 0; i < n && out.size() < target; ++i) {
    const NodeCandidate& c = candidates[i];
    // The next vector is read only if that candidate is tested or accepted.
    if (i + 1 < n && needs_vector(i + 1)) {
      if (const float* next = vecs.any(candidates[i + 1].idx)) prefetch_vector(next, scorer.dim);
    }
    const uint8_t hint = in_step ? hints[i] : uint8_t{kHintUnknown};
    const bool was_accepted = hints != nullptr && !prune_floor && hints[i] == kHintAccepted;
    // Rejected by the record, or by a noted score (noting runs without
    // hints or floor): skipped as a missing candidate would be, so its
    // vector is not looked up.
    if (hint == kHintRejected) continue;
    // Rejected when some chosen neighbour is strictly closer to c than the
    // base is (scaled by alpha); NaN comparisons do not reject.
    const float threshold = c.sort_key * alpha;
    if (noting && nearest.rejects(c.idx, threshold)) continue;
    const float* cv = already(c.idx) ? nullptr : vecs.live(c.idx);
    if (cv == nullptr) {
      // A member the record accepted is lost: what follows was decided
      // against a different set.
      if (hint == kHintAccepted) in_step = false;
      continue;
    }
    if (hint == kHintUnknown && out.size() >= floor) {
      bool rejected = false;
      for (const Chosen& r : chosen) {
        if (was_accepted && r.was_accepted) continue;
        const float d = r.idx == base ? c.score : scorer.score(cv, r.vector);
        if (scorer.key(d, negate) < threshold) {
          rejected = true;
          break;
        }
      }
      if (rejected) continue;
    }
    // An acceptance the record did not make ends the agreement with it.
    if (hint == kHintUnknown) in_step = false;
    accept(c.idx, i);
    chosen.push_back(Chosen{cv, c.idx, was_accepted});
    if (noting) nearest.note(c.idx, *known, negate, scorer);
  }
  const size_t accepted = out.size();
  if (!fill) return accepted;

  // Fill pass: top up to target from the head of the candidates, no tests.
  for (size_t i = 0; i < n && out.size() < target; ++i) {
    if (!already(candidates[i].idx)) accept(candidates[i].idx, i);
  }
  return accepted;
}

// The common replay (see prune_memo.hpp), done without sorting or walking the
// whole list: the back-link q at the record's position is rejected by an
// accepted member ahead of it in key order (or never reached), so the
// accepted run stays as it is and q joins the filled run at its place in key
// order. The list and its scores (cached, position by position) are then
// rewritten in place: q moves to its new place, and the list is cut to the
// target. Returns false when the case is any other (q accepted, an accepted
// member lost, no cached scores, a floor set), and the full selection runs
// instead; the list is then unchanged, and so are the scores but for the
// owner's, which may have been set to the 0 it stands for.
bool cap_by_replay(DistanceMetric metric, NodeIdx u, const float* uv, NeighborList& list,
                   std::span<float> cached, const PruneRecord& record, size_t target,
                   const VectorLookup& vecs, const Scorer& scorer) {
  NodeIdx* const items = list.mutable_data();
  const size_t n = list.size();
  const size_t p = record.inserted_at;
  const size_t accepted = record.accepted;
  if (cached.size() != n || p >= n || accepted >= n || accepted > target ||
      diversity_prune_floor()) {
    return false;
  }
  const NodeIdx q = items[p];
  if (q == u) return false;
  NodeIdx highest = 0;
  for (size_t i = 0; i < n; ++i) {
    const NodeIdx x = items[i];
    highest = std::max(highest, x);
    // A repeat of q would be skipped as already chosen: for the full
    // selection.
    if (x == q && i != p) return false;
    // The owner's score in the list of scores is 0, not its score to itself.
    if (x == u) cached[i] = 0.0f;
  }
  // A dangling entry would drop out of the candidates: for the full
  // selection too. Entries have vectors below a bound, so the highest tells.
  if (!vecs.has(highest)) return false;
  const float owner_score = scorer.score(uv, uv);
  const auto score_at = [&](size_t i) { return items[i] == u ? owner_score : cached[i]; };
  // The full selection's order: key, then list position.
  const auto word = [&](size_t i) {
    return uint64_t{sort_key_order(sort_key_of(metric, score_at(i)))} << 32 | i;
  };
  const auto position = [&](size_t old) { return old < p ? old : old + 1; };
  const uint64_t q_word = word(p);
  const float* qv = vecs.live(q);
  // A tombstoned q is skipped by the selection and filled like a rejected one.
  bool rejected = qv == nullptr;
  const float threshold = sort_key_of(metric, cached[p]) * diversity_alpha_for_level(0);
  size_t ahead = 0;
  for (size_t old = 0; old < accepted; ++old) {
    const size_t i = position(old);
    const float* yv = vecs.live(items[i]);
    if (yv == nullptr) return false;
    if (word(i) > q_word) continue;
    ++ahead;
    if (rejected) continue;
    // u is the base every score was taken from: q's distance to it is q's own.
    const float d = items[i] == u ? cached[p] : scorer.score(qv, yv);
    rejected = sort_key_of(metric, d) < threshold;
  }
  // With target members ahead of it, q is never examined.
  if (!rejected && ahead < target) return false;

  // q's place among the old members: before the first filled one whose
  // word exceeds its own, else after them all.
  size_t k = accepted;
  while (k + 1 < n && !(q_word < word(position(k)))) ++k;
  const float q_score = cached[p];
  if (k >= p) {
    std::copy(items + p + 1, items + k + 1, items + p);
    std::copy(cached.begin() + static_cast<std::ptrdiff_t>(p + 1),
              cached.begin() + static_cast<std::ptrdiff_t>(k + 1),
              cached.begin() + static_cast<std::ptrdiff_t>(p));
  } else {
    std::copy_backward(items + k, items + p, items + p + 1);
    std::copy_backward(cached.begin() + static_cast<std::ptrdiff_t>(k),
                       cached.begin() + static_cast<std::ptrdiff_t>(p),
                       cached.begin() + static_cast<std::ptrdiff_t>(p + 1));
  }
  items[k] = q;
  cached[k] = q_score;
  list.truncate(std::min(target, n));
  return true;
}

// Prunes u's list at `layer`, which the caller holds write-locked, back to
// its cap when it is over it, and on layer 0 rewrites u's score list to
// match (scores may be nullptr: nothing cached). `cached` holds the raw
// scores from u to the list's entries position by position when the caller
// has them, else is empty; they are the very values a rescoring would give.
// A pruned list may leave them rearranged.
// With memo, a layer-0 cap replays the outcomes the last cap of this list
// recorded where they still hold, and records its own.
// record_fresh: the caller has just checked that u's record describes the
// list as it is now, and left its fingerprint for this cap to replace; when
// the list is not pruned, the caller fingerprints it instead.
// Returns whether the list was pruned.
bool cap_locked(const HNSWIndex& index, size_t layer, NodeIdx u, NeighborList& list,
                std::span<float> cached, ScoreList* scores, const VectorLookup& vecs,
                const Scorer& scorer, PruneMemo* memo, bool record_fresh = false) {
  const size_t cap = layer == 0 ? index.max_neighbors_l0() : index.m();
  // The owner's own entry is not counted against the cap.
  if (list.size() <= cap || list.size() - cap <= 1) return false;
  const float* uv = vecs.any(u);
  if (uv == nullptr) return false;
  // The memo's replay assumes accepted-then-filled lists.
  const bool lean = index.lean_lists();
  if (lean) memo = nullptr;
  const bool use_cached = cached.size() == list.size();
  thread_local std::vector<NodeCandidate> candidates;
  thread_local std::vector<NodeIdx> kept;
  thread_local std::vector<uint32_t> kept_at;
  thread_local std::vector<uint8_t> hints;
  thread_local std::vector<uint8_t> sorted_hints;
  thread_local std::vector<uint32_t> from;
  candidates.clear();
  hints.clear();
  const std::span<const NodeIdx> items = list.items();
  if (layer != 0) memo = nullptr;
  PruneRecord* record = memo != nullptr ? memo->find(u) : nullptr;
  // The list is the last cap's result with one back-link added at position
  // p: entries before the record's accepted count (shifted past p) were
  // accepted, the others rejected, and p itself is new.
  const bool replay = record != nullptr && record->valid() &&
                      record->inserted_at != PruneRecord::kNone &&
                      (record_fresh || list_fingerprint(items) == record->fingerprint);
  const size_t target = cap == std::numeric_limits<size_t>::max() ? cap : cap + 1;
  if (replay &&
      cap_by_replay(index.metric(), u, uv, list, cached, *record, target, vecs, scorer)) {
    memo->count_reuse();
    record->inserted_at = PruneRecord::kNone;
    record->fingerprint = list_fingerprint(list.items());
    if (scores != nullptr) {
      std::unique_lock<utils::SpinRwLock> write(scores->lock);
      scores->assign(cached.first(list.size()));
    }
    return true;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    const NodeIdx x = items[i];
    const float* xv = vecs.any(x);
    if (xv == nullptr) continue;  // a dangling index has nothing to score
    // The cache holds 0 for the owner, not its score against itself.
    const bool from_cache = use_cached && x != u;
    // A full selection reads every vector; fetching them all now overlaps
    // the misses. A replay reads few.
    if (from_cache && !replay) prefetch_vector(xv, scorer.dim);
    const float s = from_cache ? cached[i] : scorer.score(uv, xv);
    candidates.push_back(NodeCandidate{x, s, sort_key_of(index.metric(), s)});
    if (replay) {
      const size_t p = record->inserted_at;
      const size_t old_pos = i < p ? i : i - 1;
      hints.push_back(i == p ? kHintUnknown
                             : old_pos < record->accepted ? kHintAccepted : kHintRejected);
    }
  }
  sort_candidates(candidates.data(), candidates.size(), replay ? &from : nullptr);
  if (replay) {
    sorted_hints.resize(candidates.size());
    for (size_t k = 0; k < candidates.size(); ++k) sorted_hints[k] = hints[from[k]];
    memo->count_reuse();
  }
  // Every candidate is scored from u.
  thread_local std::vector<float> kept_scores;
  const size_t accepted = select_diverse(candidates, target, true, layer, vecs, scorer, u, kept,
                                         &kept_at, replay ? sorted_hints.data() : nullptr,
                                         nullptr, !lean);
  list.assign(kept);
  if (memo != nullptr) {
    PruneRecord& next = record != nullptr ? *record : memo->at(u);
    next.clear();
    if (kept.size() < PruneRecord::kNone) {
      next.fingerprint = list_fingerprint(kept);
      next.accepted = static_cast<uint16_t>(accepted);
    }
  }
  if (layer == 0 && scores != nullptr) {
    kept_scores.clear();
    for (size_t j = 0; j < kept.size(); ++j) {
      // A repeated entry scores the same at every position, so the kept
      // position's score is the one any copy would give.
      kept_scores.push_back(kept[j] == u ? 0.0f : candidates[kept_at[j]].score);
    }
    std::unique_lock<utils::SpinRwLock> write(scores->lock);
    scores->assign(kept_scores);
  }
  return true;
}

// Widens w with the unseen live neighbours of its first ml members, scored
// against q, using the thread's u32-stamped visited marks. With memo, the
// scratch holds the scores the layer search for q remembered: a neighbour it
// scored is not scored again (same kernel, same inputs, same value).
void extend_candidates(std::vector<NodeCandidate>& w, NodeIdx u, size_t layer, size_t ml,
                       bool negate, std::span<const float> q, size_t node_count,
                       const AdjacencyView& adjacency, const NodeViews& views,
                       const Scorer& scorer, bool memo) {
  ScratchBorrow scratch;
  const VisitedStamps& known = scratch->memo;
  const float* known_scores = scratch->memo_scores.data();
  const size_t known_len = memo ? std::min(known.stamps.size(), scratch->memo_scores.size()) : 0;
  VisitedStamps& stamps = scratch->stamps;
  stamps.begin(node_count);
  for (const NodeCandidate& c : w) {
    if (stamps.has_slot(c.idx)) stamps.set(c.idx);
  }
  if (stamps.has_slot(u)) stamps.set(u);

  std::vector<NodeCandidate>& extra = scratch->extension;
  std::vector<NodeIdx>& copy = scratch->neighbors;
  extra.clear();
  const size_t heads = std::min(ml, w.size());
  for (size_t h = 0; h < heads; ++h) {
    const NeighborList* list = adjacency.list(layer, w[h].idx);
    if (list == nullptr) continue;
    {
      std::shared_lock<utils::SpinRwLock> read(list->lock);
      copy.assign(list->begin(), list->end());
    }
    // The unseen entries first, in list order, with the scores the search
    // remembered; the others' vectors are prefetched and they are scored
    // after the walk, by when the first vectors have arrived.
    size_t unscored = 0;
    for (NodeIdx x : copy) {
      if (!stamps.has_slot(x) || stamps.test(x) || !views.is_live(x)) continue;
      stamps.set(x);
      if (x < known_len && known.test(x)) {
        const float s = known_scores[x];
        extra.push_back(NodeCandidate{x, s, scorer.key(s, negate)});
        continue;
      }
      prefetch_vector(views.vectors.ptr(x), scorer.dim);
      copy[unscored++] = static_cast<NodeIdx>(extra.size());
      extra.push_back(NodeCandidate{x, 0.0f, 0.0f});
    }
    for (size_t i = 0; i < unscored; ++i) {
      NodeCandidate& c = extra[copy[i]];
      c.score = scorer.score(q.data(), views.vectors.ptr(c.idx));
      c.sort_key = scorer.key(c.score, negate);
    }
  }
  w.insert(w.end(), extra.begin(), extra.end());
}

// Sorts w, whose first `sorted` members already are, as sort_candidates
// would: the tail alone is sorted, then the two runs merge, the head's member
// first on ties.
void sort_tail_and_merge(std::vector<NodeCandidate>& w, size_t sorted) {
  const size_t n = w.size();
  if (sorted >= n) return;
  sort_candidates(w.data() + sorted, n - sorted);
  if (sorted == 0 || !key_less(w[sorted], w[sorted - 1])) return;
  thread_local std::vector<NodeCandidate> merged;
  merged.resize(n);
  std::merge(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(sorted),
             w.begin() + static_cast<std::ptrdiff_t>(sorted), w.end(), merged.begin(), key_less);
  std::copy(merged.begin(), merged.end(), w.begin());
}

double millis_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

utils::Status HNSWIndex::insert(uint64_t id, std::vector<float> vector) {
  // An index of dimension 0 takes no vector at all: a row of no values would
  // be saved in a record that no load accepts.
  if (vector.size() != dim_ || dim_ == 0) {
    return utils::DBError::dimension_mismatch(dim_, vector.size());
  }

  const uint64_t seq = utils::next_insert_trace_seq();
  const size_t every = trace_every();
  const bool traced = utils::insert_trace_enabled() && every != 0 && seq % every == 0;
  const auto started = traced ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};

  const uint8_t level = sample_level();
  const std::vector<float> normalized = maybe_normalize(vector);
  const auto allocated = allocate_node(id, normalized, level);
  if (!allocated) return utils::Status();  // duplicates are the segment's concern
  const NodeIdx u = *allocated;
  const std::span<const float> q = vectors_.get_direct(u);
  const bool negate = metric_ != DistanceMetric::Euclidean;
  const Scorer scorer{metric_, dim_};

  uint64_t word = entry_point_.load(std::memory_order_acquire);
  if (entry_word_idx(word) == kNoNode) {
    // Live before it is published: a concurrent insert that starts from the
    // entry point seeds its layer searches only with live nodes. If another
    // writer's first node wins the race, u is linked below it as usual; it
    // is in no list yet, so nobody sees it live early.
    set_state(u, kStateLive);
    if (entry_point_.compare_exchange_strong(word, make_entry_word(u, level),
                                             std::memory_order_acq_rel, std::memory_order_acquire)) {
      return utils::Status();
    }
  }
  NodeIdx e = entry_word_idx(word);
  const size_t top = entry_word_level(word);
  if (is_deleted(e)) e = find_highest_level_entry_point().value_or(u);

  NodeIdx current = e;
  for (size_t layer = top; layer > level; --layer) {
    current = greedy_search_layer_unfiltered(q, current, layer);
  }

  const bool enforce_caps = enforce_neighbor_caps().value_or(true);
  SearchOptions layer_options;
  layer_options.expansion_mult = 1;
  std::vector<NodeIdx> own_list;
  std::vector<NodeIdx> chosen;
  std::vector<uint32_t> chosen_at;  // position in w of each member of chosen
  std::vector<float> own_scores;
  std::vector<float> cached;

  for (size_t l = level + 1; l-- > 0;) {
    // The scores the search takes are remembered for the extension below.
    auto found = search_layer_unfiltered(q, std::span<const NodeIdx>(&current, 1), l, ef_insert_,
                                         layer_options, negate, nullptr, nullptr, !lean_lists_);
    if (!found.ok()) return found.take_error();
    std::vector<NodeCandidate> w = std::move(found.value().nodes);
    sort_candidates(w);

    const size_t ml = l == 0 ? m0_ : m_;
    // Snapshots are taken per layer; lists that concurrent inserts extend
    // may name newer nodes, which VectorLookup reads from the arena.
    const AdjacencyView adjacency = adjacency_view();
    const NodeViews views = node_views();
    const VectorLookup vecs{views, vectors_};
    const auto scores_view = l0_neighbor_scores_.view();
    const auto scores_of = [&](NodeIdx x) -> ScoreList* {
      if (l != 0 || scores_view.len == 0) return nullptr;
      return x < scores_view.len ? &scores_view.at(x) : const_cast<ScoreList*>(l0_scores(x));
    };
    const size_t searched = w.size();
    // Lean builds take their neighbours from the beam alone, as most HNSW
    // builders do: the extension mostly adds candidates the diversity rule
    // rejects, and a lean list is not topped up from them either.
    if (!lean_lists_) {
      extend_candidates(w, u, l, ml, negate, q, len(), adjacency, views, scorer, true);
    }
    sort_tail_and_merge(w, searched);

    const KnownScores known{adjacency, scores_view};
    select_diverse(w, ml, negate, l, vecs, scorer, kNoNode, chosen, &chosen_at, nullptr,
                   l == 0 && scores_view.len != 0 ? &known : nullptr, !lean_lists_);

    // The layer-0 scores of u's list come with w: every chosen node was
    // scored against q there, as fill_l0_scores would score it.
    own_list.assign(1, u);
    own_scores.assign(1, 0.0f);
    for (size_t j = 0; j < chosen.size(); ++j) {
      if (chosen[j] == u) continue;
      own_list.push_back(chosen[j]);
      own_scores.push_back(w[chosen_at[j]].score);
    }
    {
      NeighborList* list = nullptr;
      auto write = lock_current_list(*this, l, u, true, list);
      if (list != nullptr) {
        // Concurrent inserts may already have linked themselves into u's list
        // at this layer (from a layer above, where u was published first).
        // Their back-links are kept, placed by sort key like any other.
        thread_local std::vector<NodeIdx> extras;
        extras.clear();
        for (NodeIdx x : list->items()) {
          if (x != u && std::find(own_list.begin(), own_list.end(), x) == own_list.end()) {
            extras.push_back(x);
          }
        }
        list->assign(own_list);
        for (NodeIdx x : extras) {
          const float* xv = vecs.live(x);
          if (xv == nullptr) continue;
          const float k = scorer.key(scorer.score(q.data(), xv), negate);
          const std::span<const NodeIdx> items = list->items();
          const size_t pos = bisect(items.size(), [&](size_t i) {
            const float* yv = vecs.live(items[i]);
            return yv == nullptr || scorer.key(scorer.score(q.data(), yv), negate) <= k;
          });
          list->insert(pos, x);
        }
        ScoreList* scores = scores_of(u);
        if (!(enforce_caps &&
              cap_locked(*this, l, u, *list, {}, scores, vecs, scorer, &prune_memo_)) &&
            scores != nullptr) {
          const std::span<const NodeIdx> items = list->items();
          if (std::equal(items.begin(), items.end(), own_list.begin(), own_list.end())) {
            std::unique_lock<utils::SpinRwLock> score_write(scores->lock);
            scores->assign(own_scores);
          } else {
            fill_l0_scores(*scores, u, q.data(), items, vecs, scorer);
          }
        }
      }
    }

    for (size_t j = 0; j < chosen.size(); ++j) {
      const NodeIdx s = chosen[j];
      const float* sv = vecs.live(s);
      if (sv == nullptr) continue;
      // Scores are symmetric: s against q is what w holds for s.
      const float s_score = w[chosen_at[j]].score;
      const float k = scorer.key(s_score, negate);
      NeighborList* list = nullptr;
      auto write = lock_current_list(*this, l, s, true, list, &adjacency);
      if (list == nullptr) continue;
      ScoreList* scores = scores_of(s);
      cached_scores(scores, *list, cached);
      const std::span<const NodeIdx> items = list->items();
      const bool use_cached = !cached.empty();
      // Entries that tie with u stay before it. The cached scores are the
      // ones a rescoring from s would compute, so they are used where valid.
      const size_t pos = bisect(items.size(), [&](size_t i) {
        const NodeIdx x = items[i];
        const float* xv = vecs.live(x);
        if (xv == nullptr) return true;
        if (use_cached && x != s) {
          return scorer.key(cached[i], negate) <= k;
        }
        return scorer.key(scorer.score(sv, xv), negate) <= k;
      });
      // A record of s's last cap stays usable through exactly one back-link.
      PruneRecord* record =
          enforce_caps && l == 0 && !lean_lists_ ? prune_memo_.find(s) : nullptr;
      const bool extend_record = record != nullptr && record->valid() &&
                                 record->inserted_at == PruneRecord::kNone &&
                                 pos < PruneRecord::kNone &&
                                 list_fingerprint(items) == record->fingerprint;
      list->insert(pos, u);
      if (record != nullptr) {
        // The extended list's fingerprint is taken only if no cap replaces
        // the record first.
        if (extend_record) {
          record->inserted_at = static_cast<uint16_t>(pos);
        } else {
          record->clear();
        }
      }
      if (use_cached) cached.insert(cached.begin() + static_cast<std::ptrdiff_t>(pos), s_score);
      const bool pruned = enforce_caps && cap_locked(*this, l, s, *list, cached, scores, vecs,
                                                     scorer, &prune_memo_, extend_record);
      if (extend_record && !pruned) record->fingerprint = list_fingerprint(list->items());
      if (pruned) continue;
      if (scores == nullptr) continue;
      if (use_cached) {
        std::unique_lock<utils::SpinRwLock> score_write(scores->lock);
        scores->assign(cached);
      } else {
        fill_l0_scores(*scores, s, sv, list->items(), vecs, scorer);
      }
    }

    if (!chosen.empty()) current = chosen.front();

    if (traced) {
      const uint64_t now_word = entry_point_.load(std::memory_order_acquire);
      const NodeIdx entry = entry_word_idx(now_word);
      utils::InsertTraceEntry entry_record{};
      entry_record.insert_id = seq;
      entry_record.point_id = id;
      entry_record.level = level;
      entry_record.current_max_level = entry_word_level(now_word);
      entry_record.layer = l;
      if (entry != kNoNode) entry_record.entry_point = point_id(entry);
      entry_record.current_entry = point_id(current);
      entry_record.candidates = w.size();
      entry_record.neighbors = chosen.size();
      if (!chosen.empty()) entry_record.best_neighbor = point_id(chosen.front());
      entry_record.elapsed_ms = millis_since(started);
      utils::log_insert_trace(entry_record);
    }
  }

  // Live before a raise publishes u as the entry point (see above).
  set_state(u, kStateLive);
  if (level > top) {
    // A concurrent raise to an equal or higher level wins.
    uint64_t seen = entry_point_.load(std::memory_order_acquire);
    const uint64_t raised = make_entry_word(u, level);
    while (entry_word_level(seen) < level &&
           !entry_point_.compare_exchange_weak(seen, raised, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
    }
  }
  return utils::Status();
}

NodeIdx HNSWIndex::greedy_search_layer_unfiltered(std::span<const float> q, NodeIdx start,
                                                  size_t layer) const {
  constexpr size_t kMaxMoves = 1000;
  NodeIdx current = start;
  size_t moves = 0;
  if (layer < num_layers_) {
    const AdjacencyView adjacency = adjacency_view();
    const NodeViews views = node_views();
    const Scorer scorer{metric_, dim_};
    const bool negate = metric_ != DistanceMetric::Euclidean;
    thread_local std::vector<NodeIdx> copy;
    bool moved = true;
    // The key of current, once scored: a move's target was just scored, with
    // the same kernel on the same vector, so its key is carried over.
    float current_key = 0.0f;
    bool scored = false;
    while (moved && moves < kMaxMoves && current < adjacency.len()) {
      moved = false;
      const NeighborList* list = adjacency.list(layer, current);
      if (list == nullptr) break;
      {
        std::shared_lock<utils::SpinRwLock> read(list->lock);
        copy.assign(list->begin(), list->end());
      }
      const float* cv = views.vector(current);
      if (cv == nullptr) break;
      if (!scored) current_key = scorer.key(scorer.score(q.data(), cv), negate);
      scored = true;
      // Each entry's vector is fetched two entries ahead of its scoring.
      const size_t len = copy.size();
      for (size_t i = 0; i < len && i < 2; ++i) {
        if (const float* v = views.vector(copy[i])) prefetch_vector(v, scorer.dim);
      }
      for (size_t i = 0; i < len; ++i) {
        if (i + 2 < len) {
          if (const float* v = views.vector(copy[i + 2])) prefetch_vector(v, scorer.dim);
        }
        const NodeIdx x = copy[i];
        if (!views.is_live(x)) continue;
        // First strictly closer entry wins, not the closest one.
        const float key = scorer.key(scorer.score(q.data(), views.vectors.ptr(x)), negate);
        if (current_key > key) {
          current = x;
          current_key = key;
          ++moves;
          moved = true;
          break;
        }
      }
    }
  }
  if (moves >= kMaxMoves - 1) {
    DOVADURE_LOG(utils::LogLevel::Warn, "vector::hnsw",
                 "[GREEDY] Reached max steps at level " + std::to_string(layer) +
                     ", current = " + std::to_string(current));
  }
  return current;
}

std::vector<NodeIdx> HNSWIndex::select_diverse_neighbors(
    const std::vector<NodeCandidate>& candidates, size_t target, bool negate, size_t layer) const {
  const NodeViews views = node_views();
  const VectorLookup vecs{views, vectors_};
  std::vector<NodeIdx> chosen;
  select_diverse(candidates, target, negate, layer, vecs, Scorer{metric_, dim_}, kNoNode,
                 chosen, nullptr, nullptr, nullptr, !lean_lists_);
  return chosen;
}

void HNSWIndex::cap_layer_neighbors(size_t layer, NodeIdx u) {
  NeighborList* list = nullptr;
  // Held from the read to the replace: a back-link added in between by a
  // concurrent insert would otherwise be dropped by the replace.
  auto write = lock_current_list(*this, layer, u, false, list);
  if (list == nullptr) return;
  const NodeViews views = node_views();
  const VectorLookup vecs{views, vectors_};
  ScoreList* scores =
      layer == 0 && l0_scores_len() > 0 ? const_cast<ScoreList*>(l0_scores(u)) : nullptr;
  std::vector<float> cached;
  cached_scores(scores, *list, cached);
  cap_locked(*this, layer, u, *list, cached, scores, vecs, Scorer{metric_, dim_}, &prune_memo_);
}

}  // namespace dovadure::vector::hnsw
