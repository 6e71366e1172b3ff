#include "client/signals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fakes/event_sink.h"
#include "fakes/log_capture.h"

namespace nolv {
namespace {

TEST(ConsoleHandler, PostsInterruptWithTheEventNameOnlyForHandledCodes) {
  auto sink = std::make_shared<RecordingSink>();
  ASSERT_TRUE(store_interrupt_proxy(std::nullopt));
  EXPECT_FALSE(console_ctrl_handler(kCtrlC));  // nothing stored: the default handling applies
  ASSERT_TRUE(store_interrupt_proxy(EventLoopProxy(sink)));
  {
    LogCapture capture;
    for (std::uint32_t code : {3u, 4u, 7u, 100u}) EXPECT_FALSE(console_ctrl_handler(code)) << code;
    EXPECT_TRUE(capture.take_lines().empty());
  }
  const std::pair<std::uint32_t, std::string> handled[] = {
      {0, "Ctrl-C"}, {1, "Ctrl-Break"}, {2, "console close"}, {5, "logoff"}, {6, "shutdown"}};
  for (const auto& [code, name] : handled) {
    LogCapture capture;
    EXPECT_TRUE(console_ctrl_handler(code));
    const auto lines = capture.take_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("DEBUG [nolv::client::signals::imp] caught " + name),
              std::string::npos);
    const auto events = sink->take();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].items, (std::vector<Yaml>{Yaml::string("interrupt"), Yaml::string(name)}));
  }
  sink->close();
  EXPECT_TRUE(console_ctrl_handler(kCtrlC));  // a failed post still counts as handled
  ASSERT_TRUE(store_interrupt_proxy(std::nullopt));
}

TEST(PingThread, PostsSendPingUntilPostingFails) {
  auto sink = std::make_shared<RecordingSink>();
  std::thread ping(
      [proxy = EventLoopProxy(sink)] { ping_thread(proxy, std::chrono::milliseconds(5)); });
  std::vector<Packet> events;
  for (int i = 0; i < 400 && events.size() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto more = sink->take();
    for (auto& p : more) events.push_back(std::move(p));
  }
  sink->close();
  ping.join();  // ends at its first failed post
  ASSERT_GE(events.size(), 3u);
  for (const Packet& p : events) {
    EXPECT_EQ(p.items, (std::vector<Yaml>{Yaml::string("send-ping"), Yaml::string("")}));
  }
}

// The exit status of a child process that runs `body` and then returns normally with 0.
template <typename Body>
int exit_status_of(Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    body();
    std::_Exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ExitDeadline, EndsAStuckProcessWithItsCodeAndIsDisarmedWhenDropped) {
  using namespace std::chrono_literals;
  // A teardown that never finishes.
  EXPECT_EQ(exit_status_of([] {
              ExitDeadline deadline(ExitCode::ServerFailure, 50ms);
              std::this_thread::sleep_for(10s);
            }),
            exit_status(ExitCode::ServerFailure));
  // A teardown that finishes in time.
  EXPECT_EQ(exit_status_of([] {
              { ExitDeadline deadline(ExitCode::ServerFailure, 100ms); }
              std::this_thread::sleep_for(300ms);
            }),
            exit_status(ExitCode::Ok));
}

}  // namespace
}  // namespace nolv
