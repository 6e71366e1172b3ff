// The process-wide logger: one line per record on standard output, and every record handed to
// a hook the program may install (the client forwards records to the server through it).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace nolv {

enum class LogLevel : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct LogRecord {
  LogLevel level;
  std::string_view target;
  std::string_view module_path;
  std::string_view message;
};

// Sees every record the logger takes, on the thread that logged it.
using LogHook = std::function<void(const LogRecord& record)>;

class Logger {
 public:
  using Writer = std::function<void(std::string_view line)>;
  // `write` receives whole lines; `colour` is fixed for the logger's life.
  Logger(std::uint8_t max_level, bool colour, Writer write, LogHook hook = {});

  bool enabled(LogLevel level) const { return static_cast<std::uint8_t>(level) <= max_level_; }
  void log(const LogRecord& record) const;
  void flush() const;

 private:
  std::uint8_t max_level_;
  bool colour_;
  Writer write_;
  LogHook hook_;
};

// Colour on standard output: a terminal whose TERM is not "dumb", and NO_COLOR unset.
bool stdout_wants_colour();

// Installs the process-wide logger, writing to standard output, once; a second call ends the
// process.
void install_process_logger(std::uint8_t max_level, LogHook hook);

// The timestamp of a log line: "2025-03-07T09:05:03.042Z".
std::string log_timestamp(std::chrono::system_clock::time_point now);

// What the functions below reach. Without an installed logger, records go nowhere.
bool log_enabled(LogLevel level);
void log_write(LogLevel level, std::string_view target, std::string_view message);

template <typename... Args>
void log_at(LogLevel level, std::string_view target, fmt::format_string<Args...> f,
            Args&&... args) {
  if (!log_enabled(level)) return;  // records above the level are not even formatted
  log_write(level, target, fmt::format(f, std::forward<Args>(args)...));
}

// log_error("nolv::net::io", "failed: {}", why);
template <typename... Args>
void log_error(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  log_at(LogLevel::Error, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void log_warn(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  log_at(LogLevel::Warn, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void log_info(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  log_at(LogLevel::Info, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void log_debug(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  log_at(LogLevel::Debug, target, f, std::forward<Args>(args)...);
}
template <typename... Args>
void log_trace(std::string_view target, fmt::format_string<Args...> f, Args&&... args) {
  log_at(LogLevel::Trace, target, f, std::forward<Args>(args)...);
}

}  // namespace nolv
