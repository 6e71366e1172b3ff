#include "util/log.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "util/fatal.h"

namespace nolv {

namespace {

constexpr std::string_view kLevelNames[] = {"", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
constexpr std::string_view kLevelColours[] = {"",         "\x1b[31m", "\x1b[33m",
                                              "\x1b[36m", "\x1b[35m", ""};

// Set once by install_process_logger; read by every logging thread.
std::atomic<const Logger*> installed{nullptr};

std::mutex stdout_mutex;

void write_stdout(std::string_view line) {
  std::lock_guard lock(stdout_mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

Logger::Logger(std::uint8_t max_level, bool colour, Writer write, LogHook hook)
    : max_level_(max_level), colour_(colour), write_(std::move(write)), hook_(std::move(hook)) {}

std::string log_timestamp(std::chrono::system_clock::time_point now) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(now);
  const auto days = floor<std::chrono::days>(ms);
  const year_month_day ymd{days};
  const hh_mm_ss hms{ms - days};
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", static_cast<int>(ymd.year()),
                     static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                     hms.hours().count(), hms.minutes().count(), hms.seconds().count(),
                     hms.subseconds().count());
}

void Logger::log(const LogRecord& record) const {
  const auto number = static_cast<std::uint8_t>(record.level);
  if (number <= max_level_) {
    const std::string_view name = kLevelNames[number];
    const std::string level = colour_ && !kLevelColours[number].empty()
                                  ? fmt::format("{}{:<5}\x1b[0m", kLevelColours[number], name)
                                  : fmt::format("{:<5}", name);
    const std::string_view target = !record.target.empty() ? record.target : record.module_path;
    write_(fmt::format("{} {} [{}] {}\n", log_timestamp(std::chrono::system_clock::now()), level,
                       target, record.message));
  }
  if (hook_) hook_(record);
}

void Logger::flush() const {
  std::lock_guard lock(stdout_mutex);
  std::fflush(stdout);
}

bool stdout_wants_colour() {
  if (isatty(STDOUT_FILENO) != 1) return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;
  return std::getenv("NO_COLOR") == nullptr;  // set to anything, the empty text included
}

void install_process_logger(std::uint8_t max_level, LogHook hook) {
  // Never destroyed: detached threads (reader, decode) may log while the process exits, after
  // static destructors have begun.
  static std::atomic<bool> done{false};
  if (done.exchange(true)) fatal("failed to install the logger");
  auto* logger =
      std::make_unique<Logger>(max_level, stdout_wants_colour(), write_stdout, std::move(hook))
          .release();
  installed.store(logger, std::memory_order_release);
}

bool log_enabled(LogLevel level) {
  const Logger* logger = installed.load(std::memory_order_acquire);
  return logger != nullptr && logger->enabled(level);
}

void log_write(LogLevel level, std::string_view target, std::string_view message) {
  const Logger* logger = installed.load(std::memory_order_acquire);
  if (logger != nullptr) logger->log(LogRecord{level, target, {}, message});
}

}  // namespace nolv
