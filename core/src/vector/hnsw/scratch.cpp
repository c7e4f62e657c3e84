#include "vector/hnsw/scratch.hpp"

#include <cstdio>
#include <cstdlib>

namespace dovadure::vector::hnsw {

namespace {

struct ScratchCell {
  SearchScratch scratch;
  bool borrowed = false;
};

thread_local ScratchCell SEARCH_SCRATCH;

}  // namespace

ScratchBorrow::ScratchBorrow() {
  ScratchCell& cell = SEARCH_SCRATCH;
  if (cell.borrowed) {
    std::fprintf(stderr, "search scratch already borrowed on this thread\n");
    std::fflush(stderr);
    std::abort();
  }
  cell.borrowed = true;
  scratch_ = &cell.scratch;
}

ScratchBorrow::~ScratchBorrow() { SEARCH_SCRATCH.borrowed = false; }

}  // namespace dovadure::vector::hnsw
