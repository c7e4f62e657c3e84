#include "progress_bar.hpp"

#include <unistd.h>

#include <cstdio>

namespace dovadure::tools {
namespace {

std::string clock_text(double seconds) {
  if (!(seconds >= 0.0) || seconds > 359999.0) return "--:--";
  auto s = static_cast<unsigned long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%lu:%02lu:%02lu", s / 3600, (s / 60) % 60, s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%02lu:%02lu", s / 60, s % 60);
  }
  return buf;
}

}  // namespace

ProgressBar::ProgressBar(std::string label, size_t total)
    : label_(std::move(label)),
      total_(total),
      enabled_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

void ProgressBar::update(size_t done) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < std::chrono::milliseconds(100)) return;
  last_draw_ = now;
  draw(done);
}

void ProgressBar::finish(size_t done) {
  if (!enabled_) return;
  draw(done);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void ProgressBar::draw(size_t done) {
  constexpr int kWidth = 30;
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  double fraction = total_ == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total_);
  int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, ' ');
  double rate = elapsed > 0.0 ? static_cast<double>(done) / elapsed : 0.0;
  double eta = rate > 0.0 ? static_cast<double>(total_ - done) / rate : -1.0;
  std::fprintf(stderr, "\r%s [%s] %5.1f%% %zu/%zu %.0f/s elapsed %s ETA %s ", label_.c_str(),
               bar.c_str(), fraction * 100.0, done, total_, rate, clock_text(elapsed).c_str(),
               clock_text(eta).c_str());
  std::fflush(stderr);
}

}  // namespace dovadure::tools
