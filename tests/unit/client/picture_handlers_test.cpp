#include <gtest/gtest.h>

#include "client/draw_decoder.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

class PictureHandlers : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    client->decode_sender = channel.sender;
  }
  DecodeChannel channel = DecodeChannel::open();
};

Packet draw_packet(const char* name, std::int64_t wid, std::int64_t seq) {
  Packet p = packet_of({S(name), I(wid), I(0), I(0), I(4), I(2), S("png"), S(""), I(seq), I(0)});
  p.chunks[7] = Bytes{1, 2, 3};
  return p;
}

TEST_F(PictureHandlers, DrawsAndEndsOfStreamGoUnchangedToTheDecodeThread) {
  for (const char* name : {"draw", "window-draw", "eos", "window-eos"}) {
    client->dispatch_packet(loop, name, draw_packet(name, 5, 9));
  }
  for (const char* name : {"draw", "window-draw", "eos", "window-eos"}) {
    auto got = channel.receiver.recv();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(packet_get_str(got->items, 0), name);
    EXPECT_EQ(got->chunks.at(7), (Bytes{1, 2, 3}));  // the raw chunk travels with it
  }
  EXPECT_TRUE(peer.drain().empty());  // nothing is acknowledged before decoding
}

TEST_F(PictureHandlers, DrawToAStoppedDecodeThreadIsLoggedAndNotAcknowledged) {
  { DecodeReceiver gone = std::move(channel.receiver); }
  LogCapture log;
  client->dispatch_packet(loop, "draw", draw_packet("draw", 5, 9));
  client->dispatch_packet(loop, "eos", draw_packet("eos", 5, 9));
  const auto lines = log.take_lines();
  EXPECT_TRUE(any_line_has(lines, "cannot decode: the decoding thread has stopped"));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("cannot decode") != l.npos; }),
            1);
  EXPECT_TRUE(peer.drain().empty());
}

TEST_F(PictureHandlers, FailuresAreAcknowledgedWithMinusOneAndTheMessage) {
  for (const char* name : {"decoding-failed", "draw-failed"}) {
    Packet p = draw_packet(name, 5, 31);
    p.items[7] = S("invalid jpeg header: broken");
    client->dispatch_packet(loop, name, std::move(p));
    auto ack = peer.next();
    ASSERT_TRUE(ack.has_value()) << name;
    EXPECT_EQ(ack->dump(), R"(["window-ack",5,4,2,31,-1,"invalid jpeg header: broken"])");
  }
}

}  // namespace
}  // namespace nolv
