// Logging facade: levels, targets and one host-installed sink.
//
// No sink is installed by default, so records are discarded without being
// formatted; DOVADURE_LOG evaluates its message only when it will be used.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace dovadure::utils {

enum class LogLevel { Error = 1, Warn, Info, Debug, Trace };

// Called from any thread, possibly concurrently; the sink must be thread-safe.
using LogSink = std::function<void(LogLevel, std::string_view target, std::string_view message)>;

// Installs sink for records up to and including max_level (replacing any).
void set_log_sink(LogSink sink, LogLevel max_level);
void clear_log_sink();

// One relaxed atomic load; false while no sink is installed.
bool log_enabled(LogLevel level);
// Hands the record to the sink when log_enabled(level).
void log_record(LogLevel level, std::string_view target, std::string_view message);

// Lower-case level name ("error", "warn", ...).
std::string_view log_level_name(LogLevel level);

}  // namespace dovadure::utils

#define DOVADURE_LOG(level, target, message_expr)                                  \
  do {                                                                             \
    if (::dovadure::utils::log_enabled(level)) {                                   \
      ::dovadure::utils::log_record((level), (target), std::string(message_expr)); \
    }                                                                              \
  } while (0)
