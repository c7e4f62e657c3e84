// A progress bar with rate and remaining time on standard error, drawn only
// when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace dovadure::tools {

class ProgressBar {
 public:
  ProgressBar(std::string label, size_t total);
  // Redraws at most ten times a second.
  void update(size_t done);
  // Draws the final state and ends the line.
  void finish(size_t done);

 private:
  void draw(size_t done);

  std::string label_;
  size_t total_;
  bool enabled_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace dovadure::tools
