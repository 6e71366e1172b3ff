#include "client/remote_logging.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/event_sink.h"
#include "fakes/log_capture.h"

namespace nolv {
namespace {

TEST(RemoteLogging, ForwardsInfoAndAboveOnceTheSlotIsFilled) {
  CapturedLines out;
  auto slot = std::make_shared<LogForwardSlot>();
  auto sink = std::make_shared<RecordingSink>();
  Logger logger(4, false, out.writer(), log_forwarder(slot));
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

TEST(RemoteLogging, ARecordLoggedWhileForwardingIsNotForwardedAgain) {
  CapturedLines out;
  auto slot = std::make_shared<LogForwardSlot>();
  Logger* self = nullptr;
  auto sink = std::make_shared<RecordingSink>([&] {
    self->log({LogLevel::Warn, "t", "", "nested"});
  });
  Logger logger(3, false, out.writer(), log_forwarder(slot));
  self = &logger;
  slot->fill(EventLoopProxy(sink));
  logger.log({LogLevel::Info, "t", "", "outer"});
  EXPECT_EQ(sink->take().size(), 1u);
  EXPECT_EQ(out.lines.size(), 2u);
}

}  // namespace
}  // namespace nolv
