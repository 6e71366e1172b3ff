#include <gtest/gtest.h>

#include <functional>

#include "client/draw_decoder.h"
#include "client/scaling.h"
#include "fakes/window.h"
#include "unit/client/session_fixture.h"

namespace nolv {
namespace {

using PictureHandlers = SessionTest;

Packet draw_packet(const char* name, std::int64_t wid, std::int64_t seq) {
  Packet p = packet_of({S(name), I(wid), I(0), I(0), I(4), I(2), S("png"), S(""), I(seq), I(0)});
  p.chunks[7] = Bytes{1, 2, 3};
  return p;
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

// A decoded 4x2 rectangle: pixel i has the bytes (i, 0x10, 0x20, 0xff).
Packet decoded(std::int64_t wid, std::int64_t x, std::int64_t y, const char* coding,
               std::optional<std::uint64_t> time, std::size_t bytes = 32) {
  Packet p =
      packet_of({S("draw-decoded"), I(wid), I(x), I(y), I(4), I(2), S(coding), S(""), I(44), I(0)});
  Bytes pixels;
  for (std::size_t i = 0; pixels.size() < bytes; ++i) {
    pixels.insert(pixels.end(), {static_cast<std::uint8_t>(i), 0x10, 0x20, 0xff});
  }
  pixels.resize(bytes);
  p.chunks[7] = std::move(pixels);
  p.decode_time_us = time;
  return p;
}

class PaintedWindow : public PictureHandlers {
 protected:
  void SetUp() override {
    PictureHandlers::SetUp();
    ClientWindow& w = client->windows[5];
    w.wid = 5;
    w.window = native;
    auto surface_made = native->create_surface();
    ASSERT_TRUE(surface_made.ok());
    w.surface = std::move(*surface_made);
    w.server_w = 6;
    w.server_h = 3;
    w.local_w = 9;
    w.local_h = 5;  // 4.5 rounded up
    w.scale = 1.5;
    w.back_buffer.assign(18, 0);
    w.column_map = build_index_map(9, 6, 1.5);
    w.row_map = build_index_map(5, 3, 1.5);
    ASSERT_TRUE(w.surface->resize(9, 5).ok());
  }
  void redraw() {
    WindowEvent event = RedrawRequested{};
    client->handle_window_event(5, event);
  }
  // Delivers what the session posted to itself, as the loop would; returns the names.
  std::vector<std::string> deliver_posted() {
    std::vector<std::string> names;
    for (Packet& p : sink->take()) {
      names.push_back(packet_get_str(p.items, 0));
      client->dispatch_packet(loop, names.back(), std::move(p));
    }
    return names;
  }
  std::vector<std::string> acks() {
    std::vector<std::string> out;
    for (const auto& p : peer.drain()) out.push_back(p.dump());
    return out;
  }
  std::shared_ptr<FakeWindow> native = std::make_shared<FakeWindow>(WindowId{77});
  ClientWindow& window() { return client->windows.at(5); }
  FakeSurface& surface() { return *native->surface; }
};

TEST_F(PaintedWindow, PaintsClipsRecordsDamageAndAcknowledgesOncePresented) {
  client->dispatch_packet(loop, "draw-decoded", decoded(5, 3, 2, "jpeg", 1234));
  // Columns 3..5 and row 2 are inside the 6x3 buffer; bytes b0 b1 b2 are B, G, R.
  EXPECT_EQ(window().back_buffer[2 * 6 + 3], 0x201000u);
  EXPECT_EQ(window().back_buffer[2 * 6 + 5], 0x201002u);
  EXPECT_EQ(window().back_buffer[1 * 6 + 3], 0u);
  ASSERT_EQ(window().damage.size(), 1u);
  // Server columns 3..5, row 2 at 1.5: floor(4.5)=4 .. min(ceil(9), 9); floor(3)=3 ..
  // min(ceil(4.5), 5).
  EXPECT_EQ(window().damage[0], (Rect{4, 3, 5, 2}));
  client->dispatch_packet(loop, "draw-decoded", decoded(5, -2, 0, "png", std::nullopt));
  EXPECT_EQ(window().back_buffer[0], 0x021020u);  // source column 2, R G B order
  EXPECT_TRUE(acks().empty());                    // nothing is on the screen yet
  EXPECT_TRUE(surface().presents.empty());

  // Both draws are shown by the one present queued behind them, not by a toolkit redraw.
  EXPECT_EQ(deliver_posted(), (std::vector<std::string>{"present-windows"}));
  EXPECT_EQ(native->redraw_requests, 0);
  ASSERT_EQ(surface().presents.size(), 1u);
  EXPECT_EQ(acks(), (std::vector<std::string>{R"(["window-ack",5,4,2,44,1234,""])",
                                              R"(["window-ack",5,4,2,44,0,""])"}));
  redraw();  // answered once only
  EXPECT_TRUE(acks().empty());
  // The next draw queues a present of its own.
  client->dispatch_packet(loop, "draw-decoded", decoded(5, 0, 0, "jpeg", 5));
  EXPECT_EQ(deliver_posted(), (std::vector<std::string>{"present-windows"}));
  EXPECT_EQ(acks(), (std::vector<std::string>{R"(["window-ack",5,4,2,44,5,""])"}));
}

TEST_F(PaintedWindow, DrawsAreShownAtOnceWhenTheLoopTakesNoMoreEvents) {
  sink->close();
  client->dispatch_packet(loop, "draw-decoded", decoded(5, 0, 0, "jpeg", 6));
  EXPECT_EQ(surface().presents.size(), 1u);
  EXPECT_EQ(acks(), (std::vector<std::string>{R"(["window-ack",5,4,2,44,6,""])"}));
}

TEST_F(PaintedWindow, OnePresentShowsTheDrawsOfEveryWindowInTheirOrder) {
  ClientWindow& other = client->windows[6];
  other.wid = 6;
  auto native6 = std::make_shared<FakeWindow>(WindowId{78});
  other.window = native6;
  auto surface_made = native6->create_surface();
  ASSERT_TRUE(surface_made.ok());
  other.surface = std::move(*surface_made);
  other.server_w = other.local_w = 4;
  other.server_h = other.local_h = 2;
  other.back_buffer.assign(8, 0);
  ASSERT_TRUE(other.surface->resize(4, 2).ok());
  Packet a = decoded(5, 0, 0, "jpeg", 1), b = decoded(6, 0, 0, "jpeg", 2),
         c = decoded(5, 1, 0, "jpeg", 3);
  c.items[8] = I(45);
  client->dispatch_packet(loop, "draw-decoded", std::move(a));
  client->dispatch_packet(loop, "draw-decoded", std::move(b));
  client->dispatch_packet(loop, "draw-decoded", std::move(c));
  EXPECT_EQ(deliver_posted(), (std::vector<std::string>{"present-windows"}));
  EXPECT_EQ(surface().presents.size(), 1u);
  EXPECT_EQ(native6->surface->presents.size(), 1u);
  // In the order of the draws, not of the windows.
  EXPECT_EQ(acks(), (std::vector<std::string>{R"(["window-ack",5,4,2,44,1,""])",
                                              R"(["window-ack",6,4,2,44,2,""])",
                                              R"(["window-ack",5,4,2,45,3,""])"}));
}

// A whole-window picture is held as decoded instead of painted; what the window holds and shows
// must be what painting it would have given, on a same-size and on a scaled window, and a later
// partial draw lands on top of it.
TEST_F(PaintedWindow, AWholeWindowPictureShowsAndHoldsWhatPaintingItWould) {
  ClientWindow& same = client->windows[6];
  same.wid = 6;
  auto native6 = std::make_shared<FakeWindow>(WindowId{78});
  same.window = native6;
  auto surface_made = native6->create_surface();
  ASSERT_TRUE(surface_made.ok());
  same.surface = std::move(*surface_made);
  same.server_w = same.local_w = 4;
  same.server_h = same.local_h = 2;
  ASSERT_TRUE(same.surface->resize(4, 2).ok());  // its back buffer stands empty, as a new one's

  auto whole = [](std::int64_t wid, std::int64_t w, std::int64_t h, const char* coding) {
    Packet p = decoded(wid, 0, 0, coding, 9, static_cast<std::size_t>(w * h * 4));
    p.items[4] = I(w);
    p.items[5] = I(h);
    return p;
  };
  struct Case {
    std::uint64_t wid;
    std::uint32_t w, h;
    FakeSurface* surface;
  };
  for (const Case& c : {Case{5, 6, 3, native->surface}, Case{6, 4, 2, native6->surface}}) {
    SCOPED_TRACE(c.wid);
    ClientWindow& win = client->windows.at(c.wid);
    std::vector<std::uint32_t> expected(std::size_t{c.w} * c.h);
    for (std::size_t i = 0; i < expected.size(); ++i)
      expected[i] = 0x201000u | static_cast<std::uint32_t>(i & 0xff);  // the 0xff byte dropped
    auto shown = [&] {
      if (win.local_w == win.server_w) return expected;
      std::vector<std::uint32_t> scaled(std::size_t{win.local_w} * win.local_h);
      scale_rect(expected, win.server_w, scaled, win.local_w, Rect{0, 0, win.local_w, win.local_h},
                 win.column_map, win.row_map);
      return scaled;
    };
    client->dispatch_packet(loop, "draw-decoded",
                            whole(static_cast<std::int64_t>(c.wid), c.w, c.h, "jpeg"));
    EXPECT_EQ(deliver_posted(), (std::vector<std::string>{"present-windows"}));
    EXPECT_EQ(c.surface->pixels, shown());
    EXPECT_EQ(acks().size(), 1u);

    // A 4x2 draw on top at (1, 1): source row r lands on row 1 + r from column 1.
    client->dispatch_packet(loop, "draw-decoded",
                            decoded(static_cast<std::int64_t>(c.wid), 1, 1, "jpeg", 3));
    for (std::uint32_t r = 0; r < 2 && 1 + r < c.h; ++r)
      for (std::uint32_t col = 1; col < c.w && col < 5; ++col)
        expected[std::size_t{c.w} * (1 + r) + col] = 0x201000u | (r * 4 + col - 1);
    EXPECT_EQ(deliver_posted(), (std::vector<std::string>{"present-windows"}));
    EXPECT_EQ(c.surface->pixels, shown());
    const std::span<const std::uint32_t> held = win.pixels();
    EXPECT_EQ(std::vector<std::uint32_t>(held.begin(), held.end()), expected);
    EXPECT_EQ(acks().size(), 1u);
  }
}

TEST_F(PaintedWindow, NothingToPaintIsStillAcknowledgedAsSuccess) {
  struct Case {
    Packet packet;
    std::size_t presents;
  };
  Case cases[] = {{decoded(5, 0, 0, "h264", 50, 0), 0},   // no picture
                  {decoded(5, 0, 0, "jpeg", 51, 31), 0},  // one byte short
                  {decoded(5, 40, 40, "jpeg", 52), 1}};   // wholly outside: presented anyway
  for (Case& c : cases) {
    const std::uint64_t time = *c.packet.decode_time_us;
    client->dispatch_packet(loop, "draw-decoded", std::move(c.packet));
    EXPECT_EQ(deliver_posted().size(), c.presents);
    auto ack = peer.next();
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ((*ack)[5], time);
    EXPECT_EQ((*ack)[6], "");
  }
  EXPECT_TRUE(window().damage.empty());
  const std::span<const std::uint32_t> held = window().pixels();
  EXPECT_EQ(std::count(held.begin(), held.end(), 0u), 18);
}

TEST_F(PaintedWindow, ASurfaceThatCannotShowThePictureAnswersMinusOneAndWhy) {
  struct Case {
    const char* fault;
    std::function<void(FakeSurface&)> set;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"no buffer", [](FakeSurface& s) { s.fail_buffer = true; },
       "failed to get softbuffer buffer: no buffer"},
      {"wrong size",
       [](FakeSurface& s) {
         s.buffer_size_override = PhysicalSize{18, 10};
       },
       "failed to get softbuffer buffer: 18x10 pixels for a 9x5 window"},
      {"present", [](FakeSurface& s) { s.fail_present = true; },
       "failed to present softbuffer buffer: present refused"},
  };
  for (const Case& c : cases) {
    surface().fail_buffer = surface().fail_present = false;
    surface().buffer_size_override.reset();
    c.set(surface());
    LogCapture log;
    client->dispatch_packet(loop, "draw-decoded", decoded(5, 0, 0, "jpeg", 70));
    client->dispatch_packet(loop, "draw-decoded", decoded(5, 2, 0, "png", 71));
    deliver_posted();
    const std::string want = fmt::format(R"(["window-ack",5,4,2,44,-1,"{}"])", c.message);
    EXPECT_EQ(acks(), (std::vector<std::string>{want, want})) << c.fault;
    EXPECT_TRUE(any_line_has(log.take_lines(), c.message)) << c.fault;
  }
}

TEST_F(PaintedWindow, DrawWithNothingToShowWaitsBehindPaintedOnes) {
  Packet first = decoded(5, 0, 0, "jpeg", 80);
  first.items[8] = I(1);
  Packet headers_only = decoded(5, 0, 0, "h264", 81, 0);
  headers_only.items[8] = I(2);
  client->dispatch_packet(loop, "draw-decoded", std::move(first));
  client->dispatch_packet(loop, "draw-decoded", std::move(headers_only));
  EXPECT_TRUE(acks().empty());
  deliver_posted();
  EXPECT_EQ(acks(), (std::vector<std::string>{R"(["window-ack",5,4,2,1,80,""])",
                                              R"(["window-ack",5,4,2,2,81,""])"}));
}

TEST_F(PaintedWindow, AnswersLeaveInTheOrderOfTheDrawsWhateverTheirWindowOrOutcome) {
  ClientWindow& other = client->windows[3];
  other.wid = 3;
  other.window = std::make_shared<FakeWindow>(WindowId{78});
  auto surface_made = other.window->create_surface();
  ASSERT_TRUE(surface_made.ok());
  other.surface = std::move(*surface_made);
  other.server_w = other.local_w = 4;
  other.server_h = other.local_h = 2;
  other.back_buffer.assign(8, 0);
  other.column_map = build_index_map(4, 4, 1.0);
  other.row_map = build_index_map(2, 2, 1.0);
  ASSERT_TRUE(other.surface->resize(4, 2).ok());
  auto with_sequence = [](Packet p, std::int64_t seq) {
    p.items[8] = I(seq);
    return p;
  };
  Packet failed = draw_packet("decoding-failed", 5, 3);
  failed.items[7] = S("unsupported encoding rgb");
  // Window 5 is presented after window 3 and a missing window answers at once: neither may
  // overtake a draw read before it.
  client->dispatch_packet(loop, "draw-decoded", with_sequence(decoded(5, 0, 0, "jpeg", 10), 1));
  client->dispatch_packet(loop, "draw-decoded", with_sequence(decoded(3, 0, 0, "png", 20), 2));
  client->dispatch_packet(loop, "decoding-failed", std::move(failed));
  client->dispatch_packet(loop, "draw-decoded", with_sequence(decoded(9, 0, 0, "jpeg", 30), 4));
  client->dispatch_packet(loop, "draw-decoded", with_sequence(decoded(5, 0, 0, "webp", 40), 5));
  EXPECT_TRUE(acks().empty());
  EXPECT_EQ(deliver_posted(), (std::vector<std::string>{"present-windows"}));
  EXPECT_EQ(acks(), (std::vector<std::string>{
                        R"(["window-ack",5,4,2,1,10,""])",
                        R"(["window-ack",3,4,2,2,20,""])",
                        R"(["window-ack",5,4,2,3,-1,"unsupported encoding rgb"])",
                        R"(["window-ack",9,4,2,4,-1,"window not found!"])",
                        R"(["window-ack",5,4,2,5,40,""])",
                    }));
}

TEST_F(PaintedWindow, DrawsOfAWindowThatGoesBeforeItsRedrawAreNotFound) {
  client->window_ids[native->id()] = 5;
  client->dispatch_packet(loop, "draw-decoded", decoded(5, 0, 0, "jpeg", 90));
  dispatch({S("lost-window"), I(5)});
  EXPECT_EQ(acks(),
            (std::vector<std::string>{R"(["window-ack",5,4,2,44,-1,"window not found!"])"}));
}

TEST_F(PaintedWindow, PresentsThatNeverComeDoNotHoldTheAnswersBack) {
  for (std::size_t i = 0; i < kMaxUnshownDraws; ++i)
    client->dispatch_packet(loop, "draw-decoded", decoded(5, 0, 0, "jpeg", 7));
  EXPECT_EQ(surface().presents.size(), 1u);  // presented without the queued event
  EXPECT_EQ(window().unshown_draws, 0u);
  // More answers than the socket holds: read them as they come instead of waiting for the
  // writer to finish first.
  peer.settle = nullptr;
  for (std::size_t i = 0; i < kMaxUnshownDraws; ++i) {
    auto ack = peer.next();
    ASSERT_TRUE(ack.has_value()) << i;
    ASSERT_EQ(ack->dump(), R"(["window-ack",5,4,2,44,7,""])") << i;
  }
  EXPECT_FALSE(peer.next(100).has_value());
}

TEST_F(PaintedWindow, DrawForAnUnknownWindowIsAcknowledgedAsNotFound) {
  client->windows.erase(5);
  client->dispatch_packet(loop, "draw-decoded", decoded(5, 0, 0, "jpeg", 99));
  EXPECT_EQ(peer.next()->dump(), R"(["window-ack",5,4,2,44,-1,"window not found!"])");
  EXPECT_TRUE(sink->take().empty());  // nothing to present
}

}  // namespace
}  // namespace nolv
