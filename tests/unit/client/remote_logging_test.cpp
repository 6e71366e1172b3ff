#include "client/remote_logging.h"

#include <gtest/gtest.h>

#include <regex>

#include "fakes/event_sink.h"

namespace nolv {
namespace {

struct Captured {
  std::vector<std::string> lines;
  RemoteLogger::Writer writer() {
    return [this](std::string_view line) { lines.emplace_back(line); };
  }
};

TEST(RemoteLogger, LineFormatAndLevelFilter) {
  Captured out;
  RemoteLogger logger(3, false, nullptr, out.writer());
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

TEST(RemoteLogger, ColourWrapsThePaddedLevelButNeverTrace) {
  Captured out;
  RemoteLogger logger(5, true, nullptr, out.writer());
  logger.log({LogLevel::Info, "t", "", "m"});
  logger.log({LogLevel::Trace, "t", "", "m"});
  EXPECT_NE(out.lines[0].find("Z \x1b[36mINFO \x1b[0m [t] m"), std::string::npos);
  EXPECT_NE(out.lines[1].find("Z TRACE [t] m"), std::string::npos);
}

TEST(RemoteLogger, ForwardsInfoAndAboveOnceTheSlotIsFilled) {
  Captured out;
  auto slot = std::make_shared<LogForwardSlot>();
  auto sink = std::make_shared<RecordingSink>();
  RemoteLogger logger(4, false, slot, out.writer());
  logger.log({LogLevel::Warn, "t", "", "before"});
  EXPECT_TRUE(sink->take().empty());
  slot->fill(EventLoopProxy(sink));
  logger.log({LogLevel::Warn, "t", "", "w"});
  logger.log({LogLevel::Error, "t", "", "e"});
  logger.log({LogLevel::Info, "t", "", "i"});
  logger.log({LogLevel::Debug, "t", "", "d"});
  const auto events = sink->take();
  ASSERT_EQ(events.size(), 3u);
  const std::int64_t expected[] = {30, 40, 20};
  const char* messages[] = {"w", "e", "i"};
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(events[i].items.size(), 3u);
    EXPECT_EQ(*events[i].items[0].as_string(), "send-log");
    EXPECT_EQ(events[i].items[1].as_integer(), expected[i]);
    EXPECT_EQ(*events[i].items[2].as_string(), messages[i]);
    EXPECT_TRUE(events[i].chunks.empty());
  }
  EXPECT_EQ(out.lines.size(), 5u);  // the debug line is printed, not forwarded
}

TEST(RemoteLogger, ARecordLoggedWhileForwardingIsNotForwardedAgain) {
  Captured out;
  auto slot = std::make_shared<LogForwardSlot>();
  RemoteLogger* self = nullptr;
  auto sink = std::make_shared<RecordingSink>([&] {
    self->log({LogLevel::Warn, "t", "", "nested"});
  });
  RemoteLogger logger(3, false, slot, out.writer());
  self = &logger;
  slot->fill(EventLoopProxy(sink));
  logger.log({LogLevel::Info, "t", "", "outer"});
  EXPECT_EQ(sink->take().size(), 1u);
  EXPECT_EQ(out.lines.size(), 2u);
}

TEST(RemoteLogger, TimestampTruncatesMilliseconds) {
  using namespace std::chrono;
  const sys_days day = year{2025} / March / 7;
  const auto t = day + hours(9) + minutes(5) + seconds(3) + microseconds(42999);
  EXPECT_EQ(log_timestamp(time_point_cast<system_clock::duration>(t)), "2025-03-07T09:05:03.042Z");
  EXPECT_EQ(log_timestamp(time_point_cast<system_clock::duration>(day + microseconds(999))),
            "2025-03-07T00:00:00.000Z");
}

}  // namespace
}  // namespace nolv
