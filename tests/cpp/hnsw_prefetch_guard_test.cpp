// The prefetches of the layer-0 walks and of insertion, checked in the code
// the compiler produced for this very executable (which links the walks and
// insertion from the core library).
//
// GCC counts a prefetch as no side effect. A helper that does nothing but
// prefetch, once it is left out of line, is found pure or const by the
// early IPA passes, and every call to it is then deleted as a call whose
// result is unused: the source still reads as prefetching while the
// instructions are gone. Nothing else notices; only the speed drops.
//
// Needs an optimised build (the deletion is the optimiser's) and objdump;
// skips without either.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits.h>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "vector/hnsw/core.hpp"
#include "vector/hnsw/search_options.hpp"

namespace {

namespace h = dovadure::vector::hnsw;
using dovadure::utils::DistanceMetric;

#ifdef __OPTIMIZE__
constexpr bool kOptimised = true;
#else
constexpr bool kOptimised = false;
#endif

// Prefetch instructions of one function, by kind. On baseline x86-64 GCC
// emits locality 3 as prefetcht0 (and a write prefetch as prefetcht0 as
// well), 2 as prefetcht1, 1 as prefetcht2 and 0 as prefetchnta.
struct Prefetches {
  size_t t0 = 0, t1 = 0, t2 = 0, nta = 0, w = 0;
};

std::string find_objdump() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/objdump";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string self_path() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

// Demangled function name -> its prefetches, for every function of the
// executable (cold parts are functions of their own, "[clone .cold]").
std::map<std::string, Prefetches> disassemble(const std::string& objdump, const std::string& exe,
                                              std::string& error) {
  std::map<std::string, Prefetches> out;
  const std::string cmd = "'" + objdump + "' -d -C --no-show-raw-insn '" + exe + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  if (!pipe) {
    error = "cannot run " + cmd;
    return out;
  }
  std::string line;
  Prefetches* current = nullptr;
  std::array<char, 4096> chunk{};
  while (std::fgets(chunk.data(), static_cast<int>(chunk.size()), pipe.get()) != nullptr) {
    line += chunk.data();
    if (line.empty() || line.back() != '\n') continue;  // a line longer than the chunk
    line.pop_back();
    // "0000000000001960 <name>:" opens a function.
    const size_t open = line.find(" <");
    if (!line.empty() && line.back() == ':' && open != std::string::npos &&
        line.find_first_not_of("0123456789abcdef") == open && line.size() > open + 3 &&
        line[line.size() - 2] == '>') {
      current = &out[line.substr(open + 2, line.size() - open - 4)];
    } else if (current != nullptr) {
      const size_t tab = line.find(":\t");
      if (tab != std::string::npos) {
        const std::string insn = line.substr(tab + 2, line.find_first_of(" \t", tab + 2) - tab - 2);
        if (insn == "prefetcht0") ++current->t0;
        if (insn == "prefetcht1") ++current->t1;
        if (insn == "prefetcht2") ++current->t2;
        if (insn == "prefetchnta") ++current->nta;
        if (insn == "prefetchw") ++current->w;
      }
    }
    line.clear();
  }
  const int status = pclose(pipe.release());
  if (status != 0) error = cmd + " exited with status " + std::to_string(status);
  return out;
}

struct Group {
  std::map<std::string, Prefetches> functions;
  Prefetches sum;
  size_t holding_t2 = 0;  // functions with at least one prefetcht2

