// Captures the lines the process-wide logger writes to standard output during a test.
// The logger can be installed only once per process, so every test that reads log lines
// goes through this helper instead of installing a logger itself.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "util/log.h"

namespace nolv {

// The lines a logger of a test's own writes, kept in order.
struct CapturedLines {
  std::vector<std::string> lines;
  Logger::Writer writer() {
    return [this](std::string_view line) { lines.emplace_back(line); };
  }
};

inline void ensure_test_logger() {
  static const bool installed = [] {
    install_process_logger(static_cast<std::uint8_t>(LogLevel::Trace), {});
    return true;
  }();
  (void)installed;
}

class LogCapture {
 public:
  LogCapture() {
    ensure_test_logger();
    testing::internal::CaptureStdout();
  }
  ~LogCapture() {
    if (!taken_) (void)testing::internal::GetCapturedStdout();
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Ends the capture and returns the lines written since it began.
  std::vector<std::string> take_lines() {
    taken_ = true;
    const std::string text = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      if (end == std::string::npos) {
        lines.push_back(text.substr(start));
        break;
      }
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

 private:
  bool taken_ = false;
};

}  // namespace nolv
