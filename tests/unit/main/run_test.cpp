#include "main/run.h"

#include <gtest/gtest.h>

#include "client/internal_event.h"
#include "client/signals.h"
#include "fakes/active_event_loop.h"
#include "fakes/log_capture.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

// Runs Resumed, then the scripted events, stopping at the first exit request.
class ScriptedLoop : public EventLoop {
 public:
  ScriptedLoop(std::vector<Packet> events, Status result)
      : events_(std::move(events)), result_(std::move(result)) {}
  EventLoopProxy create_proxy() override { return EventLoopProxy(sink_); }
  Status run(EventLoopHandler& handler) override {
    handler.resumed(active_);
    for (Packet& p : events_) {
      if (active_.exit_requests > 0) break;
      handler.user_event(active_, std::move(p));
    }
    sink_->close();
    return result_;
  }

 private:
  std::vector<Packet> events_;
  Status result_;
  FakeActiveLoop active_;
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
};

class FakePlatform : public Platform {
 public:
  Result<std::unique_ptr<EventLoop>> create_event_loop() override {
    if (fail_loop) return fail("no display here");
    return std::unique_ptr<EventLoop>(std::make_unique<ScriptedLoop>(events, loop_result));
  }
  std::optional<std::string> keyboard_layout() override { return std::nullopt; }
  bool fail_loop = false;
  std::vector<Packet> events;
  Status loop_result;
};

int run_with(FakePlatform& platform, std::vector<std::string> args,
             std::vector<std::string>* lines) {
  LogCapture capture;
  const int code = run(std::make_shared<LogForwardSlot>(), args, platform);
  *lines = capture.take_lines();
  // Signals get their default action again once the loop is gone.
  (void)store_interrupt_proxy(std::nullopt);
  return code;
}

TEST(Run, EventLoopFailuresEndWith14) {
  std::vector<std::string> lines;
  FakePlatform no_loop;
  no_loop.fail_loop = true;
  EXPECT_EQ(run_with(no_loop, {"nolv"}, &lines), 14);
  EXPECT_TRUE(any_line_has(lines, "ERROR [nolv] failed to create the event loop: no display here"));

  FakePlatform broken;
  broken.events = {make_internal_event("interrupt", "Ctrl-C")};
  broken.loop_result = fail("status 3");
  EXPECT_EQ(run_with(broken, {"nolv"}, &lines), 14);
  EXPECT_TRUE(any_line_has(lines, "ERROR [nolv] event loop error: status 3"));
}

TEST(Run, WithoutATargetTheDialogPathRuns) {
  std::vector<std::string> lines;
  FakePlatform platform;
  platform.events = {make_internal_event("interrupt", "Ctrl-C")};
  EXPECT_EQ(run_with(platform, {"nolv"}, &lines), 0);
  EXPECT_TRUE(any_line_has(lines, "INFO  [nolv] caught Ctrl-C"));
  EXPECT_TRUE(any_line_has(lines,
                           "DEBUG [nolv::client::mmap] mmap picture transfers are not "
                           "supported on this platform"));
}

TEST(Run, AConnectionErrorReturnsItsOwnCode) {
  std::vector<std::string> lines;
  FakePlatform platform;
  EXPECT_EQ(run_with(platform, {"nolv", "tcp://127.0.0.1:1/"}, &lines), 18);
  EXPECT_EQ(run_with(platform, {"nolv", "--ssh=ssh", "tcp://127.0.0.1:1/"}, &lines), 34);
}

}  // namespace
}  // namespace nolv