  std::string describe() const {
    std::string s;
    for (const auto& [name, p] : functions) {
      s += "  t0=" + std::to_string(p.t0) + " t1=" + std::to_string(p.t1) +
           " t2=" + std::to_string(p.t2) + " nta=" + std::to_string(p.nta) +
           " w=" + std::to_string(p.w) + "  " + name + "\n";
    }
    return s;
  }
};

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

class PrefetchGuard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Runs the walks and insertion once, so that this executable holds them
    // and they are known to work here.
    index_ = std::make_unique<h::HNSWIndex>(DistanceMetric::Euclidean, 8, 40, 4, 16);
    std::mt19937 rng(7);
    std::normal_distribution<float> unit;
    for (uint64_t id = 0; id < 400; ++id) {
      std::vector<float> v(16);
      for (float& x : v) x = unit(rng);
      ASSERT_TRUE(index_->insert(id, std::move(v)).ok());
    }
    index_->quantize_all();
    if (!kOptimised) {
      skip_ = "not an optimised build: the helpers are never found const here";
      return;
    }
    const std::string objdump = find_objdump();
    if (objdump.empty()) {
      skip_ = "objdump is not installed";
      return;
    }
    const std::string exe = self_path();
    ASSERT_FALSE(exe.empty());
    functions_ = disassemble(objdump, exe, error_);
  }
  static void TearDownTestSuite() { index_.reset(); }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(error_.empty()) << error_;
    ASSERT_FALSE(functions_.empty());
  }

  static Group group(const std::function<bool(const std::string&)>& member) {
    Group g;
    for (const auto& [name, p] : functions_) {
      if (!member(name)) continue;
      g.functions[name] = p;
      g.sum.t0 += p.t0;
      g.sum.t1 += p.t1;
      g.sum.t2 += p.t2;
      g.sum.nta += p.nta;
      g.sum.w += p.w;
      if (p.t2 > 0) ++g.holding_t2;
    }
    return g;
  }

  static std::vector<h::NodeCandidate> walk(const h::SearchOptions& options) {
    std::mt19937 rng(11);
    std::normal_distribution<float> unit;
    std::vector<float> q(16);
    for (float& x : q) x = unit(rng);
    const auto entry = index_->find_highest_level_entry_point();
    EXPECT_TRUE(entry.has_value());
    if (!entry.has_value()) return {};
    const h::NodeIdx start = *entry;
    auto r = index_->run_l0_search(q, std::span<const h::NodeIdx>(&start, 1), 20, options, false,
                                   nullptr, nullptr);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value() : std::vector<h::NodeCandidate>{};
  }

  static inline std::unique_ptr<h::HNSWIndex> index_;
  static inline std::map<std::string, Prefetches> functions_;
  static inline std::string skip_;
  static inline std::string error_;
};

// Where a walk starts fetching layer-0 lists. Admitting a candidate
// fetches the first line of its list (prefetcht0); the functions that admit
// hold no scan loop while they stay out of line, so there each must hold a
// prefetcht0. Once inlined into the scan loops they are found by count:
// every copy of a scan loop holds at most one prefetcht0 of its own (the
// visited mark two items ahead; the float walk's copies for small indexes
// have none) next to its prefetcht2 of what it gathers, so list prefetches
// show as prefetcht0 beyond one per function holding a prefetcht2. (Loop
// versioning can copy a mark prefetch, which is why the count is only the
// fallback.)
void expect_list_prefetches(const Group& walk, const Group& admitting, const char* what) {
  if (!admitting.functions.empty()) {
    for (const auto& [name, p] : admitting.functions) {
      if (name.find("[clone .cold]") != std::string::npos) continue;
      EXPECT_GT(p.t0, 0u) << "no layer-0 list prefetch left where the " << what
                          << " admits a candidate:\n"
                          << admitting.describe();
    }
  } else {
    EXPECT_GT(walk.sum.t0, walk.holding_t2)
        << "no layer-0 list prefetch left in the " << what << " (only the visited-mark ones):\n"
        << walk.describe();
  }
}

