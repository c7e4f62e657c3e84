// Two pieces of work at once: one on a thread of its own, one on the caller's.
#pragma once

#include <cstddef>
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

// Runs f(from, to) over [0, n): in two halves on two threads when n is at
// least `worth_a_thread`, else at once on this thread. f must not throw.
template <class F>
void in_two_halves(size_t n, size_t worth_a_thread, F&& f) {
  if (n < worth_a_thread) return f(size_t{0}, n);
  run_beside([&] { f(n / 2, n); }, [&] { f(size_t{0}, n / 2); });
}

}  // namespace dovadure::utils
