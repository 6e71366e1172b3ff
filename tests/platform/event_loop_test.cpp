#include <gtest/gtest.h>

#include <QGuiApplication>
#include <thread>

#include "net/packet.h"
#include "platform/qt/qt_platform.h"

namespace nolv {
namespace {

// Records what the loop delivers and ends it on an "exit" event.
class Recorder : public EventLoopHandler {
 public:
  void resumed(ActiveEventLoop& loop) override {
    order.push_back("resumed");
    monitors = loop.monitors();
    scale = loop.primary_scale_factor();
  }
  void user_event(ActiveEventLoop& loop, Packet packet) override {
    const std::string name = packet_get_str(packet.items, 0);
    order.push_back(name);
    if (name == "exit") loop.exit();
  }
  void window_event(ActiveEventLoop&, WindowId, WindowEvent) override {}
  std::vector<std::string> order;
  std::vector<Monitor> monitors;
  double scale = 0;
};

TEST(QtEventLoop, ResumedFirstThenEventsInOrderUntilExitThenPostingFails) {
  char name[] = "nolv";
  char* argv[] = {name, nullptr};
  QtPlatform platform(1, argv);
  auto loop = platform.create_event_loop();
  ASSERT_TRUE(loop) << loop.message();
  EventLoopProxy proxy = (*loop)->create_proxy();
  // Posted before the loop runs, from another thread.
  std::thread early([proxy] { EXPECT_TRUE(proxy.send_event(make_internal_event("early", ""))); });
  early.join();
  auto backlog = std::make_shared<Backlog>(1000);
  std::thread poster([proxy, backlog] {
    (void)proxy.send_event(make_internal_event("0", ""));
    // A batch keeps its order among single posts; once an exit is asked for, the rest of it is
    // not delivered, and what it held is given back.
    std::vector<Packet> batch;
    for (std::string event : {"1", "2", "exit", "after-exit"}) {
      batch.push_back(make_internal_event(event, ""));
      batch.back().charge = BacklogCharge(backlog, 100);
    }
    (void)proxy.send_events(std::move(batch));
    (void)proxy.send_event(make_internal_event("after-batch", ""));
  });
  Recorder recorder;
  Status ran = (*loop)->run(recorder);
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(recorder.order, (std::vector<std::string>{"resumed", "early", "0", "1", "2", "exit"}));
  EXPECT_EQ(backlog->waiting(), 0u);
  EXPECT_FALSE(proxy.send_event(make_internal_event("late", "")));
  // The offscreen platform has one screen.
  ASSERT_FALSE(recorder.monitors.empty());
  EXPECT_TRUE(recorder.monitors[0].primary);
  EXPECT_GT(recorder.monitors[0].width, 0u);
  EXPECT_GT(recorder.scale, 0.0);
}

}  // namespace
}  // namespace nolv
