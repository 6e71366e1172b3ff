#include "client/paint_draw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "client/bands.h"

namespace nolv {
namespace {

// Source pixels whose bytes encode their own column and row: (col, row, 0x80, 0xff).
Bytes numbered(std::uint32_t w, std::uint32_t h) {
  Bytes b;
  for (std::uint32_t r = 0; r < h; ++r) {
    for (std::uint32_t c = 0; c < w; ++c) {
      b.insert(b.end(), {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(r), 0x80, 0xff});
    }
  }
  return b;
}

std::uint32_t bgrx_value(std::uint32_t col, std::uint32_t row) {
  return 0x80u << 16 | row << 8 | col;
}

struct Buffer {
  std::uint32_t w, h;
  std::vector<std::uint32_t> px;
  Buffer(std::uint32_t width, std::uint32_t height)
      : w(width), h(height), px(std::size_t{width} * height, 0xdeadbeef) {}
  std::uint32_t at(std::uint32_t x, std::uint32_t y) const { return px[std::size_t{y} * w + x]; }
};

TEST(PaintRect, ClipsAtNegativeOriginAndBeyondTheBuffer) {
  struct Case {
    std::int32_t x, y;
    std::uint32_t w, h;
  };
  for (const Case& c : {Case{-10, 0, 30, 4}, Case{5, -3, 8, 8}, Case{20, 6, 10, 10},
                        Case{-5, -5, 40, 20}, Case{0, 0, 24, 10}}) {
    Buffer buf(24, 10);
    const Bytes src = numbered(c.w, c.h);
    paint_rect(buf.px, buf.w, buf.h, c.x, c.y, c.w, c.h, PixelOrder::Bgrx, src);
    for (std::uint32_t by = 0; by < buf.h; ++by) {
      for (std::uint32_t bx = 0; bx < buf.w; ++bx) {
        const std::int64_t sc = std::int64_t{bx} - c.x;
        const std::int64_t sr = std::int64_t{by} - c.y;
        const bool inside = sc >= 0 && sc < c.w && sr >= 0 && sr < c.h;
        const std::uint32_t want =
            inside ? bgrx_value(static_cast<std::uint32_t>(sc), static_cast<std::uint32_t>(sr))
                   : 0xdeadbeef;
        ASSERT_EQ(buf.at(bx, by), want)
            << "case x=" << c.x << " y=" << c.y << " at " << bx << "," << by;
      }
    }
  }
}

// A picture large enough to be split into bands paints what one thread paints, clipped on all
// sides, in both pixel orders.
TEST(PaintRect, PaintingInBandsMatchesOneThread) {
  BandWorkers bands;
  std::mt19937 random(11);
  Bytes src(std::size_t{1100} * 900 * 4);
  for (auto& b : src) b = static_cast<std::uint8_t>(random());
  for (PixelOrder order : {PixelOrder::Bgrx, PixelOrder::Rgba}) {
    Buffer alone(1024, 768);
    Buffer split(1024, 768);
    paint_rect(alone.px, alone.w, alone.h, -30, -20, 1100, 900, order, src);
    paint_rect(split.px, split.w, split.h, -30, -20, 1100, 900, order, src, &bands);
    EXPECT_NE(alone.at(0, 0), 0xdeadbeef);
    EXPECT_TRUE(alone.px == split.px);
  }
}

TEST(PaintRect, RectangleAtMinusTenOfWidthThirtyPaintsColumnsZeroToNineteen) {
  Buffer buf(40, 1);
  paint_rect(buf.px, buf.w, buf.h, -10, 0, 30, 1, PixelOrder::Bgrx, numbered(30, 1));
  EXPECT_EQ(buf.at(0, 0), bgrx_value(10, 0));
  EXPECT_EQ(buf.at(19, 0), bgrx_value(29, 0));
  EXPECT_EQ(buf.at(20, 0), 0xdeadbeefu);
}

TEST(PaintRect, WhollyOutsidePaintsNothing) {
  for (auto [x, y] : {std::pair{-30, 0}, std::pair{24, 0}, std::pair{0, 10}, std::pair{0, -4},
                      std::pair{2147483647, 2147483647}, std::pair{-2147483647 - 1, 0}}) {
    Buffer buf(24, 10);
    paint_rect(buf.px, buf.w, buf.h, x, y, 30, 4, PixelOrder::Rgba, numbered(30, 4));
    EXPECT_EQ(std::count(buf.px.begin(), buf.px.end(), 0xdeadbeefu), 240) << x << "," << y;
  }
}

TEST(PaintRect, ByteOrderByCoding) {
  const Bytes one = {0x11, 0x22, 0x33, 0x44};
  struct Case {
    const char* coding;
    std::uint32_t value;
  };
  for (const Case& c : {Case{"png", 0x112233}, Case{"jpeg", 0x332211}, Case{"webp", 0x332211},
                        Case{"h264", 0x332211}, Case{"mmap", 0x332211}, Case{"other", 0x112233}}) {
    Buffer buf(1, 1);
    paint_rect(buf.px, 1, 1, 0, 0, 1, 1, pixel_order_of(c.coding), one);
    EXPECT_EQ(buf.at(0, 0), c.value) << c.coding;
  }
}

TEST(PaintRect, WiderRowsConvertEveryPixel) {
  // Long enough for any vectorised loop to run its main body and its tail.
  Bytes src;
  for (int i = 0; i < 67; ++i) src.insert(src.end(), {std::uint8_t(i), 2, 3, 0xff});
  Buffer bgrx(67, 1), rgba(67, 1);
  paint_rect(bgrx.px, 67, 1, 0, 0, 67, 1, PixelOrder::Bgrx, src);
  paint_rect(rgba.px, 67, 1, 0, 0, 67, 1, PixelOrder::Rgba, src);
  for (std::uint32_t i = 0; i < 67; ++i) {
    EXPECT_EQ(bgrx.at(i, 0), 0x030200u | i);
    EXPECT_EQ(rgba.at(i, 0), i << 16 | 0x0203u);
  }
}

TEST(DamageRect, SameSizeAndScaledCases) {
  struct Case {
    std::int32_t x, y;
    std::uint32_t w, h, lw, lh;
    double scale;
    std::optional<Rect> want;
  };
  const std::uint32_t sw = 100, sh = 50;
  for (const Case& c : {
           Case{10, 5, 20, 10, 100, 50, 1.0, Rect{10, 5, 20, 10}},
           Case{-10, -5, 30, 10, 100, 50, 1.0, Rect{0, 0, 20, 5}},
           Case{90, 40, 30, 30, 100, 50, 1.0, Rect{90, 40, 10, 10}},
           Case{100, 0, 5, 5, 100, 50, 1.0, std::nullopt},
           Case{-5, 0, 5, 5, 100, 50, 1.0, std::nullopt},
           // Server columns 1 to 2 at 1.5: floor(1.5) = 1 to ceil(4.5) = 5.
           Case{1, 1, 2, 2, 150, 75, 1.5, Rect{1, 1, 4, 4}},
           Case{0, 0, 100, 50, 150, 75, 1.5, Rect{0, 0, 150, 75}},
           Case{99, 49, 10, 10, 150, 75, 1.5, Rect{148, 73, 2, 2}},  // cut at the local size
           Case{10, 10, 5, 5, 200, 100, 2.0, Rect{20, 20, 10, 10}},
           Case{0, 0, 10, 10, 150, 75, std::nan(""), std::nullopt},
       }) {
    EXPECT_EQ(damage_rect(c.x, c.y, c.w, c.h, sw, sh, c.lw, c.lh, c.scale), c.want)
        << c.x << "," << c.y << " " << c.w << "x" << c.h << " at " << c.scale;
  }
}

DecodedDraw draw_of(std::int32_t x, std::int32_t y, std::uint32_t w, std::uint32_t h, Bytes pixels,
                    const char* coding = "jpeg") {
  DecodedDraw d;
  d.wid = 1;
  d.x = x;
  d.y = y;
  d.width = w;
  d.height = h;
  d.coding = coding;
  d.pixels = std::move(pixels);
  return d;
}

TEST(PaintDecodedDraw, OutcomesAndDamage) {
  Buffer buf(20, 10);
  std::vector<Rect> damage;
  PaintTarget target{buf.px, 20, 10, 30, 15, 1.5, true, &damage};

  EXPECT_EQ(paint_decoded_draw(target, draw_of(0, 0, 4, 4, {})), PaintOutcome::NoPixels);
  EXPECT_EQ(paint_decoded_draw(target, draw_of(0, 0, 4, 4, Bytes(63))), PaintOutcome::TooSmall);
  EXPECT_TRUE(damage.empty());
  EXPECT_EQ(std::count(buf.px.begin(), buf.px.end(), 0xdeadbeefu), 200);

  // Longer data is accepted; only the first width x height x 4 bytes are read.
  Bytes longer = numbered(4, 4);
  longer.resize(longer.size() + 12, 0x77);
  EXPECT_EQ(paint_decoded_draw(target, draw_of(1, 1, 4, 4, longer)), PaintOutcome::Painted);
  EXPECT_EQ(buf.at(1, 1), bgrx_value(0, 0));
  EXPECT_EQ(buf.at(4, 4), bgrx_value(3, 3));
  ASSERT_EQ(damage.size(), 1u);
  EXPECT_EQ(damage[0], (Rect{1, 1, 7, 7}));  // floor(1.5)=1 .. ceil(7.5)=8

  // Wholly outside: painted (so redrawn and acknowledged) but no damage.
  EXPECT_EQ(paint_decoded_draw(target, draw_of(50, 50, 2, 2, Bytes(16))), PaintOutcome::Painted);
  EXPECT_EQ(damage.size(), 1u);

  target.track_damage = false;
  EXPECT_EQ(paint_decoded_draw(target, draw_of(0, 0, 2, 2, Bytes(16))), PaintOutcome::Painted);
  EXPECT_EQ(damage.size(), 1u);
}

// Sides whose byte count wraps 64 bits must not pass the length check with a few bytes.
TEST(PaintDecodedDraw, SidesWhoseByteCountWrapsAreTooSmall) {
  for (auto [w, h] : {std::pair<std::uint32_t, std::uint32_t>{2147483648u, 2147483648u},
                      {4294967295u, 4294967295u},
                      {1073741824u, 4294967295u},
                      {4294967295u, 1073741825u}}) {
    Buffer buf(20, 10);
    std::vector<Rect> damage;
    PaintTarget target{buf.px, 20, 10, 20, 10, 1.0, true, &damage};
    EXPECT_EQ(paint_decoded_draw(target, draw_of(0, 0, w, h, Bytes(64, 0x11))),
              PaintOutcome::TooSmall)
        << w << "x" << h;
    paint_rect(buf.px, 20, 10, 0, 0, w, h, PixelOrder::Bgrx, Bytes(64, 0x11));
    EXPECT_EQ(std::count(buf.px.begin(), buf.px.end(), 0xdeadbeefu), 200) << w << "x" << h;
    EXPECT_TRUE(damage.empty());
  }
}

TEST(PaintDecodedDraw, ReadsTheDrawDecodedItems) {
  Packet p;
  p.items = {Yaml::string("draw-decoded"),
             Yaml::integer(77),
             Yaml::integer(-3),
             Yaml::integer(4),
             Yaml::integer(8),
             Yaml::integer(2),
             Yaml::string("png"),
             Yaml::string(""),
             Yaml::integer(123)};
  p.chunks[7] = Bytes(64, 1);
  DecodedDraw d = read_decoded_draw(p);
  EXPECT_EQ(d.wid, 77u);
  EXPECT_EQ(d.x, -3);
  EXPECT_EQ(d.y, 4);
  EXPECT_EQ(d.width, 8u);
  EXPECT_EQ(d.height, 2u);
  EXPECT_EQ(d.coding, "png");
  EXPECT_EQ(d.pixels.size(), 64u);
  EXPECT_EQ(d.packet_sequence, 123u);
  EXPECT_EQ(d.decode_time_us, 0u);  // absent reads as 0
  p.decode_time_us = 1500;
  EXPECT_EQ(read_decoded_draw(p).decode_time_us, 1500u);
}

TEST(WindowAck, SevenItemsWithSignedTime) {
  EXPECT_EQ(window_ack_packet(9, 3, 640, 480, 1234, "").dump(),
            R"(["window-ack",3,640,480,9,1234,""])");
  EXPECT_EQ(window_ack_packet(9, 3, 640, 480, -1, "window not found!").dump(),
            R"(["window-ack",3,640,480,9,-1,"window not found!"])");
  EXPECT_EQ(
      window_ack_packet(18446744073709551615u, 18446744073709551615u, 4294967295u, 0, 0, "").dump(),
      R"(["window-ack",18446744073709551615,4294967295,0,18446744073709551615,0,""])");
  EXPECT_TRUE(window_ack_packet(1, 1, 1, 1, 5, "")[5].is_number_unsigned());
  EXPECT_TRUE(window_ack_packet(1, 1, 1, 1, -1, "")[5].is_number_integer());
}

}  // namespace
}  // namespace nolv
