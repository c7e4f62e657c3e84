// Faulting in memory ahead of writing or reading it.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace dovadure::utils {

// Kernels before Linux 5.14 lack the request and refuse it; every use is
// advisory, the pages then fault in as they are written.
#ifdef MADV_POPULATE_WRITE
inline constexpr int kMadvPopulateWrite = MADV_POPULATE_WRITE;
#else
inline constexpr int kMadvPopulateWrite = 23;
#endif
#ifdef MADV_POPULATE_READ
inline constexpr int kMadvPopulateRead = MADV_POPULATE_READ;
#else
inline constexpr int kMadvPopulateRead = 22;
#endif

// Faults in, for writing, the whole pages inside [p, p + bytes) with one
// call: writing untouched memory otherwise takes a fault on every page.
// Contents are unchanged.
inline void populate_for_write(void* p, size_t bytes) {
  const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t lo = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  const uintptr_t hi = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
  if (hi > lo) (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, kMadvPopulateWrite);
}

}  // namespace dovadure::utils
