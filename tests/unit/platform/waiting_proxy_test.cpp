#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "fakes/event_sink.h"
#include "net/packet.h"
#include "platform/event_proxy.h"

namespace nolv {
namespace {

using namespace std::chrono_literals;

Packet picture(std::size_t bytes) {
  Packet packet = make_internal_event("draw-decoded", "");
  packet.chunks[7] = Bytes(bytes);
  return packet;
}

TEST(WaitingProxy, ChargesEachPostAndWaitsForRoomBeforeTheNext) {
  auto sink = std::make_shared<RecordingSink>();
  auto backlog = std::make_shared<Backlog>(1000);
  const EventLoopProxy proxy = waiting_proxy(EventLoopProxy(sink), backlog);

  auto session = std::make_shared<Backlog>(1000);
  Packet first = picture(800);
  first.charge = BacklogCharge(session, 300);  // what the draw's items hold
  ASSERT_TRUE(proxy.send_event(std::move(first)));
  EXPECT_EQ(backlog->waiting(), 800 + kPacketFootprint);  // now at the limit
  EXPECT_EQ(session->waiting(), 300u);                    // kept beside the picture's charge
  auto second = std::async(std::launch::async, [&] { return proxy.send_event(picture(10)); });
  ASSERT_EQ(second.wait_for(100ms), std::future_status::timeout);  // waits for the painter
  EXPECT_EQ(sink->count(), 1u);
  sink->take().clear();  // painted and dropped: room again
  EXPECT_TRUE(second.get());
  EXPECT_EQ(backlog->waiting(), 10 + kPacketFootprint);
  EXPECT_EQ(session->waiting(), 0u);
}

TEST(WaitingProxy, AClosedBacklogNoLongerHoldsPostsBack) {
  auto sink = std::make_shared<RecordingSink>();
  auto backlog = std::make_shared<Backlog>(1);
  const EventLoopProxy proxy = waiting_proxy(EventLoopProxy(sink), backlog);
  ASSERT_TRUE(proxy.send_event(picture(1)));
  backlog->close();
  EXPECT_TRUE(proxy.send_event(picture(1)));
  sink->close();
  EXPECT_FALSE(proxy.send_event(picture(1)));
}

}  // namespace
}  // namespace nolv
