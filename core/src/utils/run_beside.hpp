// Two pieces of work at once: one on a thread of its own, one on the caller's.
#pragma once

#include <system_error>
#include <thread>

namespace dovadure::utils {

// Runs `beside` on a new thread while this thread runs `here`, and returns
// when both are done (also when `here` throws). When no thread can be had,
// `beside` runs first, on this thread. `beside` must not throw.
template <class Beside, class Here>
void run_beside(Beside&& beside, Here&& here) {
  std::thread helper;
  try {
    helper = std::thread([&beside] { beside(); });
  } catch (const std::system_error&) {
    beside();
  }
  struct Join {
    std::thread& thread;
    ~Join() {
      if (thread.joinable()) thread.join();
    }
  } join{helper};
  here();
}

}  // namespace dovadure::utils
