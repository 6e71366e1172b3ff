#include "client/connect_thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "fakes/event_sink.h"
#include "net/packet.h"
#include "unit/net/transport_test_util.h"
#include "util/format.h"

namespace nolv {
namespace {

TEST(ConnectThread, HandsTheResultOverOnceThenPostsConnectResult) {
  std::promise<void> posted;
  auto sink = std::make_shared<RecordingSink>([&posted] { posted.set_value(); });
  const auto port = test::closed_port();
  Target target{.address = fmt::format("127.0.0.1:{}", port), .kind = TargetKind::Tcp};
  auto receiver = start_connect_thread(std::move(target), false, {}, EventLoopProxy(sink));
  ASSERT_TRUE(receiver) << receiver.message();
  ASSERT_EQ(posted.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);

  const std::vector<Packet> events = sink->take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(packet_get_str(events[0].items, 0), "connect-result");
  auto taken = take_connect_result(*receiver);
  ASSERT_TRUE(taken) << taken.message();
  ASSERT_FALSE(*taken);
  EXPECT_EQ(taken->error().code, ExitCode::ConnectionFailed);
  EXPECT_EQ(taken->error().message,
            fmt::format("failed to connect to \"127.0.0.1:{}\": Connection refused (os error 111)",
                        port));

  auto again = take_connect_result(*receiver);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.message(), "receiving on a closed channel");
}

TEST(ConnectThread, NothingYetIsAnEmptyChannel) {
  auto channel = Channel<ConnectResult<Transport>>::open(1, CloseRule::FirstValue);
  auto taken = take_connect_result(channel.receiver);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.message(), "receiving on an empty channel");
}

}  // namespace
}  // namespace nolv
