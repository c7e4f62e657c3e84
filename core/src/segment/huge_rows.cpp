#include "segment/huge_rows.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "segment/segment.hpp"

namespace dovadure::segment {

namespace {

constexpr uintptr_t kHuge = uintptr_t{2} << 20;

// Rows moved per step: bounds the extra memory held while a step copies, and
// the number of mappings the moves leave behind (one per step).
constexpr uintptr_t kStep = uintptr_t{8} << 20;

// False where the kernel never gives a process huge pages; copying the rows
// would then buy nothing.
bool huge_pages_possible() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string line;
  return !std::getline(in, line) || line.find("[never]") == std::string::npos;
}

// Copies [at, at + bytes), whole huge pages, into fresh memory that asks for
// huge pages, then moves that memory over the original in one call. The
// copy faults in its pages on this thread alone, however slowly a virtual
// machine backs them, and the move only swaps page tables under the
// process's memory map: a reader touching the range meanwhile waits that
// long and then reads the same bytes from the new pages. (Asking the kernel
// to collapse the pages in place instead stalled such readers for up to
// 200 ms at a time.) False when the step could not be made; the original
// pages then stay.
bool move_step(uintptr_t at, uintptr_t bytes) {
  void* raw = ::mmap(nullptr, bytes + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
  if (raw == MAP_FAILED) return false;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = start + bytes + kHuge;
  if (aligned > start) ::munmap(raw, aligned - start);
  if (end > aligned + bytes) ::munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
  void* fresh = reinterpret_cast<void*>(aligned);
  (void)::madvise(fresh, bytes, MADV_HUGEPAGE);
  std::memcpy(fresh, reinterpret_cast<const void*>(at), bytes);
  if (::mremap(fresh, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, reinterpret_cast<void*>(at)) ==
      MAP_FAILED) {
    ::munmap(fresh, bytes);
    return false;
  }
  return true;
}

}  // namespace

void move_rows_to_huge_pages_later(std::shared_ptr<const void> keeper,
                                   std::span<const std::byte> rows) {
  const uintptr_t first = reinterpret_cast<uintptr_t>(rows.data());
  const uintptr_t lo = (first + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t hi = (first + rows.size()) & ~(kHuge - 1);
  if (rows.empty() || hi <= lo) return;
  static const bool possible = huge_pages_possible();
  if (!possible) return;
  try {
    std::thread([keeper = std::move(keeper), lo, hi] {
      // Only on a core nobody else wants: a process that searches on every
      // core right after its load would otherwise share one with the copy.
      const sched_param idle{};
      (void)::pthread_setschedparam(::pthread_self(), SCHED_IDLE, &idle);
      for (uintptr_t at = lo; at < hi; at += kStep) {
        // A load leaves the second core to its own reading.
        while (LoadScope::any()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (keeper.use_count() == 1) return;  // the index is gone
        if (!move_step(at, std::min(kStep, hi - at))) return;
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread to spare: the pages simply stay small.
  }
}

}  // namespace dovadure::segment