// The float walk, which insertion runs too. Every copy of its scan loop
// prefetches the first lines of each vector it gathers (prefetcht2, the only
// locality-1 prefetch here); each admitted candidate's list has its first
// line fetched, and the list next in line is fetched whole.
TEST_F(PrefetchGuard, FloatWalkFetchesVectorsAndLists) {
  EXPECT_EQ(walk(h::SearchOptions{}).size(), 20u);
  const Group g = group([](const std::string& name) {
    return name.find("::(anonymous namespace)::LayerSearch::") != std::string::npos ||
           starts_with(name, "dovadure::vector::hnsw::HNSWIndex::search_layer_unfiltered(");
  });
  ASSERT_FALSE(g.functions.empty()) << "no function of the float walk found by name";
  EXPECT_GT(g.sum.t2, 0u) << "no vector prefetch left in the float walk:\n" << g.describe();
  const Group admitting = group([](const std::string& name) {
    return name.find("::(anonymous namespace)::LayerSearch::admit(") != std::string::npos;
  });
  expect_list_prefetches(g, admitting, "float walk");
  // The list next in line is fetched by the search loop: prefetcht0 beyond
  // the scan loops' own, outside the functions that admit.
  EXPECT_GT(g.sum.t0 - admitting.sum.t0, g.holding_t2)
      << "no prefetch of the list next in line left in the float walk:\n"
      << g.describe();
}

// The walk over SQ8 codes: each scan loop prefetches the code row
// (prefetcht2) and the node's square sum (prefetcht2, one per loop);
// admitting a candidate starts fetching its list. The rerank after it
// fetches the pooled float vectors ahead (prefetcht2).
TEST_F(PrefetchGuard, Sq8WalkFetchesCodesListsAndRerankVectors) {
  h::SearchOptions options;
  options.sq8_rerank_factor = 4;
  options.sq8_score_only = h::Tristate::False;
  EXPECT_EQ(walk(options).size(), 20u);
  const Group g = group([](const std::string& name) {
    return name.find("::(anonymous namespace)::Sq8Walk::") != std::string::npos ||
           starts_with(name, "dovadure::vector::hnsw::HNSWIndex::search_layer_unfiltered_sq8(");
  });
  ASSERT_FALSE(g.functions.empty()) << "no function of the SQ8 walk found by name";
  EXPECT_GT(g.sum.t2, g.holding_t2)
      << "no code-row prefetch left in the SQ8 walk (only the square-sum ones):\n"
      << g.describe();
  const Group admitting = group([](const std::string& name) {
    return name.find("::(anonymous namespace)::Sq8Walk::admit_scored(") != std::string::npos;
  });
  expect_list_prefetches(g, admitting, "SQ8 walk");

  const Group rerank = group([](const std::string& name) {
    return starts_with(name, "dovadure::vector::hnsw::HNSWIndex::run_l0_search(");
  });
  ASSERT_FALSE(rerank.functions.empty()) << "run_l0_search not found by name";
  EXPECT_GT(rerank.sum.t2, 0u) << "no vector prefetch left in the rerank:\n" << rerank.describe();
}

// Insertion's own scoring: the candidates of a neighbour selection, the
// members of a list being capped and the neighbours that extend the
// candidates have their vectors prefetched (prefetcht2), wherever those
// helpers end up inlined.
TEST_F(PrefetchGuard, InsertionFetchesNeighbourVectors) {
  const Group g = group([](const std::string& name) {
    for (const char* prefix : {"dovadure::vector::hnsw::(anonymous namespace)::select_diverse(",
                               "dovadure::vector::hnsw::(anonymous namespace)::cap_locked(",
                               "dovadure::vector::hnsw::(anonymous namespace)::extend_candidates(",
                               "dovadure::vector::hnsw::HNSWIndex::insert(",
                               "dovadure::vector::hnsw::HNSWIndex::select_diverse_neighbors(",
                               "dovadure::vector::hnsw::HNSWIndex::cap_layer_neighbors("}) {
      if (starts_with(name, prefix)) return true;
    }
    return false;
  });
  ASSERT_FALSE(g.functions.empty()) << "no insertion function found by name";
  EXPECT_GT(g.sum.t2, 0u) << "no vector prefetch left in insertion:\n" << g.describe();
}

}  // namespace
