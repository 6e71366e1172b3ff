#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include "client/draw_decoder.h"

#include "fakes/log_capture.h"
#include "unit/yaml_builders.h"

namespace nolv {
namespace {

Packet read_packet_of(std::vector<Yaml> items, bool from_server = true) {
  Packet p;
  p.items = std::move(items);
  p.from_server = from_server;
  return p;
}
Packet draw(std::int64_t wid, const char* coding, std::int64_t sequence,
            const char* name = "draw") {
  return read_packet_of(
      {S(name), I(wid), I(0), I(0), I(4), I(2), S(coding), S(""), I(sequence), I(0)});
}

// Records one timeline of both ways out: on every post to the loop, what reached the decode
// channel before it is taken first, so the timeline holds the order in which each packet became
// visible to the thread that takes it.
class TimelineSink : public EventSink {
 public:
  explicit TimelineSink(DecodeReceiver& decoder) : decoder_(decoder) {}
  bool post(Packet packet) override {
    std::vector<Packet> one;
    one.push_back(std::move(packet));
    return post_batch(std::move(one));
  }
  bool post_batch(std::vector<Packet> packets) override {
    if (gone) return false;
    take_decoded();
    for (const Packet& p : packets) timeline.push_back("loop " + describe(p));
    return true;
  }
  void take_decoded() {
    for (auto got = decoder_.try_recv(); got.status == RecvStatus::Received;
         got = decoder_.try_recv()) {
      timeline.push_back("decode " + describe(*got.value));
    }
  }
  static std::string describe(const Packet& p) {
    std::string text =
        packet_get_str(p.items, 0) + " " + std::to_string(packet_get_i64(p.items, 1));
    if (p.items.size() > 8) text += " #" + std::to_string(packet_get_i64(p.items, 8));
    return text;
  }
  std::vector<std::string> timeline;
  bool gone = false;

 private:
  DecodeReceiver& decoder_;
};

class Route : public ::testing::Test {
 protected:
  DecodeChannel channel = DecodeChannel::open();
  std::shared_ptr<TimelineSink> sink = std::make_shared<TimelineSink>(channel.receiver);
  DrawRoute route{EventLoopProxy(sink), channel.sender};
};

TEST_F(Route, DrawsGoStraightToTheDecoderBehindWhatWasReadBeforeThem) {
  std::vector<Packet> batch;
  batch.push_back(read_packet_of({S("new-window"), I(5)}));
  batch.push_back(draw(5, "h264", 1));
  batch.push_back(read_packet_of({S("ping"), I(0)}));
  batch.push_back(read_packet_of({S("eos"), I(5)}));
  batch.push_back(read_packet_of({S("lost-window"), I(5)}));
  batch.push_back(read_packet_of({S("window-create"), I(5)}));  // the id taken again
  batch.push_back(draw(5, "h264", 2, "window-draw"));
  batch.push_back(draw(9, "h264", 3));  // no window 9: its decoder goes after the draw
  batch.push_back(draw(9, "jpeg", 4));  // a still picture leaves no decoder behind
  batch.push_back(read_packet_of({S("window-destroy"), I(7)}));
  batch.push_back(read_packet_of({S("draw"), I(5)}, false));  // the program's own: not routed
  ASSERT_TRUE(route.post_batch(std::move(batch)));
  sink->take_decoded();
  EXPECT_EQ(sink->timeline, (std::vector<std::string>{
                                "loop new-window 5",
                                "decode draw 5 #1",
                                "loop ping 0",
                                "decode eos 5",
                                "decode lost-window 5",
                                "loop lost-window 5",
                                "loop window-create 5",
                                "decode window-draw 5 #2",
                                "decode draw 9 #3",
                                "decode lost-window 9",
                                "decode draw 9 #4",
                                "decode lost-window 7",
                                "loop window-destroy 7",
                                "loop draw 5",
                            }));
}

TEST_F(Route, WindowsAreRememberedAcrossBatchesUntilTheyGo) {
  ASSERT_TRUE(route.post(read_packet_of({S("new-override-redirect"), I(3)})));
  ASSERT_TRUE(route.post(draw(3, "h264", 1)));
  ASSERT_TRUE(route.post(read_packet_of({S("lost-window"), I(3)})));
  ASSERT_TRUE(route.post(draw(3, "h264", 2)));
  sink->take_decoded();
  EXPECT_EQ(sink->timeline, (std::vector<std::string>{
                                "loop new-override-redirect 3",
                                "decode draw 3 #1",
                                "decode lost-window 3",
                                "loop lost-window 3",
                                "decode draw 3 #2",
                                "decode lost-window 3",
                            }));
}

TEST_F(Route, WindowsPastTheBoundAreNotRemembered) {
  for (std::size_t wid = 1; wid <= kMaxRoutedWindows + 1; ++wid)
    ASSERT_TRUE(route.post(read_packet_of({S("new-window"), I(static_cast<std::int64_t>(wid))})));
  sink->timeline.clear();
  const auto last = static_cast<std::int64_t>(kMaxRoutedWindows);
  ASSERT_TRUE(route.post(draw(last, "h264", 1)));
  ASSERT_TRUE(route.post(draw(last + 1, "h264", 2)));
  sink->take_decoded();
  EXPECT_EQ(sink->timeline, (std::vector<std::string>{
                                fmt::format("decode draw {} #1", last),
                                fmt::format("decode draw {} #2", last + 1),
                                fmt::format("decode lost-window {}", last + 1),
                            }));
}

TEST_F(Route, AStoppedDecoderIsLoggedAndTheLoopStillGetsItsPackets) {
  { DecodeReceiver gone = std::move(channel.receiver); }
  LogCapture log;
  std::vector<Packet> batch;
  batch.push_back(draw(5, "jpeg", 1));
  batch.push_back(read_packet_of({S("ping"), I(0)}));
  EXPECT_TRUE(route.post_batch(std::move(batch)));
  EXPECT_EQ(sink->timeline, (std::vector<std::string>{"loop ping 0"}));
  const auto lines = log.take_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("cannot decode: the decoding thread has stopped"), std::string::npos);
}

TEST_F(Route, AGoneLoopEndsTheReaderAtTheNextPacketForIt) {
  sink->gone = true;
  EXPECT_FALSE(route.post(read_packet_of({S("ping"), I(0)})));
  std::vector<Packet> batch;
  batch.push_back(read_packet_of({S("new-window"), I(1)}));
  batch.push_back(draw(1, "jpeg", 1));
  EXPECT_FALSE(route.post_batch(std::move(batch)));
}

}  // namespace
}  // namespace nolv
