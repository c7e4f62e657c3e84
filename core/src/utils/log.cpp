#include "utils/log.hpp"

#include <atomic>
#include <memory>
#include <mutex>

namespace dovadure::utils {
namespace {

// 0 while no sink is installed, else the numeric value of the maximum level.
std::atomic<int> g_max_level{0};

struct SinkSlot {
  std::mutex mu;
  std::shared_ptr<const LogSink> sink;
};

SinkSlot& sink_slot() {
  // Never destroyed: records may be logged from other static destructors.
  static SinkSlot* slot = new SinkSlot();
  return *slot;
}

}  // namespace

void set_log_sink(LogSink sink, LogLevel max_level) {
  auto installed = std::make_shared<const LogSink>(std::move(sink));
  SinkSlot& slot = sink_slot();
  std::lock_guard<std::mutex> lock(slot.mu);
  slot.sink = std::move(installed);
  g_max_level.store(static_cast<int>(max_level), std::memory_order_relaxed);
}

void clear_log_sink() {
  SinkSlot& slot = sink_slot();
  std::shared_ptr<const LogSink> old;
  {
    std::lock_guard<std::mutex> lock(slot.mu);
    g_max_level.store(0, std::memory_order_relaxed);
    old = std::move(slot.sink);
  }
  // old is released outside the lock in case the sink logs from its destructor.
}

bool log_enabled(LogLevel level) {
  return static_cast<int>(level) <= g_max_level.load(std::memory_order_relaxed);
}

void log_record(LogLevel level, std::string_view target, std::string_view message) {
  if (!log_enabled(level)) return;
  std::shared_ptr<const LogSink> sink;
  {
    SinkSlot& slot = sink_slot();
    std::lock_guard<std::mutex> lock(slot.mu);
    sink = slot.sink;
  }
  // Called without the lock so a sink may itself log or swap sinks.
  if (sink && *sink) (*sink)(level, target, message);
}

std::string_view log_level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Error:
      return "error";
    case LogLevel::Warn:
      return "warn";
    case LogLevel::Info:
      return "info";
    case LogLevel::Debug:
      return "debug";
    case LogLevel::Trace:
      return "trace";
  }
  return "unknown";
}

}  // namespace dovadure::utils
