#include <gtest/gtest.h>

#include <QGuiApplication>
#include <thread>

#include "client/internal_event.h"
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
  std::thread poster([proxy] {
    for (int i = 0; i < 3; ++i) (void)proxy.send_event(make_internal_event(std::to_string(i), ""));
    (void)proxy.send_event(make_internal_event("exit", ""));
    (void)proxy.send_event(make_internal_event("after-exit", ""));
  });
  Recorder recorder;
  Status ran = (*loop)->run(recorder);
  poster.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(recorder.order, (std::vector<std::string>{"resumed", "early", "0", "1", "2", "exit"}));
  EXPECT_FALSE(proxy.send_event(make_internal_event("late", "")));
  // The offscreen platform has one screen.
  ASSERT_FALSE(recorder.monitors.empty());
  EXPECT_TRUE(recorder.monitors[0].primary);
  EXPECT_GT(recorder.monitors[0].width, 0u);
  EXPECT_GT(recorder.scale, 0.0);
}

}  // namespace
}  // namespace nolv
