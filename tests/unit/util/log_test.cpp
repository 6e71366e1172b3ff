#include "util/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "fakes/log_capture.h"

namespace nolv {
namespace {

TEST(Logger, LineFormatAndLevelFilter) {
  CapturedLines out;
  Logger logger(3, false, out.writer());
  logger.log({LogLevel::Warn, "nolv::x", "", "careful"});
  logger.log({LogLevel::Debug, "nolv::x", "", "hidden"});
  logger.log({LogLevel::Info, "", "mod::path", "from module"});
  logger.log({LogLevel::Error, "", "", "no target"});
  ASSERT_EQ(out.lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(
      out.lines[0],
      std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z WARN  \[nolv::x\] careful\n)")));
  EXPECT_NE(out.lines[1].find(" INFO  [mod::path] from module\n"), std::string::npos);
  EXPECT_NE(out.lines[2].find(" ERROR [] no target\n"), std::string::npos);
  EXPECT_TRUE(logger.enabled(LogLevel::Info));
  EXPECT_FALSE(logger.enabled(LogLevel::Debug));
}

TEST(Logger, ColourWrapsThePaddedLevelButNeverTrace) {
  CapturedLines out;
  Logger logger(5, true, out.writer());
  logger.log({LogLevel::Info, "t", "", "m"});
  logger.log({LogLevel::Trace, "t", "", "m"});
  EXPECT_NE(out.lines[0].find("Z \x1b[36mINFO \x1b[0m [t] m"), std::string::npos);
  EXPECT_NE(out.lines[1].find("Z TRACE [t] m"), std::string::npos);
}

TEST(Logger, TimestampTruncatesMilliseconds) {
  using namespace std::chrono;
  const sys_days day = year{2025} / March / 7;
  const auto t = day + hours(9) + minutes(5) + seconds(3) + microseconds(42999);
  EXPECT_EQ(log_timestamp(time_point_cast<system_clock::duration>(t)), "2025-03-07T09:05:03.042Z");
  EXPECT_EQ(log_timestamp(time_point_cast<system_clock::duration>(day + microseconds(999))),
            "2025-03-07T00:00:00.000Z");
}

}  // namespace
}  // namespace nolv
