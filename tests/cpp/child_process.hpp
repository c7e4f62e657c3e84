// Cases that touch process-wide state (cached knobs, trace sinks, the log
// sink, one-time lines) run in a forked child; a failed check there exits 1.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#define CHILD_EXPECT(cond)                                                          \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "child check failed at line %d: %s\n", __LINE__, #cond); \
      std::fflush(stderr);                                                          \
      _exit(1);                                                                     \
    }                                                                               \
  } while (0)

namespace dovadure::testing_util {

// Runs prepare() then body() in a forked child and expects a clean exit.
template <typename Prepare, typename Body>
void expect_child_passes(Prepare prepare, Body body) {
  EXPECT_EXIT(
      {
        prepare();
        body();
        std::fflush(stderr);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace dovadure::testing_util
